// The few system calls whose failure or timing the tool must survive,
// reached through one table that a test may point elsewhere: a ring that
// fails on its second entry, a clock that says a file changed just now.
#pragma once

#include <cstdint>

namespace mirvale::platform {

struct SystemCalls {
  // io_uring_enter(2): -1 with errno set on failure.
  long (*io_uring_enter)(int ring, unsigned submit, unsigned wait, unsigned flags);
  // The time of day in nanoseconds since the epoch, on the clock that file
  // times are kept by.
  std::int64_t (*real_time_ns)();
};

// The table every caller goes through; the system's own calls unless a test
// has replaced one. Replace entries only while no other thread uses them.
SystemCalls& system_calls();

}  // namespace mirvale::platform
