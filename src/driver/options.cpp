// The command line: the option table, its reading through getopt_long and the usage text.
#include "driver/options.h"

#include <cstdio>
#include <cstring>

#include "platform/command_line.h"
#include "platform/process.h"
#include "scan/scan_path.h"

namespace mirvale {

namespace {

enum class OptionId {
  min_size,
  max_size,
  exclude,
  json,
  quiet,
  dedupe,
  link,
  remove,
  dry_run,
  keep_in,
  help,
  version
};

struct Option {
  OptionId id;
  platform::OptionForm form;
  const char* value_name;  // how the usage text names its value, if it takes one
  const char* help;        // what it does, for the usage text
};

constexpr Option kOptions[] = {
    {OptionId::min_size,
     {"min-size", 0, true},
     "SIZE",
     "leave out files smaller than SIZE bytes (K, M, G, T: KiB to TiB)"},
    {OptionId::max_size, {"max-size", 0, true}, "SIZE", "leave out files larger than SIZE bytes"},
    {OptionId::exclude,
     {"exclude", 0, true},
     "PATTERN",
     "leave out what matches the wildcard PATTERN: each entry's name, or\n"
     "                          with a '/', its path below the directory given"},
    {OptionId::json,
     {"json", 0, false},
     nullptr,
     "write the report as one JSON document on standard output"},
    {OptionId::quiet,
     {"quiet", 0, false},
     nullptr,
     "print only the groups and messages; progress on a terminal"},
    {OptionId::dedupe,
     {"dedupe", 0, false},
     nullptr,
     "have the kernel share each copy's blocks with the group's kept file"},
    {OptionId::link,
     {"link", 0, false},
     nullptr,
     "replace each copy by a hard link to the kept file"},
    {OptionId::remove, {"delete", 0, false}, nullptr, "delete each copy"},
    {OptionId::dry_run,
     {"dry-run", 0, false},
     nullptr,
     "with an action: print what it would do, marked as planned, change nothing"},
    {OptionId::keep_in,
     {"keep-in", 0, true},
     "DIRECTORY",
     "keep the files below DIRECTORY, the first of each group's there kept;\n"
     "                          act only on groups with a file there"},
    {OptionId::help, {"help", 'h', false}, nullptr, "print this text and exit"},
    {OptionId::version, {"version", 0, false}, nullptr, "print the version and exit"},
};
constexpr std::size_t kOptionCount = sizeof kOptions / sizeof kOptions[0];
static_assert(kOptionCount <= platform::kMaxOptions);

constexpr char kBanner[] = "Mirvale. Finds files with identical content below a directory.\n";
constexpr char kUsageOptions[] = "Mirvale: Use Load %s [OPTION]... [--] DIRECTORY...\n";
constexpr char kVersion[] = "mirvale %s\n";
constexpr char kUnknownOption[] = "Mirvale: Unknown Option '%s'\n";
constexpr char kMissingValue[] = "Mirvale: Missing Value For '%s'\n";
constexpr char kBadValue[] = "Mirvale: Bad Value '%s' For '--%s'\n";
constexpr char kTooManyPatterns[] = "Mirvale: Too Many Patterns At '%s'\n";
constexpr char kNoDirectory[] = "Mirvale: No Directory Given\n";
constexpr char kTooManyDirectories[] = "Mirvale: Too Many Directories At '%s'\n";
constexpr char kTwoActions[] = "Mirvale: Two Actions '--%s'|'--%s'\n";
constexpr char kNoAction[] = "Mirvale: No Action For '--%s'\n";

constexpr const char* kActionNames[] = {"", "dedupe", "link", "delete"};

// The state of one reading of the command line.
struct Reading {
  Settings& settings;
  platform::Console& console;
  const char* argv0;
  CommandLine outcome = CommandLine::run;
};

void print_program_line(platform::Console& console, const char* format, const char* argv0) {
  char program[4096];
  platform::program_path(program, sizeof program, argv0);
  console.write(kBanner);
  console.print(format, program);
}

// Takes the value of an option that has one; false, with the message
// printed, when it is malformed or there is no room for it.
bool take_value(Reading& reading, const Option& option, const char* value) {
  Settings& settings = reading.settings;
  std::uint64_t size = 0;
  switch (option.id) {
    case OptionId::exclude:
      if (settings.filter.add_pattern(value)) return true;
      reading.console.print(kTooManyPatterns, value);
      return false;
    case OptionId::keep_in:
      if (settings.reclaim.keep_in_count < Reclaim::kMaxKeepIn) {
        settings.keep_in[settings.reclaim.keep_in_count++] = const_cast<char*>(value);
        settings.reclaim.keep_in = settings.keep_in;
        return true;
      }
      reading.console.print(kTooManyDirectories, value);
      return false;
    case OptionId::min_size:
    case OptionId::max_size:
      if (!parse_size(value, size)) break;
      if (option.id == OptionId::min_size)
        settings.filter.set_min_size(size);
      else
        settings.filter.set_max_size(size);
      return true;
    default:
      return true;
  }
  reading.console.print(kBadValue, value, option.form.name);
  return false;
}

// Takes an option without a value; false, with the message printed, when
// it asks for a second action.
bool take_flag(Reading& reading, OptionId id) {
  Settings& settings = reading.settings;
  if (id == OptionId::json) settings.json = true;
  if (id == OptionId::dry_run) settings.reclaim.dry_run = true;
  const ActionKind kind = id == OptionId::dedupe   ? ActionKind::dedupe
                          : id == OptionId::link   ? ActionKind::link
                          : id == OptionId::remove ? ActionKind::remove
                                                   : ActionKind::none;
  if (kind == ActionKind::none) return true;
  const ActionKind had = settings.reclaim.kind;
  if (had != ActionKind::none && had != kind) {
    reading.console.print(kTwoActions, kActionNames[static_cast<int>(had)],
                          kActionNames[static_cast<int>(kind)]);
    return false;
  }
  settings.reclaim.kind = kind;
  return true;
}

// Whether --dry-run and --keep-in come with an action to shape; false, with
// the message printed, when they do not.
bool actions_complete(Reading& reading) {
  const ReclaimSettings& reclaim = reading.settings.reclaim;
  if (reclaim.kind != ActionKind::none) return true;
  if (!reclaim.dry_run && reclaim.keep_in_count == 0) return true;
  reading.console.print(kNoAction, reclaim.dry_run ? "dry-run" : "keep-in");
  return false;
}

// Handles one event of the reading; false ends it.
bool handle_option(void* context, const platform::OptionEvent& event) {
  Reading& reading = *static_cast<Reading*>(context);
  reading.outcome = CommandLine::refused;
  if (event.kind == platform::OptionEvent::Kind::unknown) {
    reading.console.print(kUnknownOption, event.argument);
    return false;
  }
  if (event.kind == platform::OptionEvent::Kind::missing_value) {
    reading.console.print(kMissingValue, event.argument);
    return false;
  }
  const Option& option = kOptions[event.index];
  if (option.id == OptionId::help || option.id == OptionId::version) {
    if (option.id == OptionId::help)
      print_usage(reading.console, reading.argv0);
    else
      reading.console.print(kVersion, MIRVALE_VERSION);
    reading.outcome = CommandLine::answered;
    return false;
  }
  if (!take_flag(reading, option.id)) return false;
  if (option.id == OptionId::quiet) reading.settings.quiet = true;
  if (option.form.takes_value && !take_value(reading, option, event.value)) return false;
  reading.outcome = CommandLine::run;
  return true;
}

// Checks the directories that follow the options; false, with the message
// printed, when there are none or too many. A path too long for the scan
// path gets the usage text alone, as it always has.
bool take_directories(Reading& reading, int argc, char** argv, int first) {
  Settings& settings = reading.settings;
  settings.directories = argv + first;
  settings.directory_count = static_cast<std::size_t>(argc - first);
  if (settings.directory_count == 0) {
    reading.console.write(kNoDirectory);
    return false;
  }
  if (settings.directory_count > kMaxDirectories) {
    reading.console.print(kTooManyDirectories, settings.directories[kMaxDirectories]);
    return false;
  }
  for (std::size_t i = 0; i < settings.directory_count; ++i)
    if (std::strlen(settings.directories[i]) >= ScanPath::kCapacity) return false;
  return true;
}

}  // namespace

void print_usage(platform::Console& console, const char* argv0) {
  print_program_line(console, kUsageOptions, argv0);
  for (const Option& option : kOptions) {
    char left[40];
    const char* value = option.value_name != nullptr ? option.value_name : "";
    if (option.form.short_name != 0)
      std::snprintf(left, sizeof left, "  -%c, --%s", option.form.short_name, option.form.name);
    else
      std::snprintf(left, sizeof left, "      --%s%s%s", option.form.name, *value ? "=" : "",
                    value);
    console.print("%-26s%s\n", left, option.help);
  }
}

CommandLine read_command_line(int argc, char** argv, Settings& settings,
                              platform::Console& console) {
  const char* argv0 = argc > 0 ? argv[0] : nullptr;
  platform::OptionForm forms[kOptionCount];
  for (std::size_t i = 0; i < kOptionCount; ++i) forms[i] = kOptions[i].form;
  Reading reading{settings, console, argv0};
  const int first =
      argc > 0 ? platform::read_options(argc, argv, forms, kOptionCount, &handle_option, &reading)
               : 0;
  if (first >= 0 && take_directories(reading, argc, argv, first) && actions_complete(reading))
    return CommandLine::run;
  if (reading.outcome == CommandLine::answered) return reading.outcome;
  print_usage(console, argv0);
  return CommandLine::refused;
}

}  // namespace mirvale
