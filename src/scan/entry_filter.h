// The filter of a scan: the sizes of the files to take and the wildcard
// patterns of the entries to leave out, kept in a buffer of fixed size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace mirvale {

class EntryFilter {
 public:
  static constexpr std::size_t kMaxPatterns = 64;
  static constexpr std::size_t kPatternBytes = 8192;  // patterns and their terminators
  static constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};

  // Adds a pattern; false, adding nothing, when the buffer has no room for it.
  bool add_pattern(std::string_view pattern);
  void set_min_size(std::uint64_t size) { min_size_ = size; }
  void set_max_size(std::uint64_t size) { max_size_ = size; }

  // True when some files are left out by their size.
  bool limits_sizes() const { return min_size_ > 0 || max_size_ != kNoLimit; }
  bool takes_size(std::uint64_t size) const { return size >= min_size_ && size <= max_size_; }
  bool has_patterns() const { return count_ > 0; }
  // True when a pattern without '/' matches name, an entry's own name.
  bool excludes_name(const char* name) const { return excludes(name, false); }
  // True when a pattern with '/' matches below, an entry's path below the
  // directory given.
  bool excludes_path(const char* below) const { return excludes(below, true); }

 private:
  bool excludes(const char* text, bool path_patterns) const;

  std::uint64_t min_size_ = 0;
  std::uint64_t max_size_ = kNoLimit;
  std::size_t count_ = 0;                 // patterns held
  std::size_t used_ = 0;                  // bytes of bytes_ in use
  std::uint16_t starts_[kMaxPatterns]{};  // where each pattern starts in bytes_
  bool has_slash_[kMaxPatterns]{};        // the pattern holds a '/': it matches paths
  char bytes_[kPatternBytes];             // the patterns, each zero-terminated
};

// Reads a size: decimal bytes with an optional suffix K, M, G or T (powers
// of 1024). False when text is not such a size or it passes 2^64 - 1.
bool parse_size(const char* text, std::uint64_t& size);

}  // namespace mirvale
