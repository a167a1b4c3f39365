// The report as one JSON document on standard output, streamed as it is
// made: the directories, each group as it is confirmed, the counts of the
// scan, then the failures, which are kept until the end in fixed memory
// and, past it, in a working file of their own.
//
// A path is a JSON string when it is valid UTF-8. Otherwise each byte that
// is no part of a valid sequence shows as U+FFFD, and a field of the same
// name followed by "_base64" holds the exact bytes, so that every path can
// be had back byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/console.h"
#include "platform/file.h"
#include "scan/scan_roots.h"
#include "types.h"

namespace mirvale {

class JsonReport {
 public:
  // Bytes of failure text held in memory before it goes to the spill file,
  // and room enough for the text of any one failure.
  static constexpr std::size_t kFailureMemory = 65536;
  static constexpr std::size_t kMaxFailureText = 32768;
  static constexpr char kSpillFileName[] = "MIRVALE.ERR";

  explicit JsonReport(platform::Console& console) : console_(console) {}
  JsonReport(const JsonReport&) = delete;
  JsonReport& operator=(const JsonReport&) = delete;

  // Opens the document with the directories given.
  void begin(const ScanRoots& roots);
  // Opens a group of files of size bytes, or of a size not known, whose
  // content has the digest given.
  void begin_group(const Md5Digest& digest, std::uint64_t size, bool size_known);
  // Adds a file to the group opened last.
  void file(std::string_view path);

  // Notes, in the object of the file added last, a change made (or planned)
  // as it was reached: what was done, to the copy at path, towards kept if
  // not null.
  void action(const char* verb, std::string_view path, const char* kept, bool planned);
  // Notes there a copy at path left as it is, and why.
  void left_alone(const char* reason, std::string_view path);
  // The totals of the changes, written with the counts at the end.
  struct ActionTotals {
    std::uint64_t groups;        // groups acted on
    std::uint64_t changed;       // files changed
    std::uint64_t freed;         // bytes freed, or shared by the kernel
    bool planned;                // a dry run: nothing was changed
    const std::uint64_t* left;   // files left alone, per reason
    const char* const* reasons;  // the words of each reason
    std::size_t reason_count;
  };
  void action_totals(const ActionTotals& totals);
  // Notes a failure, with the path it names and a second string, if any,
  // under the field second_field.
  void failure(const char* message, std::string_view path, const char* second_field = nullptr,
               std::string_view second = {});
  // Notes a failure that names no path.
  void failure(const char* message);
  // Closes the groups, writes the counts and the failures, and ends the
  // document; removes the spill file. Begins the document first if need be.
  void finish(std::uint64_t files_listed, std::uint64_t bytes_digested);

 private:
  void close_file();
  void begin_action(std::string_view path);
  void put(std::string_view text);
  void put_number(std::uint64_t value);
  void put_path_field(const char* field, std::string_view bytes);
  bool put_string(std::string_view bytes);
  void put_base64(std::string_view bytes);
  void begin_failure(const char* message);
  void spill_failures();
  void write_failures();

  platform::Console& console_;
  bool begun_ = false;                  // the document has been opened
  bool in_group_ = false;               // a group is open
  std::uint64_t groups_ = 0;            // groups begun
  std::uint64_t group_files_ = 0;       // files in the group opened last
  bool file_open_ = false;              // the object of the file added last is open
  std::uint64_t file_actions_ = 0;      // actions noted in it
  char totals_[1024];                   // the action totals, as JSON members
  std::size_t totals_used_ = 0;         // bytes of totals_
  std::uint64_t failures_ = 0;          // failures noted
  bool to_failures_ = false;            // put() keeps text for the failures
  bool spill_failed_ = false;           // some failures could not be kept
  std::size_t failure_used_ = 0;        // bytes in failure_bytes_
  std::uint64_t spilled_ = 0;           // bytes written to the spill file
  platform::FileHandle spill_;          // the spill file, once memory is full
  char failure_bytes_[kFailureMemory];  // failure text not yet spilled, each failure
                                        // as a comma and its object
};

}  // namespace mirvale
