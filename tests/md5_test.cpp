// The MD5 engine: RFC 1321's test suite, messages fed in pieces, padding,
// the bit count's carry, and what MD5Final leaves behind.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "digest/md5.h"
#include "test_support.h"

namespace mirvale {
namespace {

const unsigned char* bytes_of(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

std::string final_hex(MD5_CTX& context) {
  unsigned char digest[16];
  MD5Final(digest, &context);
  return test::hex(digest, 16);
}

std::string md5_hex(const std::string& message) {
  MD5_CTX context;
  MD5Init(&context);
  MD5Update(&context, bytes_of(message), static_cast<std::uint32_t>(message.size()));
  return final_hex(context);
}

// The four words of state as the digest writes them, least significant byte first.
std::string state_hex(const MD5_CTX& context) {
  unsigned char bytes[16];
  for (int i = 0; i < 16; i++)
    bytes[i] = static_cast<unsigned char>(context.state[i / 4] >> (8 * (i % 4)));
  return test::hex(bytes, 16);
}

std::string random_message(size_t size) {
  std::mt19937 random(12345);
  std::string message(size, '\0');
  for (char& c : message) c = static_cast<char>(random());
  return message;
}

TEST(Md5, ReproducesRfc1321Suite) {
  struct Case {
    const char* message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case& c : cases) EXPECT_EQ(md5_hex(c.message), c.digest) << '"' << c.message << '"';
}

TEST(Md5, MessageFedInPiecesGivesSameDigest) {
  const std::string message = random_message(3 * 65536 + 1000);
  test::TempDir dir;
  test::write_file(dir / "message", message);
  const std::string whole = md5_hex(message);
  ASSERT_EQ(whole, test::md5sum_of(dir / "message"));

  // Each schedule of piece sizes is repeated until the message is used up.
  const std::vector<std::vector<size_t>> schedules = {
      {1},     {63},        {64},          {65},
      {127},   {128},       {129},         {63, 1},
      {60, 8}, {1, 64, 63}, {0, 64, 0, 5}, {65536},
      {65535}, {65537},     {3, 65536},    {1000, 24, 65536, 1, 0},
  };
  for (const std::vector<size_t>& schedule : schedules) {
    MD5_CTX context;
    MD5Init(&context);
    size_t at = 0;
    for (size_t n = 0; at < message.size(); n++) {
      size_t piece = std::min(schedule[n % schedule.size()], message.size() - at);
      MD5Update(&context, bytes_of(message) + at, static_cast<std::uint32_t>(piece));
      at += piece;
    }
    EXPECT_EQ(final_hex(context), whole) << "first piece " << schedule[0];
  }
}

TEST(Md5, EmptyUpdateChangesNothing) {
  MD5_CTX context;
  MD5Init(&context);
  MD5Update(&context, bytes_of("abcdefghij"), 10);
  MD5_CTX before = context;
  MD5Update(&context, bytes_of("abc"), 0);
  MD5Update(&context, nullptr, 0);
  EXPECT_EQ(std::memcmp(&before, &context, sizeof context), 0);
}

TEST(Md5, PaddingFillsWholeBlocks) {
  // Message, padding and the 8 length bytes, fed by hand, must leave the state
  // at the digest with nothing pending, exactly when the padding has this length.
  struct Case {
    size_t message_length;
    size_t padding_length;
    size_t blocks;
  };
  const Case cases[] = {{0, 56, 1},  {55, 1, 1},  {56, 64, 2},
                        {63, 57, 2}, {64, 56, 2}, {120, 64, 3}};
  for (const Case& c : cases) {
    const std::string message(c.message_length, 'm');
    std::string padded = message + '\x80' + std::string(c.padding_length - 1, '\0');
    for (int i = 0; i < 8; i++) padded += static_cast<char>((8 * c.message_length) >> (8 * i));
    ASSERT_EQ(padded.size(), 64 * c.blocks);

    MD5_CTX context;
    MD5Init(&context);
    MD5Update(&context, bytes_of(padded), static_cast<std::uint32_t>(padded.size()));
    EXPECT_EQ(state_hex(context), md5_hex(message)) << c.message_length;
  }
}

TEST(Md5, BitCountCarriesIntoHighWord) {
  MD5_CTX context;
  MD5Init(&context);
  context.count[0] = 0xFFFFFFF8u;  // 2^29 - 1 bytes: 63 pending
  context.count[1] = 6;
  MD5Update(&context, bytes_of("x"), 1);
  EXPECT_EQ(context.count[0], 0u);
  EXPECT_EQ(context.count[1], 7u);
  MD5Update(&context, bytes_of("yz"), 2);
  EXPECT_EQ(context.count[0], 16u);
  EXPECT_EQ(context.count[1], 7u);
}

TEST(Md5, MessagePast2To32BitsMatchesMd5sum) {
  if (MIRVALE_SANITIZE)
    GTEST_SKIP() << "512 MiB through MD5 take a minute under the sanitizers; the plain build "
                    "covers it, and BitCountCarriesIntoHighWord the carry";
  // 2^29 + 1 zero bytes: the bit count needs its high word. Read-only
  // anonymous memory reads as zeros without being allocated.
  const size_t size = (size_t{1} << 29) + 1;
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  const auto* zeros = static_cast<const unsigned char*>(mapped);
  test::RunResult md5sum = test::run_program(
      "/bin/sh", {"sh", "-c", "head -c " + std::to_string(size) + " /dev/zero | md5sum"}, {});
  ASSERT_EQ(md5sum.status, 0);
  const std::string expected = md5sum.out.substr(0, 32);

  MD5_CTX context;
  MD5Init(&context);
  MD5Update(&context, zeros, static_cast<std::uint32_t>(size));
  EXPECT_EQ(final_hex(context), expected) << "in one piece";

  MD5Init(&context);
  for (size_t at = 0; at < size; at += 65536)
    MD5Update(&context, zeros + at, static_cast<std::uint32_t>(std::min<size_t>(65536, size - at)));
  EXPECT_EQ(final_hex(context), expected) << "in 64 KiB pieces";
  ::munmap(mapped, size);
}

TEST(Md5, FinalWritesSixteenBytesAndWipesContext) {
  struct Framed {
    unsigned char before[16];
    MD5_CTX context;
    unsigned char after[16];
  };
  static_assert(offsetof(Framed, context) == 16 && offsetof(Framed, after) == 16 + sizeof(MD5_CTX));
  const std::vector<unsigned char> guard(16, 0xA5);
  for (const char* message :
       {"abc", "12345678901234567890123456789012345678901234567890123456789"}) {
    Framed framed;
    std::memset(&framed, 0xA5, sizeof framed);
    MD5Init(&framed.context);
    MD5Update(&framed.context, bytes_of(message), static_cast<std::uint32_t>(std::strlen(message)));
    unsigned char out[48];
    std::memset(out, 0xA5, sizeof out);

    MD5Final(out + 16, &framed.context);
    EXPECT_EQ(test::hex(out + 16, 16), md5_hex(message));
    EXPECT_EQ(std::memcmp(out, guard.data(), 16), 0);
    EXPECT_EQ(std::memcmp(out + 32, guard.data(), 16), 0);
    EXPECT_EQ(std::memcmp(framed.before, guard.data(), 16), 0);
    EXPECT_EQ(std::memcmp(framed.after, guard.data(), 16), 0);
    const std::vector<unsigned char> zeros(sizeof(MD5_CTX), 0);
    EXPECT_EQ(std::memcmp(&framed.context, zeros.data(), sizeof(MD5_CTX)), 0);
  }
}

TEST(Md5, StaleBufferBytesNeverReachDigest) {
  for (int stale : {0x00, 0x80, 0xFF}) {
    MD5_CTX context;
    std::memset(&context, stale, sizeof context);
    MD5Init(&context);
    MD5Update(&context, bytes_of("message digest"), 14);
    EXPECT_EQ(final_hex(context), "f96b697d7cb7938d525a2f31aaf161d0") << stale;
  }
}

}  // namespace
}  // namespace mirvale
