// The MD5 engine: RFC 1321's context operations, its compression function
// MD5Transform and the little-endian helpers Encode and Decode.
#include "digest/md5.h"

#include <bit>
#include <cstring>

#include "digest/md5_steps.h"

namespace mirvale {

namespace {

using namespace md5_steps;

// The byte 0x80 and zeros: what MD5Final appends to the message before its length.
constexpr unsigned char PADDING[64] = {0x80};

// The round functions, in forms equal to RFC 1321's F, G, H and I but with a
// shorter chain through x, the word the previous step produced. G splits in two
// bit-disjoint halves so that the half without x can be added early.
inline std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return z ^ (x & (y ^ z));
}
inline std::uint32_t G_without_x(std::uint32_t y, std::uint32_t z) {
  return y & ~z;
}
inline std::uint32_t G_with_x(std::uint32_t x, std::uint32_t z) {
  return x & z;
}
inline std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return x ^ y ^ z;
}
inline std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
  return y ^ (x | ~z);
}

// Ends the sum in a here, so that the terms that do not wait on the previous
// step are added while that step is still running; compilers otherwise tend to
// add them after the round function. Emits no code.
#if defined(__GNUC__)
#define MD5_SUM_HERE(a) __asm__("" : "+r"(a))
#else
#define MD5_SUM_HERE(a) ((void)0)
#endif

// One step: a := b + ((a + f(b, c, d) + x + t) <<< s).
#define MD5STEP(f, a, b, c, d, x, t, s) \
  do {                                  \
    (a) += (x) + (t);                   \
    MD5_SUM_HERE(a);                    \
    (a) += f((b), (c), (d));            \
    (a) = std::rotl((a), (s)) + (b);    \
  } while (0)

// The step of round 2, with G's halves added apart.
#define MD5STEP_G(a, b, c, d, x, t, s)        \
  do {                                        \
    (a) += (x) + (t) + G_without_x((c), (d)); \
    MD5_SUM_HERE(a);                          \
    (a) += G_with_x((b), (d));                \
    (a) = std::rotl((a), (s)) + (b);          \
  } while (0)

// Writes len / 4 words to output as little-endian bytes.
void Encode(unsigned char* output, const std::uint32_t* input, unsigned int len) {
  for (unsigned int i = 0, j = 0; j < len; i++, j += 4) {
    output[j] = static_cast<unsigned char>(input[i]);
    output[j + 1] = static_cast<unsigned char>(input[i] >> 8);
    output[j + 2] = static_cast<unsigned char>(input[i] >> 16);
    output[j + 3] = static_cast<unsigned char>(input[i] >> 24);
  }
}

// Reads len bytes of input as len / 4 little-endian words.
inline void Decode(std::uint32_t* output, const unsigned char* input, unsigned int len) {
  for (unsigned int i = 0, j = 0; j < len; i++, j += 4)
    output[i] = static_cast<std::uint32_t>(input[j]) |
                (static_cast<std::uint32_t>(input[j + 1]) << 8) |
                (static_cast<std::uint32_t>(input[j + 2]) << 16) |
                (static_cast<std::uint32_t>(input[j + 3]) << 24);
}

// Compresses one 64-byte block into state. Each message word X[k] is decoded
// from the block where a step needs it, a single load on a little-endian
// processor, so no copy of the block is left behind to be cleared.
inline void MD5Transform(std::uint32_t state[4], const unsigned char block[64]) {
  const struct {
    const unsigned char* block;
    std::uint32_t operator[](int k) const {
      std::uint32_t word;
      Decode(&word, block + 4 * k, 4);
      return word;
    }
  } X{block};
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

  MD5STEP(F, a, b, c, d, X[0], T[0], S11);
  MD5STEP(F, d, a, b, c, X[1], T[1], S12);
  MD5STEP(F, c, d, a, b, X[2], T[2], S13);
  MD5STEP(F, b, c, d, a, X[3], T[3], S14);
  MD5STEP(F, a, b, c, d, X[4], T[4], S11);
  MD5STEP(F, d, a, b, c, X[5], T[5], S12);
  MD5STEP(F, c, d, a, b, X[6], T[6], S13);
  MD5STEP(F, b, c, d, a, X[7], T[7], S14);
  MD5STEP(F, a, b, c, d, X[8], T[8], S11);
  MD5STEP(F, d, a, b, c, X[9], T[9], S12);
  MD5STEP(F, c, d, a, b, X[10], T[10], S13);
  MD5STEP(F, b, c, d, a, X[11], T[11], S14);
  MD5STEP(F, a, b, c, d, X[12], T[12], S11);
  MD5STEP(F, d, a, b, c, X[13], T[13], S12);
  MD5STEP(F, c, d, a, b, X[14], T[14], S13);
  MD5STEP(F, b, c, d, a, X[15], T[15], S14);

  MD5STEP_G(a, b, c, d, X[1], T[16], S21);
  MD5STEP_G(d, a, b, c, X[6], T[17], S22);
  MD5STEP_G(c, d, a, b, X[11], T[18], S23);
  MD5STEP_G(b, c, d, a, X[0], T[19], S24);
  MD5STEP_G(a, b, c, d, X[5], T[20], S21);
  MD5STEP_G(d, a, b, c, X[10], T[21], S22);
  MD5STEP_G(c, d, a, b, X[15], T[22], S23);
  MD5STEP_G(b, c, d, a, X[4], T[23], S24);
  MD5STEP_G(a, b, c, d, X[9], T[24], S21);
  MD5STEP_G(d, a, b, c, X[14], T[25], S22);
  MD5STEP_G(c, d, a, b, X[3], T[26], S23);
  MD5STEP_G(b, c, d, a, X[8], T[27], S24);
  MD5STEP_G(a, b, c, d, X[13], T[28], S21);
  MD5STEP_G(d, a, b, c, X[2], T[29], S22);
  MD5STEP_G(c, d, a, b, X[7], T[30], S23);
  MD5STEP_G(b, c, d, a, X[12], T[31], S24);

  MD5STEP(H, a, b, c, d, X[5], T[32], S31);
  MD5STEP(H, d, a, b, c, X[8], T[33], S32);
  MD5STEP(H, c, d, a, b, X[11], T[34], S33);
  MD5STEP(H, b, c, d, a, X[14], T[35], S34);
  MD5STEP(H, a, b, c, d, X[1], T[36], S31);
  MD5STEP(H, d, a, b, c, X[4], T[37], S32);
  MD5STEP(H, c, d, a, b, X[7], T[38], S33);
  MD5STEP(H, b, c, d, a, X[10], T[39], S34);
  MD5STEP(H, a, b, c, d, X[13], T[40], S31);
  MD5STEP(H, d, a, b, c, X[0], T[41], S32);
  MD5STEP(H, c, d, a, b, X[3], T[42], S33);
  MD5STEP(H, b, c, d, a, X[6], T[43], S34);
  MD5STEP(H, a, b, c, d, X[9], T[44], S31);
  MD5STEP(H, d, a, b, c, X[12], T[45], S32);
  MD5STEP(H, c, d, a, b, X[15], T[46], S33);
  MD5STEP(H, b, c, d, a, X[2], T[47], S34);

  MD5STEP(I, a, b, c, d, X[0], T[48], S41);
  MD5STEP(I, d, a, b, c, X[7], T[49], S42);
  MD5STEP(I, c, d, a, b, X[14], T[50], S43);
  MD5STEP(I, b, c, d, a, X[5], T[51], S44);
  MD5STEP(I, a, b, c, d, X[12], T[52], S41);
  MD5STEP(I, d, a, b, c, X[3], T[53], S42);
  MD5STEP(I, c, d, a, b, X[10], T[54], S43);
  MD5STEP(I, b, c, d, a, X[1], T[55], S44);
  MD5STEP(I, a, b, c, d, X[8], T[56], S41);
  MD5STEP(I, d, a, b, c, X[15], T[57], S42);
  MD5STEP(I, c, d, a, b, X[6], T[58], S43);
  MD5STEP(I, b, c, d, a, X[13], T[59], S44);
  MD5STEP(I, a, b, c, d, X[4], T[60], S41);
  MD5STEP(I, d, a, b, c, X[11], T[61], S42);
  MD5STEP(I, c, d, a, b, X[2], T[62], S43);
  MD5STEP(I, b, c, d, a, X[9], T[63], S44);

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

#undef MD5STEP
#undef MD5STEP_G
#undef MD5_SUM_HERE

}  // namespace

void md5_compress_blocks(std::uint32_t state[4], const unsigned char* blocks, std::size_t count) {
  for (; count > 0; count--, blocks += 64) MD5Transform(state, blocks);
}

// Begins an MD5 operation, writing a new context; the bytes of buffer are left as they are.
void MD5Init(MD5_CTX* context) {
  context->count[0] = context->count[1] = 0;
  context->state[0] = 0x67452301;
  context->state[1] = 0xefcdab89;
  context->state[2] = 0x98badcfe;
  context->state[3] = 0x10325476;
}

// Update context to reflect the concatenation of another buffer full of bytes;
// whole blocks are compressed straight from input.
void MD5Update(MD5_CTX* context, const unsigned char* input, std::uint32_t inputLen) {
  unsigned int index = (context->count[0] >> 3) & 0x3F;
  if ((context->count[0] += inputLen << 3) < (inputLen << 3)) context->count[1]++;
  context->count[1] += inputLen >> 29;

  unsigned int partLen = 64 - index;
  std::uint32_t i;
  if (inputLen >= partLen) {
    std::memcpy(&context->buffer[index], input, partLen);
    MD5Transform(context->state, context->buffer);
    for (i = partLen; i + 63 < inputLen; i += 64) MD5Transform(context->state, &input[i]);
    index = 0;
  } else {
    i = 0;
  }
  if (inputLen > i) std::memcpy(&context->buffer[index], &input[i], inputLen - i);
}

// Pads the message, writes its 16-byte digest and zeroes every byte of context.
void MD5Final(unsigned char digest[16], MD5_CTX* context) {
  unsigned char bits[8];
  Encode(bits, context->count, 8);

  unsigned int index = (context->count[0] >> 3) & 0x3f;
  unsigned int padLen = (index < 56) ? (56 - index) : (120 - index);
  MD5Update(context, PADDING, padLen);
  MD5Update(context, bits, 8);

  Encode(digest, context->state, 16);
  std::memset(context, 0, sizeof(*context));
}

}  // namespace mirvale
