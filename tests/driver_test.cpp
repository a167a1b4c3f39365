// The whole program's command line, working files and failure messages,
// checked on the built binary in a fresh working directory.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "driver/run.h"
#include "platform/process.h"
#include "test_support.h"

namespace mirvale {
namespace {

const std::string kBanner = "Mirvale. Finds files with identical content below a directory.\n";
const std::string kScanPhase = "Mirvale: Building File List & MD5 Hash...\n";
const std::string kReportPhase = "Mirvale: Searching For Duplicates...\n";
const std::string kCreateFail = "Mirvale: Create Fail For 'MIRVALE.NMS'|'MIRVALE.LOG'\n";

class DriverTest : public ::testing::Test {
 protected:
  test::RunResult run(const std::vector<std::string>& args) {
    options_.cwd = work_.path();
    test::RunResult r = test::run_mirvale(args, options_);
    EXPECT_EQ(r.err, "") << "nothing goes to standard error";
    EXPECT_FALSE(r.timed_out);
    return r;
  }
  void leave_old_working_files() {
    for (const char* f : {"MIRVALE.NMS", "MIRVALE.LOG", "MIRVALE.ST"})
      test::write_file(work_ / f, std::string("old ") + f);
  }
  // count files in the tree, two of each content; the log they must give.
  std::string make_pairs(int count) {
    for (int i = 0; i < count; ++i)
      test::write_file(tree_ / ("f" + std::to_string(i)), std::to_string(i / 2));
    return test::expected_run(test::walk_order(tree_.path())).log;
  }
  void expect_old_working_files() {
    for (const char* f : {"MIRVALE.NMS", "MIRVALE.LOG", "MIRVALE.ST"})
      EXPECT_EQ(test::read_file(work_ / f), std::string("old ") + f);
  }

  test::TempDir work_;
  test::TempDir tree_;
  test::RunOptions options_;
};

// Every command line, with the lock another run holds and an earlier run's
// working files in place: a refused one prints its message and the usage
// text (status 2), --help and --version answer (status 0), and one that
// parses goes on to the lock and stops there with the create failure
// (status 1). None of them deletes a file or waits for the lock.
TEST_F(DriverTest, CommandLinesAreReadOrRefusedAndTouchNothing) {
  leave_old_working_files();
  const std::string usage = run({"--help"}).out;
  const std::string usage_line =
      kBanner + "Mirvale: Use Load " + test::mirvale_path() + " [OPTION]... [--] DIRECTORY...\n";
  ASSERT_EQ(usage.rfind(usage_line, 0), 0u);
  for (const char* option : {"--min-size=SIZE", "--max-size=SIZE", "--exclude=PATTERN", "--json",
                             "--quiet", "-h, --help", "--version"})
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  const std::string version = std::string("mirvale ") + MIRVALE_VERSION + "\n";
  const std::string dir = tree_.path();
  test::make_dir(tree_ / "sub");
  std::vector<std::string> patterns = {dir};
  for (int i = 0; i <= 64; ++i) patterns.push_back("--exclude=p" + std::to_string(i));
  std::vector<std::string> directories;
  for (int i = 0; i <= 256; ++i) directories.push_back("d" + std::to_string(i));
  const std::string refused = "usage";  // the message is followed by the usage text
  const struct {
    std::vector<std::string> args;
    std::string out;
    int status;
    std::string then = "";
  } cases[] = {
      {{}, "Mirvale: No Directory Given\n", kExitUsage, refused},
      {{"--min-size=1"}, "Mirvale: No Directory Given\n", kExitUsage, refused},
      {{"--bogus", dir}, "Mirvale: Unknown Option '--bogus'\n", kExitUsage, refused},
      {{"-x", dir}, "Mirvale: Unknown Option '-x'\n", kExitUsage, refused},
      {{"--quiet=yes", dir}, "Mirvale: Unknown Option '--quiet=yes'\n", kExitUsage, refused},
      {{dir, "--min-size"}, "Mirvale: Missing Value For '--min-size'\n", kExitUsage, refused},
      {{"--min-size=12Q", dir}, "Mirvale: Bad Value '12Q' For '--min-size'\n", kExitUsage, refused},
      {{"--max-size", "1.5K", dir},
       "Mirvale: Bad Value '1.5K' For '--max-size'\n",
       kExitUsage,
       refused},
      {{"--max-size=", dir}, "Mirvale: Bad Value '' For '--max-size'\n", kExitUsage, refused},
      {{"--max-size=16777216T", dir},
       "Mirvale: Bad Value '16777216T' For '--max-size'\n",
       kExitUsage,
       refused},
      {{"--min-size=18446744073709551616", dir},
       "Mirvale: Bad Value '18446744073709551616' For '--min-size'\n",
       kExitUsage,
       refused},
      {patterns, "Mirvale: Too Many Patterns At 'p64'\n", kExitUsage, refused},
      {{"--exclude", std::string(8192, '*'), dir},
       "Mirvale: Too Many Patterns At '" + std::string(8192, '*') + "'\n",
       kExitUsage,
       refused},
      {directories, "Mirvale: Too Many Directories At 'd256'\n", kExitUsage, refused},
      {{"--help", "--bogus"}, usage, kExitCompleted},
      {{dir, "-h"}, usage, kExitCompleted},
      {{"--version", dir}, version, kExitCompleted},
      {{dir, dir + "/"},
       "Mirvale: Directory Given Twice '" + dir + "'|'" + dir + "/'\n",
       kExitUsage},
      {{dir + "/sub", dir},
       "Mirvale: Directory '" + dir + "/sub' Lies Below '" + dir + "'\n",
       kExitUsage},
      {{dir, dir + "/missing"}, "Mirvale: Open Fail For '" + dir + "/missing'\n", kExitFailed},
      // Command lines that are read, up to the lock.
      {{"--", "--help"}, kCreateFail, kExitFailed},
      {{"--quiet", "--min-size", "2K", "--max-size=16777215T", "--exclude", "*.tmp",
        "--exclude=a/b", dir, work_.path()},
       kCreateFail,
       kExitFailed},
      {{dir, "--max-size=0", "--", "-"}, "Mirvale: Open Fail For '-'\n", kExitFailed},
  };
  int lock = ::open(work_.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args).substr(0, 200));
    test::RunResult r = run(c.args);
    EXPECT_EQ(r.out, c.out + (c.then == refused ? usage : ""));
    EXPECT_EQ(r.status, c.status);
  }
  ::close(lock);
  expect_old_working_files();
}

TEST_F(DriverTest, ArgumentTooLongForThePathBufferPrintsUsage) {
  leave_old_working_files();
  test::RunResult r = run({std::string(ScanPath::kCapacity, 'a')});
  EXPECT_EQ(r.status, kExitUsage);
  EXPECT_EQ(r.out.rfind(kBanner, 0), 0u);
  expect_old_working_files();
  // One byte shorter is a start path like any other, here one that names nothing.
  const std::string longest(ScanPath::kMaxLength, 'a');
  r = run({longest});
  EXPECT_EQ(r.status, kExitFailed);
  EXPECT_EQ(r.out, kScanPhase + "Mirvale: Open Fail For '" + longest + "'\n");
}

TEST_F(DriverTest, CompletedRunLeavesOnlyAnEmptyLogWhenNothingRepeats) {
  leave_old_working_files();
  test::write_file(tree_ / "one", "1");
  test::write_file(tree_ / "two", "2");
  test::RunResult r = run({tree_.path()});
  EXPECT_EQ(r.status, kExitCompleted);
  std::string files;
  for (const std::string& p : test::walk_order(tree_.path())) files += p + "\n";
  EXPECT_EQ(r.out, kScanPhase + files + kReportPhase);
  EXPECT_EQ(test::list_dir(work_.path()), std::vector<std::string>{"MIRVALE.LOG"});
  EXPECT_EQ(test::read_file(work_ / "MIRVALE.LOG"), "");
  struct stat st;
  ASSERT_EQ(::stat((work_ / "MIRVALE.LOG").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0111, 0u) << "working files are not executable";
}

// Closed standard input and output go to /dev/null, never to a working
// file: the file lines, more than a block of them, would land in the name
// store among its records.
TEST_F(DriverTest, ClosedStandardInputAndOutputLeaveTheWorkingFilesAlone) {
  const std::string log = make_pairs(200);
  options_.closed = {0, 1};
  test::RunResult r = run({tree_.path()});
  EXPECT_EQ(r.status, kExitCompleted);
  EXPECT_EQ(test::read_file(work_ / "MIRVALE.LOG"), log);
  EXPECT_EQ(test::list_dir(work_.path()), std::vector<std::string>{"MIRVALE.LOG"});
}

// Console text that cannot be written fails a completed run, but not the
// log; the usage status stands.
TEST_F(DriverTest, StandardOutputThatCannotBeWrittenGivesFailure) {
  const std::string log = make_pairs(4);
  options_.output_file = "/dev/full";
  test::RunResult r = run({tree_.path()});
  EXPECT_EQ(r.status, kExitFailed);
  EXPECT_EQ(test::read_file(work_ / "MIRVALE.LOG"), log);
  EXPECT_EQ(test::list_dir(work_.path()), std::vector<std::string>{"MIRVALE.LOG"});
  EXPECT_EQ(run({}).status, kExitUsage);
}

TEST_F(DriverTest, StartPathThatCannotBeListedGivesOpenFailureAndAnEmptyLog) {
  test::write_file(tree_ / "plain", "x");
  // An argument that begins with '-' is an option now; after "--" it is a directory.
  for (const std::string& start :
       {tree_ / "plain", tree_ / "missing", std::string("/proc"), std::string("--helpme")}) {
    test::RunResult r = run(start[0] == '-' ? std::vector<std::string>{"--", start}
                                            : std::vector<std::string>{start});
    EXPECT_EQ(r.out, kScanPhase + "Mirvale: Open Fail For '" + start + "'\n") << start;
    EXPECT_EQ(r.status, kExitFailed);
    EXPECT_EQ(test::list_dir(work_.path()), std::vector<std::string>{"MIRVALE.LOG"});
    EXPECT_EQ(test::read_file(work_ / "MIRVALE.LOG"), "");
  }
}

TEST_F(DriverTest, LogThatCannotBeCreatedGivesCreateFailure) {
  test::write_file(work_ / "MIRVALE.NMS", "old");
  test::make_dir(work_ / "MIRVALE.LOG");  // cannot be deleted or opened, also as root
  test::write_file(work_ / "MIRVALE.LOG/keep", "k");
  test::write_file(tree_ / "a", "a");
  test::RunResult r = run({tree_.path()});
  EXPECT_EQ(r.out, kCreateFail);
  EXPECT_EQ(r.status, kExitFailed);
  // The name store was deleted, created, closed and deleted again; no tree file.
  EXPECT_EQ(test::list_dir(work_.path()), std::vector<std::string>{"MIRVALE.LOG"});
  EXPECT_EQ(test::read_file(work_ / "MIRVALE.LOG/keep"), "k");
}

TEST_F(DriverTest, AnotherRunHoldingTheDirectoryGivesCreateFailureAndTouchesNothing) {
  leave_old_working_files();
  int lock = ::open(work_.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
  test::RunResult r = run({tree_.path()});
  ::close(lock);
  EXPECT_EQ(r.out, kCreateFail);
  EXPECT_EQ(r.status, kExitFailed);
  expect_old_working_files();
}

TEST_F(DriverTest, FullDiskForTheNameStoreStopsTheScanWithWriteFailure) {
  // Long names fill the name store long before the tree file's 36 bytes a file.
  for (int i = 0; i < 40; ++i)
    test::write_file(tree_ / (std::string(200, 'n') + std::to_string(i)), std::to_string(i));
  options_.file_size_limit = 4096;
  options_.ignore_sigxfsz = true;
  test::RunResult r = run({tree_.path()});
  EXPECT_EQ(r.status, kExitFailed);
  EXPECT_EQ(r.signal, 0);
  const std::string failure = "Mirvale: Write Fail For 'MIRVALE.NMS'\n";
  ASSERT_GE(r.out.size(), failure.size());
  EXPECT_EQ(r.out.substr(r.out.size() - failure.size()), failure);
  EXPECT_EQ(r.out.find(kReportPhase), std::string::npos) << "no report after a failed scan";
  // The records, 40 of 236 bytes, are held until the scan ends and then do
  // not fit: every file is listed.
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1 + 40 + 1);
  EXPECT_EQ(test::list_dir(work_.path()), std::vector<std::string>{"MIRVALE.LOG"});
  EXPECT_EQ(test::read_file(work_ / "MIRVALE.LOG"), "");
}

// Every level holds a pair of equal files and a subdirectory. With few
// descriptors the walk must give up and resume the listings further up to
// reach the bottom, while the workers have files of many levels queued: at
// the least limit a run needs, at 16 and 64, and at 4096 with all but ten
// descriptors taken by the parent. Under ThreadSanitizer the tool opens a file
// below the start directory a directory at a time, holding the directory
// besides the file, so the report needs a descriptor more than the least
// limit leaves: only the limit with room to spare for it is run there.
TEST_F(DriverTest, TreeDeeperThanTheDescriptorLimitIsWalkedCompletely) {
  std::string dir = tree_.path();
  std::vector<std::string> files;
  std::set<std::set<std::string>> pairs;
  for (int level = 0; level < 300; ++level) {
    test::write_file(dir + "/f", std::to_string(level));
    test::write_file(dir + "/g", std::to_string(level));
    files.push_back(dir + "/f");
    files.push_back(dir + "/g");
    pairs.insert({dir + "/f", dir + "/g"});
    test::make_dir(dir + "/d");
    dir += "/d";
  }
  std::sort(files.begin(), files.end());
#if defined(__SANITIZE_THREAD__)
  const std::pair<rlim_t, int> limits[] = {{64, 0}};
#else
  const std::pair<rlim_t, int> limits[] = {{10, 0}, {16, 0}, {64, 0}, {4096, 4096 - 3 - 4 - 10}};
#endif
  for (const auto& [limit, inherited] : limits) {
    SCOPED_TRACE(limit);
    options_.open_file_limit = limit;
    options_.inherited_descriptors = inherited;
    test::RunResult r = run({tree_.path()});
    EXPECT_EQ(r.status, kExitCompleted);
    std::vector<std::string> listed;
    size_t at = kScanPhase.size();
    for (size_t end; (end = r.out.find('\n', at)) != std::string::npos && r.out[at] == '/';
         at = end + 1)
      listed.push_back(r.out.substr(at, end - at));
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, files);
    test::Groups groups;
    EXPECT_TRUE(test::parse_report(test::read_file(work_ / "MIRVALE.LOG"), groups));
    std::set<std::set<std::string>> grouped;
    for (const auto& group : groups) grouped.emplace(group.begin(), group.end());
    EXPECT_EQ(grouped, pairs);
  }
}

// Under a limit on its address space a run completes, with fewer workers
// when there is no room for all their stacks, or ends with the memory
// message before it touches a file; never with a signal or a word on
// standard error. A limit too low for the loader to map the program at all
// (status 127, nothing printed) is no run of the tool.
TEST_F(DriverTest, AddressSpaceLimitGivesACompleteRunOrTheMemoryMessage) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer reserves more address space for its shadow than any limit that "
                  "leaves the program room to run";
#endif
  const std::string log = make_pairs(40);
  options_.cwd = work_.path();
  options_.environment = {"MIRVALE_THREADS=4"};
  int completed = 0, refused = 0;
  for (rlim_t mib = 2; mib <= 64; mib += 2) {
    SCOPED_TRACE(mib);
    options_.address_space_limit = mib << 20;
    const test::RunResult r = test::run_mirvale({tree_.path()}, options_);
    if (r.status == 127 && r.out.empty()) continue;
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.err, "");
    if (r.out == "Mirvale: Memory Fail\n" && r.status == kExitFailed) {
      ++refused;
      continue;
    }
    EXPECT_EQ(r.status, kExitCompleted);
    EXPECT_EQ(test::read_file(work_ / "MIRVALE.LOG"), log);
    EXPECT_EQ(test::list_dir(work_.path()), std::vector<std::string>{"MIRVALE.LOG"});
    ++completed;
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(completed, 0);
}

// The empty start path lists the root directory: checked in a child that
// runs the driver in a chroot of its own.
TEST_F(DriverTest, EmptyStartPathWalksTheRootDirectory) {
  if (::geteuid() != 0) GTEST_SKIP() << "chroot needs root";
  test::make_dir(tree_ / "sub");
  test::write_file(tree_ / "sub/file", "f");
  test::write_file(tree_ / "top", "t");
  std::FILE* out = std::tmpfile();
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chroot(tree_.path().c_str()) != 0 || ::chdir("/") != 0) ::_exit(99);
    platform::Console console(out);
    char arg0[] = "mirvale", arg1[] = "";
    char* argv[] = {arg0, arg1, nullptr};
    int status = run_mirvale(2, argv, console);
    console.flush();
    ::_exit(status);
  }
  int wstatus;
  ::waitpid(pid, &wstatus, 0);
  ASSERT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), kExitCompleted);
  std::rewind(out);
  std::string text;
  int c;
  while ((c = std::fgetc(out)) != EOF) text += static_cast<char>(c);
  std::fclose(out);
  EXPECT_NE(text.find("\n/sub/file\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n/top\n"), std::string::npos) << text;
}

// The table grown ahead of the threads holds what was asked for, within the
// limit, and leaves no descriptor open.
TEST(DescriptorTableTest, ReservedTableHoldsTheCountAskedForAndLeavesNothingOpen) {
  const auto table_size = [] {
    const std::string status = test::read_file("/proc/self/status");
    return std::stoull(status.substr(status.find("FDSize:") + 7));
  };
  const std::uint64_t limit = platform::open_file_limit();
  const std::uint64_t wanted = std::min<std::uint64_t>(4 * table_size(), limit);
  const std::uint64_t open = platform::open_descriptor_count(limit);
  platform::reserve_descriptor_table(wanted);
  EXPECT_GE(table_size(), wanted);
  EXPECT_EQ(platform::open_descriptor_count(limit), open);
}

}  // namespace
}  // namespace mirvale
