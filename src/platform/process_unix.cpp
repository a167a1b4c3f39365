// Process-wide services on Linux.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/process.h"
#include "platform/unix_support.h"

namespace mirvale::platform {

bool open_closed_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free descriptor is fd itself, those below it being open;
    // opening /dev/null never waits, so it is not interrupted.
    if (::open("/dev/null", O_RDWR) != fd) return false;
  }
  return true;
}

void program_path(char* out, size_t capacity, const char* argv0) {
  if (capacity == 0) return;
  ssize_t n = ::readlink("/proc/self/exe", out, capacity - 1);
  if (n > 0) {
    out[n] = '\0';
    return;
  }
  const char* fallback = argv0 != nullptr ? argv0 : "";
  size_t length = std::strlen(fallback);
  if (length > capacity - 1) length = capacity - 1;
  std::memcpy(out, fallback, length);
  out[length] = '\0';
}

bool standard_error_is_terminal() {
  return ::isatty(STDERR_FILENO) == 1;
}

void write_standard_error(const char* text, std::size_t size) {
  FileHandle error(STDERR_FILENO);  // lent, never closed here
  write_all(error, text, size);
  error.release();
}

std::uint64_t monotonic_milliseconds() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

unsigned online_processor_count() {
  long count = ::sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<unsigned>(count) : 1;
}

const char* environment_value(const char* name) {
  return std::getenv(name);
}

void raise_open_file_limit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

void reserve_descriptor_table(std::uint64_t count) {
  const std::uint64_t limit = open_file_limit();
  if (count > limit) count = limit;
  if (count < 2 || count > static_cast<std::uint64_t>(INT_MAX)) return;
  // Descriptor 0 is always open: the lowest free number from count - 1 on.
  const int high = ::fcntl(0, F_DUPFD_CLOEXEC, static_cast<int>(count - 1));
  if (high >= 0) ::close(high);
}

std::uint64_t open_file_limit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<std::uint64_t>(limit.rlim_cur);
}

// Read from /proc/self/fd, less the descriptor that lists it, through a
// buffer on the stack: the workers may have taken all the memory there is.
// Without /proc, by asking after each number in turn.
std::uint64_t open_descriptor_count(std::uint64_t limit) {
  FileHandle fds;
  if (open_retrying_at(AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY, 0, fds) !=
      OpenStatus::opened) {
    constexpr std::uint64_t kProbed = std::uint64_t{1} << 16;
    std::uint64_t count = 0;
    for (std::uint64_t fd = 0; fd < limit && fd < kProbed; ++fd)
      count += ::fcntl(static_cast<int>(fd), F_GETFD) >= 0;
    return count;
  }
  alignas(8) char buffer[4096];
  std::uint64_t count = 0;
  long got;
  while ((got = ::syscall(SYS_getdents64, fds.fd(), buffer, sizeof buffer)) > 0 ||
         (got < 0 && errno == EINTR)) {
    for (long at = 0; at + static_cast<long>(kNameAt) < got;) {
      const auto* d = reinterpret_cast<const LinuxDirent64*>(buffer + at);
      if (d->d_reclen <= kNameAt || d->d_reclen > got - at) break;  // no whole record
      char* end;
      const unsigned long long fd = std::strtoull(name_of(d), &end, 10);
      if (*end == '\0' && end != name_of(d) && fd < limit && fd != static_cast<unsigned>(fds.fd()))
        ++count;
      at += d->d_reclen;
    }
  }
  return count;
}

LockResult lock_current_directory(FileHandle& lock) {
  lock = FileHandle(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!lock.valid()) return LockResult::unavailable;
  int rc;
  do {
    rc = ::flock(lock.fd(), LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return LockResult::acquired;
  bool busy = errno == EWOULDBLOCK;
  lock.close();
  return busy ? LockResult::busy : LockResult::unavailable;
}

}  // namespace mirvale::platform
