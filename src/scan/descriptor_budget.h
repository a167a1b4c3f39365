// The descriptor budget of a scan: how many descriptors the run may hold at
// once, and the share of them that listings may never take while files are
// queued, so that a file to read is never starved by the directories above it.
#pragma once

#include <atomic>
#include <cstdint>

namespace mirvale {

// One object per run, owned by the driver. Every descriptor a scan opens
// (a listing on the walk's thread, a file on a worker's or the walk's) is
// taken from it first and given back once closed; what the run held when
// the budget was set (the standard descriptors, the lock, the working files,
// whatever the parent left open) is not part of it. A take never waits: it
// fails, and the caller gives up a listing or waits for the queue to empty.
class DescriptorBudget {
 public:
  // The least budget that holds the start directory, one listing below it
  // and one file: any tree can be walked with it, a descriptor at a time.
  static constexpr std::int64_t kLeastUsable = 3;

  // Sets the budget to the descriptors the process may still open: the
  // soft limit, less those open now. Up to workers of them are kept for the
  // workers' files while files are queued, and one more for a file the
  // walk's own thread reads.
  void reset(unsigned workers);
  // The same for a budget of usable descriptors.
  void reset(std::int64_t usable, unsigned workers);

  // Takes a descriptor for a listing, on the walk's thread. While files are
  // queued (busy), the reserve stays untouched; with none queued, no file is
  // open and the whole budget may be taken.
  bool take_listing(bool busy) { return take(busy ? reserve_ : 0); }
  // Takes a descriptor for a file to read, on any thread.
  bool take_file() { return take(0); }
  // Gives back a descriptor that has been closed.
  void give_back() { free_.fetch_add(1, std::memory_order_relaxed); }
  // True when every descriptor is taken.
  bool exhausted() const { return free_.load(std::memory_order_relaxed) <= 0; }
  std::int64_t usable() const { return usable_; }

 private:
  bool take(std::int64_t spare);

  // Descriptors not taken. Only the count matters, never which thread saw
  // it first, so every access is relaxed.
  std::atomic<std::int64_t> free_{0};
  std::int64_t usable_ = 0;   // the budget's size
  std::int64_t reserve_ = 0;  // left to files while files are queued
};

}  // namespace mirvale
