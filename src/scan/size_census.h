// The size census: how often each file size occurs in the tree, counted in
// fixed memory before any file is digested. A file whose size no other file
// has cannot have a twin, so it needs no digest. Beside it, the prefix
// census counts the large files by size and first block, so that a large
// file whose first block no other file of its size shares is not read whole.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace mirvale {

// Two-bit saturating counters indexed by a key, or a hash of it. Keys that
// share a counter are counted together, so a key may be taken for repeated
// when it is not (the cost is a digest nobody needed), but a key counted
// twice is never taken for unique.
class CensusCounters {
 public:
  // 2^index_bits counters, zeroed lazily by the system, so that a tree of
  // few keys touches few pages.
  explicit CensusCounters(int index_bits);
  ~CensusCounters();
  CensusCounters(const CensusCounters&) = delete;
  CensusCounters& operator=(const CensusCounters&) = delete;

  bool allocated() const { return counters_ != nullptr; }
  // Counts one more file under key, and returns the count before it, at
  // most 2; safe from several threads at once.
  unsigned count(std::uint64_t key);
  // True when key was counted twice, or shares a counter that was.
  bool counted_twice(std::uint64_t key) const;

 private:
  std::size_t counter_of(std::uint64_t key) const;

  std::uint8_t* counters_;  // four counters a byte
  int index_bits_;          // log2 of the number of counters
};

class SizeCensus {
 public:
  static constexpr int kSizeIndexBits = 22;    // 1 MiB of counters
  static constexpr int kPrefixIndexBits = 20;  // 256 KiB of counters
  // Bytes of a file's first block, hashed for the prefix census.
  static constexpr std::size_t kPrefixBlock = 4096;
  // Files at least this large take the prefix census: an open and a read of
  // the first block cost about as much as reading and hashing 32 KiB, which
  // a skipped file of this size repays several times over.
  static constexpr std::uint64_t kPrefixMinSize = 128 * 1024;

  SizeCensus();

  // Counts one more file of size bytes; safe from several threads at once.
  void count(std::uint64_t size);
  // False only when the census is complete and no other file of size bytes was counted.
  bool may_repeat(std::uint64_t size) const { return !complete_ || sizes_.counted_twice(size); }
  // Marks the census incomplete: a walk that did not finish may have missed a
  // file of any size, so every size is then taken for repeated, and so is
  // every first block.
  void mark_incomplete() {
    complete_ = false;
    mark_prefixes_incomplete();
  }

  // About the bytes of the files whose size another file has too: those
  // that may be digested. Sizes that share a counter make it more.
  std::uint64_t repeating_bytes() const { return repeating_bytes_.load(std::memory_order_relaxed); }

  // True when the census is complete and at most one file in 64 has a size
  // of its own: then nearly every file is to be read, and is best opened
  // first and asked its size on the descriptor.
  bool sizes_mostly_repeat() const;

  // True when a file of size bytes takes the prefix census.
  static bool takes_prefix(std::uint64_t size) { return size >= kPrefixMinSize; }
  // Counts a file of size bytes whose first block hashes to block_hash.
  void count_prefix(std::uint64_t size, std::uint64_t block_hash);
  // Marks the prefix census incomplete, when some file that takes it could
  // not be counted; safe from several threads at once.
  void mark_prefixes_incomplete() { prefixes_complete_.store(false, std::memory_order_relaxed); }
  // True when the prefix census is complete, so that a file's first block can rule it out.
  bool prefixes_complete() const { return prefixes_complete_.load(std::memory_order_relaxed); }
  // False only when the prefix census is complete and no other file of size
  // bytes was counted with a first block of the same hash.
  bool prefix_may_repeat(std::uint64_t size, std::uint64_t block_hash) const;

 private:
  CensusCounters sizes_;
  CensusCounters prefixes_;
  std::atomic<std::uint64_t> files_{0};            // files counted
  std::atomic<std::uint64_t> singles_{0};          // counters that hold exactly one file
  std::atomic<std::uint64_t> repeating_bytes_{0};  // see repeating_bytes()
  bool complete_;                                  // every file of the tree was counted
  std::atomic<bool> prefixes_complete_;  // every file that takes the prefix census was counted
};

// A 64-bit hash of a file's first block for the prefix census: quick, and
// good enough that unrelated blocks seldom share a counter; two blocks that
// hash alike only cost a digest.
std::uint64_t hash_block(const unsigned char* bytes, std::size_t size);

}  // namespace mirvale
