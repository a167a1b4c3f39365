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
  last_name_length_ = 0;
  return name_store_handle_.valid();
}

int NameStore::close() {
  pending_names_.flush();
  return name_store_handle_.close();
}

bool NameStore::append_name() {
  last_name_length_ = static_cast<std::uint32_t>(path_.length() + 1);
  if (next_name_offset_ >= kOffsetLimit) return false;
  return pending_names_.put(path_.c_str(), last_name_length_);
}

bool NameStore::read_name(NameOffset offset) {
  // A record still buffered would read as the end of the file.
  pending_names_.flush();
  const std::size_t length = read_path(offset, path_.data());
  path_.set_length(length);
  return length > 0;
}

std::size_t NameStore::read_path(NameOffset offset, char* out) const {
  // One block read gives what reading a byte at a time up to the first zero
  // byte would, stopping after the longest path the buffer holds.
  long got = platform::read_at(name_store_handle_, offset, out, ScanPath::kMaxLength);
  if (got < 0) got = 0;
  const void* end = std::memchr(out, '\0', static_cast<size_t>(got));
  const size_t length = end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - out)
                                       : static_cast<size_t>(got);
  out[length] = '\0';
  return length;
}

}  // namespace mirvale
