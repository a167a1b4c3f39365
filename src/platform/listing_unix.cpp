// Directory listing on Linux: opendir streams classified by d_type (fstatat
// without following links where the filesystem does not say), with loops,
// pseudo-filesystems and descriptor shortage handled here.
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/listing.h"

namespace mirvale::platform {

namespace {

// Filesystems whose files are kernel interfaces, not stored data: reading
// /proc/kcore alone would take days.
bool is_pseudo_filesystem(int fd) {
  static constexpr unsigned long kPseudo[] = {
      PROC_SUPER_MAGIC,
      SYSFS_MAGIC,
      DEBUGFS_MAGIC,
      TRACEFS_MAGIC,
      SECURITYFS_MAGIC,
      CGROUP_SUPER_MAGIC,
      CGROUP2_SUPER_MAGIC,
      PSTOREFS_MAGIC,
      BPF_FS_MAGIC,
      0x62656570 /* configfs */,
      EFIVARFS_MAGIC,
      DEVPTS_SUPER_MAGIC,
      0x65735543 /* fusectl */,
      BINFMTFS_MAGIC,
      SELINUX_MAGIC,
      SMACK_MAGIC,
      0x19800202 /* mqueue */,
      NSFS_MAGIC,
  };
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0) return false;
  for (unsigned long magic : kPseudo)
    if (static_cast<unsigned long>(fs.f_type) == magic) return true;
  return false;
}

DIR* stream_of(void* stream) {
  return static_cast<DIR*>(stream);
}

int open_directory(const char* pattern) {
  int fd;
  do {
    fd = ::open(pattern, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool out_of_descriptors() {
  return errno == EMFILE || errno == ENFILE;
}

}  // namespace

// Gives up the descriptor of the open listing closest to the start of the
// chain, the one that will be needed last. False when none is open.
bool Listing::free_a_descriptor(Listing* parent) {
  Listing* victim = nullptr;
  for (Listing* p = parent; p != nullptr; p = p->parent_)
    if (p->stream_ != nullptr) victim = p;
  return victim != nullptr && victim->suspend();
}

// Makes sure that one more descriptor can be opened besides the listing's
// own, for the file the walk digests next in this directory: without it a
// walk at the descriptor limit would find every file there unreadable.
// Gives up a listing further up the chain when none is left.
void Listing::keep_a_descriptor_spare() {
  const int probe = ::fcntl(::dirfd(stream_of(stream_)), F_DUPFD_CLOEXEC, 0);
  if (probe >= 0)
    ::close(probe);
  else if (out_of_descriptors())
    free_a_descriptor(parent_);
}

bool Listing::refuses_directory(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return true;
  device_ = static_cast<std::uint64_t>(st.st_dev);
  inode_ = static_cast<std::uint64_t>(st.st_ino);
  for (const Listing* p = parent_; p != nullptr; p = p->parent_)
    if (p->device_ == device_ && p->inode_ == inode_) return true;
  // The filesystem can only change where the device does.
  if (parent_ == nullptr || parent_->device_ != device_) return is_pseudo_filesystem(fd);
  return false;
}

// Opens the directory at pattern, borrowing a descriptor from a listing
// further up when none is free; negative on failure.
int Listing::open_borrowing(const char* pattern) {
  int fd = open_directory(pattern);
  while (fd < 0 && out_of_descriptors() && free_a_descriptor(parent_)) fd = open_directory(pattern);
  return fd;
}

// Makes the open directory fd this listing's stream; false, with fd closed,
// when it cannot be listed.
bool Listing::adopt(int fd) {
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return false;
  }
  stream_ = dir;
  keep_a_descriptor_spare();
  return true;
}

bool Listing::open_listing(const char* pattern, Listing* parent) {
  close_listing();
  parent_ = parent;
  int fd = open_borrowing(pattern);
  if (fd < 0) return false;
  if (refuses_directory(fd)) {
    ::close(fd);
    return false;
  }
  return adopt(fd);
}

bool Listing::next_entry(ListingEntry& entry) {
  DIR* dir = stream_of(stream_);
  if (dir == nullptr) return false;
  for (;;) {
    errno = 0;
    struct dirent* d = ::readdir(dir);
    if (d == nullptr) return false;
    unsigned char type = d->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(::dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (S_ISDIR(st.st_mode))
        type = DT_DIR;
      else if (S_ISREG(st.st_mode))
        type = DT_REG;
    }
    if (type != DT_DIR && type != DT_REG) continue;  // links, FIFOs, sockets, devices
    entry.name = d->d_name;
    entry.name_length = std::strlen(d->d_name);
    entry.attributes = type == DT_DIR ? kAttributeDirectory : kAttributeNormal;
    return true;
  }
}

void Listing::close_listing() {
  DIR* dir = stream_of(stream_);
  stream_ = nullptr;
  suspended_ = false;
  if (dir != nullptr) ::closedir(dir);
}

bool Listing::suspend() {
  DIR* dir = stream_of(stream_);
  position_ = ::telldir(dir);
  if (position_ < 0) return false;
  stream_ = nullptr;
  suspended_ = true;
  ::closedir(dir);
  return true;
}

bool Listing::resume(const char* pattern) {
  suspended_ = false;
  int fd = open_borrowing(pattern);
  if (fd < 0) return false;
  struct stat st;
  // A directory replaced while its listing waited is not the one to go on with.
  if (::fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_dev) != device_ ||
      static_cast<std::uint64_t>(st.st_ino) != inode_) {
    ::close(fd);
    return false;
  }
  if (!adopt(fd)) return false;
  ::seekdir(stream_of(stream_), position_);
  return true;
}

}  // namespace mirvale::platform
