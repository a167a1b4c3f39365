// The size census: how often each file size occurs in the tree, counted in
// fixed memory before any file is digested. A file whose size no other file
// has cannot have a twin, so it needs no digest.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirvale {

// Two-bit saturating counters indexed by the size, or a hash of it. Sizes that share
// a counter are counted together, so a size may be taken for repeated when it
// is not (the cost is a digest nobody needed), but a size that occurs twice
// is never taken for unique.
class SizeCensus {
 public:
  static constexpr std::size_t kCounters = std::size_t{1} << 22;  // 1 MiB of counters

  SizeCensus();
  ~SizeCensus();
  SizeCensus(const SizeCensus&) = delete;
  SizeCensus& operator=(const SizeCensus&) = delete;

  // Counts one more file of size bytes; safe from several threads at once.
  void count(std::uint64_t size);
  // False only when the census is complete and no other file of size bytes was counted.
  bool may_repeat(std::uint64_t size) const;
  // Marks the census incomplete: a walk that did not finish may have missed a
  // file of any size, so every size is then taken for repeated.
  void mark_incomplete() { complete_ = false; }

 private:
  static std::size_t counter_of(std::uint64_t size);
  unsigned counter(std::size_t index) const;

  // Zeroed lazily by the system, so that a tree of few sizes touches few pages.
  std::uint8_t* counters_;
  bool complete_;
};

}  // namespace mirvale
