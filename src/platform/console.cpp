// Console output through stdio.
#include "platform/console.h"

#include <cstdarg>

namespace mirvale::platform {

void Console::write_line(std::string_view text) {
  write(text);
  std::fputc('\n', stream_);
}

void Console::print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stream_, format, args);
  va_end(args);
}

}  // namespace mirvale::platform
