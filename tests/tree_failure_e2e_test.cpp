// The whole program when the digest tree file fails: a tree file that cannot
// be created, and tree writes that fail on a size limit or a full file
// system. Each stops the run with a message and status 1, before the report.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

namespace mirvale {
namespace {

constexpr char kScanPhase[] = "Mirvale: Building File List & MD5 Hash...\n";
constexpr char kReportPhase[] = "Mirvale: Searching For Duplicates...\n";
constexpr char kTreeWriteFail[] = "Mirvale: Write Fail For 'MIRVALE.ST'\n";

class TreeFailure : public ::testing::Test {
 protected:
  // Runs the tool in work with start path "d".
  test::RunResult run_on_d(const std::string& work, test::RunOptions options = {}) {
    options.cwd = work;
    return test::run_mirvale({"d"}, options);
  }
  // Files named a000, a001, ... in work/d, each with its own content.
  void make_files(const std::string& work, int count) {
    test::make_dir(work + "/d");
    for (int i = 0; i < count; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "a%03d", i);
      test::write_file(work + "/d/" + name, "content " + std::to_string(i));
    }
  }
  // Only the log is left, and it is empty: no report was written.
  void expect_only_empty_log(const std::string& work, std::vector<std::string> others = {}) {
    others.push_back("MIRVALE.LOG");
    others.push_back("d");
    std::sort(others.begin(), others.end());
    EXPECT_EQ(test::list_dir(work), others);
    EXPECT_EQ(test::read_file(work + "/MIRVALE.LOG"), "");
  }

  test::TempDir work_;
};

TEST_F(TreeFailure, TreeFileThatCannotBeCreatedStopsTheRunBeforeTheScan) {
  make_files(work_.path(), 3);
  // A directory in its place, which the run cannot delete or open as a file.
  test::make_dir(work_ / "MIRVALE.ST");
  test::RunResult r = run_on_d(work_.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Mirvale: Create Fail For 'MIRVALE.ST'\n");
  EXPECT_EQ(r.err, "");
  expect_only_empty_log(work_.path(), {"MIRVALE.ST"});
}

TEST_F(TreeFailure, TreeWrittenBackPastTheFileSizeLimitStopsTheRunBeforeTheReport) {
  // 36 bytes of tree per file against 7 of name store ("d/a000" and a zero):
  // the tree's records, held in memory during the scan, pass the limit when
  // they are written at its end; the name store's do not.
  constexpr rlim_t kLimit = 4000;
  constexpr size_t kFiles = 200;
  static_assert(7 * kFiles < kLimit && 4 + 36 * kFiles > kLimit);
  make_files(work_.path(), kFiles);
  test::RunOptions options;
  options.file_size_limit = kLimit;
  options.ignore_sigxfsz = true;
  test::RunResult r = run_on_d(work_.path(), options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.signal, 0);
  // Every file is listed, and no report follows.
  std::string expected = kScanPhase;
  std::vector<std::string> order = test::walk_order(work_ / "d");
  ASSERT_EQ(order.size(), kFiles);
  for (const std::string& f : order) expected += f.substr(work_.path().size() + 1) + "\n";
  expected += kTreeWriteFail;
  EXPECT_EQ(r.out, expected);
  expect_only_empty_log(work_.path());
}

TEST_F(TreeFailure, FullFileSystemStopsTheScan) {
  std::string work = work_ / "fs";
  test::make_dir(work);
  test::Tmpfs fs(work, 64 * 1024);
  if (!fs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << fs.error();
  // Empty files take no blocks; the tree, at 36 bytes per file, does not fit
  // the 16 pages, while the 16 KiB name store of paths "d/0" to "d/2499" does.
  test::make_dir(work + "/d");
  for (int i = 0; i < 2500; ++i) test::write_file(work + "/d/" + std::to_string(i), "");
  test::RunResult r = run_on_d(work);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind(kScanPhase, 0), 0u);
  ASSERT_GE(r.out.size(), std::strlen(kTreeWriteFail));
  EXPECT_EQ(r.out.substr(r.out.size() - std::strlen(kTreeWriteFail)), kTreeWriteFail);
  EXPECT_EQ(r.out.find(kReportPhase), std::string::npos);
  expect_only_empty_log(work);
}

}  // namespace
}  // namespace mirvale
