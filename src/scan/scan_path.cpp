// ScanPath: bounded, in-place path building.
#include "scan/scan_path.h"

#include <cstring>

#include "types.h"

namespace mirvale {

bool ScanPath::assign(std::string_view text) {
  cut(0);
  return append(text);
}

bool ScanPath::append(std::string_view text) {
  if (text.size() > kMaxLength - length_) return false;
  std::memcpy(bytes_ + length_, text.data(), text.size());
  length_ += text.size();
  bytes_[length_] = '\0';
  return true;
}

bool ScanPath::append_entry(std::string_view name) {
  if (name.size() >= kMaxLength - length_) return false;
  bytes_[length_] = kSeparator;
  std::memcpy(bytes_ + length_ + 1, name.data(), name.size());
  length_ += name.size() + 1;
  bytes_[length_] = '\0';
  return true;
}

void ScanPath::cut(size_t length) {
  if (length >= length_) return;
  length_ = length;
  bytes_[length_] = '\0';
}

void ScanPath::set_length(size_t length) {
  length_ = length < kMaxLength ? length : kMaxLength;
  bytes_[length_] = '\0';
}

}  // namespace mirvale
