// Md5Lanes: up to sixteen independent MD5 streams hashed side by side, one
// in each lane of a vector kernel, so that a worker digests many files at
// the speed one stream cannot reach; and the choice of kernel.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/md5_lane_kernels.h"
#include "types.h"

namespace mirvale {

// The lane kernels, narrowest first.
enum class Md5Kernel : std::uint8_t {
  portable,  // 8 lanes in the compiler's generic vectors, on any processor
  avx2,      // 16 lanes in two groups of 256-bit registers
  avx512,    // 16 lanes in 512-bit registers
};

// The widest kernel this processor runs.
Md5Kernel widest_md5_kernel();

// Design. Each lane carries one stream at a time, from start to digest, and
// every stream's digest is exactly MD5Final's for the same bytes. The bytes
// are the caller's: feed lends a lane a span of any length, whose whole
// blocks the kernel reads where they lie; the lane copies only what is left
// of a block at the span's end (at most 63 bytes) and the padding into a
// buffer of its own, so spans that are multiples of 64 bytes but for a
// stream's last are never copied. run() compresses the ready blocks of all
// running lanes together, as many at a time as every one of them has, until
// a lane needs its caller; it reports such lanes in a mask, and the caller
// answers each before calling run() again. An idle lane costs its share of
// the vector, as the kernel computes it on borrowed bytes and throws the
// result away, so a caller keeps its lanes busy while it has streams. An
// object belongs to one thread; its memory is its own 3.3 KiB, fixed at
// construction, and nothing is allocated afterwards.
//
// The life of a lane, and who moves it:
//
//   idle    --start(lane)------------------>  waiting                (caller)
//   waiting --feed(lane, span, last=false)-->  running                (caller)
//   running --span used up---------------->  waiting, reported       (run)
//   waiting --feed(lane, span, last=true)--->  running, then ending    (caller)
//   ending  --padding compressed----------->  done, reported          (run)
//   done    --digest(lane)------------------>  idle                   (caller)
//   any     --drop(lane)-------------------->  idle                   (caller)
//
// A span lent to a lane must stay readable and unchanged until run() reports
// the lane; from then on the caller may reuse it. A lane run() reports stays
// reported until the caller feeds, collects or drops it, so run() returns at
// once while one is left unanswered.
//
// A worker drives it like this, each lane serving one open file at a time
// from a read buffer of its own (16 to 64 KiB; files of any size):
//
//   Md5Lanes md5;                        // the widest kernel of the processor
//   for (int lane = 0; lane < md5.lanes(); lane++) begin_next_file(lane);
//   while (Md5Lanes::LaneMask ready = md5.run()) {
//     for (; ready != 0; ready &= ready - 1) {
//       const int lane = std::countr_zero(ready);
//       Slot& slot = slots[lane];        // the lane's file, buffer and bytes read
//       if (slot.ended) {                // the digest of the last span fed
//         record(slot, md5.digest(lane));
//         begin_next_file(lane);
//       } else if (!read_and_feed(md5, lane, slot)) {
//         record_unreadable(slot);       // a read failed
//         md5.drop(lane);
//         begin_next_file(lane);
//       }
//     }
//   }
//
// where begin_next_file(lane) opens the next queued file, calls
// md5.start(lane) and read_and_feed, or leaves the lane idle when the queue
// is empty; and read_and_feed reads the next chunk into the slot's buffer and
// calls md5.feed(lane, buffer, got, slot.ended), slot.ended being set when
// the read returns 0 or completes the file's known size. run() returns 0 once
// every lane is idle.
class Md5Lanes {
 public:
  using LaneMask = std::uint32_t;  // bit l set: lane l

  // Uses the widest kernel the processor runs, or widest if that is narrower
  // (tests and benchmarks use this to reach every kernel).
  explicit Md5Lanes(Md5Kernel widest = Md5Kernel::avx512);
  Md5Lanes(const Md5Lanes&) = delete;
  Md5Lanes& operator=(const Md5Lanes&) = delete;

  Md5Kernel kernel() const { return kernel_; }
  // The number of lanes, 8 (portable) or 16, numbered from 0: the number of
  // files a worker keeps open to fill them.
  int lanes() const { return lanes_; }

  // Opens a new stream on lane, dropping whatever it held; the lane waits to be fed.
  void start(int lane);
  // Lends a waiting lane the next size bytes of its stream; last says they
  // end it (size may be 0). The bytes must stay as they are until run()
  // reports the lane.
  void feed(int lane, const unsigned char* data, std::size_t size, bool last);
  // Compresses the blocks of every running lane until some lane waits or is
  // done, and returns the mask of those lanes; 0 when every lane is idle.
  LaneMask run();
  // The digest of a done lane, which becomes idle.
  Md5Digest digest(int lane);
  // Forgets the lane's stream; the lane becomes idle.
  void drop(int lane);

 private:
  enum class Phase : std::uint8_t {
    idle,      // no stream
    waiting,   // the stream needs its next span
    joined,    // the held bytes completed from the span, a block in tail; then the span
    in_place,  // whole blocks of the span, read where they lie
    ending,    // the padded end of the stream, in tail
    done,      // the digest is in the lane's state
  };

  struct Lane {
    const unsigned char* next;            // the first block the kernel reads next
    std::size_t blocks;                   // whole blocks ready from next on
    const unsigned char* span;            // the caller's bytes not yet handed to the kernel
    std::size_t span_left;                // how many of them
    std::uint64_t length;                 // bytes fed to the stream so far
    Phase phase;                          // where the stream stands
    bool last;                            // the span fed ends the stream
    std::uint8_t held;                    // bytes of an unfinished block kept in tail
    alignas(64) unsigned char tail[128];  // held bytes, zeros to the block's end; or the padded end
  };

  void settle(Lane& lane);
  void hand_out_span(Lane& lane);
  void keep_rest(Lane& lane);
  void pad(Lane& lane);
  void compress(LaneMask running, std::size_t count);
  void compress_alone(int lane, std::size_t count);
  void compress_together(LaneMask running, std::size_t count);

  Md5LaneStates states_;     // the chaining values of every lane
  Lane lane_[kMd5MaxLanes];  // the streams' bookkeeping
  Md5LaneKernel transform_;  // the chosen kernel
  Md5Kernel kernel_;         // which one it is
  int lanes_;                // its width
};

}  // namespace mirvale
