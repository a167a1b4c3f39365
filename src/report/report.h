// The duplicate report: an in-order walk of the digest tree that prints every
// group of files with equal digests on the console and in the log.
#pragma once

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
      : tree_(tree), names_(names), path_(path), io_(io), console_(console), log_(log) {}

  void report_duplicates();

  // "Stack Full!" ended the report before every group was printed.
  bool stack_full() const { return stack_full_; }
  // A write to the log failed or was short.
  bool log_failed() const { return log_failed_; }

 private:
  DigestTree& tree_;
  NameStore& names_;
  ScanPath& path_;
  IoBuffer& io_;
  platform::Console& console_;
  const platform::FileHandle& log_;
  std::uint32_t stack_offset_[kStackEntries];   // record offset per entry
  std::uint8_t stack_state_[kStackEntries];     // 1, 2 or 0 per entry
  bool stack_full_ = false;
  bool log_failed_ = false;
};

}  // namespace mirvale
