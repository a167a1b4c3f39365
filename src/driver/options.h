// The command line: the one table of options, the settings they give, and
// the usage text made from that table.
#pragma once

#include <cstddef>

#include "action/reclaim.h"
#include "platform/console.h"
#include "scan/entry_filter.h"
#include "scan/scan_roots.h"

namespace mirvale {

// What the command line asks of a run.
struct Settings {
  bool quiet = false;            // no file lines, no phase lines; progress on a terminal
  bool json = false;             // the report as a JSON document on standard output
  EntryFilter filter;            // the sizes and patterns of --min-size, --max-size, --exclude
  char** directories = nullptr;  // the directories to scan, in order
  std::size_t directory_count = 0;
  bool has_options = false;                 // some option was given
  ReclaimSettings reclaim;                  // --dedupe, --link or --delete, --dry-run, --keep-in
  char* keep_in[Reclaim::kMaxKeepIn] = {};  // the --keep-in directories, in reclaim.keep_in
};

enum class CommandLine {
  run,       // settings hold a run to make
  answered,  // --help or --version was answered
  refused,   // a message and the usage text were printed
};

// The most directories a run scans.
constexpr std::size_t kMaxDirectories = ScanRoots::kMaxRoots;

// Reads the options and directories of argv into settings. Answers --help
// and --version on the console; refuses, with a message naming the argument
// at fault and the usage text, an unknown option, a missing or malformed
// value, too many patterns or directories, and no directory at all.
CommandLine read_command_line(int argc, char** argv, Settings& settings,
                              platform::Console& console);

// Prints the banner, the usage line for the program at argv0 and the options.
void print_usage(platform::Console& console, const char* argv0);

}  // namespace mirvale
