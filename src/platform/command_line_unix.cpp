// The command line through glibc's getopt_long and fnmatch.
#include <fnmatch.h>
#include <getopt.h>

#include "platform/command_line.h"

namespace mirvale::platform {

namespace {
// getopt_long's value for the option at index i of the table: past every
// byte, so that it is never taken for a short option.
constexpr int kLongValue = 256;
}  // namespace

int read_options(int argc, char** argv, const OptionForm* forms, std::size_t count,
                 OptionHandler handle, void* context) {
  if (count > kMaxOptions) return -1;
  // A leading ':' keeps getopt silent and tells a missing value from an unknown option.
  char shorts[2 * kMaxOptions + 2] = ":";
  std::size_t used = 1;
  struct option longs[kMaxOptions + 1] = {};
  for (std::size_t i = 0; i < count; ++i) {
    longs[i] = {forms[i].name, forms[i].takes_value ? required_argument : no_argument, nullptr,
                kLongValue + static_cast<int>(i)};
    if (forms[i].short_name == 0) continue;
    shorts[used++] = forms[i].short_name;
    if (forms[i].takes_value) shorts[used++] = ':';
  }
  shorts[used] = '\0';
  optind = 0;  // a full restart, for a process that reads more than one command line
  char short_argument[3] = {'-', 0, 0};
  for (;;) {
    const int got = getopt_long(argc, argv, shorts, longs, nullptr);
    if (got == -1) return optind;
    OptionEvent event{OptionEvent::Kind::option, 0, optarg, nullptr};
    if (got == '?' || got == ':') {
      event.kind = got == '?' ? OptionEvent::Kind::unknown : OptionEvent::Kind::missing_value;
      // A short option is named by its letter; a long one is the argument just read.
      const bool short_fault = optopt > 0 && optopt < kLongValue;
      short_argument[1] = static_cast<char>(optopt);
      event.argument = short_fault ? short_argument : argv[optind - 1];
    } else if (got >= kLongValue) {
      event.index = static_cast<std::size_t>(got - kLongValue);
    } else {
      for (std::size_t i = 0; i < count; ++i)
        if (forms[i].short_name == got) event.index = i;
    }
    if (!handle(context, event)) return -1;
  }
}

bool wildcard_matches(const char* pattern, const char* text, bool whole_path) {
  return ::fnmatch(pattern, text, whole_path ? FNM_PATHNAME : 0) == 0;
}

}  // namespace mirvale::platform
