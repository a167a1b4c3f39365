// The lane kernels: MD5's compression function applied to many independent
// states at once, one state in each 32-bit lane of a vector, and the listing
// of the 64 steps that every kernel expands with its own step.
#pragma once

#include <cstddef>
#include <cstdint>

#include "digest/md5_steps.h"

// The AVX2 and AVX-512 kernels are built, each function for its own
// instruction set, wherever the compiler can target x86-64 extensions per
// function; the portable kernel is built everywhere.
#if defined(__x86_64__) && defined(__GNUC__)
#define MIRVALE_MD5_X86_KERNELS 1
#else
#define MIRVALE_MD5_X86_KERNELS 0
#endif

namespace mirvale {

constexpr int kMd5MaxLanes = 16;  // the widest kernel's lanes

// The chaining values of every lane, one array per word, so that a kernel
// loads one word of all its lanes with a single instruction.
struct Md5LaneStates {
  alignas(64) std::uint32_t a[kMd5MaxLanes];  // chaining value A of each lane
  alignas(64) std::uint32_t b[kMd5MaxLanes];  // chaining value B of each lane
  alignas(64) std::uint32_t c[kMd5MaxLanes];  // chaining value C of each lane
  alignas(64) std::uint32_t d[kMd5MaxLanes];  // chaining value D of each lane
};

// A kernel compresses count consecutive 64-byte blocks into each of its lanes'
// states: the j-th block of lane l starts at blocks[l] + 64 j. It reads count
// blocks for every lane of its width, so a lane without a stream must point
// at some readable blocks too; its state is then garbage.
using Md5LaneKernel = void (*)(Md5LaneStates& states, const unsigned char* const* blocks,
                               std::size_t count);

constexpr int kMd5PortableLanes = 8;
void md5_transform_lanes_portable(Md5LaneStates& states, const unsigned char* const* blocks,
                                  std::size_t count);
#if MIRVALE_MD5_X86_KERNELS
// RFC 1321's T table at an address the compiler cannot see through, so that
// a vector kernel adds each constant straight from memory. Left to itself, the
// compiler builds each constant in a register, and as they do not change from
// block to block, keeps all 64 on the stack, which costs more than the loads.
// A kernel takes the table once for each block.
inline const std::uint32_t* md5_step_constants_in_memory() {
  const std::uint32_t* table = md5_steps::T;
  __asm__ volatile("" : "+r"(table));
  return table;
}

constexpr int kMd5Avx2Lanes = 16;
// Only on a processor with AVX2.
void md5_transform_lanes_avx2(Md5LaneStates& states, const unsigned char* const* blocks,
                              std::size_t count);
constexpr int kMd5Avx512Lanes = 16;
// Only on a processor with AVX-512 Foundation.
void md5_transform_lanes_avx512(Md5LaneStates& states, const unsigned char* const* blocks,
                                std::size_t count);
#endif

}  // namespace mirvale

// The 64 steps of RFC 1321 over the working values a, b, c, d and the message
// words X[0..15] of the including function. STEP(f, w, x, y, z, k, i, s)
// is the kernel's own step: w := x + ((w + f(x, y, z) + X[k] + T[i]) <<< s);
// F, G, H and I stand for the round functions in the kernel's own terms.
// clang-format off
#define MD5_LANE_STEPS(STEP, F, G, H, I) \
  STEP(F, a, b, c, d, 0, 0, S11);   STEP(F, d, a, b, c, 1, 1, S12);   \
  STEP(F, c, d, a, b, 2, 2, S13);   STEP(F, b, c, d, a, 3, 3, S14);   \
  STEP(F, a, b, c, d, 4, 4, S11);   STEP(F, d, a, b, c, 5, 5, S12);   \
  STEP(F, c, d, a, b, 6, 6, S13);   STEP(F, b, c, d, a, 7, 7, S14);   \
  STEP(F, a, b, c, d, 8, 8, S11);   STEP(F, d, a, b, c, 9, 9, S12);   \
  STEP(F, c, d, a, b, 10, 10, S13); STEP(F, b, c, d, a, 11, 11, S14); \
  STEP(F, a, b, c, d, 12, 12, S11); STEP(F, d, a, b, c, 13, 13, S12); \
  STEP(F, c, d, a, b, 14, 14, S13); STEP(F, b, c, d, a, 15, 15, S14); \
  STEP(G, a, b, c, d, 1, 16, S21);  STEP(G, d, a, b, c, 6, 17, S22);  \
  STEP(G, c, d, a, b, 11, 18, S23); STEP(G, b, c, d, a, 0, 19, S24);  \
  STEP(G, a, b, c, d, 5, 20, S21);  STEP(G, d, a, b, c, 10, 21, S22); \
  STEP(G, c, d, a, b, 15, 22, S23); STEP(G, b, c, d, a, 4, 23, S24);  \
  STEP(G, a, b, c, d, 9, 24, S21);  STEP(G, d, a, b, c, 14, 25, S22); \
  STEP(G, c, d, a, b, 3, 26, S23);  STEP(G, b, c, d, a, 8, 27, S24);  \
  STEP(G, a, b, c, d, 13, 28, S21); STEP(G, d, a, b, c, 2, 29, S22);  \
  STEP(G, c, d, a, b, 7, 30, S23);  STEP(G, b, c, d, a, 12, 31, S24); \
  STEP(H, a, b, c, d, 5, 32, S31);  STEP(H, d, a, b, c, 8, 33, S32);  \
  STEP(H, c, d, a, b, 11, 34, S33); STEP(H, b, c, d, a, 14, 35, S34); \
  STEP(H, a, b, c, d, 1, 36, S31);  STEP(H, d, a, b, c, 4, 37, S32);  \
  STEP(H, c, d, a, b, 7, 38, S33);  STEP(H, b, c, d, a, 10, 39, S34); \
  STEP(H, a, b, c, d, 13, 40, S31); STEP(H, d, a, b, c, 0, 41, S32);  \
  STEP(H, c, d, a, b, 3, 42, S33);  STEP(H, b, c, d, a, 6, 43, S34);  \
  STEP(H, a, b, c, d, 9, 44, S31);  STEP(H, d, a, b, c, 12, 45, S32); \
  STEP(H, c, d, a, b, 15, 46, S33); STEP(H, b, c, d, a, 2, 47, S34);  \
  STEP(I, a, b, c, d, 0, 48, S41);  STEP(I, d, a, b, c, 7, 49, S42);  \
  STEP(I, c, d, a, b, 14, 50, S43); STEP(I, b, c, d, a, 5, 51, S44);  \
  STEP(I, a, b, c, d, 12, 52, S41); STEP(I, d, a, b, c, 3, 53, S42);  \
  STEP(I, c, d, a, b, 10, 54, S43); STEP(I, b, c, d, a, 1, 55, S44);  \
  STEP(I, a, b, c, d, 8, 56, S41);  STEP(I, d, a, b, c, 15, 57, S42); \
  STEP(I, c, d, a, b, 6, 58, S43);  STEP(I, b, c, d, a, 13, 59, S44); \
  STEP(I, a, b, c, d, 4, 60, S41);  STEP(I, d, a, b, c, 11, 61, S42); \
  STEP(I, c, d, a, b, 2, 62, S43);  STEP(I, b, c, d, a, 9, 63, S44)
// clang-format on
