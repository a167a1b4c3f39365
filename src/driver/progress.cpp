// The progress line: drawing it over itself and blanking it.
#include "driver/progress.h"

#include <cstdio>
#include <cstring>

#include "platform/process.h"

namespace mirvale {

void Progress::start() {
  started_ = platform::monotonic_milliseconds();
  drawn_ = 0;
  width_ = 0;
  active_ = platform::standard_error_is_terminal();
}

void Progress::show(const ScanCounts& counts) {
  if (!active_) return;
  const std::uint64_t now = platform::monotonic_milliseconds();
  if (drawn_ != 0 && now - drawn_ < kRedrawMilliseconds) return;
  drawn_ = now;
  constexpr double kMiB = 1024.0 * 1024.0;
  const std::uint64_t to_digest = census_.repeating_bytes();
  const std::uint64_t seconds = (now - started_) / 1000;
  char line[160];
  int length = std::snprintf(
      line, sizeof line, "\r%llu files, %.1f of %.1f MiB digested, %llu:%02llu",
      static_cast<unsigned long long>(counts.files_found),
      static_cast<double>(counts.bytes_digested) / kMiB,
      static_cast<double>(to_digest > counts.bytes_digested ? to_digest : counts.bytes_digested) /
          kMiB,
      static_cast<unsigned long long>(seconds / 60), static_cast<unsigned long long>(seconds % 60));
  if (length < 0) return;
  auto drawn = static_cast<std::size_t>(length);
  if (drawn > sizeof line - 1) drawn = sizeof line - 1;
  const std::size_t visible = drawn - 1;
  // Blanks what is left of a longer line drawn before.
  while (visible < width_ && drawn < sizeof line - 1 && drawn - 1 < width_) line[drawn++] = ' ';
  width_ = visible;
  platform::write_standard_error(line, drawn);
}

void Progress::erase() {
  if (!active_) return;
  active_ = false;
  if (drawn_ == 0) return;
  char blank[160];
  std::memset(blank, ' ', sizeof blank);
  blank[0] = '\r';
  const std::size_t size = width_ + 2 < sizeof blank ? width_ + 2 : sizeof blank;
  blank[size - 1] = '\r';
  platform::write_standard_error(blank, size);
}

}  // namespace mirvale
