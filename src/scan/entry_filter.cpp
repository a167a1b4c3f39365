// The filter of a scan: pattern storage and matching, and the sizes of --min-size and --max-size.
#include "scan/entry_filter.h"

#include <cstring>

#include "platform/command_line.h"

namespace mirvale {

bool EntryFilter::add_pattern(std::string_view pattern) {
  if (count_ == kMaxPatterns || pattern.size() >= kPatternBytes - used_) return false;
  if (pattern.find('\0') != std::string_view::npos) return false;
  starts_[count_] = static_cast<std::uint16_t>(used_);
  has_slash_[count_] = pattern.find('/') != std::string_view::npos;
  std::memcpy(bytes_ + used_, pattern.data(), pattern.size());
  bytes_[used_ + pattern.size()] = '\0';
  used_ += pattern.size() + 1;
  ++count_;
  return true;
}

bool EntryFilter::excludes(const char* text, bool path_patterns) const {
  for (std::size_t i = 0; i < count_; ++i)
    if (has_slash_[i] == path_patterns &&
        platform::wildcard_matches(bytes_ + starts_[i], text, path_patterns))
      return true;
  return false;
}

bool parse_size(const char* text, std::uint64_t& size) {
  constexpr std::uint64_t kMax = ~std::uint64_t{0};
  std::uint64_t value = 0;
  const char* p = text;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const auto digit = static_cast<std::uint64_t>(*p - '0');
    if (value > (kMax - digit) / 10) return false;
    value = value * 10 + digit;
  }
  if (p == text) return false;
  static constexpr char kSuffixes[] = "KMGT";
  int shift = 0;
  if (*p != '\0') {
    const char* suffix = std::strchr(kSuffixes, *p);
    if (suffix == nullptr || p[1] != '\0') return false;
    shift = 10 * static_cast<int>(suffix - kSuffixes + 1);
  }
  if (shift > 0 && value > (kMax >> shift)) return false;
  size = value << shift;
  return true;
}

}  // namespace mirvale
