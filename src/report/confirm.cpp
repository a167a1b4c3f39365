// Byte-for-byte confirmation: opening a stored path below the directory it
// was found in, and the look at a whole chain that workers take.
#include "report/confirm.h"

#include <cstring>
#include <iterator>
#include <utility>

#include "scan/scan_path.h"

namespace mirvale {

namespace {
Confirmation::Verdict verdict_of(platform::OpenStatus status) {
  return status == platform::OpenStatus::out_of_descriptors
             ? Confirmation::Verdict::out_of_descriptors
             : Confirmation::Verdict::mixed;
}
}  // namespace

void Confirmation::begin(const ScanRoots& roots) {
  roots_ = &roots;
  extra_ = roots.count() > 0 && roots[0].handle.valid()
               ? platform::descriptors_opening_below(roots[0].handle) - 1
               : 0;
}

const char* Confirmation::name_below(NameOffset name, char* path,
                                     platform::DirectoryRef& dir) const {
  const std::size_t length = names_.read_path(name, path);
  if (roots_ == nullptr || roots_->count() == 0) return nullptr;
  const ScanRoot& root = roots_->owner(name);
  dir = root.handle;
  return length > root.skip ? path + root.skip : nullptr;
}

platform::OpenStatus Confirmation::prepare_open(NameOffset name, char* path,
                                                platform::FileBatch::Open& open) const {
  platform::DirectoryRef dir;
  const char* below = name_below(name, path, dir);
  if (below == nullptr) return platform::OpenStatus::failed;
  for (int taken = 0; taken <= extra_; ++taken) {
    if (budget_.take_file()) continue;
    while (taken-- > 0) budget_.give_back();
    return platform::OpenStatus::out_of_descriptors;
  }
  open.dir = dir;
  open.name = below;
  open.below = true;
  return platform::OpenStatus::opened;
}

platform::OpenStatus Confirmation::adopt(platform::FileBatch::Open& open, OpenedFile& out) const {
  for (int extra = 0; extra < extra_; ++extra) budget_.give_back();
  if (open.status != platform::OpenStatus::opened) {
    budget_.give_back();
    return open.status;
  }
  out.handle = std::move(open.file);
  out.size = open.size;
  out.budget = &budget_;
  return open.status;
}

platform::OpenStatus Confirmation::open_file(NameOffset name, char* path, OpenedFile& out) const {
  out.close();
  platform::FileBatch::Open open;
  const platform::OpenStatus status = prepare_open(name, path, open);
  if (status != platform::OpenStatus::opened) return status;
  platform::FileBatch::open_one(open);
  return adopt(open, out);
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
constexpr std::size_t kSlot = kHalfBuffer / kRound;
constexpr std::size_t kPathSlot = kHalfBuffer / kRound;
static_assert(kRound <= platform::FileBatch::kMaxFiles);
static_assert(kPathSlot >= ScanPath::kCapacity, "a path fits its slot");
}  // namespace

char* Confirmation::ChainRound::path(unsigned i) {
  return reinterpret_cast<char*>(buffer.bytes) + kHalfBuffer + i * kPathSlot;
}

Confirmation::Verdict Confirmation::check_chain(std::uint32_t head, NameOffset name,
                                                std::uint32_t next, IoBuffer& buffer,
                                                ChainPaths& paths,
                                                platform::FileBatch& batch) const {
  ChainRound round{buffer, paths, batch};
  round.record.name_offset = name;
  round.record.equal = next;
  if (compared_in_scan(head, round.record, paths)) return Verdict::one_class;
  round.next = head;
  while (round.next != 0) {
    const Verdict verdict = check_round(round);
    if (verdict != Verdict::one_class) return verdict;
  }
  return round.broken ? Verdict::mixed : Verdict::one_class;
}

// Whether the scan compared every file of the chain headed at head, whose
// record is first, with one of them, its leader, and found them equal, and
// each is still the file it compared, unchanged: opened below the start
// directory as any file the report compares, its stamp the same. If so
// their paths go to paths. A chain with any other file is looked at whole.
bool Confirmation::compared_in_scan(std::uint32_t head, const TreeRecord& first,
                                    ChainPaths& paths) const {
  NameOffset leader = 0;
  NameOffset names[TwinBoard::kFollowers + 1];
  std::uint64_t stamps[TwinBoard::kFollowers + 1];
  std::size_t count = 0;
  bool leader_met = false;
  TreeRecord record = first;
  for (std::uint32_t offset = head; offset != 0; ++count) {
    NameOffset with;
    if (count == std::size(names) ||
        !twins_.compared_with(record.name_offset, with, stamps[count]) ||
        (count > 0 && with != leader))
      return false;
    leader = with;
    leader_met = leader_met || record.name_offset == leader;
    names[count] = record.name_offset;
    offset = next_in_chain(record, offset);
    if (offset != 0 && !read_record(offset, record)) return false;
  }
  if (!leader_met) return false;
  char path[ScanPath::kCapacity];
  for (std::size_t i = 0; i < count; ++i) {
    std::uint64_t stamp;
    OpenedFile file;
    if (open_file(names[i], path, file) != platform::OpenStatus::opened ||
        !platform::file_stamp(file.handle, stamp) || stamp != stamps[i]) {
      paths.used = 0;  // looked at whole after all
      paths.whole = true;
      return false;
    }
    paths.keep(path, std::strlen(path));
  }
  return true;
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
    const platform::OpenStatus status =
        prepare_open(round.record.name_offset, round.path(count), opens[count]);
    if (status == platform::OpenStatus::failed) {
      // What the round's opens took, never used.
      const unsigned taken = (count - first) * static_cast<unsigned>(1 + extra_);
      for (unsigned i = 0; i < taken; ++i) budget_.give_back();
      return Verdict::mixed;
    }
    if (status == platform::OpenStatus::out_of_descriptors) {
      if (count > first) break;  // the files of this round free theirs
      return Verdict::out_of_descriptors;
    }
    round.next = next_in_chain(round.record, round.next);
    if (round.next != 0 && !read_record(round.next, round.record)) {
      round.broken = true;  // what was read is still compared first
      round.next = 0;
    }
  }
  round.batch.open_all(opens + first, count - first);
  OpenedFile files[kRound];
  for (unsigned i = first; i < count; ++i) adopt(opens[i], files[i]);
  for (unsigned i = first; i < count; ++i) {
    if (opens[i].status != platform::OpenStatus::opened) return verdict_of(opens[i].status);
    round.paths.keep(round.path(i), std::strlen(round.path(i)));
  }
  if (!round.head_known) {
    round.head_known = true;
    round.head_size = files[0].size;
    if (round.head_size >= kSlot) round.head_file = std::move(files[0]);
  }
  const bool same = round.head_size < kSlot ? same_small(round, files, first, count)
                                            : same_large(round, files, first, count);
  return same ? Verdict::one_class : Verdict::mixed;
}

// Whether files [first, count) of a round of small files all hold the
// head's bytes: each read whole into its slot, and closed, together. Each
// read asks for a byte more than the size, which a file that has grown
// since its open then reads.
bool Confirmation::same_small(ChainRound& round, OpenedFile* files, unsigned first,
                              unsigned count) const {
  platform::FileBatch::Read reads[kRound];
  unsigned char* const slots = round.buffer.bytes;
  for (unsigned i = first; i < count; ++i) {
    if (files[i].size != round.head_size) return false;
    reads[i - first] = {&files[i].handle, slots + i * kSlot, round.head_size + 1};
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
