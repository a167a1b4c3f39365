// Byte-for-byte comparison: a range of two files read a half buffer at a
// time, and a large pair split between two threads.
#include "scan/file_compare.h"

#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <thread>

namespace mirvale {

namespace {

// Files at least this large are compared in two halves at once, the second
// half on a thread of its own, when one can be started: the comparison of a
// lone pair of large files then goes at the speed of two processors.
constexpr std::uint64_t kSplitSize = std::uint64_t{256} << 20;

// The same for a large pair, halves at once. What the first half finds
// comes first, as it would reading from the start; the second half stops
// once the first has found anything.
Comparison compare_halves(const OpenedFile& first, const OpenedFile& second, IoBuffer& buffer) {
  const std::uint64_t half = first.size / 2 / kHalfBuffer * kHalfBuffer;
  std::unique_ptr<IoBuffer> own(new (std::nothrow) IoBuffer);
  std::atomic<bool> stop{false};
  Comparison later = Comparison::same;
  std::thread helper;
  try {
    if (own)
      helper = std::thread([&] {
        later = compare_range(first.handle, second.handle, half, first.size, *own, &stop);
      });
  } catch (const std::exception&) {  // no thread: one reads the whole
  }
  if (!helper.joinable())
    return compare_range(first.handle, second.handle, 0, first.size, buffer, nullptr);
  const Comparison earlier = compare_range(first.handle, second.handle, 0, half, buffer, nullptr);
  if (earlier != Comparison::same) stop = true;
  helper.join();
  return earlier != Comparison::same ? earlier : later;
}

}  // namespace

Comparison compare_range(const platform::FileHandle& first, const platform::FileHandle& second,
                         std::uint64_t from, std::uint64_t to, IoBuffer& buffer,
                         const std::atomic<bool>* stop) {
  unsigned char* const a = buffer.bytes;
  unsigned char* const b = buffer.bytes + kHalfBuffer;
  for (std::uint64_t at = from; at < to; at += kHalfBuffer) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) break;
    const std::uint64_t left = to - at;
    const std::size_t chunk = left < kHalfBuffer ? static_cast<std::size_t>(left) : kHalfBuffer;
    if (platform::read_at(first, at, a, chunk) != static_cast<long>(chunk))
      return Comparison::first_unreadable;
    if (platform::read_at(second, at, b, chunk) != static_cast<long>(chunk))
      return Comparison::second_unreadable;
    if (std::memcmp(a, b, chunk) != 0) return Comparison::different;
  }
  return Comparison::same;
}

// Whether a file holds a byte past size, the size it had when opened.
static bool grown(const OpenedFile& file) {
  unsigned char past;
  return platform::read_at(file.handle, file.size, &past, 1) != 0;
}

Comparison compare_files(const OpenedFile& first, const OpenedFile& second, IoBuffer& buffer) {
  if (first.size != second.size) return Comparison::different;
  const Comparison comparison =
      first.size >= kSplitSize
          ? compare_halves(first, second, buffer)
          : compare_range(first.handle, second.handle, 0, first.size, buffer, nullptr);
  if (comparison == Comparison::same && (grown(first) || grown(second)))
    return Comparison::different;
  return comparison;
}

OpenedFile& OpenedFile::operator=(OpenedFile&& other) noexcept {
  if (this != &other) {
    close();
    handle = std::move(other.handle);
    size = other.size;
    budget = other.budget;
    other.budget = nullptr;
  }
  return *this;
}

void OpenedFile::close() {
  if (!handle.valid()) return;
  handle.close();
  if (budget != nullptr) budget->give_back();
  budget = nullptr;
}

}  // namespace mirvale
