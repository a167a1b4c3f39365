// The directory walk: depth-first, in listing order, building every path in
// place in the scan path. A first walk counts the sizes of the files; the
// second prints and stores each file as it is met and queues it to be
// digested, indexing the digests in the same order. Every directory and file
// is opened relative to the directory that listed it, so no symbolic link is
// followed at any depth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "index/digest_tree.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/listing.h"
#include "scan/digest_queue.h"
#include "scan/name_store.h"
#include "scan/scan_path.h"
#include "scan/size_census.h"

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

  Walk(ScanPath& path, NameStore& names, DigestTree& tree, SizeCensus& census, DigestQueue& queue,
       platform::Console& console)
      : path_(path),
        names_(names),
        tree_(tree),
        census_(census),
        queue_(queue),
        console_(console) {}
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;

  // Counts the size of every file below the directory named by the scan path
  // in the census, or marks the census incomplete when the walk cannot be
  // finished; prints nothing, and leaves the scan path as it found it.
  void count_sizes();
  // Walks the directory named by the scan path and everything below it. The
  // scan path holds the same string again afterwards, but after a shortage of
  // descriptors, when it holds the path that could not be opened.
  void walk_directory();
  Failure failure() const { return failure_; }
  // The start directory, kept open by a completed walk_directory for those
  // that open the files found below it again; invalid after a failure.
  platform::FileHandle take_start_directory() { return std::move(levels_[0].dir); }

 private:
  // Paths grow by at least two bytes a level and a directory is listed only
  // while its path and a separator fit, so no walk goes deeper than this.
  static constexpr std::size_t kMaxLevels = ScanPath::kMaxLength / 2 + 1;

  // One directory on the way from the start directory to the one being read.
  struct Level {
    platform::FileHandle dir;         // open descriptor; invalid while given up
    platform::DirectoryIdentity id;   // device and inode of the directory
    std::uint64_t entry_inode = 0;    // inode number of its entry in the parent's listing
    std::int64_t resume_at = 0;       // position after the subdirectory being walked
    std::size_t path_length = 0;      // length of its path in the scan path
    bool reopened = false;            // dir was opened again: resume_at means nothing
    std::uint64_t pending_until = 0;  // queued files of it are finished once this many are
  };

  // A listing left while files of it were still queued, closed once they are not.
  struct Retired {
    platform::FileHandle dir;
    std::uint64_t close_after = 0;  // the queue count that finishes them
  };

  enum class Pass { census, listing };

  void walk(Pass pass);
  bool open_start();
  bool enter_directory(const platform::ListingEntry& entry);
  bool refuses(const Level& child) const;
  void leave_directory();
  bool reopen_up_to(std::size_t depth);
  bool reopen(std::size_t depth);
  template <typename Open>
  platform::OpenStatus open_borrowing(std::size_t keep, Open open);
  bool give_up_a_descriptor(std::size_t keep);
  void count_size(const platform::ListingEntry& entry);
  void handle_file(const platform::ListingEntry& entry);
  void queue_file(DigestQueue::Job job, const platform::ListingEntry& entry);
  void finish_oldest(std::size_t keep);
  void finish_queued(std::size_t keep);
  void retry_oldest(DigestQueue::Task& task, std::size_t keep);
  void retire(Level& level);
  void close_retired();

  ScanPath& path_;
  NameStore& names_;
  DigestTree& tree_;
  SizeCensus& census_;
  DigestQueue& queue_;
  platform::Console& console_;
  Pass pass_ = Pass::listing;
  Failure failure_ = Failure::none;
  std::size_t depth_ = 0;  // index of the level being read
  platform::EntryReader reader_;
  Level levels_[kMaxLevels];
  std::size_t retired_first_ = 0;  // the oldest retired listing
  std::size_t retired_count_ = 0;
  Retired retired_[DigestQueue::kSlots];
};

}  // namespace mirvale
