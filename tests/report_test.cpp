// The duplicate report on tree files and name stores laid out record by
// record by the tests: group order, chain order, the stack limit, damaged records and
// failing log writes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/listing.h"
#include "report/report.h"
#include "test_support.h"
#include "tree_file_helpers.h"

namespace mirvale {
namespace {

constexpr char kHeading[] = "============== Duplicate File List =============\r\n";

// One record of a tree file as the test lays it out.
struct RawRecord {
  std::uint32_t left = 0;
  std::uint32_t right = 0;
  std::uint32_t equal = 0;
  Md5Digest digest{};
  NameOffset name_offset = 0;
};

constexpr std::uint32_t record_offset(size_t index) {
  return static_cast<std::uint32_t>(4 + 36 * index);
}

Md5Digest digest_of_hex(const std::string& hex) {
  Md5Digest d{};
  for (size_t i = 0; i < d.size(); ++i)
    d[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return d;
}

// Builds records in walk order as a binary search tree with chains: smaller
// digests to the left, larger to the right, an equal one at its chain's end.
class TreeBuilder {
 public:
  void add(const Md5Digest& digest, NameOffset name_offset) {
    records_.push_back({0, 0, 0, digest, name_offset});
    std::uint32_t added = record_offset(records_.size() - 1);
    if (records_.size() == 1) return;
    size_t at = 0;
    for (;;) {
      RawRecord& r = records_[at];
      std::uint32_t* link = digest < r.digest ? &r.left : r.digest < digest ? &r.right : &r.equal;
      if (*link == 0) {
        *link = added;
        return;
      }
      at = (*link - 4) / 36;
    }
  }
  std::uint32_t root() const { return records_.empty() ? 0 : record_offset(0); }
  const std::vector<RawRecord>& records() const { return records_; }

 private:
  std::vector<RawRecord> records_;
};

// Distinct digests whose order tests the comparison: the first byte decides,
// bytes compare unsigned, and a difference in the last byte counts. Other
// letters give a digest that begins with the letter's code.
Md5Digest letter_digest(char letter) {
  switch (letter) {
    case '0':
      return digest_of_hex("00000000000000000000000000000000");  // no content
    case 'L':
      return digest_of_hex("4000000000000000000000000000007f");
    case 'M':
      return digest_of_hex("40000000000000000000000000000080");
    case 'S':
      return digest_of_hex("7fff0000000000000000000000000000");
    case 'H':
      return digest_of_hex("80000000000000000000000000000000");
  }
  Md5Digest d = digest_of_hex("000000000000000000ee000000000000");
  d[0] = static_cast<std::uint8_t>(letter);
  return d;
}

// The console and log text of one group.
std::string group(const std::vector<std::string>& paths) {
  std::string text = kHeading;
  for (const std::string& p : paths) text += p + "\r\n";
  return text;
}

// One report's modules, with the console captured in a temporary file and
// the log in a file of the test directory.
class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(names_.open((dir_ / "MIRVALE.NMS").c_str()));
    log_ = platform::open_working_file(log_file_.c_str());
    ASSERT_TRUE(log_.valid());
    queue_.start_workers(2);
  }

  // Appends a path to the name store and returns its offset. A file of one
  // content stands at the path below the test directory, so that every chain
  // is confirmed whole.
  NameOffset store(const std::string& path_text, const std::string& content = "same") {
    for (size_t slash = path_text.find('/'); slash != std::string::npos;
         slash = path_text.find('/', slash + 1))
      ::mkdir((dir_ / path_text.substr(0, slash)).c_str(), 0777);
    test::write_file(dir_ / path_text, content);
    EXPECT_TRUE(path_->assign(path_text));
    const std::optional<NameOffset> offset = names_.append_name(*path_);
    EXPECT_TRUE(offset);
    return offset.value_or(0);
  }

  // Lays out the tree file, runs the report and returns its console text.
  std::string report(std::uint32_t root, const std::vector<RawRecord>& records) {
    captured_.clear();
    std::vector<TreeRecord> laid_out;
    for (const RawRecord& r : records)
      laid_out.push_back(TreeRecord{r.left, r.right, r.equal, 0, r.digest, r.name_offset});
    test::lay_out_tree(tree_, dir_ / "MIRVALE.ST", root, laid_out);
    EXPECT_TRUE(names_.flush_names());
    EXPECT_TRUE(tree_.write_back());
    char* start[] = {dir_path_.data()};
    roots_.assign(start, 1);
    EXPECT_EQ(roots_.open_all(), 1u);
    roots_[0].skip = 0;  // stored paths are relative to it
    budget_.reset(queue_.workers());
    confirmation_.begin(roots_);
    report_->report_duplicates();
    confirmation_.end();
    return captured_.text();
  }

  std::string log_text() const { return test::read_file(log_file_); }

  // A tree of depth records, each the right child of the one before, with
  // ascending digests; the root, the record above the deepest and the deepest
  // each head a chain of two, whose groups go to groups in digest order.
  std::vector<RawRecord> degenerate_tree(size_t depth, std::vector<std::string>& groups) {
    std::vector<RawRecord> records(depth);
    const NameOffset filler = store("deep/unique");
    for (size_t i = 0; i < depth; ++i) {
      records[i].digest[0] = static_cast<std::uint8_t>(i >> 8);
      records[i].digest[1] = static_cast<std::uint8_t>(i);
      records[i].name_offset = filler;
      if (i + 1 < depth) records[i].right = record_offset(i + 1);
    }
    for (size_t head : {size_t{0}, depth - 2, depth - 1}) {
      const std::string first = "deep/" + std::to_string(head) + "-first";
      const std::string second = "deep/" + std::to_string(head) + "-second";
      records[head].name_offset = store(first);
      records[head].equal = record_offset(records.size());
      RawRecord copy;
      copy.digest = records[head].digest;
      copy.name_offset = store(second);
      records.push_back(copy);
      groups.push_back(group({first, second}));
    }
    return records;
  }

  // A pair of files of one content and three of another; expected gets their groups.
  std::vector<RawRecord> two_groups(std::string& expected) {
    TreeBuilder builder;
    for (const char* p : {"d/b1", "d/a1", "d/b2", "d/a2", "d/b3"})
      builder.add(letter_digest(p[2]), store(p));
    expected = group({"d/a1", "d/a2"}) + group({"d/b1", "d/b2", "d/b3"});
    return builder.records();
  }

  test::TempDir dir_;
  std::string dir_path_ = dir_.path();
  ScanRoots roots_;
  std::string log_file_ = dir_ / "MIRVALE.LOG";
  std::unique_ptr<ScanPath> path_ = std::make_unique<ScanPath>();
  std::unique_ptr<IoBuffer> io_ = std::make_unique<IoBuffer>();
  NameStore names_{*path_};
  DigestTree tree_;
  test::CapturedConsole captured_;
  platform::FileHandle log_;
  SizeCensus census_;
  DescriptorBudget budget_;
  TwinBoard twins_;
  DigestQueue queue_{census_, budget_, twins_, *io_};
  Confirmation confirmation_{tree_, names_, budget_, twins_};
  std::unique_ptr<Report> report_ =
      std::make_unique<Report>(ReportParts{tree_, names_, *path_, *io_, captured_.console(), log_,
                                           queue_, confirmation_, nullptr, nullptr});
};

TEST_F(ReportTest, EightFileExampleGivesTenLinesAnd255ByteLog) {
  const Md5Digest abc = digest_of_hex("900150983cd24fb0d6963f7d28e17f72");
  const Md5Digest empty = digest_of_hex("d41d8cd98f00b204e9800998ecf8427e");
  const Md5Digest message = digest_of_hex("f96b697d7cb7938d525a2f31aaf161d0");
  const Md5Digest a = digest_of_hex("0cc175b9c0f1b6a831c399e269772661");
  for (char c = 'a'; c <= 'h'; ++c) store(std::string("C:\\data\\") + c + ".txt");
  const std::vector<RawRecord> records = {
      {0x94, 0x28, 0x4C, abc, 0}, {0, 0x70, 0, empty, 14}, {0, 0, 0xB8, abc, 28},
      {0, 0, 0x100, message, 42}, {0, 0, 0xDC, a, 56},     {0, 0, 0, abc, 70},
      {0, 0, 0, a, 84},           {0, 0, 0, message, 98},
  };
  const std::string expected = std::string(kHeading) + "C:\\data\\e.txt\r\nC:\\data\\g.txt\r\n" +
                               kHeading +
                               "C:\\data\\a.txt\r\nC:\\data\\c.txt\r\nC:\\data\\f.txt\r\n" +
                               kHeading + "C:\\data\\d.txt\r\nC:\\data\\h.txt\r\n";
  EXPECT_EQ(report(0x04, records), expected);
  EXPECT_EQ(log_text(), expected);
  EXPECT_EQ(log_text().size(), 255u);
  EXPECT_FALSE(report_->stack_full());
  EXPECT_FALSE(report_->log_failed());
}

TEST_F(ReportTest, EmptyTreePrintsNothing) {
  EXPECT_EQ(report(0, {}), "");
  EXPECT_EQ(log_text(), "");
  EXPECT_FALSE(report_->stack_full());
}

// Digests named by one letter each; the walk finds the files in the order given.
struct WalkCase {
  const char* name;
  std::vector<std::pair<char, std::string>> files;  // digest letter, path
};

void PrintTo(const WalkCase& c, std::ostream* os) {
  *os << c.name;
}

class ReportGroupTest : public ReportTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(ReportGroupTest, GroupsComeInDigestOrderWithFilesInWalkOrder) {
  TreeBuilder builder;
  std::map<Md5Digest, std::vector<std::string>> by_digest;
  for (const auto& [letter, path_text] : GetParam().files) {
    builder.add(letter_digest(letter), store(path_text));
    by_digest[letter_digest(letter)].push_back(path_text);
  }
  std::string expected;
  for (const auto& [digest, paths] : by_digest)
    if (paths.size() > 1) expected += group(paths);
  EXPECT_EQ(report(builder.root(), builder.records()), expected);
  EXPECT_EQ(log_text(), expected);
  EXPECT_FALSE(report_->stack_full());
}

INSTANTIATE_TEST_SUITE_P(
    Walks, ReportGroupTest,
    ::testing::Values(
        WalkCase{"NoDuplicates", {{'a', "d/1"}, {'b', "d/2"}, {'c', "d/3"}}},
        WalkCase{"OnePair", {{'a', "d/first"}, {'a', "d/second"}}},
        WalkCase{"ThreeOfOneContent",
                 {{'x', "d/x1"}, {'y', "d/y"}, {'x', "d/x2"}, {'z', "d/z"}, {'x', "d/x3"}}},
        WalkCase{"AscendingWalk",
                 {{'a', "d/a1"},
                  {'a', "d/a2"},
                  {'b', "d/b1"},
                  {'b', "d/b2"},
                  {'c', "d/c1"},
                  {'c', "d/c2"}}},
        WalkCase{"DescendingWalk",
                 {{'c', "d/c1"},
                  {'c', "d/c2"},
                  {'b', "d/b1"},
                  {'b', "d/b2"},
                  {'a', "d/a1"},
                  {'a', "d/a2"}}},
        WalkCase{"InterleavedWalk",
                 {{'m', "d/m1"},
                  {'c', "d/c1"},
                  {'t', "d/t1"},
                  {'a', "d/a1"},
                  {'t', "d/t2"},
                  {'e', "d/e1"},
                  {'c', "d/c2"},
                  {'a', "d/a2"},
                  {'e', "d/e2"},
                  {'m', "d/m2"}}},
        WalkCase{"BytesCompareUnsigned",
                 {{'H', "d/h1"}, {'S', "d/s1"}, {'H', "d/h2"}, {'S', "d/s2"}}},
        WalkCase{"LastByteDecides", {{'M', "d/m1"}, {'L', "d/l1"}, {'M', "d/m2"}, {'L', "d/l2"}}},
        WalkCase{"ZeroDigestComesFirst",
                 {{'b', "d/b1"}, {'0', "d/z1"}, {'b', "d/b2"}, {'0', "d/z2"}}},
        WalkCase{"PercentSignsPassUnchanged",
                 {{'p', "d/100% sure"}, {'p', "d/%s%n"}, {'q', "d/%d"}}},
        WalkCase{"HighBytesAndSpacesPassUnchanged",
                 {{'u', "d/caf\xc3\xa9 au lait"}, {'u', "d/\x80\xff \xfe"}}}),
    [](const ::testing::TestParamInfo<WalkCase>& info) { return std::string(info.param.name); });

TEST_F(ReportTest, TreeOfDepth19999IsWalkedCompletely) {
  std::vector<std::string> groups;
  auto records = degenerate_tree(19999, groups);
  const std::string expected = groups[0] + groups[1] + groups[2];
  EXPECT_EQ(report(record_offset(0), records), expected);
  EXPECT_EQ(log_text(), expected);
  EXPECT_FALSE(report_->stack_full());
}

TEST_F(ReportTest, TreeOfDepth20000EndsWithStackFullOnTheConsoleOnly) {
  std::vector<std::string> groups;
  auto records = degenerate_tree(20000, groups);
  // Every record above the deepest has been visited when its entry fills the stack.
  EXPECT_EQ(report(record_offset(0), records), groups[0] + groups[1] + "Stack Full!\n");
  EXPECT_EQ(log_text(), groups[0] + groups[1]);
  EXPECT_TRUE(report_->stack_full());
}

TEST_F(ReportTest, ChainRecordWhosePathCannotBeReadGetsNoLine) {
  const NameOffset first = store("d/first");
  const NameOffset last = store("d/last");
  const NameOffset terminator = first + 7;
  const Md5Digest d = letter_digest('a');
  // The middle records name the end of the store, a terminator and a place far beyond.
  const std::vector<RawRecord> records = {
      {0, 0, record_offset(1), d, first},
      {0, 0, record_offset(2), d, 16},
      {0, 0, record_offset(3), d, terminator},
      {0, 0, record_offset(4), d, 1u << 30},
      {0, 0, 0, d, last},
  };
  const std::string expected = group({"d/first", "d/last"});
  EXPECT_EQ(report(record_offset(0), records), expected);
  EXPECT_EQ(log_text(), expected);
}

TEST_F(ReportTest, FileThatDiffersAtTheEndOfARoundOfOpensSplitsItsChain) {
  // The files of a chain are opened eight at a time, the head with the
  // first seven; the two odd ones out, alike, close the first two rounds.
  const std::string small = "same", large(70000, 's');
  std::vector<RawRecord> records;
  std::string expected;
  for (const std::string& content : {small, large}) {
    const Md5Digest d = letter_digest(content == small ? 'a' : 'b');
    std::vector<std::string> kept, odd_ones;
    for (int i = 0; i < 16; ++i) {
      const std::string path = "d/" + std::to_string(content.size()) + "-" + std::to_string(i);
      const bool odd = i == 7 || i == 14;
      std::string bytes = content;
      if (odd) bytes.back() = '!';  // alike in size, not in content
      records.push_back({0, 0, 0, d, store(path, bytes)});
      if (i > 0) records[records.size() - 2].equal = record_offset(records.size() - 1);
      (odd ? odd_ones : kept).push_back(path);
    }
    expected += group(kept) + group(odd_ones);
  }
  records[0].right = record_offset(16);
  EXPECT_EQ(report(record_offset(0), records), expected);
}

TEST(CompareFilesTest, LargePairComparedInHalvesAnswersAsFromTheStart) {
  // Sparse files past the size compared on two threads; the second differs
  // at one byte, or is cut short or grown under the comparison.
  test::TempDir dir;
  const off_t size = off_t{260} << 20;
  const struct {
    off_t differs_at;  // -1: nowhere
    off_t cut_to;      // the second's length when compared; -1: not cut
    Comparison result;
  } cases[] = {
      {-1, -1, Comparison::same},
      {10, -1, Comparison::different},
      {size / 2 + 10, -1, Comparison::different},
      {size - 1, -1, Comparison::different},
      {10, size / 4 * 3, Comparison::different},  // the first thing found in byte order
      {size - 1, size / 4, Comparison::second_unreadable},
      {-1, size + 1, Comparison::different},  // a byte past the size it was opened at
  };
  std::unique_ptr<IoBuffer> buffer = std::make_unique<IoBuffer>();
  for (const auto& c : cases) {
    OpenedFile files[2];
    for (int i = 0; i < 2; ++i) {
      const std::string name = dir / ("f" + std::to_string(i));
      test::write_file(name, "");
      ASSERT_EQ(::truncate(name.c_str(), size), 0);
      if (i == 1 && c.differs_at >= 0) {
        const int fd = ::open(name.c_str(), O_WRONLY);
        ASSERT_EQ(::pwrite(fd, "x", 1, c.differs_at), 1);
        ::close(fd);
      }
      files[i].handle = platform::open_existing_file(name.c_str());
      files[i].size = static_cast<std::uint64_t>(size);
      if (i == 1 && c.cut_to >= 0) {
        ASSERT_EQ(::truncate(name.c_str(), c.cut_to), 0);
      }
    }
    EXPECT_EQ(compare_files(files[0], files[1], *buffer), c.result) << c.differs_at;
  }
}

TEST_F(ReportTest, MoreGroupsThanChecksQueuedAtOnceKeepTheirOwnPaths) {
  // Each queued check keeps its chain's paths in a place of its own; far
  // more groups than fit the queue reuse those places in turn.
  TreeBuilder builder;
  std::string expected;
  for (int i = 0; i < 700; ++i) {
    Md5Digest d{};
    d[0] = static_cast<std::uint8_t>(i >> 8);
    d[1] = static_cast<std::uint8_t>(i);
    const std::string a = "g/" + std::to_string(i) + "a", b = "g/" + std::to_string(i) + "b";
    builder.add(d, store(a));
    builder.add(d, store(b));
    expected += group({a, b});
  }
  EXPECT_EQ(report(builder.root(), builder.records()), expected);
}

TEST_F(ReportTest, UnreadableChainRecordEndsOnlyItsGroup) {
  const Md5Digest a = letter_digest('a'), b = letter_digest('b');
  const std::vector<RawRecord> records = {
      {0, record_offset(2), record_offset(1), a, store("d/a1")},
      {0, 0, record_offset(9), a, store("d/a2")},  // beyond the end of the file
      {0, 0, record_offset(3), b, store("d/b1")},
      {0, 0, 0, b, store("d/b2")},
  };
  const std::string expected = group({"d/a1", "d/a2"}) + group({"d/b1", "d/b2"});
  EXPECT_EQ(report(record_offset(0), records), expected);
  EXPECT_EQ(log_text(), expected);
}

TEST_F(ReportTest, ChainLinkThatLeadsBackEndsTheGroup) {
  const Md5Digest a = letter_digest('a');
  const std::vector<RawRecord> records = {
      {0, 0, record_offset(1), a, store("d/a1")},
      {0, 0, record_offset(0), a, store("d/a2")},
  };
  EXPECT_EQ(report(record_offset(0), records), group({"d/a1", "d/a2"}));
}

TEST_F(ReportTest, UnreadableTreeRecordEndsTheWholeReport) {
  const Md5Digest a = letter_digest('a'), b = letter_digest('b');
  // The root's left child has its group printed; its right link leads past
  // the end of the file, so the root's own group never comes.
  const std::vector<RawRecord> records = {
      {record_offset(1), 0, record_offset(3), b, store("d/b1")},
      {0, record_offset(50), record_offset(2), a, store("d/a1")},
      {0, 0, 0, a, store("d/a2")},
      {0, 0, 0, b, store("d/b2")},
  };
  const std::string expected = group({"d/a1", "d/a2"});
  EXPECT_EQ(report(record_offset(0), records), expected);
  EXPECT_EQ(log_text(), expected);
  EXPECT_FALSE(report_->stack_full());
}

TEST_F(ReportTest, FailingLogStillGivesTheWholeConsoleReport) {
  struct Case {
    const char* name;
    std::function<platform::FileHandle()> open;
  };
  const Case cases[] = {
      {"no descriptor", [] { return platform::FileHandle(); }},
      {"read-only descriptor", [this] { return platform::open_existing_file(log_file_.c_str()); }},
      {"full device",
       [] { return platform::FileHandle(::open("/dev/full", O_WRONLY | O_CLOEXEC)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_ = c.open();
    std::string expected;
    auto records = two_groups(expected);
    EXPECT_EQ(report(record_offset(0), records), expected);
    EXPECT_TRUE(report_->log_failed());
    EXPECT_FALSE(report_->stack_full());
  }
}

TEST_F(ReportTest, LogThatFillsUpMidwayKeepsAPrefixAndTheConsoleGoesOn) {
  // A non-blocking pipe takes as much of the log's first block as it has
  // room for and then no more; the report is longer than two blocks, so
  // most of its lines come after the failed write.
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
  const int capacity = ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
  ASSERT_GE(capacity, 4096);
  log_ = platform::FileHandle(ends[1]);
  const size_t line = 300;
  TreeBuilder builder;
  std::vector<std::string> long_paths;
  for (size_t i = 0; long_paths.size() * line <= 2 * platform::BlockWriter::kBlockSize; ++i) {
    // Names of at most 255 bytes, so that the files can be made.
    std::string p = "d/" + std::to_string(i) + "/" + std::string(150, 'p') + "/";
    long_paths.push_back(p + std::string(line - 2 - p.size(), 'p'));
    builder.add(letter_digest('a'), store(long_paths.back()));
  }
  for (const char* p : {"d/b1", "d/b2"}) builder.add(letter_digest('b'), store(p));
  const std::string expected = group(long_paths) + group({"d/b1", "d/b2"});
  EXPECT_EQ(report(builder.root(), builder.records()), expected);
  EXPECT_TRUE(report_->log_failed());
  std::string piped(static_cast<size_t>(capacity) + 1, '\0');
  const ssize_t got = ::read(ends[0], piped.data(), piped.size());
  ::close(ends[0]);
  ASSERT_GE(got, 0);
  piped.resize(static_cast<size_t>(got));
  EXPECT_EQ(piped, expected.substr(0, static_cast<size_t>(capacity)));
}

}  // namespace
}  // namespace mirvale
