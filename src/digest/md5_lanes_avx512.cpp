// The AVX-512 lane kernel: sixteen MD5 states, one in each 32-bit lane of a
// 512-bit register, where a round function is one vpternlogd and a rotation
// one vprold. Built for AVX-512F function by function and called only where
// the processor has it.
#include "digest/md5_lane_kernels.h"

#if MIRVALE_MD5_X86_KERNELS
// GCC 12 takes the deliberately undefined vectors of its AVX-512 header for
// uninitialised ones (GCC bug 105593).
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace mirvale {

namespace {

using namespace md5_steps;

#define MIRVALE_AVX512 __attribute__((target("avx512f")))

// RFC 1321's round functions as vpternlogd truth tables over (x, y, z) =
// (0xF0, 0xCC, 0xAA): F = (x & y) | (~x & z), G = (x & z) | (y & ~z),
// H = x ^ y ^ z, I = y ^ (x | ~z).
constexpr int F_TABLE = 0xCA, G_TABLE = 0xE4, H_TABLE = 0x96, I_TABLE = 0x39;

// Ends the sum in v here, so that the terms that do not wait on the previous
// step are added while it runs; compilers otherwise tend to add them after
// the round function. Emits no code.
#define SUM_HERE_AVX512(v) __asm__("" : "+v"(v))

// One step in every lane; X[k] + T[i], taken from t, does not wait on the
// previous step.
#define MD5STEP_AVX512(table, w, x, y, z, k, i, s)                                                \
  do {                                                                                            \
    (w) =                                                                                         \
        _mm512_add_epi32((w), _mm512_add_epi32(X[k], _mm512_set1_epi32(static_cast<int>(t[i])))); \
    SUM_HERE_AVX512(w);                                                                           \
    (w) = _mm512_add_epi32((w), _mm512_ternarylogic_epi32((x), (y), (z), (table)));               \
    (w) = _mm512_add_epi32(_mm512_rol_epi32((w), (s)), (x));                                      \
  } while (0)

// The sixteen message words of each lane's block at offset: the 16 x 16
// words of the blocks, one row per lane, transposed so that X[k] holds word k
// of every lane.
MIRVALE_AVX512 inline void load_words(__m512i X[16], const unsigned char* const* blocks,
                                      std::size_t offset) {
  __m512i r[16], t[16];
  for (int l = 0; l < 16; l++) r[l] = _mm512_loadu_si512(blocks[l] + offset);
  for (int l = 0; l < 16; l += 2) {  // pairs of rows, in each 128-bit quarter
    t[l] = _mm512_unpacklo_epi32(r[l], r[l + 1]);
    t[l + 1] = _mm512_unpackhi_epi32(r[l], r[l + 1]);
  }
  for (int g = 0; g < 16; g += 4) {  // rows g to g + 3: quarter q holds word 4q + m in r[g + m]
    r[g] = _mm512_unpacklo_epi64(t[g], t[g + 2]);
    r[g + 1] = _mm512_unpackhi_epi64(t[g], t[g + 2]);
    r[g + 2] = _mm512_unpacklo_epi64(t[g + 1], t[g + 3]);
    r[g + 3] = _mm512_unpackhi_epi64(t[g + 1], t[g + 3]);
  }
  for (int m = 0; m < 4; m++) {  // quarter q of the four groups side by side
    const __m512i low01 = _mm512_shuffle_i32x4(r[m], r[4 + m], 0x44);
    const __m512i high01 = _mm512_shuffle_i32x4(r[m], r[4 + m], 0xEE);
    const __m512i low23 = _mm512_shuffle_i32x4(r[8 + m], r[12 + m], 0x44);
    const __m512i high23 = _mm512_shuffle_i32x4(r[8 + m], r[12 + m], 0xEE);
    X[m] = _mm512_shuffle_i32x4(low01, low23, 0x88);
    X[4 + m] = _mm512_shuffle_i32x4(low01, low23, 0xDD);
    X[8 + m] = _mm512_shuffle_i32x4(high01, high23, 0x88);
    X[12 + m] = _mm512_shuffle_i32x4(high01, high23, 0xDD);
  }
}

}  // namespace

// Compresses count blocks of each of sixteen lanes into their states.
MIRVALE_AVX512 void md5_transform_lanes_avx512(Md5LaneStates& states,
                                               const unsigned char* const* blocks,
                                               std::size_t count) {
  __m512i a = _mm512_load_si512(states.a);
  __m512i b = _mm512_load_si512(states.b);
  __m512i c = _mm512_load_si512(states.c);
  __m512i d = _mm512_load_si512(states.d);
  for (std::size_t n = 0; n < count; n++) {
    const std::uint32_t* const t = md5_step_constants_in_memory();
    __m512i X[16];
    load_words(X, blocks, 64 * n);
    const __m512i a0 = a, b0 = b, c0 = c, d0 = d;
    MD5_LANE_STEPS(MD5STEP_AVX512, F_TABLE, G_TABLE, H_TABLE, I_TABLE);
    a = _mm512_add_epi32(a, a0);
    b = _mm512_add_epi32(b, b0);
    c = _mm512_add_epi32(c, c0);
    d = _mm512_add_epi32(d, d0);
  }
  _mm512_store_si512(states.a, a);
  _mm512_store_si512(states.b, b);
  _mm512_store_si512(states.c, c);
  _mm512_store_si512(states.d, d);
}

#undef MD5STEP_AVX512
#undef SUM_HERE_AVX512
#undef MIRVALE_AVX512

}  // namespace mirvale

#endif  // MIRVALE_MD5_X86_KERNELS
