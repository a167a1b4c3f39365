// Console output through stdio.
#include "platform/console.h"

#include <unistd.h>

#include <cstdarg>

namespace mirvale::platform {

Console::Console() : stream_(stdout) {
  if (::isatty(STDOUT_FILENO)) return;
  // stdio goes on using the buffer until the process has ended, after every
  // object of the program is gone; so it is static, and handed over only once.
  static char block[kBlockSize];
  std::setvbuf(stdout, block, _IOFBF, sizeof block);
}

void Console::write_line(std::string_view text) {
  write(text);
  if (std::fputc('\n', stream_) == EOF) failed_ = true;
}

void Console::print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  if (std::vfprintf(stream_, format, args) < 0) failed_ = true;
  va_end(args);
}

}  // namespace mirvale::platform
