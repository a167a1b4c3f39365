// The system calls of acting on duplicates: directories opened without links, linkat,
// renameat2, unlinkat, fstatat without following, FIDEDUPERANGE.
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "platform/reclaim.h"
#include "platform/unix_support.h"

namespace mirvale::platform {

namespace {

void take_facts(const struct stat& st, FileFacts& facts) {
  facts.device = static_cast<std::uint64_t>(st.st_dev);
  facts.inode = static_cast<std::uint64_t>(st.st_ino);
  facts.size = static_cast<std::uint64_t>(st.st_size);
  facts.change_s = st.st_ctim.tv_sec;
  facts.change_ns = st.st_ctim.tv_nsec;
  facts.mode = st.st_mode;
  facts.owner = st.st_uid;
  facts.group = st.st_gid;
  facts.links = static_cast<std::uint64_t>(st.st_nlink);
  facts.regular = S_ISREG(st.st_mode);
}

int rename_exchange(int dir, const char* from, const char* to) {
  return static_cast<int>(::syscall(SYS_renameat2, dir, from, dir, to, RENAME_EXCHANGE));
}

int rename_no_replace(int dir, const char* from, const char* to) {
  return static_cast<int>(::syscall(SYS_renameat2, dir, from, dir, to, RENAME_NOREPLACE));
}

// A hard link to the open file under name in dir: through the descriptor
// itself where the caller may (CAP_DAC_READ_SEARCH), else through its link
// in /proc, which always leads to the file the descriptor holds.
bool link_descriptor(const FileHandle& file, int dir, const char* name) {
  if (::linkat(file.fd(), "", dir, name, AT_EMPTY_PATH) == 0) return true;
  if (errno != ENOENT && errno != EPERM) return false;
  char link[40];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", file.fd());
  return ::linkat(AT_FDCWD, link, dir, name, AT_SYMLINK_FOLLOW) == 0;
}

// Where one look at a file's blocks puts what it finds: up to kExtents
// pieces, each a run of the file's bytes and where they lie on disk.
constexpr unsigned kExtents = 64;
struct ExtentMap {
  alignas(fiemap) unsigned char bytes[sizeof(fiemap) + kExtents * sizeof(fiemap_extent)];
  fiemap* map() { return reinterpret_cast<fiemap*>(bytes); }
};

// Maps bytes [offset, end) of the open file, its delayed writes placed
// first; false when the file system cannot tell, or a piece is not plainly
// on disk or has no place yet.
bool map_extents(int fd, std::uint64_t offset, std::uint64_t end, ExtentMap& extents) {
  std::memset(extents.bytes, 0, sizeof extents.bytes);
  fiemap* map = extents.map();
  map->fm_start = offset;
  map->fm_length = end - offset;
  map->fm_flags = FIEMAP_FLAG_SYNC;
  map->fm_extent_count = kExtents;
  if (::ioctl(fd, FS_IOC_FIEMAP, map) != 0) return false;
  constexpr std::uint32_t kUnplain = FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC |
                                     FIEMAP_EXTENT_ENCODED | FIEMAP_EXTENT_DATA_INLINE |
                                     FIEMAP_EXTENT_DATA_TAIL | FIEMAP_EXTENT_NOT_ALIGNED |
                                     FIEMAP_EXTENT_UNWRITTEN;
  for (std::uint32_t i = 0; i < map->fm_mapped_extents; ++i)
    if ((map->fm_extents[i].fe_flags & kUnplain) != 0) return false;
  return true;
}

// The disk address of the byte at logical in a map, and the bytes that
// follow it in the same piece; false in a hole or past what was mapped.
bool disk_address(fiemap* map, std::uint64_t logical, std::uint64_t& physical, std::uint64_t& run) {
  for (std::uint32_t i = 0; i < map->fm_mapped_extents; ++i) {
    const fiemap_extent& e = map->fm_extents[i];
    if (logical < e.fe_logical || logical - e.fe_logical >= e.fe_length) continue;
    physical = e.fe_physical + (logical - e.fe_logical);
    run = e.fe_length - (logical - e.fe_logical);
    return true;
  }
  return false;
}

}  // namespace

bool blocks_already_shared(const FileHandle& kept, const FileHandle& copy, std::uint64_t offset,
                           std::uint64_t length) {
  ExtentMap kept_map, copy_map;
  const std::uint64_t end = offset + length;
  if (!map_extents(kept.fd(), offset, end, kept_map) ||
      !map_extents(copy.fd(), offset, end, copy_map))
    return false;
  for (std::uint64_t at = offset; at < end;) {
    std::uint64_t kept_at, kept_run, copy_at, copy_run;
    if (!disk_address(kept_map.map(), at, kept_at, kept_run) ||
        !disk_address(copy_map.map(), at, copy_at, copy_run) || kept_at != copy_at)
      return false;
    at += kept_run < copy_run ? kept_run : copy_run;
  }
  return true;
}

bool file_facts(const FileHandle& file, FileFacts& facts) {
  struct stat st;
  if (::fstat(file.fd(), &st) != 0) return false;
  take_facts(st, facts);
  return true;
}

OpenStatus open_file_below(DirectoryRef top, const char* relative, FileHandle& out,
                           FileFacts& facts) {
  const OpenStatus status = open_below(top.fd, relative, kReadFlags, out);
  if (status != OpenStatus::opened) return status;
  if (file_facts(out, facts) && facts.regular) return status;
  out.close();
  return OpenStatus::failed;
}

OpenStatus open_directory_below(DirectoryRef top, const char* relative, std::size_t length,
                                FileHandle& out) {
  out.close();
  if (length == 0) return OpenStatus::opened;
  char path[4096];
  if (length >= sizeof path) return OpenStatus::failed;
  std::memcpy(path, relative, length);
  path[length] = '\0';
  return open_below(top.fd, path, O_PATH | O_DIRECTORY | O_NOFOLLOW, out);
}

namespace {

bool look_at_name(DirectoryRef dir, const char* name, FileFacts& found) {
  struct stat st;
  if (::fstatat(dir.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  take_facts(st, found);
  return found.regular;
}

}  // namespace

bool name_holds(DirectoryRef dir, const char* name, const FileFacts& facts) {
  FileFacts found;
  return look_at_name(dir, name, found) && found.same_file(facts);
}

bool name_holds_unchanged(DirectoryRef dir, const char* name, const FileFacts& facts) {
  FileFacts found;
  return look_at_name(dir, name, found) && found.unchanged(facts);
}

NameChange link_in_place(const FileHandle& kept, DirectoryRef dir, const char* name,
                         const FileFacts& copy, const char* temporary) {
  if (!link_descriptor(kept, dir.fd, temporary)) return NameChange::failed;
  if (rename_exchange(dir.fd, temporary, name) != 0) {
    const int error = errno;
    ::unlinkat(dir.fd, temporary, 0);
    errno = error;
    return error == ENOENT ? NameChange::changed : NameChange::failed;
  }
  // name now holds the link; temporary what name held a moment ago.
  if (name_holds(dir, temporary, copy)) {
    ::unlinkat(dir.fd, temporary, 0);
    return NameChange::done;
  }
  if (rename_exchange(dir.fd, temporary, name) != 0) return NameChange::stranded;
  ::unlinkat(dir.fd, temporary, 0);
  return NameChange::changed;
}

NameChange remove_name(DirectoryRef dir, const char* name, const FileFacts& copy,
                       const char* temporary) {
  if (rename_no_replace(dir.fd, name, temporary) != 0)
    return errno == ENOENT ? NameChange::changed : NameChange::failed;
  // What name held now stands under temporary, a fresh random name.
  const bool same = name_holds(dir, temporary, copy);
  if (same && ::unlinkat(dir.fd, temporary, 0) == 0) return NameChange::done;
  const int error = errno;
  if (rename_no_replace(dir.fd, temporary, name) != 0) return NameChange::stranded;
  errno = error;
  return same ? NameChange::failed : NameChange::changed;
}

Sharing share_blocks(const FileHandle& kept, const FileHandle& copy, std::uint64_t offset,
                     std::uint64_t length, std::uint64_t& shared) {
  shared = 0;
  // The request and the one destination the kernel reads after it.
  alignas(8) unsigned char request[sizeof(file_dedupe_range) + sizeof(file_dedupe_range_info)] = {};
  auto* range = reinterpret_cast<file_dedupe_range*>(request);
  auto* info = reinterpret_cast<file_dedupe_range_info*>(request + sizeof(file_dedupe_range));
  range->src_offset = offset;
  range->src_length = length;
  range->dest_count = 1;
  info->dest_fd = copy.fd();
  info->dest_offset = offset;
  int result;
  do {
    result = ::ioctl(kept.fd(), FIDEDUPERANGE, range);
  } while (result != 0 && errno == EINTR);
  if (result != 0 || info->status < 0) {
    if (result == 0) errno = -info->status;
    const int e = errno;
    return e == EOPNOTSUPP || e == ENOTTY || e == EXDEV || e == EINVAL ? Sharing::unsupported
                                                                       : Sharing::failed;
  }
  if (info->status == FILE_DEDUPE_RANGE_DIFFERS) return Sharing::differs;
  shared = info->bytes_deduped;
  return Sharing::shared;
}

bool real_directory_path(const char* path, char* out, std::size_t capacity) {
  char resolved[PATH_MAX];
  if (::realpath(path, resolved) == nullptr) return false;
  struct stat st;
  if (::stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  const std::size_t length = std::strlen(resolved);
  if (length >= capacity) return false;
  std::memcpy(out, resolved, length + 1);
  return true;
}

std::uint64_t random_bits() {
  std::uint64_t bits = 0;
  if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != sizeof bits) {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    bits = static_cast<std::uint64_t>(now.tv_nsec) ^ (static_cast<std::uint64_t>(::getpid()) << 32);
  }
  return bits;
}

}  // namespace mirvale::platform
