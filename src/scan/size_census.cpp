// The size census: a fixed table of saturating counters.
#include "scan/size_census.h"

#include <cstdlib>

namespace mirvale {

namespace {
constexpr int kIndexBits = 22;
static_assert(SizeCensus::kCounters == std::size_t{1} << kIndexBits);
constexpr unsigned kRepeated = 2;  // a counter saturates at two files
}  // namespace

SizeCensus::SizeCensus()
    : counters_(static_cast<std::uint8_t*>(std::calloc(kCounters / 4, 1))),
      complete_(counters_ != nullptr) {}

SizeCensus::~SizeCensus() { std::free(counters_); }

// Fibonacci hashing: the high bits of the product depend on every bit of the size.
std::size_t SizeCensus::counter_of(std::uint64_t size) {
  return static_cast<std::size_t>((size * 0x9E3779B97F4A7C15ull) >> (64 - kIndexBits));
}

unsigned SizeCensus::counter(std::size_t index) const {
  return (counters_[index / 4] >> (index % 4 * 2)) & 3u;
}

void SizeCensus::count(std::uint64_t size) {
  if (counters_ == nullptr) return;
  const std::size_t index = counter_of(size);
  if (counter(index) < kRepeated) counters_[index / 4] += static_cast<std::uint8_t>(1u << (index % 4 * 2));
}

bool SizeCensus::may_repeat(std::uint64_t size) const {
  return !complete_ || counter(counter_of(size)) >= kRepeated;
}

}  // namespace mirvale
