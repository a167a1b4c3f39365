// The eight-file example tree, built independently of the tree code: the
// digests and name offsets inserted, the file they give and its listing.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "types.h"

namespace mirvale::test::eight_file {

// a.txt to h.txt below C:\data: contents abc, empty, abc, "message digest",
// a, abc, a, "message digest", with the RFC 1321 test-suite digests.
struct File {
  const char* digest_hex;  // MD5 of the content
  NameOffset name_offset;  // 14 bytes per "C:\data\x.txt" record
};
inline constexpr std::array<File, 8> kFiles = {{
    {"900150983cd24fb0d6963f7d28e17f72", 0},
    {"d41d8cd98f00b204e9800998ecf8427e", 14},
    {"900150983cd24fb0d6963f7d28e17f72", 28},
    {"f96b697d7cb7938d525a2f31aaf161d0", 42},
    {"0cc175b9c0f1b6a831c399e269772661", 56},
    {"900150983cd24fb0d6963f7d28e17f72", 70},
    {"0cc175b9c0f1b6a831c399e269772661", 84},
    {"f96b697d7cb7938d525a2f31aaf161d0", 98},
}};

inline Md5Digest digest_of_hex(const std::string& hex) {
  Md5Digest d{};
  for (size_t i = 0; i < d.size(); ++i)
    d[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return d;
}

inline Md5Digest digest(size_t file) {
  return digest_of_hex(kFiles[file].digest_hex);
}

// The links and bal of each record after all eight insertions, in file order.
struct Links {
  std::uint32_t left, right, equal;
  std::int32_t bal;
};
inline constexpr std::array<Links, 8> kLinks = {{
    {0x94, 0x28, 0x4C, 1},
    {0, 0x70, 0, 1},
    {0, 0, 0xB8, 0},
    {0, 0, 0x100, 0},
    {0, 0, 0xDC, 0},
    {0, 0, 0, 0},
    {0, 0, 0, 0},
    {0, 0, 0, 0},
}};

inline void put32_le(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((value >> shift) & 0xFF);
}

// The 292-byte tree file: root 4, then the eight records.
inline std::string file_bytes() {
  std::string out;
  put32_le(out, 4);
  for (size_t i = 0; i < kFiles.size(); ++i) {
    put32_le(out, kLinks[i].left);
    put32_le(out, kLinks[i].right);
    put32_le(out, kLinks[i].equal);
    put32_le(out, static_cast<std::uint32_t>(kLinks[i].bal));
    Md5Digest d = digest(i);
    out.append(reinterpret_cast<const char*>(d.data()), d.size());
    put32_le(out, kFiles[i].name_offset);
  }
  return out;
}

// The listing of the tree: heading, then one line per record with the bytes
// shown between the brackets.
inline std::string listing() {
  auto bytes_of = [](size_t i) {
    Md5Digest d = digest(i);
    return std::string(reinterpret_cast<const char*>(d.data()), d.size());
  };
  return std::string("pos     - bal: left     <- equal    -> right\n") +
         "00000004- 001: 00000094 <- 0000004C -> 00000028  [" + bytes_of(0) + "]\n" +
         "00000028- 001: 00000000 <- 00000000 -> 00000070  [\xD4\x1D\x8C\xD9\x8F]\n" +
         "0000004C- 000: 00000000 <- 000000B8 -> 00000000  [" + bytes_of(2) + "\x1C]\n" +
         "00000070- 000: 00000000 <- 00000100 -> 00000000  [" + bytes_of(3) + "\x2A]\n" +
         "00000094- 000: 00000000 <- 000000DC -> 00000000  [" + bytes_of(4) + "\x38]\n" +
         "000000B8- 000: 00000000 <- 00000000 -> 00000000  [" + bytes_of(5) + "\x46]\n" +
         "000000DC- 000: 00000000 <- 00000000 -> 00000000  [" + bytes_of(6) + "\x54]\n" +
         "00000100- 000: 00000000 <- 00000000 -> 00000000  [" + bytes_of(7) + "\x62]\n";
}

}  // namespace mirvale::test::eight_file
