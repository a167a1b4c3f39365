// Helpers for the digest tree tests: a tree file in a fresh directory, laid
// out by the test, a captured console, and record bytes read straight from
// the file.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "index/digest_tree.h"
#include "test_support.h"

namespace mirvale::test {

// The console's text, written to a temporary file and read back.
class CapturedConsole {
 public:
  CapturedConsole() : out_(std::tmpfile()), console_(out_) {}
  ~CapturedConsole() { std::fclose(out_); }
  CapturedConsole(const CapturedConsole&) = delete;
  CapturedConsole& operator=(const CapturedConsole&) = delete;

  platform::Console& console() { return console_; }
  // Forgets everything written so far.
  void clear() {
    console_.flush();
    EXPECT_EQ(::ftruncate(::fileno(out_), 0), 0);
    std::rewind(out_);
  }
  std::string text() {
    console_.flush();
    std::rewind(out_);
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, out_)) > 0) text.append(buffer, got);
    return text;
  }

 private:
  std::FILE* out_;
  platform::Console console_;
};

// Little-endian 32-bit value at offset of bytes.
inline std::uint32_t le32_at(const std::string& bytes, size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes.at(offset + static_cast<size_t>(i)));
  return value;
}

constexpr std::uint32_t record_at(std::uint64_t index) {
  return static_cast<std::uint32_t>(4 + 36 * index);
}

// Makes path a new tree file holding root and records (the first at offset
// 4), written through tree, which stays open on it: the tree module creates
// its file only new, so this is how a test gives it one with content.
inline void lay_out_tree(DigestTree& tree, const std::string& path, std::uint32_t root,
                         const std::vector<TreeRecord>& records) {
  tree.close_tree();
  ::unlink(path.c_str());
  ASSERT_TRUE(tree.open_tree(path.c_str()));
  for (size_t i = 0; i < records.size(); ++i)
    ASSERT_TRUE(tree.write_record(record_at(i), records[i]));
  tree.set_root(root);
  ASSERT_TRUE(tree.write_header());
}

// A fresh directory holding the tree file "MIRVALE.ST" (not yet created).
class TreeFileTest : public ::testing::Test {
 protected:
  // The file's bytes, once the head kept in memory is written back.
  std::string bytes() {
    EXPECT_TRUE(tree_.write_back());
    return read_file(path_);
  }
  TreeRecord record(std::uint32_t offset) {
    TreeRecord r;
    EXPECT_TRUE(tree_.read_record(offset, r)) << "record at " << offset;
    return r;
  }

  TempDir dir_;
  std::string path_ = dir_ / "MIRVALE.ST";
  DigestTree tree_;
};

}  // namespace mirvale::test
