// The size census: a fixed table of saturating counters.
#include "scan/size_census.h"

#include <atomic>
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

SizeCensus::~SizeCensus() {
  std::free(counters_);
}

// A size below the number of counters has a counter of its own, so that the
// many small sizes of a tree share few pages; a larger one is hashed
// (Fibonacci hashing: the high bits of the product depend on every bit).
std::size_t SizeCensus::counter_of(std::uint64_t size) {
  if (size < kCounters) return static_cast<std::size_t>(size);
  return static_cast<std::size_t>((size * 0x9E3779B97F4A7C15ull) >> (64 - kIndexBits));
}

unsigned SizeCensus::counter(std::size_t index) const {
  std::atomic_ref<std::uint8_t> four(counters_[index / 4]);
  return (four.load(std::memory_order_relaxed) >> (index % 4 * 2)) & 3u;
}

void SizeCensus::count(std::uint64_t size) {
  if (counters_ == nullptr) return;
  const std::size_t index = counter_of(size);
  const unsigned shift = index % 4 * 2;
  std::atomic_ref<std::uint8_t> four(counters_[index / 4]);
  std::uint8_t old = four.load(std::memory_order_relaxed);
  while (((old >> shift) & 3u) < kRepeated) {
    const auto counted = static_cast<std::uint8_t>(old + (1u << shift));
    if (four.compare_exchange_weak(old, counted, std::memory_order_relaxed)) return;
  }
}

bool SizeCensus::may_repeat(std::uint64_t size) const {
  return !complete_ || counter(counter_of(size)) >= kRepeated;
}

}  // namespace mirvale
