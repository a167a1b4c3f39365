// Directory access on Linux: directories opened with openat and O_NOFOLLOW,
// entries read with getdents64 into one shared buffer and classified by
// d_type (fstatat without following links where the filesystem does not say).
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

#include "platform/listing.h"
#include "platform/unix_support.h"

namespace mirvale::platform {

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NONBLOCK;

}  // namespace

OpenStatus open_directory(const char* pattern, FileHandle& out) {
  return open_retrying_at(AT_FDCWD, pattern, kDirectoryFlags, 0, out);
}

OpenStatus open_directory_at(const FileHandle& dir, const char* name, FileHandle& out) {
  return open_retrying_at(dir.fd(), name, kDirectoryFlags | O_NOFOLLOW, 0, out);
}

bool directory_identity(const FileHandle& dir, DirectoryIdentity& identity) {
  struct stat st;
  if (::fstat(dir.fd(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  identity.device = static_cast<std::uint64_t>(st.st_dev);
  identity.inode = static_cast<std::uint64_t>(st.st_ino);
  return true;
}

// Reading /proc/kcore alone would take days.
bool on_pseudo_filesystem(const FileHandle& dir) {
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
  if (::fstatfs(dir.fd(), &fs) != 0) return false;
  for (unsigned long magic : kPseudo)
    if (static_cast<unsigned long>(fs.f_type) == magic) return true;
  return false;
}

// O_PATH needs no read permission on a directory, only search permission on
// the one below it, as a shell's "cd .." does.
std::size_t directory_ancestors(const FileHandle& dir, DirectoryIdentity* out,
                                std::size_t capacity) {
  DirectoryIdentity below;
  if (!directory_identity(dir, below)) return 0;
  FileHandle parent;
  std::size_t count = 0;
  int at = dir.fd();
  while (count < capacity) {
    FileHandle next;
    if (open_retrying_at(at, "..", O_PATH | O_DIRECTORY, 0, next) != OpenStatus::opened) break;
    parent = std::move(next);
    at = parent.fd();
    struct stat st;
    if (::fstat(at, &st) != 0) break;
    const DirectoryIdentity id{static_cast<std::uint64_t>(st.st_dev),
                               static_cast<std::uint64_t>(st.st_ino)};
    if (id == below) break;  // the root is its own parent
    out[count++] = id;
    below = id;
  }
  return count;
}

void EntryReader::start(const FileHandle& dir, std::int64_t position) {
  dir_ = &dir;
  size_ = 0;
  at_ = 0;
  ended_ = ::lseek(dir.fd(), static_cast<off_t>(position), SEEK_SET) < 0;
}

void EntryReader::begin(const FileHandle& dir) {
  dir_ = &dir;
  size_ = 0;
  at_ = 0;
  ended_ = false;
}

namespace {
// What follows each block kept.
struct Kept {
  std::size_t size;  // bytes of entries before it
  bool ended;        // the directory had no more entries past them
};
}  // namespace

bool EntryReader::keep_rest() {
  const Kept kept{size_ - at_, ended_};
  if (kept.size + sizeof kept > kKeptSize - kept_used_) return false;
  std::memcpy(kept_ + kept_used_, buffer_ + at_, kept.size);
  std::memcpy(kept_ + kept_used_ + kept.size, &kept, sizeof kept);
  kept_used_ += kept.size + sizeof kept;
  return true;
}

void EntryReader::resume_kept(const FileHandle& dir) {
  Kept kept;
  std::memcpy(&kept, kept_ + kept_used_ - sizeof kept, sizeof kept);
  drop_kept();
  std::memcpy(buffer_, kept_ + kept_used_, kept.size);
  dir_ = &dir;
  size_ = kept.size;
  at_ = 0;
  ended_ = kept.ended;
}

void EntryReader::drop_kept() {
  Kept kept;
  std::memcpy(&kept, kept_ + kept_used_ - sizeof kept, sizeof kept);
  kept_used_ -= kept.size + sizeof kept;
}

// Reads the next block of entries; false at the end or on a failure.
bool EntryReader::fill() {
  if (ended_) return false;
  long got;
  do {
    got = ::syscall(SYS_getdents64, dir_->fd(), buffer_, sizeof buffer_);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    ended_ = true;
    return false;
  }
  size_ = static_cast<std::size_t>(got);
  at_ = 0;
  return true;
}

// The next record of any kind, or null at the end.
const void* EntryReader::next_raw() {
  if (at_ >= size_ && !fill()) return nullptr;
  const auto* d = reinterpret_cast<const LinuxDirent64*>(buffer_ + at_);
  // A record the kernel wrote is whole; anything else ends the listing.
  if (d->d_reclen < kNameAt + 1 || d->d_reclen > size_ - at_) {
    ended_ = true;
    size_ = 0;
    return nullptr;
  }
  at_ += d->d_reclen;
  return d;
}

bool EntryReader::next_entry(ListingEntry& entry) {
  while (const void* raw = next_raw()) {
    const auto* d = static_cast<const LinuxDirent64*>(raw);
    unsigned char type = d->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(dir_->fd(), name_of(d), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (S_ISDIR(st.st_mode))
        type = DT_DIR;
      else if (S_ISREG(st.st_mode))
        type = DT_REG;
    }
    if (type != DT_DIR && type != DT_REG) continue;  // links, FIFOs, sockets, devices
    entry.name = name_of(d);
    entry.name_length = ::strnlen(entry.name, d->d_reclen - kNameAt);
    entry.attributes = type == DT_DIR ? kAttributeDirectory : kAttributeNormal;
    entry.inode = d->d_ino;
    entry.position = d->d_off;
    return true;
  }
  return false;
}

bool EntryReader::skip_past(const FileHandle& dir, std::string_view name, std::uint64_t inode) {
  start(dir, 0);
  while (const void* raw = next_raw()) {
    const auto* d = static_cast<const LinuxDirent64*>(raw);
    if (d->d_ino == inode && name == name_of(d)) return true;
  }
  return false;
}

}  // namespace mirvale::platform
