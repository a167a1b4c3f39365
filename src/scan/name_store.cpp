// The name store: gathers path records during the scan and writes them in
// blocks, and reads them back by offset during the report.
#include "scan/name_store.h"

#include <cstring>

namespace mirvale {

namespace {
constexpr std::uint64_t kOffsetLimit = std::uint64_t{1} << 32;  // NameOffset is 32-bit
}

bool NameStore::open(const char* file_name) {
  pending_names_.discard();
  name_store_handle_ = platform::open_working_file(file_name);
  next_name_offset_ = 0;
  return name_store_handle_.valid();
}

int NameStore::close() {
  pending_names_.flush();
  return name_store_handle_.close();
}

std::optional<NameOffset> NameStore::append_name(const ScanPath& path) {
  const std::uint64_t offset = next_name_offset_;
  if (offset >= kOffsetLimit) return std::nullopt;
  // The path and its terminator go in one piece, so that a block holds whole records.
  if (!pending_names_.put(path.c_str(), path.length() + 1)) return std::nullopt;
  next_name_offset_ += path.length() + 1;
  return static_cast<NameOffset>(offset);
}

bool NameStore::read_name(NameOffset offset) {
  // A record still buffered would read as the end of the file.
  pending_names_.flush();
  const std::size_t length = read_path(offset, path_.data());
  path_.set_length(length);
  return length > 0;
}

std::size_t NameStore::read_path(NameOffset offset, char* out) const {
  // Most paths are short: a first short read finds their terminator without
  // copying a whole buffer's worth; a longer path is read on from there, up
  // to the longest path the buffer holds.
  constexpr std::size_t kFirstRead = 256;
  static_assert(kFirstRead <= ScanPath::kMaxLength);
  std::size_t got = 0;
  for (std::size_t want = kFirstRead; got < ScanPath::kMaxLength; want = ScanPath::kMaxLength) {
    const long read = platform::read_at(name_store_handle_, offset + got, out + got, want - got);
    if (read <= 0) break;
    got += static_cast<std::size_t>(read);
    if (std::memchr(out + got - static_cast<std::size_t>(read), '\0',
                    static_cast<std::size_t>(read)) != nullptr ||
        got < want)
      break;
  }
  const void* end = std::memchr(out, '\0', got);
  const std::size_t length =
      end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - out) : got;
  out[length] = '\0';
  return length;
}

}  // namespace mirvale
