// The directory walk: a fixed stack of directory levels, one shared entry
// buffer, the giving up and taking back of descriptors that lets a tree
// deeper than the descriptor limit be walked, and the queue of files being
// digested ahead of the walk.
#include "scan/walk.h"

#include <cstring>
#include <string_view>
#include <utility>

namespace mirvale {

namespace {
constexpr std::string_view kSeparatorText{&kSeparator, 1};

bool is_dot_or_dot_dot(const platform::ListingEntry& entry) {
  std::string_view name(entry.name, entry.name_length);
  return name == "." || name == "..";
}
}  // namespace

void Walk::count_sizes() {
  const std::size_t start_length = path_.length();
  walk(Pass::census);
  // The listing walk meets the same failure, if it lasts, and reports it.
  if (failure_ != Failure::none) census_.mark_incomplete();
  failure_ = Failure::none;
  path_.cut(start_length);
}

void Walk::walk_directory() {
  const std::size_t start_length = path_.length();
  walk(Pass::listing);
  if (failure_ != Failure::out_of_descriptors) path_.cut(start_length);
}

void Walk::walk(Pass pass) {
  pass_ = pass;
  depth_ = 0;
  if (!open_start()) {
    failure_ = Failure::start_path;
    return;
  }
  platform::ListingEntry entry;
  while (failure_ == Failure::none) {
    if (!reader_.next_entry(entry)) {
      if (depth_ == 0) break;
      leave_directory();
      continue;
    }
    if (is_dot_or_dot_dot(entry)) continue;
    // A path that would not fit the buffer is skipped, as the system would refuse it.
    if (!path_.append_entry({entry.name, entry.name_length})) continue;
    if (entry.attributes & platform::kAttributeDirectory) {
      if (enter_directory(entry)) continue;
    } else if (pass_ == Pass::census) {
      count_size(entry);
    } else {
      handle_file(entry);
    }
    if (failure_ != Failure::none) break;
    path_.cut(levels_[depth_].path_length);
  }
  finish_queued(depth_);
  queue_.abandon();  // what a failure left queued
  close_retired();
  // A completed listing keeps the start directory for the report.
  const std::size_t kept = pass == Pass::listing && failure_ == Failure::none ? 1 : 0;
  for (std::size_t i = kept; i <= depth_; ++i) levels_[i].dir.close();
}

// Opens the start directory, named by the scan path followed by the separator.
bool Walk::open_start() {
  Level& start = levels_[0];
  start.path_length = path_.length();
  start.reopened = false;
  bool opened = path_.append(kSeparatorText) &&
                platform::open_directory(path_.c_str(), start.dir) == platform::OpenStatus::opened;
  path_.cut(start.path_length);
  if (!opened || !platform::directory_identity(start.dir, start.id) ||
      platform::on_pseudo_filesystem(start.dir)) {
    start.dir.close();
    return false;
  }
  reader_.start(start.dir, 0);
  return true;
}

// Opens the subdirectory in the scan path, listed as entry, and makes it the
// level being read; false when it is not to be walked.
bool Walk::enter_directory(const platform::ListingEntry& entry) {
  // A directory whose path leaves no room for a name below it cannot be listed.
  if (depth_ + 1 >= kMaxLevels || path_.length() >= ScanPath::kMaxLength) return false;
  Level& parent = levels_[depth_];
  Level& child = levels_[depth_ + 1];
  platform::OpenStatus status = open_borrowing(
      depth_, [&] { return platform::open_directory_at(parent.dir, entry.name, child.dir); });
  if (status == platform::OpenStatus::out_of_descriptors) failure_ = Failure::out_of_descriptors;
  if (status != platform::OpenStatus::opened) return false;
  if (!platform::directory_identity(child.dir, child.id) || refuses(child)) {
    child.dir.close();
    return false;
  }
  parent.resume_at = entry.position;
  child.entry_inode = entry.inode;
  child.path_length = path_.length();
  child.reopened = false;
  child.pending_until = 0;
  ++depth_;
  reader_.start(child.dir, 0);
  return true;
}

// A directory that is its own ancestor (a bind-mount loop) or lies on a
// kernel pseudo-filesystem is not entered.
bool Walk::refuses(const Level& child) const {
  for (std::size_t i = 0; i <= depth_; ++i)
    if (levels_[i].id == child.id) return true;
  // The filesystem can only change where the device does.
  return child.id.device != levels_[depth_].id.device && platform::on_pseudo_filesystem(child.dir);
}

// Closes the level whose listing has ended and goes on reading its parent
// after the subdirectory's entry.
void Walk::leave_directory() {
  Level& child = levels_[depth_];
  retire(child);
  --depth_;
  Level& top = levels_[depth_];
  const std::size_t name_at = top.path_length + 1;
  const std::string_view child_name(path_.c_str() + name_at, child.path_length - name_at);
  if (!top.dir.valid() && !reopen_up_to(depth_)) {
    reader_.start(top.dir, 0);  // nothing more of it can be read
  } else if (top.reopened) {
    // A position means nothing on a new descriptor: the entry itself marks
    // where to go on, so that nothing is delivered twice even when the
    // directory changed meanwhile.
    reader_.skip_past(top.dir, child_name, child.entry_inode);
    top.reopened = false;
  } else {
    reader_.start(top.dir, top.resume_at);
  }
  if (failure_ == Failure::none) path_.cut(top.path_length);
}

// Opens again every given-up level from the deepest open one down to depth.
// False when one of them cannot be opened or is no longer the directory it was.
bool Walk::reopen_up_to(std::size_t depth) {
  std::size_t first = depth;
  while (!levels_[first - 1].dir.valid()) --first;  // level 0 is never given up
  for (std::size_t i = first; i <= depth; ++i)
    if (!reopen(i)) return false;
  return true;
}

bool Walk::reopen(std::size_t depth) {
  const Level& parent = levels_[depth - 1];
  Level& level = levels_[depth];
  char name[ScanPath::kCapacity];
  const std::size_t name_at = parent.path_length + 1;
  const std::size_t name_length = level.path_length - name_at;
  std::memcpy(name, path_.c_str() + name_at, name_length);
  name[name_length] = '\0';
  platform::OpenStatus status = open_borrowing(
      depth - 1, [&] { return platform::open_directory_at(parent.dir, name, level.dir); });
  if (status == platform::OpenStatus::out_of_descriptors) {
    failure_ = Failure::out_of_descriptors;
    path_.cut(level.path_length);
  }
  platform::DirectoryIdentity id;
  if (status != platform::OpenStatus::opened || !platform::directory_identity(level.dir, id) ||
      !(id == level.id)) {
    level.dir.close();
    return false;
  }
  level.reopened = true;
  return true;
}

// Runs open until it succeeds or fails for another reason than a shortage of
// descriptors, first finishing the queued files, whose digests and listings
// hold descriptors, then giving up the descriptors of listings; the levels
// from keep on are left open. A failure of a queued file ends it as failed.
template <typename Open>
platform::OpenStatus Walk::open_borrowing(std::size_t keep, Open open) {
  for (;;) {
    platform::OpenStatus status = open();
    if (status != platform::OpenStatus::out_of_descriptors) return status;
    if (!queue_.empty()) {
      finish_queued(keep);
      if (failure_ != Failure::none) return platform::OpenStatus::failed;
    } else if (!give_up_a_descriptor(keep)) {
      return status;
    }
  }
}

// Closes the open level nearest the start directory, the one needed again
// last, below keep and needed by no queued file; level 0 stays open so that
// every other can be reopened from it. False when there is none to close.
bool Walk::give_up_a_descriptor(std::size_t keep) {
  for (std::size_t i = 1; i < keep; ++i) {
    if (levels_[i].dir.valid() && levels_[i].pending_until <= queue_.popped()) {
      levels_[i].dir.close();
      return true;
    }
  }
  return false;
}

// Queues the file named by the scan path to have its size counted.
void Walk::count_size(const platform::ListingEntry& entry) {
  queue_file(DigestQueue::Job::count_size, entry);
}

// Prints and stores the file named by the scan path and queues it to be
// digested and indexed.
void Walk::handle_file(const platform::ListingEntry& entry) {
  console_.write_line(path_.view());
  if (!names_.append_name()) {
    failure_ = Failure::name_store;
    return;
  }
  queue_file(DigestQueue::Job::digest, entry);
  names_.advance_name_offset();
}

// Queues job for the file of the level being read, once the queue has room.
void Walk::queue_file(DigestQueue::Job job, const platform::ListingEntry& entry) {
  while (failure_ == Failure::none && queue_.oldest_ready()) finish_oldest(depth_);
  if (failure_ == Failure::none && queue_.full()) {
    queue_.wait_for_room();
    do {
      finish_oldest(depth_);  // waits for it, if the workers finished out of order
    } while (failure_ == Failure::none && queue_.oldest_ready());
  }
  if (failure_ != Failure::none) return;
  Level& level = levels_[depth_];
  queue_.push(job, level.dir, {entry.name, entry.name_length}, names_.next_name_offset());
  level.pending_until = queue_.pushed();
  // Without workers each file is indexed before the next is met.
  if (queue_.workers() == 0) finish_oldest(depth_);
}

// Indexes the oldest queued file once it is digested; the levels from keep
// on stay open if descriptors run short. After a failure nothing queued is
// looked at again.
void Walk::finish_oldest(std::size_t keep) {
  DigestQueue::Task& task = queue_.oldest();
  if (task.outcome == DigestQueue::Outcome::out_of_descriptors) retry_oldest(task, keep);
  if (failure_ == Failure::none && task.outcome == DigestQueue::Outcome::digested &&
      !insert_digest(tree_, task.digest, task.name_offset))
    failure_ = Failure::digest_tree;
  if (failure_ != Failure::none) {
    queue_.abandon();
  } else {
    queue_.pop();
  }
  close_retired();
}

void Walk::finish_queued(std::size_t keep) {
  while (failure_ == Failure::none && !queue_.empty()) finish_oldest(keep);
}

// Opens the oldest queued file again after a shortage of descriptors, giving
// up listings that no queued file needs; when none is left, the walk stops
// with the file's path in the scan path.
void Walk::retry_oldest(DigestQueue::Task& task, std::size_t keep) {
  do {
    queue_.redo_oldest();
  } while (task.outcome == DigestQueue::Outcome::out_of_descriptors && give_up_a_descriptor(keep));
  if (task.outcome != DigestQueue::Outcome::out_of_descriptors) return;
  failure_ = Failure::out_of_descriptors;
  names_.read_name(task.name_offset);
}

// Closes a level whose listing has ended, or keeps its descriptor until the
// files queued from it are finished.
void Walk::retire(Level& level) {
  while (level.pending_until > queue_.popped() && retired_count_ == DigestQueue::kSlots)
    finish_oldest(depth_);
  if (level.pending_until <= queue_.popped()) {
    level.dir.close();
    return;
  }
  Retired& retired = retired_[(retired_first_ + retired_count_++) % DigestQueue::kSlots];
  retired.dir = std::move(level.dir);
  retired.close_after = queue_.pushed();
}

// Closes the retired listings whose queued files are all finished.
void Walk::close_retired() {
  while (retired_count_ > 0 && retired_[retired_first_].close_after <= queue_.popped()) {
    retired_[retired_first_].dir.close();
    retired_first_ = (retired_first_ + 1) % DigestQueue::kSlots;
    --retired_count_;
  }
}

}  // namespace mirvale
