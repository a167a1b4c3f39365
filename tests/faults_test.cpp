// The whole program under faults from outside: a file system that fills up
// under the name store or the log, runs interrupted mid-scan, a tree that
// changes while it is scanned, trees as deep and paths as long as a run
// allows, and directories an unprivileged user cannot list. Each case checks
// the console, the log, the exit status, standard error and the working files
// left behind.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace mirvale {
namespace {

constexpr char kScanPhase[] = "Mirvale: Building File List & MD5 Hash...\n";
constexpr char kReportPhase[] = "Mirvale: Searching For Duplicates...\n";
constexpr size_t kPage = 4096;

size_t pages(size_t bytes) {
  return (bytes + kPage - 1) / kPage;
}

// The bytes of the name store for files: each path and a zero byte.
std::string name_store_of(const std::vector<std::string>& files) {
  std::string records;
  for (const std::string& f : files) records += f + '\0';
  return records;
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The file lines of a console: after the scan phase, up to the report phase,
// a message or the end. Paths here hold no line feed.
std::vector<std::string> listed_files(const std::string& console) {
  std::vector<std::string> files;
  if (!starts_with(console, kScanPhase)) return files;
  size_t at = std::strlen(kScanPhase);
  for (size_t end; (end = console.find('\n', at)) != std::string::npos; at = end + 1) {
    std::string line = console.substr(at, end - at);
    if (starts_with(line, "Mirvale: ")) break;
    files.push_back(line);
  }
  return files;
}

class FaultsTest : public ::testing::Test {
 protected:
  // Runs the tool on start, in the work directory unless options say otherwise.
  test::RunResult run(const std::string& start, test::RunOptions options = {}) {
    if (options.cwd.empty()) options.cwd = work_.path();
    test::RunResult r = test::run_mirvale({start}, options);
    EXPECT_FALSE(r.timed_out) << "the run did not finish";
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.err, "") << "nothing goes to standard error";
    return r;
  }

  void expect_completed(const test::RunResult& r, const test::ExpectedRun& expected) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected.console);
    EXPECT_EQ(test::read_file(work_ / "MIRVALE.LOG"), expected.log);
    EXPECT_EQ(test::list_dir(work_.path()), std::vector<std::string>{"MIRVALE.LOG"});
  }

  test::TempDir work_;
  test::TempDir data_;
};

// The working directory on a small tmpfs, the tree elsewhere: names of 250
// bytes make the name store grow eight times as fast as the tree file, so it
// is the name store's write that finds the file system full.
TEST_F(FaultsTest, FileSystemFilledByTheNameStoreStopsTheScanWithWriteFailure) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  constexpr size_t kSize = 8 * kPage;
  const std::string work = work_ / "fs";
  test::make_dir(work);
  test::Tmpfs fs(work, kSize);
  if (!fs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << fs.error();
  for (int i = 0; i < 400; ++i) {
    const std::string number = std::to_string(i);
    test::write_file(data_ / (std::string(250 - number.size(), 'n') + number), number);
  }
  const std::vector<std::string> order = test::walk_order(data_.path());
  ASSERT_EQ(order.size(), 400u);
  ASSERT_GT(name_store_of(order).size(), 2 * kSize) << "the name store cannot fit";
  ASSERT_GT(order.front().size() + 1, 7 * 36u) << "a record against the tree's 36 bytes a file";

  test::RunOptions options;
  options.cwd = work;
  const test::RunResult r = run(data_.path(), options);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(ends_with(r.out, "Mirvale: Write Fail For 'MIRVALE.NMS'\n")) << r.out;
  EXPECT_EQ(r.out.find(kReportPhase), std::string::npos) << "no report after a failed scan";
  // Every file up to the one whose record did not fit is listed, in walk order.
  const std::vector<std::string> listed = listed_files(r.out);
  EXPECT_GT(listed.size(), 0u);
  EXPECT_LT(listed.size(), order.size());
  EXPECT_EQ(listed, std::vector<std::string>(order.begin(), order.begin() + listed.size()));
  EXPECT_EQ(test::list_dir(work), std::vector<std::string>{"MIRVALE.LOG"});
  EXPECT_EQ(test::read_file(work + "/MIRVALE.LOG"), "");
}

// The working directory on a tmpfs that holds the name store and the tree
// file but not the log as well: one hundred pairs fill it during the report.
// The console still gets the whole report; the log keeps what fitted.
TEST_F(FaultsTest, FileSystemFilledByTheLogGivesWriteFailureAfterTheWholeReport) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  constexpr size_t kPages = 10;
  const std::string work = work_ / "fs";
  test::make_dir(work);
  test::Tmpfs fs(work, kPages * kPage);
  if (!fs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << fs.error();
  for (int i = 0; i < 100; ++i) {
    const std::string number = std::to_string(1000 + i);
    for (const char* copy : {"a", "b"})
      test::write_file(data_ / (std::string(66, 'p') + number + copy), "pair " + number);
  }
  const std::vector<std::string> order = test::walk_order(data_.path());
  ASSERT_EQ(order.size(), 200u);
  const test::ExpectedRun expected = test::expected_run(order);
  const size_t scan_pages = pages(name_store_of(order).size()) + pages(4 + 36 * order.size());
  ASSERT_LE(scan_pages + 2, kPages) << "the scan fits, with a page to spare";
  ASSERT_GT(scan_pages + pages(expected.log.size()), kPages + 2) << "the log does not";

  test::RunOptions options;
  options.cwd = work;
  const test::RunResult r = run(data_.path(), options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, expected.console + "Mirvale: Write Fail For 'MIRVALE.LOG'\n");
  EXPECT_EQ(test::list_dir(work), std::vector<std::string>{"MIRVALE.LOG"});
  const std::string log = test::read_file(work + "/MIRVALE.LOG");
  EXPECT_LT(log.size(), expected.log.size());
  EXPECT_TRUE(starts_with(expected.log, log)) << "the log holds the start of the report";
}

}  // namespace
}  // namespace mirvale
