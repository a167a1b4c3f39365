// The size and prefix censuses: fixed tables of saturating counters.
#include "scan/size_census.h"

#include <bit>
#include <cstdlib>
#include <cstring>

namespace mirvale {

namespace {
constexpr unsigned kRepeated = 2;  // a counter saturates at two files
constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kMix = 0xC2B2AE3D27D4EB4Full;

std::uint64_t load_word(const unsigned char* at) {
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

std::uint64_t mix_word(std::uint64_t state, std::uint64_t word) {
  return std::rotl(state + word * kMix, 31) * kGolden;
}
}  // namespace

CensusCounters::CensusCounters(int index_bits)
    : counters_(static_cast<std::uint8_t*>(std::calloc((std::size_t{1} << index_bits) / 4, 1))),
      index_bits_(index_bits) {}

CensusCounters::~CensusCounters() {
  std::free(counters_);
}

// A key below the number of counters has a counter of its own, so that the
// many small sizes of a tree share few pages; a larger one is hashed
// (Fibonacci hashing: the high bits of the product depend on every bit).
std::size_t CensusCounters::counter_of(std::uint64_t key) const {
  if (key < (std::uint64_t{1} << index_bits_)) return static_cast<std::size_t>(key);
  return static_cast<std::size_t>((key * kGolden) >> (64 - index_bits_));
}

unsigned CensusCounters::count(std::uint64_t key) {
  if (counters_ == nullptr) return kRepeated;
  const std::size_t index = counter_of(key);
  const unsigned shift = index % 4 * 2;
  std::atomic_ref<std::uint8_t> four(counters_[index / 4]);
  std::uint8_t old = four.load(std::memory_order_relaxed);
  while (((old >> shift) & 3u) < kRepeated) {
    const auto counted = static_cast<std::uint8_t>(old + (1u << shift));
    if (four.compare_exchange_weak(old, counted, std::memory_order_relaxed))
      return (old >> shift) & 3u;
  }
  return kRepeated;
}

bool CensusCounters::counted_twice(std::uint64_t key) const {
  if (counters_ == nullptr) return true;
  const std::size_t index = counter_of(key);
  std::atomic_ref<std::uint8_t> four(counters_[index / 4]);
  return ((four.load(std::memory_order_relaxed) >> (index % 4 * 2)) & 3u) >= kRepeated;
}

SizeCensus::SizeCensus()
    : sizes_(kSizeIndexBits),
      prefixes_(kPrefixIndexBits),
      complete_(sizes_.allocated()),
      prefixes_complete_(prefixes_.allocated()) {}

void SizeCensus::count(std::uint64_t size) {
  files_.fetch_add(1, std::memory_order_relaxed);
  const unsigned before = sizes_.count(size);
  if (before == 0) singles_.fetch_add(1, std::memory_order_relaxed);
  if (before == 1) singles_.fetch_sub(1, std::memory_order_relaxed);
  // The second file of a size brings the first one's bytes along.
  if (before > 0)
    repeating_bytes_.fetch_add(before == 1 ? 2 * size : size, std::memory_order_relaxed);
}

bool SizeCensus::sizes_mostly_repeat() const {
  return complete_ &&
         singles_.load(std::memory_order_relaxed) * 64 <= files_.load(std::memory_order_relaxed);
}

namespace {
// The prefix census's key: the block's hash and the size, mixed so that
// neither alone decides the counter.
std::uint64_t prefix_key(std::uint64_t size, std::uint64_t block_hash) {
  return mix_word(block_hash, size) | (std::uint64_t{1} << 63);
}
}  // namespace

void SizeCensus::count_prefix(std::uint64_t size, std::uint64_t block_hash) {
  prefixes_.count(prefix_key(size, block_hash));
}

bool SizeCensus::prefix_may_repeat(std::uint64_t size, std::uint64_t block_hash) const {
  return !prefixes_complete() || prefixes_.counted_twice(prefix_key(size, block_hash));
}

// Four independent lanes of 8-byte words, then the bytes left over, then
// the lanes folded together with the length.
std::uint64_t hash_block(const unsigned char* bytes, std::size_t size) {
  std::uint64_t lane[4] = {kGolden, kMix, ~kGolden, ~kMix};
  std::size_t at = 0;
  for (; at + 32 <= size; at += 32)
    for (int i = 0; i < 4; i++) lane[i] = mix_word(lane[i], load_word(bytes + at + 8 * i));
  std::uint64_t hash = size;
  for (; at < size; at++) hash = mix_word(hash, bytes[at]);
  for (std::uint64_t word : lane) hash = mix_word(hash, word);
  return hash ^ (hash >> 29);
}

}  // namespace mirvale
