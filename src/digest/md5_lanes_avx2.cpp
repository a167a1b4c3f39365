// The AVX2 lane kernel: sixteen MD5 states in two groups of eight, one state
// in each 32-bit lane of a 256-bit register. A step's chain of dependent
// instructions is longer than the processor needs to issue them, so the two
// groups' steps interleave. Built for AVX2 function by function, so the rest
// of the program runs on any x86-64; it is called only where the processor
// has AVX2.
#include "digest/md5_lane_kernels.h"

#if MIRVALE_MD5_X86_KERNELS
#include <immintrin.h>

namespace mirvale {

namespace {

using namespace md5_steps;

#define MIRVALE_AVX2 __attribute__((target("avx2")))

constexpr int kGroups = kMd5Avx2Lanes / 8;  // registers of eight lanes, side by side

// RFC 1321's round functions; AVX2 has no rotation and no three-input logic,
// so each takes two or three instructions.
#define F_AVX2(x, y, z) _mm256_xor_si256(z, _mm256_and_si256(x, _mm256_xor_si256(y, z)))
#define G_AVX2(x, y, z) _mm256_or_si256(_mm256_and_si256(x, z), _mm256_andnot_si256(z, y))
#define H_AVX2(x, y, z) _mm256_xor_si256(x, _mm256_xor_si256(y, z))
#define I_AVX2(x, y, z) _mm256_xor_si256(y, _mm256_or_si256(x, _mm256_xor_si256(z, ones)))

#define ROTL_AVX2(x, s) _mm256_or_si256(_mm256_slli_epi32(x, s), _mm256_srli_epi32(x, 32 - (s)))

// Ends the sum in v here, so that the terms that do not wait on the previous
// step are added while it runs; compilers otherwise tend to add them after
// the round function. Emits no code.
#define SUM_HERE_AVX2(v) __asm__("" : "+x"(v))

// One step in every lane of every group; X[k] + T[i], taken from t, does not
// wait on the previous step.
#define MD5STEP_AVX2(f, w, x, y, z, k, i, s)                            \
  do {                                                                  \
    const __m256i ti = _mm256_set1_epi32(static_cast<int>(t[i]));       \
    for (int g = 0; g < kGroups; g++) {                                 \
      (w)[g] = _mm256_add_epi32((w)[g], _mm256_add_epi32(X[g][k], ti)); \
      SUM_HERE_AVX2((w)[g]);                                            \
      (w)[g] = _mm256_add_epi32((w)[g], f((x)[g], (y)[g], (z)[g]));     \
      (w)[g] = _mm256_add_epi32(ROTL_AVX2((w)[g], (s)), (x)[g]);        \
    }                                                                   \
  } while (0)

// Turns eight rows of eight words, one row per lane, into eight vectors of
// one word of every lane: X[m] = word m of rows 0 to 7.
MIRVALE_AVX2 inline void transpose8(const __m256i r[8], __m256i* X) {
  __m256i t[8], u[8];
  for (int l = 0; l < 8; l += 2) {  // pairs of rows, in each 128-bit half
    t[l] = _mm256_unpacklo_epi32(r[l], r[l + 1]);
    t[l + 1] = _mm256_unpackhi_epi32(r[l], r[l + 1]);
  }
  for (int g = 0; g < 8; g += 4) {  // four rows: half h holds word 4h + m in u[g + m]
    u[g] = _mm256_unpacklo_epi64(t[g], t[g + 2]);
    u[g + 1] = _mm256_unpackhi_epi64(t[g], t[g + 2]);
    u[g + 2] = _mm256_unpacklo_epi64(t[g + 1], t[g + 3]);
    u[g + 3] = _mm256_unpackhi_epi64(t[g + 1], t[g + 3]);
  }
  for (int m = 0; m < 4; m++) {  // rows 0-3 and 4-7 side by side
    X[m] = _mm256_permute2x128_si256(u[m], u[4 + m], 0x20);
    X[4 + m] = _mm256_permute2x128_si256(u[m], u[4 + m], 0x31);
  }
}

// The sixteen message words of each of eight lanes' blocks at offset, one
// vector per word.
MIRVALE_AVX2 inline void load_words(__m256i X[16], const unsigned char* const* blocks,
                                    std::size_t offset) {
  __m256i low[8], high[8];
  for (int l = 0; l < 8; l++) {
    const unsigned char* block = blocks[l] + offset;
    low[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
    high[l] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32));
  }
  transpose8(low, X);
  transpose8(high, X + 8);
}

MIRVALE_AVX2 inline __m256i* group(std::uint32_t* words, int g) {
  return reinterpret_cast<__m256i*>(words + 8 * g);
}

}  // namespace

// Compresses count blocks of each of sixteen lanes into their states.
MIRVALE_AVX2 void md5_transform_lanes_avx2(Md5LaneStates& states,
                                           const unsigned char* const* blocks, std::size_t count) {
  const __m256i ones = _mm256_set1_epi32(-1);
  __m256i a[kGroups], b[kGroups], c[kGroups], d[kGroups];
  for (int g = 0; g < kGroups; g++) {
    a[g] = _mm256_load_si256(group(states.a, g));
    b[g] = _mm256_load_si256(group(states.b, g));
    c[g] = _mm256_load_si256(group(states.c, g));
    d[g] = _mm256_load_si256(group(states.d, g));
  }
  for (std::size_t n = 0; n < count; n++) {
    const std::uint32_t* const t = md5_step_constants_in_memory();
    __m256i X[kGroups][16], a0[kGroups], b0[kGroups], c0[kGroups], d0[kGroups];
    for (int g = 0; g < kGroups; g++) {
      load_words(X[g], blocks + 8 * g, 64 * n);
      a0[g] = a[g];
      b0[g] = b[g];
      c0[g] = c[g];
      d0[g] = d[g];
    }
    MD5_LANE_STEPS(MD5STEP_AVX2, F_AVX2, G_AVX2, H_AVX2, I_AVX2);
    for (int g = 0; g < kGroups; g++) {
      a[g] = _mm256_add_epi32(a[g], a0[g]);
      b[g] = _mm256_add_epi32(b[g], b0[g]);
      c[g] = _mm256_add_epi32(c[g], c0[g]);
      d[g] = _mm256_add_epi32(d[g], d0[g]);
    }
  }
  for (int g = 0; g < kGroups; g++) {
    _mm256_store_si256(group(states.a, g), a[g]);
    _mm256_store_si256(group(states.b, g), b[g]);
    _mm256_store_si256(group(states.c, g), c[g]);
    _mm256_store_si256(group(states.d, g), d[g]);
  }
}

#undef MD5STEP_AVX2
#undef ROTL_AVX2
#undef SUM_HERE_AVX2
#undef F_AVX2
#undef G_AVX2
#undef H_AVX2
#undef I_AVX2
#undef MIRVALE_AVX2

}  // namespace mirvale

#endif  // MIRVALE_MD5_X86_KERNELS
