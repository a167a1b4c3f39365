// POSIX file access: descriptors opened with O_CLOEXEC, EINTR and short
// transfers retried here and nowhere else, 64-bit offsets throughout.
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "platform/file.h"
#include "platform/system_calls.h"
#include "platform/unix_support.h"

namespace mirvale::platform {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

int FileHandle::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

int FileHandle::close() {
  if (fd_ < 0) return -1;
  int fd = fd_;
  fd_ = -1;
  return ::close(fd);
}

OpenStatus open_retrying_at(int dir_fd, const char* name, int flags, mode_t mode, FileHandle& out) {
  int fd;
  do {
    fd = ::openat(dir_fd, name, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  out = FileHandle(fd);
  if (fd >= 0) return OpenStatus::opened;
  return errno == EMFILE || errno == ENFILE ? OpenStatus::out_of_descriptors : OpenStatus::failed;
}

static FileHandle open_retrying(const char* name, int flags, mode_t mode = 0) {
  FileHandle file;
  open_retrying_at(AT_FDCWD, name, flags, mode, file);
  return file;
}

FileHandle open_working_file(const char* name) {
  return open_retrying(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
}

// Closes file unless it is a regular file.
static FileHandle regular_only(FileHandle file) {
  struct stat st;
  if (file.valid() && (::fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode))) file.close();
  return file;
}

FileHandle open_existing_file(const char* name) {
  return regular_only(open_retrying(name, O_RDONLY | O_NONBLOCK | O_NOCTTY));
}

OpenStatus keep_if_regular(OpenStatus status, FileHandle& out, std::uint64_t& size) {
  if (status != OpenStatus::opened) return status;
  struct stat st;
  if (::fstat(out.fd(), &st) == 0 && S_ISREG(st.st_mode) &&
      (size == kAnySize || static_cast<std::uint64_t>(st.st_size) == size)) {
    size = static_cast<std::uint64_t>(st.st_size);
    return OpenStatus::opened;
  }
  out.close();
  return OpenStatus::failed;
}

OpenStatus open_sized_file_at(DirectoryRef dir, const char* name, std::uint64_t size,
                              FileHandle& out) {
  if (size == kAnySize) return OpenStatus::failed;
  return keep_if_regular(open_retrying_at(dir.fd, name, kReadFlags, 0, out), out, size);
}

OpenStatus open_regular_file_at(DirectoryRef dir, const char* name, FileHandle& out,
                                std::uint64_t& size) {
  size = kAnySize;
  return keep_if_regular(open_retrying_at(dir.fd, name, kReadFlags, 0, out), out, size);
}

// openat2 refusing every link on the way, the last name opened with flags;
// ENOSYS where the kernel (or a sandbox's filter) does not offer it.
static OpenStatus open_resolving_no_links(int dir_fd, const char* relative, int flags,
                                          FileHandle& out) {
  struct open_how how = {};
  how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd;
  do {
    fd = ::syscall(SYS_openat2, dir_fd, relative, &how, sizeof how);
  } while (fd < 0 && errno == EINTR);
  out = FileHandle(static_cast<int>(fd));
  if (fd >= 0) return OpenStatus::opened;
  if (errno == ENOSYS || errno == EPERM) errno = ENOSYS;
  return errno == EMFILE || errno == ENFILE ? OpenStatus::out_of_descriptors : OpenStatus::failed;
}

// The same one directory at a time, for kernels without openat2 and where
// only the plain calls are made.
static OpenStatus open_name_by_name(int dir_fd, const char* relative, int flags, FileHandle& out) {
  FileHandle dir;
  char name[256];
  for (;;) {
    const char* slash = std::strchr(relative, '/');
    if (slash == nullptr)
      return open_retrying_at(dir.valid() ? dir.fd() : dir_fd, relative, flags, 0, out);
    const size_t length = static_cast<size_t>(slash - relative);
    if (length == 0 || length >= sizeof name) return OpenStatus::failed;
    std::memcpy(name, relative, length);
    name[length] = '\0';
    FileHandle next;
    const OpenStatus status = open_retrying_at(dir.valid() ? dir.fd() : dir_fd, name,
                                               O_PATH | O_DIRECTORY | O_NOFOLLOW, 0, next);
    if (status != OpenStatus::opened) return status;
    dir = std::move(next);
    relative = slash + 1;
  }
}

OpenStatus open_below(int top, const char* relative, int flags, FileHandle& out) {
  if (kPlainCallsOnly) return open_name_by_name(top, relative, flags, out);
  const OpenStatus status = open_resolving_no_links(top, relative, flags, out);
  if (status == OpenStatus::failed && errno == ENOSYS)
    return open_name_by_name(top, relative, flags, out);
  return status;
}

OpenStatus open_regular_below(DirectoryRef top, const char* relative, FileHandle& out,
                              std::uint64_t& size) {
  const OpenStatus status = open_below(top.fd, relative, kReadFlags, out);
  size = kAnySize;
  return keep_if_regular(status, out, size);
}

int descriptors_opening_below(DirectoryRef top) {
  if (kPlainCallsOnly) return 2;
  FileHandle probe;
  const OpenStatus status = open_resolving_no_links(top.fd, ".", kReadFlags, probe);
  return status == OpenStatus::failed && errno == ENOSYS ? 2 : 1;
}

bool regular_file_size_at(DirectoryRef dir, const char* name, std::uint64_t& size) {
  struct stat st;
  if (::fstatat(dir.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return false;
  size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

void advise_sequential(const FileHandle& file) {
  // Only advice: a refusal changes nothing that is read.
  (void)::posix_fadvise(file.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
}

long read_some(const FileHandle& file, void* buffer, size_t size) {
  ssize_t got;
  do {
    got = ::read(file.fd(), buffer, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

bool write_all(const FileHandle& file, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t put = ::write(file.fd(), p, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

FileHandle duplicate(const FileHandle& file) {
  // Opened afresh through the descriptor's own link in /proc, which always
  // leads to its file, so that the two read ahead each on its own; where
  // /proc is not there, a copy of the descriptor shares its read-ahead.
  char link[40];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", file.fd());
  FileHandle fresh(::open(link, (kReadFlags & ~O_NOFOLLOW) | O_CLOEXEC));
  struct stat had, got;
  if (fresh.valid() && ::fstat(file.fd(), &had) == 0 && ::fstat(fresh.fd(), &got) == 0 &&
      had.st_dev == got.st_dev && had.st_ino == got.st_ino)
    return fresh;
  return FileHandle(::fcntl(file.fd(), F_DUPFD_CLOEXEC, 0));
}

namespace {

// Where a file system is not known to keep finer times, two status changes
// this close may leave one time: FAT keeps two seconds, others are unknown.
constexpr std::int64_t kCoarsestTime = 2000000000;

// The span within which two changes of the file open as fd may leave it one
// status-change time. File systems that keep nanoseconds take the time from
// the kernel's coarse clock, which moves once a tick.
std::int64_t change_time_granularity(int fd) {
  struct statfs fs;
  if (::fstatfs(fd, &fs) != 0) return kCoarsestTime;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:  // ext2 and ext3 too
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case F2FS_SUPER_MAGIC:
      break;
    default:
      return kCoarsestTime;
  }
  struct timespec tick;
  if (::clock_getres(CLOCK_REALTIME_COARSE, &tick) != 0 || tick.tv_sec != 0) return kCoarsestTime;
  constexpr std::int64_t kLeast = 1000000;  // a millisecond
  return tick.tv_nsec > kLeast ? tick.tv_nsec : kLeast;
}

}  // namespace

bool file_stamp(const FileHandle& file, std::uint64_t& stamp) {
  // The moment is read before the status: a change after the status was
  // read comes later still.
  const std::int64_t now = system_calls().real_time_ns();
  struct stat st;
  if (::fstat(file.fd(), &st) != 0) return false;
  const std::int64_t changed = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 +
                               static_cast<std::int64_t>(st.st_ctim.tv_nsec);
  const std::int64_t age = now - changed;
  if (age < kCoarsestTime && age < change_time_granularity(file.fd())) return false;
  const std::uint64_t parts[] = {
      static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
      static_cast<std::uint64_t>(st.st_size), static_cast<std::uint64_t>(st.st_ctim.tv_sec),
      static_cast<std::uint64_t>(st.st_ctim.tv_nsec)};
  stamp = 0;
  for (std::uint64_t part : parts) {
    stamp = (stamp ^ part) * 0x9e3779b97f4a7c15ull;
    stamp ^= stamp >> 29;
  }
  return true;
}

long read_at(const FileHandle& file, std::uint64_t offset, void* buffer, size_t size) {
  char* p = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    ssize_t got = ::pread(file.fd(), p + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<long>(done);
}

bool write_at(const FileHandle& file, std::uint64_t offset, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    ssize_t put = ::pwrite(file.fd(), p + done, size - done, static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

bool file_size(const FileHandle& file, std::uint64_t& size) {
  struct stat st;
  if (::fstat(file.fd(), &st) != 0) return false;
  size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool remove_file(const char* name) {
  return ::unlink(name) == 0 || errno == ENOENT;
}

}  // namespace mirvale::platform
