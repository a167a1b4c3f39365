// The progress line of a run with --quiet, on standard error while it is a
// terminal: files found, bytes digested out of the bytes to digest, and the
// time elapsed; redrawn at most ten times a second, erased at the end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scan/scan.h"
#include "scan/size_census.h"

namespace mirvale {

class Progress {
 public:
  static constexpr std::uint64_t kRedrawMilliseconds = 100;

  explicit Progress(const SizeCensus& census) : census_(census) {}
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Starts the clock, and the line if standard error is a terminal.
  void start();
  // Draws the line for counts, unless it was drawn less than a tenth of a second ago.
  void show(const ScanCounts& counts);
  // Blanks the line drawn, if any, and draws no more.
  void erase();

 private:
  const SizeCensus& census_;   // tells the bytes to digest
  bool active_ = false;        // standard error is a terminal and the line is wanted
  std::uint64_t started_ = 0;  // milliseconds at start
  std::uint64_t drawn_ = 0;    // milliseconds when last drawn, 0 before
  std::size_t width_ = 0;      // characters of the line drawn last
};

}  // namespace mirvale
