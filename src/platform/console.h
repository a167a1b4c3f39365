// Console output: bytes to standard output (or, in tests, to any stream),
// exactly as given, through stdio's buffer.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

namespace mirvale::platform {

class Console {
 public:
  Console() : stream_(stdout) {}
  explicit Console(std::FILE* stream) : stream_(stream) {}

  void write(const void* data, size_t size) { std::fwrite(data, 1, size, stream_); }
  void write(std::string_view text) { write(text.data(), text.size()); }
  // Writes text, then a line feed.
  void write_line(std::string_view text);
  // printf-style output.
  void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void flush() { std::fflush(stream_); }

 private:
  std::FILE* stream_;
};

}  // namespace mirvale::platform
