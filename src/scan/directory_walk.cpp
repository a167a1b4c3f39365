// The directory walk: a fixed stack of levels read through one shared entry
// buffer, the table of open directories with their leases, and the giving up
// and taking back of descriptors that lets a tree deeper than the descriptor
// budget be walked.
#include "scan/directory_walk.h"

#include <cstring>
#include <utility>

namespace mirvale {

namespace {
constexpr std::string_view kSeparatorText{&kSeparator, 1};

bool is_dot_or_dot_dot(const platform::ListingEntry& entry) {
  std::string_view name(entry.name, entry.name_length);
  return name == "." || name == "..";
}
}  // namespace

// Opens the start directory, again through root when it is open, else by
// the scan path followed by the separator; both only while they fit.
bool DirectoryWalk::start(const platform::FileHandle& root, const EntryFilter& filter) {
  walked_ = false;
  finish();  // what an earlier walk kept
  filter_ = &filter;
  keep_start_ = !root.valid();
  depth_ = 0;
  pending_ = Pending::none;
  free_count_ = 0;
  for (std::uint32_t i = kDirectories; i > 0; --i) free_[free_count_++] = i - 1;
  Level& start = levels_[0];
  start = Level{};
  start.path_length = path_.length();
  platform::OpenStatus status = platform::OpenStatus::failed;
  if (path_.append(kSeparatorText)) {
    status = open_listing(0, start.dir, [&](platform::FileHandle& out) {
      return root.valid() ? platform::open_directory_at(root, ".", out)
                          : platform::open_directory(path_.c_str(), out);
    });
  }
  path_.cut(start.path_length);
  if (status != platform::OpenStatus::opened) return false;
  dirs_[start.dir].listed = true;
  if (!platform::directory_identity(handle(start), start.id) ||
      platform::on_pseudo_filesystem(handle(start))) {
    finish();
    return false;
  }
  reader_.begin(handle(start));
  return true;
}

DirectoryWalk::Step DirectoryWalk::next() {
  for (;;) {
    if (pending_ == Pending::enter) {
      const platform::OpenStatus status = enter_directory();
      if (status == platform::OpenStatus::out_of_descriptors) return Step::short_of_descriptors;
      pending_ = Pending::none;
      if (status == platform::OpenStatus::opened) continue;
    } else if (pending_ == Pending::resume) {
      if (resume_parent() == platform::OpenStatus::out_of_descriptors)
        return Step::short_of_descriptors;
      pending_ = Pending::none;
    }
    path_.cut(levels_[depth_].path_length);
    if (!reader_.next_entry(entry_)) {
      if (depth_ == 0) {
        walked_ = keep_start_;
        return Step::end;
      }
      leave_directory();
      continue;
    }
    if (is_dot_or_dot_dot(entry_)) continue;
    if (filter_->has_patterns() && filter_->excludes_name(entry_.name)) continue;
    // A path that would not fit the buffer is skipped, and said so.
    if (!path_.append_entry({entry_.name, entry_.name_length})) return Step::too_long;
    if (leaves_out_entry()) continue;
    if (!(entry_.attributes & platform::kAttributeDirectory)) return Step::file;
    pending_ = Pending::enter;
  }
}

// Whether the filter leaves out the entry whose path is in the scan path:
// by a pattern on its path below the start directory, or, for a file, by
// its size (or when its size cannot be learnt).
bool DirectoryWalk::leaves_out_entry() {
  if (filter_->has_patterns() && filter_->excludes_path(path_.c_str() + levels_[0].path_length + 1))
    return true;
  if (!filter_->limits_sizes() || (entry_.attributes & platform::kAttributeDirectory)) return false;
  std::uint64_t size;
  return !platform::regular_file_size_at(handle(levels_[depth_]), entry_.name, size) ||
         !filter_->takes_size(size);
}

void DirectoryWalk::show_unopened() {
  if (pending_ != Pending::resume) return;  // the scan path names the subdirectory
  // Reopening goes down from the deepest open level: the first not open
  // after it is the one that failed.
  std::size_t failed = depth_;
  while (levels_[failed - 1].dir == kNone) --failed;
  path_.cut(levels_[failed].path_length);
}

void DirectoryWalk::finish() {
  for (std::uint32_t i = 0; i < kDirectories; ++i)
    if (dirs_[i].handle.valid() && !(walked_ && i == levels_[0].dir)) close_directory(i);
  reader_.stop();
  reader_.forget_kept();
  leases_ = 0;
}

platform::FileHandle DirectoryWalk::take_start_directory() {
  if (!walked_) return {};
  walked_ = false;
  platform::FileHandle start = std::move(dirs_[levels_[0].dir].handle);
  free_entry(levels_[0].dir);
  return start;
}

std::uint32_t DirectoryWalk::lend() {
  // The first file queued leaves a descriptor free for a file: listings may
  // have taken them all while nothing was queued.
  if (leases_ == 0)
    while (budget_.exhausted() && give_up_a_descriptor(depth_)) {
    }
  const std::uint32_t dir = levels_[depth_].dir;
  ++dirs_[dir].leases;
  ++leases_;
  return dir;
}

void DirectoryWalk::release(std::uint32_t lease) {
  OpenDirectory& dir = dirs_[lease];
  --dir.leases;
  --leases_;
  if (dir.leases == 0 && !dir.listed) close_directory(lease);
}

// Opens the subdirectory in the scan path, listed as entry_, and makes it the
// level being read; failed when it is not to be walked.
platform::OpenStatus DirectoryWalk::enter_directory() {
  // A directory whose path leaves no room for a name below it is still
  // listed, so that each entry in it is reported as too long.
  if (depth_ + 1 >= kMaxLevels) return platform::OpenStatus::failed;
  Level& parent = levels_[depth_];
  Level& child = levels_[depth_ + 1];
  std::uint32_t dir;
  platform::OpenStatus status = open_listing(depth_, dir, [&](platform::FileHandle& out) {
    return platform::open_directory_at(handle(parent), entry_.name, out);
  });
  if (status != platform::OpenStatus::opened) return status;
  child.dir = dir;
  if (!platform::directory_identity(handle(child), child.id) || refuses(child)) {
    close_directory(dir);
    child.dir = kNone;
    return platform::OpenStatus::failed;
  }
  dirs_[dir].listed = true;
  parent.resume_at = entry_.position;
  child.entry_inode = entry_.inode;
  child.path_length = path_.length();
  child.reopened = false;
  child.kept = false;
  parent.kept = reader_.keep_rest();
  ++depth_;
  reader_.begin(handle(child));
  return platform::OpenStatus::opened;
}

// A directory that is its own ancestor (a bind-mount loop) or lies on a
// kernel pseudo-filesystem is not entered.
bool DirectoryWalk::refuses(const Level& child) const {
  for (std::size_t i = 0; i <= depth_; ++i)
    if (levels_[i].id == child.id) return true;
  // The filesystem can only change where the device does.
  return child.id.device != levels_[depth_].id.device &&
         platform::on_pseudo_filesystem(handle(child));
}

// Ends the level whose listing has ended, its directory kept open while
// files in it are queued, and goes back to its parent.
void DirectoryWalk::leave_directory() {
  Level& child = levels_[depth_];
  if (child.dir != kNone) {  // else it could not be reopened
    dirs_[child.dir].listed = false;
    if (dirs_[child.dir].leases == 0) close_directory(child.dir);
    child.dir = kNone;
  }
  --depth_;
  pending_ = Pending::resume;
}

// Goes on reading the level being read after the subdirectory just left,
// reopening it first if it was given up.
platform::OpenStatus DirectoryWalk::resume_parent() {
  Level& top = levels_[depth_];
  const Level& child = levels_[depth_ + 1];
  // What was kept of its block is no use on a new descriptor.
  if (top.kept && (top.dir == kNone || top.reopened)) {
    reader_.drop_kept();
    top.kept = false;
  }
  if (top.dir == kNone) {
    const platform::OpenStatus status = reopen_up_to(depth_);
    if (status == platform::OpenStatus::out_of_descriptors) return status;
    if (status != platform::OpenStatus::opened) {
      reader_.stop();  // nothing more of it can be read
      return status;
    }
  }
  const std::size_t name_at = top.path_length + 1;
  const std::string_view child_name(path_.c_str() + name_at, child.path_length - name_at);
  if (top.reopened) {
    // A position means nothing on a new descriptor: the entry itself marks
    // where to go on, so that nothing is delivered twice even when the
    // directory changed meanwhile.
    reader_.skip_past(handle(top), child_name, child.entry_inode);
    top.reopened = false;
  } else if (top.kept) {
    reader_.resume_kept(handle(top));
    top.kept = false;
  } else {
    reader_.start(handle(top), top.resume_at);
  }
  return platform::OpenStatus::opened;
}

// Opens again every given-up level from the deepest open one down to depth.
// Failed when one of them cannot be opened or is no longer the directory it
// was; the levels reopened so far stay open for the next try after a shortage.
platform::OpenStatus DirectoryWalk::reopen_up_to(std::size_t depth) {
  std::size_t first = depth;
  while (levels_[first - 1].dir == kNone) --first;  // level 0 is never given up
  for (std::size_t i = first; i <= depth; ++i) {
    const platform::OpenStatus status = reopen(i);
    if (status != platform::OpenStatus::opened) return status;
  }
  return platform::OpenStatus::opened;
}

platform::OpenStatus DirectoryWalk::reopen(std::size_t depth) {
  const Level& parent = levels_[depth - 1];
  Level& level = levels_[depth];
  char name[ScanPath::kCapacity];
  const std::size_t name_at = parent.path_length + 1;
  const std::size_t name_length = level.path_length - name_at;
  std::memcpy(name, path_.c_str() + name_at, name_length);
  name[name_length] = '\0';
  std::uint32_t dir;
  platform::OpenStatus status = open_listing(depth - 1, dir, [&](platform::FileHandle& out) {
    return platform::open_directory_at(handle(parent), name, out);
  });
  if (status != platform::OpenStatus::opened) return status;
  platform::DirectoryIdentity id;
  if (!platform::directory_identity(dirs_[dir].handle, id) || !(id == level.id)) {
    close_directory(dir);
    return platform::OpenStatus::failed;
  }
  dirs_[dir].listed = true;
  level.dir = dir;
  level.reopened = true;
  return platform::OpenStatus::opened;
}

// Takes a descriptor from the budget and runs open into a free entry of
// dirs_, until it succeeds or fails for another reason than a shortage of
// descriptors; short of them, it gives up levels above keep, and when none
// is left, it is out_of_descriptors. A shortage the system reports beyond the
// budget's (other processes filling the system's table) is met the same way.
template <typename Open>
platform::OpenStatus DirectoryWalk::open_listing(std::size_t keep, std::uint32_t& dir, Open open) {
  for (;;) {
    if (budget_.take_listing(leases_ > 0)) {
      const std::uint32_t entry = free_[--free_count_];
      const platform::OpenStatus status = open(dirs_[entry].handle);
      if (status == platform::OpenStatus::opened) {
        dir = entry;
        return status;
      }
      free_[free_count_++] = entry;
      budget_.give_back();
      if (status == platform::OpenStatus::failed) return status;
    }
    if (!give_up_a_descriptor(keep)) return platform::OpenStatus::out_of_descriptors;
  }
}

// Closes the open level nearest the start directory, the one needed again
// last, below keep and lent to no queued file; level 0 stays open so that
// every other can be reopened from it. False when there is none to close.
bool DirectoryWalk::give_up_a_descriptor(std::size_t keep) {
  for (std::size_t i = 1; i < keep; ++i) {
    Level& level = levels_[i];
    if (level.dir != kNone && dirs_[level.dir].leases == 0) {
      close_directory(level.dir);
      level.dir = kNone;
      return true;
    }
  }
  return false;
}

void DirectoryWalk::close_directory(std::uint32_t dir) {
  dirs_[dir].handle.close();
  free_entry(dir);
  budget_.give_back();
}

void DirectoryWalk::free_entry(std::uint32_t dir) {
  dirs_[dir].leases = 0;
  dirs_[dir].listed = false;
  free_[free_count_++] = dir;
}

}  // namespace mirvale
