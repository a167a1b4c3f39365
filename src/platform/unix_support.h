// Helpers shared by the platform's Unix files only: opens that retry EINTR
// and tell a shortage of descriptors from other failures, the records that
// getdents64 fills in, and whether descriptors are opened and closed with
// the plain system calls only.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "platform/file.h"

namespace mirvale::platform {

// True under ThreadSanitizer, which sees a descriptor opened or closed only
// through the calls it intercepts: there no ring is set up and no raw
// openat2 is made, so that a descriptor number reused is never taken for a
// race, and a race on a descriptor is never hidden.
#if defined(__SANITIZE_THREAD__)
constexpr bool kPlainCallsOnly = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kPlainCallsOnly = true;
#else
constexpr bool kPlainCallsOnly = false;
#endif
#else
constexpr bool kPlainCallsOnly = false;
#endif

// openat with O_CLOEXEC added, retried after EINTR; the descriptor in out.
OpenStatus open_retrying_at(int dir_fd, const char* name, int flags, mode_t mode, FileHandle& out);

// Opens relative, names joined by '/' below the directory top, the last
// with flags (O_CLOEXEC added), no link followed at any depth: in one call
// where the kernel offers openat2, else a directory at a time.
OpenStatus open_below(int top, const char* relative, int flags, FileHandle& out);

// How files to read are opened: never creating, never following a link,
// never blocking, never taking a terminal.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW;

// Keeps out open if it holds a regular file of size bytes, or of any size,
// learnt into size, when size is kAnySize; closes it and reports a failure
// otherwise.
constexpr std::uint64_t kAnySize = ~std::uint64_t{0};
OpenStatus keep_if_regular(OpenStatus status, FileHandle& out, std::uint64_t& size);

// The head of a record that getdents64 fills in, in the kernel's layout,
// which glibc 2.36 does not declare; the zero-terminated name follows it.
struct LinuxDirent64 {
  std::uint64_t d_ino;      // inode number
  std::int64_t d_off;       // position after this entry
  unsigned short d_reclen;  // bytes of this record, name and padding included
  unsigned char d_type;     // DT_* kind, or DT_UNKNOWN
};
constexpr std::size_t kNameAt = 19;  // where the name starts in a record
static_assert(offsetof(LinuxDirent64, d_type) + 1 == kNameAt);

inline const char* name_of(const LinuxDirent64* d) {
  return reinterpret_cast<const char*>(d) + kNameAt;
}

}  // namespace mirvale::platform
