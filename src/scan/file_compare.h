// Byte-for-byte comparison of two open files, for the scan's twins and the
// report's confirmation alike.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "platform/file.h"
#include "scan/descriptor_budget.h"
#include "types.h"

namespace mirvale {

// Bytes of each file read at a time: half of the buffer each.
constexpr std::size_t kHalfBuffer = kIoBufferSize / 2;

// How the contents of two files compare.
enum class Comparison : std::uint8_t {
  same,
  different,
  first_unreadable,   // a read of the first file failed
  second_unreadable,  // a read of the second file failed
};

// A file opened to be compared, with the size it had when it was opened. Its
// descriptor was taken from a budget and goes back to it when it closes.
struct OpenedFile {
  OpenedFile() = default;
  OpenedFile(OpenedFile&& other) noexcept { *this = std::move(other); }
  OpenedFile& operator=(OpenedFile&& other) noexcept;
  ~OpenedFile() { close(); }
  void close();

  platform::FileHandle handle;         // read-only descriptor of a regular file
  std::uint64_t size = 0;              // its size at the open
  DescriptorBudget* budget = nullptr;  // where handle's descriptor goes back
};

// Compares bytes [from, to) of two files of one size, each read into one
// half of buffer, stopping early, as alike, once stop is set. A file that
// reads short of to is unreadable.
Comparison compare_range(const platform::FileHandle& first, const platform::FileHandle& second,
                         std::uint64_t from, std::uint64_t to, IoBuffer& buffer,
                         const std::atomic<bool>* stop);

// Compares two open files byte for byte, a large pair in two halves at
// once. Files of different sizes differ unread, and so do files with a byte
// past the size they had when opened (one has grown); a file that no longer
// holds its size when read is unreadable.
Comparison compare_files(const OpenedFile& first, const OpenedFile& second, IoBuffer& buffer);

}  // namespace mirvale
