// ScanPath: the one path buffer of a run. The walk extends it and cuts it back
// in place, and stores and prints what it names; the report reads paths
// into it.
#pragma once

#include <cstddef>
#include <string_view>

namespace mirvale {

class ScanPath {
 public:
  static constexpr size_t kCapacity = 4096;            // path bytes and the terminating zero
  static constexpr size_t kMaxLength = kCapacity - 1;  // longest path it holds

  ScanPath() { bytes_[0] = '\0'; }
  ScanPath(const ScanPath&) = delete;
  ScanPath& operator=(const ScanPath&) = delete;

  const char* c_str() const { return bytes_; }
  size_t length() const { return length_; }
  std::string_view view() const { return {bytes_, length_}; }

  // Replaces the content; false, leaving it empty, when text does not fit.
  bool assign(std::string_view text);
  // Appends text; false, leaving the path unchanged, when it would not fit.
  bool append(std::string_view text);
  // Appends the separator and then name, both or neither.
  bool append_entry(std::string_view name);
  // Cuts the path back to its first length bytes (no-op when it is shorter).
  void cut(size_t length);

  // Raw access for filling the buffer from a file: write up to kMaxLength
  // bytes at data(), then call set_length with the number of path bytes.
  char* data() { return bytes_; }
  void set_length(size_t length);

 private:
  char bytes_[kCapacity];  // zero-terminated path
  size_t length_ = 0;      // bytes before the terminator
};

}  // namespace mirvale
