// The portable lane kernel: eight MD5 states in the compiler's generic
// vectors, which it maps on each processor to the vector instructions it has
// (two SSE2 registers on any x86-64, two NEON registers on ARM), or to plain
// instructions where there are none.
#include <cstring>

#include "digest/md5_lane_kernels.h"

namespace mirvale {

namespace {

using namespace md5_steps;

// One 32-bit word of each of the eight lanes.
typedef std::uint32_t Words __attribute__((vector_size(4 * kMd5PortableLanes)));

// RFC 1321's round functions.
#define F_WORDS(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define G_WORDS(x, y, z) (((x) & (z)) | ((y) & ~(z)))
#define H_WORDS(x, y, z) ((x) ^ (y) ^ (z))
#define I_WORDS(x, y, z) ((y) ^ ((x) | ~(z)))

// One step in every lane.
#define MD5STEP_WORDS(f, w, x, y, z, k, i, s)         \
  do {                                                \
    (w) += X[k] + T[i];                               \
    (w) += f((x), (y), (z));                          \
    (w) = (((w) << (s)) | ((w) >> (32 - (s)))) + (x); \
  } while (0)

// The sixteen message words of each lane's block at offset, little-endian
// whatever the processor.
void decode_lanes(Words X[16], const unsigned char* const* blocks, std::size_t offset) {
  for (int l = 0; l < kMd5PortableLanes; l++) {
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
  Words a, b, c, d;
  std::memcpy(&a, states.a, sizeof a);
  std::memcpy(&b, states.b, sizeof b);
  std::memcpy(&c, states.c, sizeof c);
  std::memcpy(&d, states.d, sizeof d);
  for (std::size_t n = 0; n < count; n++) {
    Words X[16];
    decode_lanes(X, blocks, 64 * n);
    const Words a0 = a, b0 = b, c0 = c, d0 = d;
    MD5_LANE_STEPS(MD5STEP_WORDS, F_WORDS, G_WORDS, H_WORDS, I_WORDS);
    a += a0;
    b += b0;
    c += c0;
    d += d0;
  }
  std::memcpy(states.a, &a, sizeof a);
  std::memcpy(states.b, &b, sizeof b);
  std::memcpy(states.c, &c, sizeof c);
  std::memcpy(states.d, &d, sizeof d);
}

#undef MD5STEP_WORDS
#undef F_WORDS
#undef G_WORDS
#undef H_WORDS
#undef I_WORDS

}  // namespace mirvale
