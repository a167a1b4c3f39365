// The name store: record layout, offsets, reading back by offset.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "scan/name_store.h"
#include "test_support.h"

namespace mirvale {
namespace {

class NameStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(names_.open(file_.c_str())); }

  NameOffset append(const std::string& path_text) {
    EXPECT_TRUE(path_.assign(path_text));
    const std::optional<NameOffset> offset = names_.append_name(path_);
    EXPECT_TRUE(offset);
    return offset.value_or(0);
  }

  test::TempDir dir_;
  std::string file_ = dir_ / "MIRVALE.NMS";
  ScanPath path_;
  NameStore names_{path_};
};

TEST_F(NameStoreTest, EmptyStoreHasNoBytesAndOffsetZero) {
  EXPECT_EQ(test::read_file(file_), "");
  EXPECT_FALSE(names_.read_name(0));
  EXPECT_STREQ(path_.c_str(), "");
  EXPECT_EQ(append("first"), 0u);
}

TEST_F(NameStoreTest, TwoRecordsAreStoredBackToBackWithTerminators) {
  EXPECT_EQ(append("d/a"), 0u);
  EXPECT_EQ(append("d/sub/bb"), 4u);
  ASSERT_TRUE(names_.flush_names());
  EXPECT_EQ(test::read_file(file_), std::string("d/a\0d/sub/bb\0", 13));

  struct Case {
    NameOffset offset;
    const char* path;
    bool non_empty;
  };
  const Case cases[] = {
      {0, "d/a", true}, {4, "d/sub/bb", true}, {1, "/a", true},  // inside a record
      {3, "", false},                                            // a terminator
      {13, "", false},  {100, "", false},                        // at and past the end
  };
  for (const Case& c : cases) {
    path_.assign("stale content");
    EXPECT_EQ(names_.read_name(c.offset), c.non_empty) << c.offset;
    EXPECT_STREQ(path_.c_str(), c.path) << c.offset;
    EXPECT_EQ(path_.length(), std::string(c.path).size());
  }
}

TEST_F(NameStoreTest, EveryOffsetIsTheSumOfEarlierRecordLengths) {
  std::vector<std::string> paths;
  std::vector<NameOffset> offsets;
  NameOffset expected = 0;
  for (int i = 0; i < 300; ++i) {
    std::string p = "dir/" + std::string(static_cast<size_t>(i % 37 + 1), 'a' + i % 26) +
                    "\x80\xfe\xff" + std::to_string(i);
    paths.push_back(p);
    offsets.push_back(append(p));
    EXPECT_EQ(offsets.back(), expected);
    expected += static_cast<NameOffset>(p.size() + 1);
  }
  for (size_t i = 0; i < paths.size(); i += 7) {
    ASSERT_TRUE(names_.read_name(offsets[i]));
    EXPECT_EQ(std::string(path_.c_str()), paths[i]);
  }
}

TEST_F(NameStoreTest, LongestPathRoundTrips) {
  std::string longest(ScanPath::kMaxLength, 'x');
  NameOffset at = append(longest);
  path_.assign("");
  ASSERT_TRUE(names_.read_name(at));
  EXPECT_EQ(path_.view(), longest);
}

TEST_F(NameStoreTest, ForeignRecordLongerThanTheBufferIsCutAtItsCapacity) {
  // Another writer of the shared file may store a record with no terminator
  // for longer than the scan path holds.
  test::write_file(file_, std::string(10000, 'y') + std::string(1, '\0'));
  ASSERT_TRUE(names_.read_name(0));
  EXPECT_EQ(path_.length(), ScanPath::kMaxLength);
  EXPECT_EQ(path_.view(), std::string(ScanPath::kMaxLength, 'y'));
  ASSERT_TRUE(names_.read_name(9990));
  EXPECT_EQ(path_.view(), std::string(10, 'y'));
}

// Records go to the file in blocks of whole records, written when the next
// record would not fit after them and when the scan ends; a block the file
// cannot take whole fails like the write of a single record.
TEST_F(NameStoreTest, BlocksHoldWholeRecordsAndOneNotWrittenWholeIsAWriteFailure) {
  const std::string record(999, 'r');  // 1000 bytes with the terminator
  const size_t per_block = platform::BlockWriter::kBlockSize / 1000;
  ASSERT_TRUE(path_.assign(record));
  for (size_t i = 0; i <= per_block; ++i) ASSERT_TRUE(names_.append_name(path_));
  EXPECT_EQ(test::read_file(file_).size(), per_block * 1000);
  test::FileSizeLimit limit(per_block * 1000 + 1500);
  size_t appended = 0;
  while (appended < 2 * per_block && names_.append_name(path_)) ++appended;
  EXPECT_EQ(appended, per_block - 1) << "the next block fails when it is written";
  ASSERT_TRUE(names_.append_name(path_));
  EXPECT_FALSE(names_.flush_names()) << "the records left when the scan ends";
}

TEST(ScanPathTest, AppendsOnlyWhatFits) {
  ScanPath path;
  ASSERT_TRUE(path.assign(std::string(ScanPath::kMaxLength - 3, 'p')));
  EXPECT_TRUE(path.append_entry("ab"));  // exactly full
  EXPECT_EQ(path.length(), ScanPath::kMaxLength);
  path.cut(ScanPath::kMaxLength - 3);
  EXPECT_FALSE(path.append_entry("abc"));  // one byte too many: unchanged
  EXPECT_EQ(path.length(), ScanPath::kMaxLength - 3);
  EXPECT_EQ(path.c_str()[path.length()], '\0');
  EXPECT_FALSE(path.assign(std::string(ScanPath::kCapacity, 'q')));
  EXPECT_EQ(path.length(), 0u);
}

}  // namespace
}  // namespace mirvale
