// Console output: bytes to standard output (or, in tests, to any stream),
// exactly as given, through stdio's buffer; a failed write is remembered.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

namespace mirvale::platform {

class Console {
 public:
  // Standard output; made once, before anything is written to it. When it is
  // not a terminal it is written in blocks of kBlockSize bytes.
  Console();
  explicit Console(std::FILE* stream) : stream_(stream) {}

  static constexpr size_t kBlockSize = 64 * 1024;

  void write(const void* data, size_t size) {
    if (std::fwrite(data, 1, size, stream_) != size) failed_ = true;
  }
  void write(std::string_view text) { write(text.data(), text.size()); }
  // Writes text, then a line feed.
  void write_line(std::string_view text);
  // printf-style output.
  void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void flush() {
    if (std::fflush(stream_) != 0) failed_ = true;
  }
  // Some write or flush so far failed or was short: the text did not all arrive.
  bool failed() const { return failed_ || std::ferror(stream_) != 0; }

 private:
  std::FILE* stream_;
  bool failed_ = false;
};

}  // namespace mirvale::platform
