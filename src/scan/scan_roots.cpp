// The directories of a run: opening them, the overlap check and the owner of a record.
#include "scan/scan_roots.h"

#include <cstring>

#include "scan/scan_path.h"

namespace mirvale {

bool ScanRoots::assign(char* const* paths, std::size_t count) {
  if (count > kMaxRoots) return false;
  count_ = count;
  for (std::size_t i = 0; i < count; ++i) {
    roots_[i].path = paths[i];
    roots_[i].length = std::strlen(paths[i]);
    roots_[i].skip = roots_[i].length + 1;
    roots_[i].first_name = 0;
    roots_[i].handle.close();  // an earlier run's
  }
  return true;
}

std::size_t ScanRoots::open_all() {
  for (std::size_t i = 0; i < count_; ++i)
    if (!open_one(roots_[i])) return i;
  return count_;
}

// The directory is opened as its path followed by the separator, so that a
// path naming anything but a directory fails.
bool ScanRoots::open_one(ScanRoot& root) {
  char pattern[ScanPath::kCapacity + 1];
  if (root.length >= ScanPath::kCapacity) return false;
  std::memcpy(pattern, root.path, root.length);
  pattern[root.length] = kSeparator;
  pattern[root.length + 1] = '\0';
  if (platform::open_directory(pattern, root.handle) != platform::OpenStatus::opened) return false;
  if (platform::directory_identity(root.handle, root.id) &&
      !platform::on_pseudo_filesystem(root.handle))
    return true;
  root.handle.close();
  return false;
}

// The ancestors live on the stack of this one call, which only a run with
// several directories makes, so that the others never touch their pages.
bool ScanRoots::find_overlap(std::size_t& upper, std::size_t& lower) const {
  platform::DirectoryIdentity ancestors[kMaxAncestors];  // of the directory being checked
  for (std::size_t i = 0; i < count_; ++i) {
    for (std::size_t j = i + 1; j < count_; ++j) {
      if (roots_[i].id == roots_[j].id) {
        upper = i;
        lower = j;
        return true;
      }
    }
    const std::size_t above =
        platform::directory_ancestors(roots_[i].handle, ancestors, kMaxAncestors);
    for (std::size_t j = 0; j < count_; ++j) {
      for (std::size_t a = 0; a < above; ++a) {
        if (j == i || !(ancestors[a] == roots_[j].id)) continue;
        upper = j;
        lower = i;
        return true;
      }
    }
  }
  return false;
}

// Directories are listed one after another, so each one's records follow
// those of the one before.
const ScanRoot& ScanRoots::owner(std::uint64_t offset) const {
  std::size_t low = 0;  // the last root known to start at or before offset
  std::size_t high = count_;
  while (high - low > 1) {
    const std::size_t middle = low + (high - low) / 2;
    if (roots_[middle].first_name <= offset)
      low = middle;
    else
      high = middle;
  }
  return roots_[low];
}

}  // namespace mirvale
