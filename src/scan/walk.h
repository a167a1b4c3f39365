// The directory walk: depth-first, in listing order, building every path in
// place in the scan path; each file is printed, stored, digested and indexed
// as it is met. Every directory and file is opened relative to the directory
// that listed it, so no symbolic link is followed at any depth.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/file_digest.h"
#include "index/digest_tree.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/listing.h"
#include "scan/name_store.h"
#include "scan/scan_path.h"

namespace mirvale {

class Walk {
 public:
  // What stopped the scan early, if anything.
  enum class Failure {
    none,
    start_path,          // the start path cannot be listed as a directory
    out_of_descriptors,  // nothing could be opened; the scan path names what
    name_store,          // a name-store write failed
    digest_tree,         // an insertion into the digest tree failed
  };

  Walk(ScanPath& path, NameStore& names, FileDigest& digest, DigestTree& tree,
       platform::Console& console)
      : path_(path), names_(names), digest_(digest), tree_(tree), console_(console) {}
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  // Walks the directory named by the scan path and everything below it. The
  // scan path holds the same string again afterwards, but after a shortage of
  // descriptors, when it holds the path that could not be opened.
  void walk_directory();
  Failure failure() const { return failure_; }

 private:
  // Paths grow by at least two bytes a level and a directory is listed only
  // while its path and a separator fit, so no walk goes deeper than this.
  static constexpr std::size_t kMaxLevels = ScanPath::kMaxLength / 2 + 1;

  // One directory on the way from the start directory to the one being read.
  struct Level {
    platform::FileHandle dir;        // open descriptor; invalid while given up
    platform::DirectoryIdentity id;  // device and inode of the directory
    std::uint64_t entry_inode = 0;   // inode number of its entry in the parent's listing
    std::int64_t resume_at = 0;      // position after the subdirectory being walked
    std::size_t path_length = 0;     // length of its path in the scan path
    bool reopened = false;           // dir was opened again: resume_at means nothing
  };

  bool open_start();
  bool enter_directory(const platform::ListingEntry& entry);
  bool refuses(const Level& child) const;
  void leave_directory();
  bool reopen_up_to(std::size_t depth);
  bool reopen(std::size_t depth);
  template <typename Open>
  platform::OpenStatus open_borrowing(std::size_t keep, Open open);
  bool give_up_a_descriptor(std::size_t keep);
  void handle_file(const platform::ListingEntry& entry);

  ScanPath& path_;
  NameStore& names_;
  FileDigest& digest_;
  DigestTree& tree_;
  platform::Console& console_;
  Failure failure_ = Failure::none;
  std::size_t depth_ = 0;  // index of the level being read
  platform::EntryReader reader_;
  Level levels_[kMaxLevels];
};

}  // namespace mirvale
