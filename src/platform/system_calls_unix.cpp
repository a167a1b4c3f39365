// The system's own calls behind the table of replaceable ones.
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "platform/system_calls.h"

namespace mirvale::platform {

namespace {

long enter_ring(int ring, unsigned submit, unsigned wait, unsigned flags) {
  return ::syscall(__NR_io_uring_enter, ring, submit, wait, flags, nullptr, 0);
}

std::int64_t real_time_ns() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

SystemCalls calls{enter_ring, real_time_ns};

}  // namespace

SystemCalls& system_calls() {
  return calls;
}

}  // namespace mirvale::platform
