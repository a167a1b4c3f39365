// The directory walk: depth-first below the start directory, in listing
// order, yielding each file with its path built in place in the scan path.
// It owns every directory descriptor of a scan: one per open level, and
// those lent to queued files. Every directory and file is opened relative to
// the directory that listed it, so no symbolic link is followed at any depth.
//
// Who holds a directory descriptor, and when it closes:
//   - A level (the directory being read, or one of its ancestors) holds its
//     directory open. Short of descriptors, the walk gives up the open level
//     nearest the start that no queued file is lent (the one needed again
//     last) and reopens it from its parent when it comes back to it. The
//     start directory is never given up: every other is reopened from it.
//   - A queued file holds a lease on its directory, taken when it is queued
//     (lend) and released when its task is folded (release), both on the
//     walk's thread. A leased directory is never closed; one whose listing
//     has ended closes with its last lease.
// Each descriptor is taken from the descriptor budget before it is opened
// and given back when it closes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/file.h"
#include "platform/listing.h"
#include "scan/descriptor_budget.h"
#include "scan/digest_queue.h"
#include "scan/entry_filter.h"
#include "scan/scan_path.h"

namespace mirvale {

class DirectoryWalk {
 public:
  enum class Step {
    file,                  // the scan path names a file; name_at() says where its name starts
    end,                   // everything below the start directory has been yielded
    short_of_descriptors,  // what comes next cannot be opened until files queued are done
    too_long,              // the scan path names a directory whose entry entry_name() has a
                           // path that would not fit: the entry is skipped
  };

  DirectoryWalk(ScanPath& path, DescriptorBudget& budget) : path_(path), budget_(budget) {}
  DirectoryWalk(const DirectoryWalk&) = delete;
  DirectoryWalk& operator=(const DirectoryWalk&) = delete;

  // Opens the directory named by the scan path to be walked, leaving out
  // what filter leaves out: again through root when it is open, else by its
  // path. False when it cannot be listed, is on a kernel pseudo-filesystem
  // or no descriptor is free. filter must outlive the walk.
  bool start(const platform::FileHandle& root, const EntryFilter& filter);
  // The next file. After short_of_descriptors, the same step is tried again
  // by the next call.
  Step next();
  // Where the name of the file just yielded starts in the scan path.
  std::size_t name_at() const { return levels_[depth_].path_length + 1; }
  // The name of the entry too_long skipped.
  std::string_view entry_name() const { return {entry_.name, entry_.name_length}; }
  // Leaves in the scan path the directory that next could not open.
  void show_unopened();
  // Closes every directory, lent or not: the walk is over. After a walk that
  // came to its end the start directory, when it was opened by its path,
  // stays open for take_start_directory.
  void finish();
  // The start directory of a walk that came to its end, as it was listed,
  // for those that open its files again; its descriptor stays taken from the
  // budget. Invalid otherwise.
  platform::FileHandle take_start_directory();

  // A lease on the directory of the file just yielded, and that directory.
  std::uint32_t lend();
  platform::DirectoryRef lent(std::uint32_t lease) const { return dirs_[lease].handle; }
  // Releases a lease; the directory closes if it was the last and its
  // listing has ended.
  void release(std::uint32_t lease);
  // Gives up the descriptor of an open level above the one being read, if
  // one is not lent; false when there is none.
  bool give_up_a_descriptor() { return give_up_a_descriptor(depth_); }

 private:
  // Paths grow by at least two bytes a level, so no walk goes deeper than
  // this, a directory whose path fills the buffer included.
  static constexpr std::size_t kMaxLevels = ScanPath::kMaxLength / 2 + 2;
  // Open directories: every level, and the ended ones still lent, at most
  // one for each queued task.
  static constexpr std::size_t kDirectories = kMaxLevels + DigestQueue::kSlots;
  static constexpr std::uint32_t kNone = kDirectories;

  struct OpenDirectory {
    platform::FileHandle handle;  // open, or invalid while the entry is free
    std::uint32_t leases = 0;     // queued files that lie in it
    bool listed = false;          // a level still reads it
  };

  // One directory on the way from the start directory to the one being read.
  struct Level {
    std::uint32_t dir = kNone;       // its entry in dirs_; kNone while given up
    platform::DirectoryIdentity id;  // device and inode of the directory
    std::uint64_t entry_inode = 0;   // inode number of its entry in the parent's listing
    std::int64_t resume_at = 0;      // position after the subdirectory being walked
    std::size_t path_length = 0;     // length of its path in the scan path
    bool reopened = false;           // dir was opened again: resume_at means nothing
    bool kept = false;               // the reader keeps the rest of its block to resume
  };

  enum class Pending { none, enter, resume };

  const platform::FileHandle& handle(const Level& level) const { return dirs_[level.dir].handle; }
  platform::OpenStatus enter_directory();
  bool refuses(const Level& child) const;
  bool leaves_out_entry();
  void leave_directory();
  platform::OpenStatus resume_parent();
  platform::OpenStatus reopen_up_to(std::size_t depth);
  platform::OpenStatus reopen(std::size_t depth);
  template <typename Open>
  platform::OpenStatus open_listing(std::size_t keep, std::uint32_t& dir, Open open);
  bool give_up_a_descriptor(std::size_t keep);
  void close_directory(std::uint32_t dir);
  void free_entry(std::uint32_t dir);

  ScanPath& path_;
  DescriptorBudget& budget_;
  std::size_t depth_ = 0;                // index of the level being read
  Pending pending_ = Pending::none;      // the step that found no descriptor, to try again
  bool walked_ = false;                  // next came to the end: the start directory is kept
  bool keep_start_ = false;              // the start directory was opened by its path
  const EntryFilter* filter_ = nullptr;  // what the walk leaves out
  std::uint32_t leases_ = 0;             // leases of all directories: files queued
  platform::ListingEntry entry_{};       // the entry being handled
  platform::EntryReader reader_;
  Level levels_[kMaxLevels];
  std::uint32_t free_count_ = 0;  // entries of dirs_ not in use, listed in free_
  std::uint32_t free_[kDirectories];
  OpenDirectory dirs_[kDirectories];
};

}  // namespace mirvale
