// The portable lane kernel: eight MD5 states advanced step by step in plain
// C++, which a compiler may vectorise and a processor overlaps in any case.
#include <bit>

#include "digest/md5_lane_kernels.h"

namespace mirvale {

namespace {

using namespace md5_steps;

constexpr int kLanes = kMd5PortableLanes;

// RFC 1321's round functions.
inline std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return z ^ (x & (y ^ z));
}
inline std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return (x & z) | (y & ~z);
}
inline std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return x ^ y ^ z;
}
inline std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return y ^ (x | ~z);
}

// One step in every lane.
#define MD5STEP_LANES(f, w, x, y, z, k, i, s) \
  for (int l = 0; l < kLanes; l++)            \
  (w)[l] = (x)[l] + std::rotl((w)[l] + f((x)[l], (y)[l], (z)[l]) + X[k][l] + T[i], (s))

// Word k of each lane's block at offset, little-endian whatever the processor.
void decode_lanes(std::uint32_t X[16][kLanes], const unsigned char* const* blocks,
                  std::size_t offset) {
  for (int l = 0; l < kLanes; l++) {
    const unsigned char* block = blocks[l] + offset;
    for (int k = 0; k < 16; k++)
      X[k][l] = static_cast<std::uint32_t>(block[4 * k]) |
                (static_cast<std::uint32_t>(block[4 * k + 1]) << 8) |
                (static_cast<std::uint32_t>(block[4 * k + 2]) << 16) |
                (static_cast<std::uint32_t>(block[4 * k + 3]) << 24);
  }
}

}  // namespace

// Compresses count blocks of each of eight lanes into their states.
void md5_transform_lanes_portable(Md5LaneStates& states, const unsigned char* const* blocks,
                                  std::size_t count) {
  for (std::size_t n = 0; n < count; n++) {
    std::uint32_t X[16][kLanes];
    decode_lanes(X, blocks, 64 * n);
    std::uint32_t a[kLanes], b[kLanes], c[kLanes], d[kLanes];
    for (int l = 0; l < kLanes; l++) {
      a[l] = states.a[l];
      b[l] = states.b[l];
      c[l] = states.c[l];
      d[l] = states.d[l];
    }
    MD5_LANE_STEPS(MD5STEP_LANES, F, G, H, I);
    for (int l = 0; l < kLanes; l++) {
      states.a[l] += a[l];
      states.b[l] += b[l];
      states.c[l] += c[l];
      states.d[l] += d[l];
    }
  }
}

#undef MD5STEP_LANES

}  // namespace mirvale
