// The lane streams: each lane's bytes cut into blocks for the kernel, its
// leftover bytes and padding kept in the lane, and the kernel chosen once
// from what the processor offers.
#include "digest/md5_lanes.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "digest/md5.h"

namespace mirvale {

namespace {

// Copies n < 64 bytes in two fixed-size moves, which may overlap: for the
// few bytes a lane keeps, a call of memcpy costs more than the copy.
void copy_short(unsigned char* to, const unsigned char* from, std::size_t n) {
  if (n >= 32) {
    std::memcpy(to, from, 32);
    std::memcpy(to + n - 32, from + n - 32, 32);
  } else if (n >= 16) {
    std::memcpy(to, from, 16);
    std::memcpy(to + n - 16, from + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else if (n > 0) {
    to[0] = from[0];
    to[n / 2] = from[n / 2];
    to[n - 1] = from[n - 1];
  }
}

}  // namespace

// The widest kernel whose instructions the processor and the system both support.
Md5Kernel widest_md5_kernel() {
#if MIRVALE_MD5_X86_KERNELS
  if (__builtin_cpu_supports("avx512f")) return Md5Kernel::avx512;
  if (__builtin_cpu_supports("avx2")) return Md5Kernel::avx2;
#endif
  return Md5Kernel::portable;
}

// Chooses the kernel; every lane starts idle.
Md5Lanes::Md5Lanes(Md5Kernel widest)
    : states_{},
      lane_{},
      transform_(md5_transform_lanes_portable),
      kernel_(Md5Kernel::portable),
      lanes_(kMd5PortableLanes) {
  const Md5Kernel chosen = std::min(widest, widest_md5_kernel());
#if MIRVALE_MD5_X86_KERNELS
  if (chosen == Md5Kernel::avx512) {
    transform_ = md5_transform_lanes_avx512;
    lanes_ = kMd5Avx512Lanes;
  } else if (chosen == Md5Kernel::avx2) {
    transform_ = md5_transform_lanes_avx2;
    lanes_ = kMd5Avx2Lanes;
  }
#endif
  kernel_ = chosen;
}

// Sets the lane's chaining values as MD5Init does and empties its stream.
void Md5Lanes::start(int lane) {
  states_.a[lane] = 0x67452301;
  states_.b[lane] = 0xefcdab89;
  states_.c[lane] = 0x98badcfe;
  states_.d[lane] = 0x10325476;
  Lane& l = lane_[lane];
  l.blocks = 0;
  l.span_left = 0;
  l.length = 0;
  l.held = 0;
  l.last = false;
  l.phase = Phase::waiting;
}

// Completes a held block from the span first, when the lane holds one; then
// hands the span's whole blocks to the kernel.
void Md5Lanes::feed(int lane, const unsigned char* data, std::size_t size, bool last) {
  Lane& l = lane_[lane];
  l.length += size;
  l.last = last;
  l.span = data;
  l.span_left = size;
  if (l.held > 0 && size > 0) {
    const std::size_t take = std::min<std::size_t>(64 - l.held, size);
    copy_short(l.tail + l.held, data, take);
    l.held = static_cast<std::uint8_t>(l.held + take);
    l.span += take;
    l.span_left -= take;
    if (l.held == 64) {
      l.held = 0;
      l.next = l.tail;
      l.blocks = 1;
      l.phase = Phase::joined;
      return;
    }
  }
  hand_out_span(l);
}

// Finds the lane's next blocks once those handed to the kernel are
// compressed, or leaves it waiting or done.
void Md5Lanes::settle(Lane& lane) {
  if (lane.phase == Phase::joined) {
    hand_out_span(lane);
  } else if (lane.phase == Phase::in_place) {
    keep_rest(lane);
  } else {
    lane.phase = Phase::done;
  }
}

// Gives the kernel the span's whole blocks where they lie, or keeps the
// span when it has none.
void Md5Lanes::hand_out_span(Lane& lane) {
  if (lane.span_left < 64) return keep_rest(lane);
  lane.next = lane.span;
  lane.blocks = lane.span_left / 64;
  lane.span += 64 * lane.blocks;
  lane.span_left %= 64;
  lane.phase = Phase::in_place;
}

// Keeps what is left of the span, less than a block, in tail, and pads the
// stream when the span was its last. Bytes begin to be held in a zeroed
// block, so that the padding finds its zeros there.
void Md5Lanes::keep_rest(Lane& lane) {
  if (lane.held == 0) std::memset(lane.tail, 0, 64);
  copy_short(lane.tail + lane.held, lane.span, lane.span_left);
  lane.held = static_cast<std::uint8_t>(lane.held + lane.span_left);
  lane.span_left = 0;
  if (lane.last)
    pad(lane);
  else
    lane.phase = Phase::waiting;
}

// Appends MD5Final's padding to the held bytes: 0x80, the zeros that follow
// them already, and the bit count, little-endian, at the end of their block,
// or of tail's second block when more than 55 bytes are held: bytes 64 to 119
// of tail are zero from construction on and never written.
void Md5Lanes::pad(Lane& lane) {
  const std::size_t end = lane.held < 56 ? 64 : 128;
  lane.tail[lane.held] = 0x80;
  const std::uint64_t bits = lane.length << 3;
  for (int i = 0; i < 8; i++) lane.tail[end - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
  lane.held = 0;
  lane.next = lane.tail;
  lane.blocks = end / 64;
  lane.phase = Phase::ending;
}

// Runs the kernel over as many blocks as every running lane has ready, as
// long as no lane needs the caller.
Md5Lanes::LaneMask Md5Lanes::run() {
  for (;;) {
    LaneMask ready = 0, running = 0;
    std::size_t count = SIZE_MAX;
    for (int i = 0; i < lanes_; i++) {
      const Lane& l = lane_[i];
      if (l.phase == Phase::waiting || l.phase == Phase::done) {
        ready |= LaneMask{1} << i;
      } else if (l.phase != Phase::idle) {
        running |= LaneMask{1} << i;
        count = std::min(count, l.blocks);
      }
    }
    if (ready != 0 || running == 0) return ready;
    compress(running, count);
  }
}

// Compresses count blocks of every running lane; idle lanes read a running
// lane's blocks, and their results are never looked at. A lane running
// alone goes through the one-stream engine, which takes a block in about
// half the time the vector kernel takes for all its lanes.
void Md5Lanes::compress(LaneMask running, std::size_t count) {
  if (std::has_single_bit(running)) {
    compress_alone(std::countr_zero(running), count);
  } else {
    compress_together(running, count);
  }
  for (; running != 0; running &= running - 1) {
    Lane& l = lane_[std::countr_zero(running)];
    l.next += 64 * count;
    l.blocks -= count;
    if (l.blocks == 0) settle(l);
  }
}

void Md5Lanes::compress_alone(int lane, std::size_t count) {
  std::uint32_t state[4] = {states_.a[lane], states_.b[lane], states_.c[lane], states_.d[lane]};
  md5_compress_blocks(state, lane_[lane].next, count);
  states_.a[lane] = state[0];
  states_.b[lane] = state[1];
  states_.c[lane] = state[2];
  states_.d[lane] = state[3];
}

void Md5Lanes::compress_together(LaneMask running, std::size_t count) {
  const unsigned char* blocks[kMd5MaxLanes];
  const unsigned char* borrowed = lane_[std::countr_zero(running)].next;
  for (int i = 0; i < kMd5MaxLanes; i++)
    blocks[i] = (running >> i & 1) != 0 ? lane_[i].next : borrowed;
  transform_(states_, blocks, count);
}

// Encodes the lane's chaining values as MD5Final does.
Md5Digest Md5Lanes::digest(int lane) {
  const std::uint32_t words[4] = {states_.a[lane], states_.b[lane], states_.c[lane],
                                  states_.d[lane]};
  Md5Digest digest;
  for (int i = 0; i < 16; i++) digest[i] = static_cast<std::uint8_t>(words[i / 4] >> (8 * (i % 4)));
  lane_[lane].phase = Phase::idle;
  return digest;
}

// Forgets the lane's stream; its bytes are never read again.
void Md5Lanes::drop(int lane) {
  lane_[lane].phase = Phase::idle;
}

}  // namespace mirvale
