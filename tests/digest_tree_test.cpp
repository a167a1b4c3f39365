// The tree file module: the record's byte layout, creating a new file and
// refusing any old one, record reads at the file's end, and the listing's
// format.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "index/digest_tree.h"
#include "test_support.h"
#include "tree_file_helpers.h"

namespace mirvale {
namespace {

using test::le32_at;
using test::record_at;

class DigestTreeFile : public test::TreeFileTest {};

Md5Digest filled_digest(std::uint8_t first) {
  Md5Digest d{};
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(first + i);
  return d;
}

TEST(DigestTreeRecord, FieldsAreLittleEndianInFileOrder) {
  TreeRecord r;
  r.left = 0x04030201;
  r.right = 0x14131211;
  r.equal = 0x24232221;
  r.bal = -2;
  r.digest = filled_digest(0xA0);
  r.name_offset = 0x84838281;
  unsigned char bytes[kTreeRecordSize];
  encode_record(r, bytes);
  const unsigned char expected[kTreeRecordSize] = {
      0x01, 0x02, 0x03, 0x04, 0x11, 0x12, 0x13, 0x14, 0x21, 0x22, 0x23, 0x24,
      0xFE, 0xFF, 0xFF, 0xFF, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
      0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF, 0x81, 0x82, 0x83, 0x84};
  EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof bytes));
  TreeRecord back;
  decode_record(expected, back);
  EXPECT_EQ(back.left, r.left);
  EXPECT_EQ(back.right, r.right);
  EXPECT_EQ(back.equal, r.equal);
  EXPECT_EQ(back.bal, -2);
  EXPECT_EQ(back.digest, r.digest);
  EXPECT_EQ(back.name_offset, r.name_offset);
}

TEST_F(DigestTreeFile, OpeningAMissingFileCreatesAnEmptyTree) {
  ASSERT_TRUE(tree_.open_tree(path_.c_str()));
  EXPECT_EQ(tree_.root(), 0u);
  EXPECT_EQ(bytes(), std::string(4, '\0'));
}

// An old file, shorter than a header or holding a tree, is never reused.
TEST_F(DigestTreeFile, OpeningRefusesAnExistingFileAndWritesNothing) {
  const std::string tree = std::string("\x28\x00\x00\x00", 4) + std::string(72, '\x5A');
  for (const std::string& content : {std::string(1, '\xFF'), std::string(3, '\xFF'), tree}) {
    SCOPED_TRACE(content.size());
    test::write_file(path_, content);
    struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path_.c_str(), old_times, 0), 0);
    EXPECT_FALSE(tree_.open_tree(path_.c_str()));
    EXPECT_FALSE(tree_.write_header());
    EXPECT_EQ(bytes(), content);
    struct stat st;
    ASSERT_EQ(::stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000) << "the file was written";
  }
}

TEST_F(DigestTreeFile, OpeningFailsWhenTheNameIsADirectory) {
  test::make_dir(path_);
  EXPECT_FALSE(tree_.open_tree(path_.c_str()));
  EXPECT_FALSE(tree_.write_header());
  TreeRecord r;
  EXPECT_FALSE(tree_.read_record(4, r));
}

TEST_F(DigestTreeFile, HeaderOnlyFileHasNoRecordToRead) {
  ASSERT_TRUE(tree_.open_tree(path_.c_str()));
  TreeRecord r;
  EXPECT_FALSE(tree_.read_record(0, r));
  EXPECT_FALSE(tree_.read_record(4, r));
}

TEST_F(DigestTreeFile, RecordsReadBackUpToTheLastWholeOne) {
  ASSERT_TRUE(tree_.open_tree(path_.c_str()));
  constexpr int kRecords = 3;
  for (std::uint32_t i = 0; i < kRecords; ++i) {
    TreeRecord r;
    r.left = i + 1;
    r.bal = -static_cast<std::int32_t>(i);
    r.digest = filled_digest(static_cast<std::uint8_t>(16 * i));
    r.name_offset = 100 + i;
    ASSERT_TRUE(tree_.write_record(record_at(i), r));
  }
  EXPECT_EQ(bytes().size(), 4u + 36u * kRecords);
  for (std::uint32_t i = 0; i < kRecords; ++i) {
    TreeRecord r = record(record_at(i));
    EXPECT_EQ(r.left, i + 1);
    EXPECT_EQ(r.bal, -static_cast<std::int32_t>(i));
    EXPECT_EQ(r.digest, filled_digest(static_cast<std::uint8_t>(16 * i)));
    EXPECT_EQ(r.name_offset, 100 + i);
  }
  TreeRecord r;
  EXPECT_FALSE(tree_.read_record(record_at(kRecords), r));
  // A record cut short by the file's end is no record either.
  tree_.close_tree();
  test::write_file(path_, bytes() + std::string(35, '\x01'));
  ASSERT_TRUE(tree_.open_existing_tree(path_.c_str()));
  EXPECT_TRUE(tree_.read_record(record_at(kRecords - 1), r));
  EXPECT_FALSE(tree_.read_record(record_at(kRecords), r));
}

TEST_F(DigestTreeFile, HeaderHoldsTheRootLittleEndian) {
  ASSERT_TRUE(tree_.open_tree(path_.c_str()));
  tree_.set_root(0x0A0B0C0D);
  ASSERT_TRUE(tree_.write_header());
  EXPECT_EQ(bytes(), std::string("\x0D\x0C\x0B\x0A", 4));
  tree_.close_tree();
  ASSERT_TRUE(tree_.open_existing_tree(path_.c_str()));
  EXPECT_EQ(tree_.root(), 0x0A0B0C0Du);
}

TEST_F(DigestTreeFile, ListingOfAnEmptyTreeIsTheHeadingOnly) {
  ASSERT_TRUE(tree_.open_tree(path_.c_str()));
  test::CapturedConsole out;
  EXPECT_TRUE(tree_.dump_tree(out.console())) << "a header is a whole tree";
  EXPECT_EQ(out.text(), "pos     - bal: left     <- equal    -> right\n");
}

// One record with the given bal and digest; returns its listing line.
std::string listed_line(DigestTree& tree, std::int32_t bal, const Md5Digest& digest,
                        NameOffset name_offset) {
  TreeRecord r;
  r.left = 0xABCDEF01;
  r.right = 0x2A;
  r.equal = 0;
  r.bal = bal;
  r.digest = digest;
  r.name_offset = name_offset;
  EXPECT_TRUE(tree.write_record(4, r));
  test::CapturedConsole out;
  tree.dump_tree(out.console());
  std::string text = out.text();
  size_t heading_end = text.find('\n') + 1;
  return text.substr(heading_end);
}

TEST_F(DigestTreeFile, ListingShowsBalWithSignAndThreeDigits) {
  struct Case {
    std::int32_t bal;
    const char* shown;
  };
  const Case cases[] = {{0, " 000"},     {1, " 001"},
                        {-1, "-001"},    {-2, "-002"},
                        {1234, " 1234"}, {INT32_MIN, "-2147483648"},
                        {999, " 999"},   {INT32_MAX, " 2147483647"}};
  ASSERT_TRUE(tree_.open_tree(path_.c_str()));
  Md5Digest d{};
  d[0] = 'x';
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bal);
    EXPECT_EQ(listed_line(tree_, c.bal, d, 0),
              std::string("00000004-") + c.shown + ": ABCDEF01 <- 00000000 -> 0000002A  [x]\n");
  }
}

TEST_F(DigestTreeFile, ListedTextEndsAtAZeroByteOrTheRecordsEnd) {
  Md5Digest no_zero;
  for (size_t i = 0; i < no_zero.size(); ++i) no_zero[i] = static_cast<std::uint8_t>('a' + i);
  Md5Digest zero_at_5 = no_zero;
  zero_at_5[5] = 0;
  Md5Digest zero_first = no_zero;
  zero_first[0] = 0;
  const std::string all16 = "abcdefghijklmnop";
  struct Case {
    Md5Digest digest;
    NameOffset name_offset;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {zero_first, 0x41414141, ""},
      {zero_at_5, 0x41414141, "abcde"},
      {no_zero, 0, all16},
      {no_zero, 0x1C, all16 + "\x1C"},
      {no_zero, 0x00004241, all16 + "AB"},
      {no_zero, 0x44434241, all16 + "ABCD"},
  };
  ASSERT_TRUE(tree_.open_tree(path_.c_str()));
  // A non-zero record after the first, which the text must not run into.
  TreeRecord next;
  next.left = 0x5A5A5A5A;
  next.digest = no_zero;
  ASSERT_TRUE(tree_.write_record(record_at(1), next));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    std::string lines = listed_line(tree_, 0, c.digest, c.name_offset);
    std::string first = lines.substr(0, lines.find('\n') + 1);
    EXPECT_EQ(first, "00000004- 000: ABCDEF01 <- 00000000 -> 0000002A  [" + c.shown + "]\n");
  }
}

TEST_F(DigestTreeFile, ListingStopsBeforeARecordCutShort) {
  std::string content =
      std::string("\x04\x00\x00\x00", 4) + std::string(36, '\0') + std::string(20, '\x33');
  test::write_file(path_, content);
  ASSERT_TRUE(tree_.open_existing_tree(path_.c_str()));
  test::CapturedConsole out;
  EXPECT_FALSE(tree_.dump_tree(out.console())) << "the record cut short";
  EXPECT_EQ(out.text(),
            "pos     - bal: left     <- equal    -> right\n"
            "00000004- 000: 00000000 <- 00000000 -> 00000000  []\n");
}

}  // namespace
}  // namespace mirvale
