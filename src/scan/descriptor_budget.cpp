// The descriptor budget: its size from the process's limit, and taking a
// descriptor as one atomic step, so that workers and the walk share it.
#include "scan/descriptor_budget.h"

#include "platform/process.h"

namespace mirvale {

namespace {
// More than any system lets a process open, and far from overflow.
constexpr std::uint64_t kBoundless = std::uint64_t{1} << 40;
}  // namespace

void DescriptorBudget::reset(unsigned workers) {
  std::uint64_t limit = platform::open_file_limit();
  if (limit == 0 || limit > kBoundless) limit = kBoundless;
  const std::uint64_t open = platform::open_descriptor_count(limit);
  reset(static_cast<std::int64_t>(limit > open ? limit - open : 0), workers);
}

void DescriptorBudget::reset(std::int64_t usable, unsigned workers) {
  usable_ = usable;
  free_.store(usable, std::memory_order_relaxed);
  // A budget too small for a file per worker keeps what it can beyond the
  // least one; the workers that find none free leave their files to the
  // walk's thread. The one more is the walk's own.
  std::int64_t for_workers = usable - kLeastUsable;
  if (for_workers > static_cast<std::int64_t>(workers)) for_workers = workers;
  if (for_workers < 0) for_workers = 0;
  reserve_ = for_workers + 1;
}

// Takes a descriptor if more than spare are free.
bool DescriptorBudget::take(std::int64_t spare) {
  std::int64_t free = free_.load(std::memory_order_relaxed);
  while (free > spare)
    if (free_.compare_exchange_weak(free, free - 1, std::memory_order_relaxed)) return true;
  return false;
}

}  // namespace mirvale
