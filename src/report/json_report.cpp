// The JSON report: the document's frame, strings with their UTF-8 check and
// base64 copy, and the failures kept for the end.
#include "report/json_report.h"

#include <cstdio>

namespace mirvale {

namespace {

// The length of the valid UTF-8 sequence that starts at p, with left bytes
// there, or 0 when none does: no overlong form, no surrogate, nothing past U+10FFFF.
std::size_t utf8_sequence(const unsigned char* p, std::size_t left) {
  const unsigned char b = p[0];
  if (b < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (b >= 0xC2 && b <= 0xDF) {
    length = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3;
    if (b == 0xE0) low = 0xA0;
    if (b == 0xED) high = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (left < length || p[1] < low || p[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  return length;
}

constexpr std::string_view kReplacement = "\\ufffd";

}  // namespace

void JsonReport::begin(const ScanRoots& roots) {
  begun_ = true;
  put("{\"directories\":[");
  for (std::size_t i = 0; i < roots.count(); ++i) {
    put(i == 0 ? "{" : ",{");
    put_path_field("path", {roots[i].path, roots[i].length});
    put("}");
  }
  put("],\n\"groups\":[");
}

void JsonReport::begin_group(const Md5Digest& digest, std::uint64_t size, bool size_known) {
  close_file();
  put(in_group_ ? "]},\n{" : groups_ > 0 ? ",\n{" : "\n{");
  ++groups_;
  in_group_ = true;
  put("\"size\":");
  if (size_known)
    put_number(size);
  else
    put("null");
  put(",\"md5\":\"");
  static constexpr char kDigits[] = "0123456789abcdef";
  char hex[2 * sizeof digest];
  for (std::size_t i = 0; i < sizeof digest; ++i) {
    hex[2 * i] = kDigits[digest[i] >> 4];
    hex[2 * i + 1] = kDigits[digest[i] & 15];
  }
  put({hex, sizeof hex});
  put("\",\"files\":[");
  group_files_ = 0;
}

void JsonReport::file(std::string_view path) {
  close_file();
  put(group_files_++ == 0 ? "{" : ",{");
  put_path_field("path", path);
  file_open_ = true;
  file_actions_ = 0;
}

// Ends the object of the file added last, with its actions.
void JsonReport::close_file() {
  if (!file_open_) return;
  put(file_actions_ > 0 ? "]}" : "}");
  file_open_ = false;
}

void JsonReport::begin_action(std::string_view path) {
  put(file_actions_++ == 0 ? ",\"actions\":[{" : ",{");
  put_path_field("path", path);
}

void JsonReport::action(const char* verb, std::string_view path, const char* kept, bool planned) {
  if (!file_open_) return;
  begin_action(path);
  put(",\"action\":\"");
  put(verb);
  put("\"");
  if (kept != nullptr) {
    put(",");
    put_path_field("kept", kept);
  }
  put(planned ? ",\"planned\":true}" : ",\"planned\":false}");
}

void JsonReport::left_alone(const char* reason, std::string_view path) {
  if (!file_open_) return;
  begin_action(path);
  put(",\"left_alone\":\"");
  put(reason);
  put("\"}");
}

void JsonReport::action_totals(const ActionTotals& t) {
  const auto add = [this](const char* format, auto... values) {
    const int n =
        std::snprintf(totals_ + totals_used_, sizeof totals_ - totals_used_, format, values...);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof totals_ - totals_used_)
      totals_used_ += static_cast<std::size_t>(n);
  };
  totals_used_ = 0;
  add(",\n\"actions\":{\"planned\":%s,\"groups_acted_on\":%llu,\"files_changed\":%llu,"
      "\"bytes_freed\":%llu,\"left_alone\":{",
      t.planned ? "true" : "false", static_cast<unsigned long long>(t.groups),
      static_cast<unsigned long long>(t.changed), static_cast<unsigned long long>(t.freed));
  bool first = true;
  for (std::size_t r = 0; r < t.reason_count; ++r) {
    if (t.left[r] == 0) continue;
    add("%s\"%s\":%llu", first ? "" : ",", t.reasons[r],
        static_cast<unsigned long long>(t.left[r]));
    first = false;
  }
  add("%s", "}}");
}

void JsonReport::failure(const char* message, std::string_view path, const char* second_field,
                         std::string_view second) {
  begin_failure(message);
  put(",");
  put_path_field("path", path);
  if (second_field != nullptr) {
    put(",");
    put_path_field(second_field, second);
  }
  put("}");
  to_failures_ = false;
}

void JsonReport::failure(const char* message) {
  begin_failure(message);
  put("}");
  to_failures_ = false;
}

// Starts the object of a failure in the failure text, with room for all of it.
void JsonReport::begin_failure(const char* message) {
  if (kFailureMemory - failure_used_ < kMaxFailureText) spill_failures();
  ++failures_;
  to_failures_ = true;
  put(",\n{\"message\":\"");
  put(message);
  put("\"");
}

void JsonReport::finish(std::uint64_t files_listed, std::uint64_t bytes_digested) {
  if (!begun_) {
    ScanRoots none;
    begin(none);
  }
  close_file();
  put(in_group_ ? "]}\n],\n" : groups_ > 0 ? "\n],\n" : "],\n");
  in_group_ = false;
  put("\"files_listed\":");
  put_number(files_listed);
  put(",\"bytes_digested\":");
  put_number(bytes_digested);
  put({totals_, totals_used_});
  put(",\n\"failures\":[");
  write_failures();
  put(failures_ > 0 ? "\n]}\n" : "]}\n");
}

void JsonReport::put(std::string_view text) {
  if (!to_failures_) {
    console_.write(text);
    return;
  }
  // failure() leaves room for the whole of its text.
  if (text.size() > kFailureMemory - failure_used_) return;
  text.copy(failure_bytes_ + failure_used_, text.size());
  failure_used_ += text.size();
}

void JsonReport::put_number(std::uint64_t value) {
  char digits[24];
  const int length =
      std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
  put({digits, static_cast<std::size_t>(length)});
}

// "field":"string", and "field_base64":"bytes" after it when the string is
// not valid UTF-8.
void JsonReport::put_path_field(const char* field, std::string_view bytes) {
  put("\"");
  put(field);
  put("\":\"");
  const bool valid = put_string(bytes);
  put("\"");
  if (valid) return;
  put(",\"");
  put(field);
  put("_base64\":\"");
  put_base64(bytes);
  put("\"");
}

// Writes bytes as the inside of a JSON string, gathered in a small buffer;
// false when some byte was not part of valid UTF-8.
bool JsonReport::put_string(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char out[256];
  std::size_t used = 0;
  bool valid = true;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t at = 0; at < bytes.size();) {
    if (used > sizeof out - 8) {
      put({out, used});
      used = 0;
    }
    const unsigned char b = p[at];
    const std::size_t length = utf8_sequence(p + at, bytes.size() - at);
    if (length == 0) {
      valid = false;
      kReplacement.copy(out + used, kReplacement.size());
      used += kReplacement.size();
      ++at;
    } else if (b == '"' || b == '\\') {
      out[used++] = '\\';
      out[used++] = static_cast<char>(b);
      ++at;
    } else if (b < 0x20) {
      const char escape[] = {'\\', 'u', '0', '0', kDigits[b >> 4], kDigits[b & 15]};
      for (char c : escape) out[used++] = c;
      ++at;
    } else {
      for (std::size_t i = 0; i < length; ++i) out[used++] = static_cast<char>(p[at++]);
    }
  }
  put({out, used});
  return valid;
}

void JsonReport::put_base64(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t at = 0; at < bytes.size(); at += 3) {
    const std::size_t left = bytes.size() - at;
    const std::uint32_t word = (std::uint32_t{p[at]} << 16) |
                               (left > 1 ? std::uint32_t{p[at + 1]} << 8 : 0) |
                               (left > 2 ? std::uint32_t{p[at + 2]} : 0);
    const char quad[] = {kAlphabet[word >> 18], kAlphabet[(word >> 12) & 63],
                         left > 1 ? kAlphabet[(word >> 6) & 63] : '=',
                         left > 2 ? kAlphabet[word & 63] : '='};
    put({quad, sizeof quad});
  }
}

// Moves the failure text in memory to the spill file; when it cannot be
// written, those failures are lost, and the document says so at the end.
void JsonReport::spill_failures() {
  if (!spill_.valid() && !spill_failed_) {
    platform::remove_file(kSpillFileName);
    spill_ = platform::open_working_file(kSpillFileName);
  }
  if (spill_.valid() && platform::write_all(spill_, failure_bytes_, failure_used_))
    spilled_ += failure_used_;
  else
    spill_failed_ = true;
  failure_used_ = 0;
}

// Copies the failures kept to the document, those spilled first, less the
// comma before the first.
void JsonReport::write_failures() {
  std::size_t skip = 1;
  char block[4096];
  for (std::uint64_t at = 0; at < spilled_;) {
    const long got = platform::read_at(spill_, at, block, sizeof block);
    if (got <= 0) {
      spill_failed_ = true;
      break;
    }
    console_.write(block + skip, static_cast<std::size_t>(got) - skip);
    skip = 0;
    at += static_cast<std::uint64_t>(got);
  }
  if (failure_used_ > 0) console_.write(failure_bytes_ + skip, failure_used_ - skip);
  if (failure_used_ > 0) skip = 0;
  failure_used_ = 0;
  if (spill_failed_) {
    console_.write(skip == 1 ? "\n" : ",\n");
    console_.write("{\"message\":\"Write Fail\",\"path\":\"");
    console_.write(kSpillFileName);
    console_.write("\"}");
  }
  if (spill_.valid()) {
    spill_.close();
    platform::remove_file(kSpillFileName);
  }
}

}  // namespace mirvale
