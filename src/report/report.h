// The duplicate report: an in-order walk of the digest tree that prints every
// group of files with equal digests on the console and in the log.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/digest_tree.h"
#include "platform/console.h"
#include "platform/file.h"
#include "scan/name_store.h"
#include "scan/scan_path.h"
#include "types.h"

namespace mirvale {

class Report {
 public:
  static constexpr std::uint32_t kStackEntries = 20000;

  Report(DigestTree& tree, NameStore& names, ScanPath& path, IoBuffer& io,
         platform::Console& console, const platform::FileHandle& log)
      : tree_(tree), names_(names), path_(path), io_(io), console_(console), log_writer_(log) {}

  // Prints every group of two or more files with equal digests, in ascending
  // digest order, on the console and in the log; ends early when the tree is
  // too deep for the stack or one of its records cannot be read. The log's
  // lines are gathered and written in blocks, the last when the report ends.
  void report_duplicates();

  // "Stack Full!" ended the report before every group was printed.
  bool stack_full() const { return stack_full_; }
  // A write to the log failed or was short.
  bool log_failed() const { return log_failed_; }

 private:
  void walk_tree();
  void push(std::uint32_t& count, std::uint32_t offset);
  void print_group(std::uint32_t head);
  void emit_line(size_t size);

  DigestTree& tree_;
  NameStore& names_;
  ScanPath& path_;
  IoBuffer& io_;
  platform::Console& console_;
  platform::BlockWriter log_writer_;           // the log's lines not yet written
  std::uint32_t stack_offset_[kStackEntries];  // record offset per entry
  std::uint8_t stack_state_[kStackEntries];    // 1, 2 or 0 per entry
  std::uint32_t stack_right_[kStackEntries];   // the entry's right link, once read
  bool stack_grouped_[kStackEntries];          // the entry heads a chain, once read
  TreeRecord traversal_record_;                // the record of the top entry
  TreeRecord chain_record_;                    // the record of the chain walk
  bool stack_full_ = false;
  bool log_failed_ = false;
};

}  // namespace mirvale
