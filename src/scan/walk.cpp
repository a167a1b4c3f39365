// The directory walk: a fixed stack of directory levels, one shared entry
// buffer, and the giving up and taking back of descriptors that lets a tree
// deeper than the descriptor limit be walked.
#include "scan/walk.h"

#include <cstring>
#include <string_view>

namespace mirvale {

namespace {
constexpr std::string_view kSeparatorText{&kSeparator, 1};

bool is_dot_or_dot_dot(const platform::ListingEntry& entry) {
  std::string_view name(entry.name, entry.name_length);
  return name == "." || name == "..";
}
}  // namespace

void Walk::walk_directory() {
  const std::size_t start_length = path_.length();
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
    } else {
      handle_file(entry);
    }
    if (failure_ != Failure::none) break;
    path_.cut(levels_[depth_].path_length);
  }
  for (std::size_t i = 0; i <= depth_; ++i) levels_[i].dir.close();
  if (failure_ != Failure::out_of_descriptors) path_.cut(start_length);
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
  child.dir.close();
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
// descriptors, giving up the descriptors of listings meanwhile; the levels
// from keep on are left open.
template <typename Open>
platform::OpenStatus Walk::open_borrowing(std::size_t keep, Open open) {
  for (;;) {
    platform::OpenStatus status = open();
    if (status != platform::OpenStatus::out_of_descriptors || !give_up_a_descriptor(keep))
      return status;
  }
}

// Closes the open level nearest the start directory, the one needed again
// last, below keep; level 0 stays open so that every other can be reopened
// from it. False when there is none to close.
bool Walk::give_up_a_descriptor(std::size_t keep) {
  for (std::size_t i = 1; i < keep; ++i) {
    if (levels_[i].dir.valid()) {
      levels_[i].dir.close();
      return true;
    }
  }
  return false;
}

// Prints, stores, digests and indexes the file named by the scan path.
void Walk::handle_file(const platform::ListingEntry& entry) {
  console_.write_line(path_.view());
  if (!names_.append_name()) {
    failure_ = Failure::name_store;
    return;
  }
  platform::FileHandle file;
  platform::OpenStatus status = open_borrowing(depth_, [&] {
    return platform::open_regular_file_at(levels_[depth_].dir, entry.name, file);
  });
  if (status == platform::OpenStatus::out_of_descriptors) {
    failure_ = Failure::out_of_descriptors;
    return;
  }
  // An unreadable file is listed and stored but indexed under no digest, so
  // that it can never be reported as a copy of anything.
  if (digest_.digest_file(file) &&
      !insert_digest(tree_, digest_.result(), names_.next_name_offset())) {
    failure_ = Failure::digest_tree;
    return;
  }
  names_.advance_name_offset();
}

}  // namespace mirvale
