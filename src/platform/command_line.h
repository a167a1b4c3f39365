// The command line read as GNU tools read it, with getopt_long: long options
// as --name=value or --name value, "--" ending them, and the operands that
// stand among the options moved after them, in their order. Also the shell
// wildcard match that --exclude patterns use.
#pragma once

#include <cstddef>

namespace mirvale::platform {

// How an option is written on the command line.
struct OptionForm {
  const char* name;  // the long name, without the leading "--"
  char short_name;   // its one-letter form, or 0 when it has none
  bool takes_value;  // it needs a value: --name=value or --name value
};

// One thing read off the command line.
struct OptionEvent {
  enum class Kind { option, unknown, missing_value };
  Kind kind;
  std::size_t index;     // option: its place in the table
  const char* value;     // option: its value, or null when it takes none
  const char* argument;  // unknown, missing_value: the argument at fault
};

// Called with each option in command-line order; false stops the reading.
using OptionHandler = bool (*)(void* context, const OptionEvent& event);

// The most options a table may hold.
constexpr std::size_t kMaxOptions = 16;

// Reads the options of argv against the count forms (at most kMaxOptions),
// handing each to handle. Returns the index in argv of the first operand,
// every operand following it, or -1 when handle stopped the reading.
int read_options(int argc, char** argv, const OptionForm* forms, std::size_t count,
                 OptionHandler handle, void* context);

// True when text matches the shell wildcard pattern; with whole_path, a '/'
// in text is matched only by a '/' in pattern.
bool wildcard_matches(const char* pattern, const char* text, bool whole_path);

}  // namespace mirvale::platform
