// Byte-for-byte confirmation: comparing two files, opening a stored path
// below the start directory, and the look at a whole chain that workers take.
#include "report/confirm.h"

#include <cstring>
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

Comparison compare_files(const OpenedFile& first, const OpenedFile& second, IoBuffer& buffer) {
  if (first.size != second.size) return Comparison::different;
  unsigned char* const a = buffer.bytes;
  unsigned char* const b = buffer.bytes + kHalf;
  for (std::uint64_t at = 0; at < first.size; at += kHalf) {
    const std::uint64_t left = first.size - at;
    const std::size_t chunk = left < kHalf ? static_cast<std::size_t>(left) : kHalf;
    if (platform::read_at(first.handle, at, a, chunk) != static_cast<long>(chunk))
      return Comparison::first_unreadable;
    if (platform::read_at(second.handle, at, b, chunk) != static_cast<long>(chunk))
      return Comparison::second_unreadable;
    if (std::memcmp(a, b, chunk) != 0) return Comparison::different;
  }
  return Comparison::same;
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

platform::OpenStatus Confirmation::open_file(NameOffset name, char* path, OpenedFile& out) const {
  const std::size_t length = names_.read_path(name, path);
  if (!start_.valid() || length <= skip_) return platform::OpenStatus::failed;
  out.close();
  if (!budget_.take_file()) return platform::OpenStatus::out_of_descriptors;
  const platform::OpenStatus status =
      platform::open_regular_below(start_, path + skip_, out.handle, out.size);
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

Confirmation::Verdict Confirmation::check_chain(std::uint32_t head, IoBuffer& buffer,
                                                ChainPaths& paths) const {
  char path[ScanPath::kCapacity];
  TreeRecord record;
  if (!read_record(head, record)) return Verdict::mixed;
  OpenedFile first;
  platform::OpenStatus status = open_file(record.name_offset, path, first);
  if (status != platform::OpenStatus::opened) return verdict_of(status);
  paths.keep(path, std::strlen(path));
  for (std::uint32_t offset = next_in_chain(record, head); offset != 0;
       offset = next_in_chain(record, offset)) {
    if (!read_record(offset, record)) return Verdict::mixed;
    OpenedFile other;
    status = open_file(record.name_offset, path, other);
    if (status != platform::OpenStatus::opened) return verdict_of(status);
    if (compare_files(first, other, buffer) != Comparison::same) return Verdict::mixed;
    paths.keep(path, std::strlen(path));
  }
  return Verdict::one_class;
}

}  // namespace mirvale
