// The directories a run scans, in the order given: each opened before the
// run touches anything, checked for overlap by device and inode, and told
// apart afterwards by where its files' records start in the name store.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file.h"
#include "platform/listing.h"
#include "types.h"

namespace mirvale {

struct ScanRoot {
  const char* path = nullptr;      // the argument as given, shorter than ScanPath::kCapacity
  std::size_t length = 0;          // its bytes
  std::size_t skip = 0;            // bytes of its files' stored paths before the part below
                                   // it: its path and the separator
  platform::FileHandle handle;     // the directory, or invalid when it cannot be listed
  platform::DirectoryIdentity id;  // its device and inode, when open
  std::uint64_t first_name = 0;    // the name-store offset of its first file's record
};

class ScanRoots {
 public:
  static constexpr std::size_t kMaxRoots = 256;
  // Levels looked at above each directory for the overlap check.
  static constexpr std::size_t kMaxAncestors = 4096;

  ScanRoots() = default;
  ScanRoots(const ScanRoots&) = delete;
  ScanRoots& operator=(const ScanRoots&) = delete;

  // Takes the paths, each shorter than ScanPath::kCapacity, none of them
  // open yet; false when there are more than kMaxRoots of them.
  bool assign(char* const* paths, std::size_t count);
  std::size_t count() const { return count_; }
  ScanRoot& operator[](std::size_t i) { return roots_[i]; }
  const ScanRoot& operator[](std::size_t i) const { return roots_[i]; }

  // Opens every directory to be listed, links in its path followed; the index
  // of the first that cannot be listed (or lies on a kernel pseudo-
  // filesystem), or count() when all are open.
  std::size_t open_all();
  // Finds two directories that are one, or of which the second lies below
  // the first; false when every directory stands apart. All must be open.
  bool find_overlap(std::size_t& upper, std::size_t& lower) const;
  // The directory whose files' records include the one at offset.
  const ScanRoot& owner(std::uint64_t offset) const;

 private:
  bool open_one(ScanRoot& root);

  std::size_t count_ = 0;
  ScanRoot roots_[kMaxRoots];
};

}  // namespace mirvale
