// Byte-for-byte confirmation: comparing two files, opening a stored path
// below the start directory, and the look at a whole chain that workers take.
#include "report/confirm.h"

#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <thread>
#include <utility>

#include "scan/scan_path.h"

namespace mirvale {

namespace {
constexpr std::size_t kHalf = kIoBufferSize / 2;

Confirmation::Verdict verdict_of(platform::OpenStatus status) {
  return status == platform::OpenStatus::out_of_descriptors
             ? Confirmation::Verdict::out_of_descriptors
             : Confirmation::Verdict::mixed;
}
}  // namespace

namespace {

// Files at least this large are compared in two halves at once, the second
// half on a thread of its own, when one can be started: the comparison of a
// lone pair of large files then goes at the speed of two processors.
constexpr std::uint64_t kSplitSize = std::uint64_t{256} << 20;

// Compares bytes [from, to) of two files of one size, stopping early, as
// alike, once stop is set.
Comparison compare_range(const OpenedFile& first, const OpenedFile& second, std::uint64_t from,
                         std::uint64_t to, IoBuffer& buffer, const std::atomic<bool>* stop) {
  unsigned char* const a = buffer.bytes;
  unsigned char* const b = buffer.bytes + kHalf;
  for (std::uint64_t at = from; at < to; at += kHalf) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) break;
    const std::uint64_t left = to - at;
    const std::size_t chunk = left < kHalf ? static_cast<std::size_t>(left) : kHalf;
    if (platform::read_at(first.handle, at, a, chunk) != static_cast<long>(chunk))
      return Comparison::first_unreadable;
    if (platform::read_at(second.handle, at, b, chunk) != static_cast<long>(chunk))
      return Comparison::second_unreadable;
    if (std::memcmp(a, b, chunk) != 0) return Comparison::different;
  }
  return Comparison::same;
}

// The same for a large pair, halves at once. What the first half finds
// comes first, as it would reading from the start; the second half stops
// once the first has found anything.
Comparison compare_halves(const OpenedFile& first, const OpenedFile& second, IoBuffer& buffer) {
  const std::uint64_t half = first.size / 2 / kHalf * kHalf;
  std::unique_ptr<IoBuffer> own(new (std::nothrow) IoBuffer);
  std::atomic<bool> stop{false};
  Comparison later = Comparison::same;
  std::thread helper;
  try {
    if (own)
      helper =
          std::thread([&] { later = compare_range(first, second, half, first.size, *own, &stop); });
  } catch (const std::exception&) {  // no thread: one reads the whole
  }
  if (!helper.joinable()) return compare_range(first, second, 0, first.size, buffer, nullptr);
  const Comparison earlier = compare_range(first, second, 0, half, buffer, nullptr);
  if (earlier != Comparison::same) stop = true;
  helper.join();
  return earlier != Comparison::same ? earlier : later;
}

}  // namespace

Comparison compare_files(const OpenedFile& first, const OpenedFile& second, IoBuffer& buffer) {
  if (first.size != second.size) return Comparison::different;
  if (first.size >= kSplitSize) return compare_halves(first, second, buffer);
  return compare_range(first, second, 0, first.size, buffer, nullptr);
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

void Confirmation::begin(platform::FileHandle start, std::size_t skip) {
  start_ = std::move(start);
  skip_ = skip;
}

void Confirmation::end() {
  if (!start_.valid()) return;
  start_.close();
  budget_.give_back();
}

const char* Confirmation::name_below(NameOffset name, char* path) const {
  const std::size_t length = names_.read_path(name, path);
  return start_.valid() && length > skip_ ? path + skip_ : nullptr;
}

platform::OpenStatus Confirmation::open_file(NameOffset name, char* path, OpenedFile& out) const {
  const char* below = name_below(name, path);
  if (below == nullptr) return platform::OpenStatus::failed;
  out.close();
  if (!budget_.take_file()) return platform::OpenStatus::out_of_descriptors;
  const platform::OpenStatus status =
      platform::open_regular_below(start_, below, out.handle, out.size);
  if (status == platform::OpenStatus::opened) {
    out.budget = &budget_;
  } else {
    budget_.give_back();
  }
  return status;
}

void ChainPaths::keep(const char* path, std::size_t length) {
  if (!whole || length >= capacity - used) {
    whole = false;
    return;
  }
  std::memcpy(bytes + used, path, length + 1);
  used += length + 1;
}

// A chain is looked at a round of files at a time, their opens made
// together. The bytes of a chain of small files go to slots in the first
// half of the buffer, the head's to the first slot for every round; the
// paths of a round's files go to the second half.
namespace {
constexpr unsigned kRound = 8;
constexpr std::size_t kSlot = kHalf / kRound;
constexpr std::size_t kPathSlot = kHalf / kRound;
static_assert(kRound <= platform::FileBatch::kMaxFiles);
static_assert(kPathSlot >= ScanPath::kCapacity, "a path fits its slot");
}  // namespace

char* Confirmation::ChainRound::path(unsigned i) {
  return reinterpret_cast<char*>(buffer.bytes) + kHalf + i * kPathSlot;
}

Confirmation::Verdict Confirmation::check_chain(std::uint32_t head, IoBuffer& buffer,
                                                ChainPaths& paths,
                                                platform::FileBatch& batch) const {
  ChainRound round{buffer, paths, batch};
  if (!read_record(head, round.record)) return Verdict::mixed;
  round.next = head;
  while (round.next != 0) {
    const Verdict verdict = check_round(round);
    if (verdict != Verdict::one_class) return verdict;
  }
  return round.broken ? Verdict::mixed : Verdict::one_class;
}

// Opens up to a round's files of the chain from round.next on and compares
// them with the head; round.next is then the first file after them. The
// first round begins with the head, which stays in the first slot, or
// open, for the rounds after it.
Confirmation::Verdict Confirmation::check_round(ChainRound& round) const {
  platform::FileBatch::Open opens[kRound];
  const unsigned first = round.head_known ? 1 : 0;
  unsigned count = first;
  for (; count < kRound && round.next != 0; ++count) {
    const char* below = name_below(round.record.name_offset, round.path(count));
    if (below == nullptr) {
      for (unsigned i = first; i < count; ++i) budget_.give_back();  // taken, never opened
      return Verdict::mixed;
    }
    if (!budget_.take_file()) {
      if (count > first) break;  // the files of this round free theirs
      return Verdict::out_of_descriptors;
    }
    opens[count].dir = start_;
    opens[count].name = below;
    opens[count].below = true;
    round.next = next_in_chain(round.record, round.next);
    if (round.next != 0 && !read_record(round.next, round.record)) {
      round.broken = true;  // what was read is still compared first
      round.next = 0;
    }
  }
  round.batch.open_all(opens + first, count - first);
  OpenedFile files[kRound];
  for (unsigned i = first; i < count; ++i) {
    if (opens[i].status != platform::OpenStatus::opened) {
      budget_.give_back();
      continue;
    }
    files[i].handle = std::move(opens[i].file);
    files[i].size = opens[i].size;
    files[i].budget = &budget_;
  }
  for (unsigned i = first; i < count; ++i) {
    if (opens[i].status != platform::OpenStatus::opened) return verdict_of(opens[i].status);
    round.paths.keep(round.path(i), std::strlen(round.path(i)));
  }
  if (!round.head_known) {
    round.head_known = true;
    round.head_size = files[0].size;
    if (round.head_size > kSlot) round.head_file = std::move(files[0]);
  }
  const bool same = round.head_size <= kSlot ? same_small(round, files, first, count)
                                             : same_large(round, files, first, count);
  return same ? Verdict::one_class : Verdict::mixed;
}

// Whether files [first, count) of a round of small files all hold the
// head's bytes: each read whole into its slot, and closed, together.
bool Confirmation::same_small(ChainRound& round, OpenedFile* files, unsigned first,
                              unsigned count) const {
  platform::FileBatch::Read reads[kRound];
  unsigned char* const slots = round.buffer.bytes;
  for (unsigned i = first; i < count; ++i) {
    if (files[i].size != round.head_size) return false;
    reads[i - first] = {&files[i].handle, slots + i * kSlot, round.head_size};
  }
  round.batch.read_and_close_all(reads, count - first);
  for (unsigned i = first; i < count; ++i) {
    files[i].budget = nullptr;  // closed by the batch
    budget_.give_back();
  }
  for (unsigned i = first; i < count; ++i) {
    if (reads[i - first].got != static_cast<long>(round.head_size)) return false;
    if (i > 0 && std::memcmp(slots + i * kSlot, slots, round.head_size) != 0) return false;
  }
  return true;
}

// Whether files [first, count) of a round all hold the bytes of the open
// head, a file larger than a slot.
bool Confirmation::same_large(ChainRound& round, OpenedFile* files, unsigned first,
                              unsigned count) const {
  for (unsigned i = first > 0 ? first : 1; i < count; ++i) {
    if (compare_files(round.head_file, files[i], round.buffer) != Comparison::same) return false;
  }
  return true;
}

}  // namespace mirvale
