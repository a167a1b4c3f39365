// Values that every module of a run shares: the separator, the I/O buffer
// each thread reads files and builds lines in, digests and name-store
// offsets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace mirvale {

constexpr char kSeparator = '/';          // placed between a directory's path and an entry's name
constexpr size_t kIoBufferSize = 131072;  // one read of a file, one line of the report

// A 16-byte MD5 digest. std::array compares as unsigned bytes from the first
// byte on, which is the order of the digest tree.
using Md5Digest = std::array<std::uint8_t, 16>;

// Offset of the first byte of a path record in the name store.
using NameOffset = std::uint32_t;

// An I/O buffer: file chunks while digesting or comparing, lines while
// reporting. The walk's thread has one, and each digest worker its own.
struct IoBuffer {
  alignas(64) unsigned char bytes[kIoBufferSize];
};

}  // namespace mirvale
