// The MD5 message digest of RFC 1321, with the standard's interface and
// context record. No allocation; results independent of the processor.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirvale {

struct MD5_CTX {
  std::uint32_t state[4];    // chaining values A, B, C, D
  std::uint32_t count[2];    // message length in bits mod 2^64, low word first
  unsigned char buffer[64];  // bytes of the current block not yet transformed
};

void MD5Init(MD5_CTX* context);
// Continues an MD5 message-digest operation, absorbing inputLen more bytes.
void MD5Update(MD5_CTX* context, const unsigned char* input, std::uint32_t inputLen);
// Ends an MD5 message-digest operation: writes the 16-byte digest and wipes the context.
void MD5Final(unsigned char digest[16], MD5_CTX* context);
// Compresses count consecutive 64-byte blocks into the chaining values
// state, as MD5Update does with whole blocks: for a caller that keeps its own
// block bookkeeping and padding.
void md5_compress_blocks(std::uint32_t state[4], const unsigned char* blocks, std::size_t count);

}  // namespace mirvale
