// The whole program on hostile trees and working directories: special
// entries and links, mounts inside the scanned tree, the working files in the
// scanned tree, a working directory nobody may write, and two runs at once.
// Each case checks the console, the log, the exit status and standard error.
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace mirvale {
namespace {

constexpr char kScanPhase[] = "Mirvale: Building File List & MD5 Hash...\n";
constexpr char kReportPhase[] = "Mirvale: Searching For Duplicates...\n";
constexpr char kCreateFail[] = "Mirvale: Create Fail For 'MIRVALE.NMS'|'MIRVALE.LOG'\n";
constexpr char kTreeCreateFail[] = "Mirvale: Create Fail For 'MIRVALE.ST'\n";

using Expected = test::ExpectedRun;
using test::expected_groups;
using test::expected_run;
using Groups = test::Groups;

// Splits a report (log) into its groups; a malformed report fails the test.
Groups parse_report(const std::string& log) {
  Groups groups;
  if (!test::parse_report(log, groups)) ADD_FAILURE() << "malformed report: " << log;
  return groups;
}

bool is_working_file(const std::string& path) {
  return path.find("/MIRVALE.") != std::string::npos;
}

using test::Mount;

class HostileTest : public ::testing::Test {
 protected:
  test::RunResult run(const std::string& start, const std::string& cwd, bool as_nobody = false) {
    test::RunOptions options;
    options.cwd = cwd;
    options.as_nobody = as_nobody;
    options.timeout_seconds = 60;
    test::RunResult r = test::run_mirvale({start}, options);
    EXPECT_FALSE(r.timed_out) << "the run did not finish";
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.err, "") << "nothing goes to standard error";
    return r;
  }
  test::RunResult run(const std::string& start) { return run(start, work_.path()); }

  void expect_completed(const test::RunResult& r, const Expected& expected) {
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected.console);
    EXPECT_EQ(test::read_file(work_ / "MIRVALE.LOG"), expected.log);
    EXPECT_EQ(test::list_dir(work_.path()), std::vector<std::string>{"MIRVALE.LOG"});
  }

  test::TempDir work_;
  test::TempDir data_;
  test::TempDir outside_;
};

// Links of every kind, a FIFO nobody writes, a socket and a device are
// neither listed nor followed nor opened: only the regular files appear.
TEST_F(HostileTest, SpecialEntriesAndLinksAreNeitherListedNorFollowed) {
  test::make_dir(data_ / "dir");
  test::make_dir(data_ / "dir/inner");
  test::write_file(data_ / "file", "shared content");
  test::write_file(data_ / "dir/copy", "shared content");
  test::write_file(data_ / "dir/inner/lonely", "only here");
  test::write_file(data_ / "dir/inner/twin", "twins");
  test::write_file(data_ / "twin", "twins");
  // Outside the tree: following a link to them would add files and a group.
  test::write_file(outside_ / "outer copy", "only here");
  test::make_dir(outside_ / "outer dir");
  test::write_file(outside_ / "outer dir/outer file", "shared content");

  ASSERT_EQ(::mkfifo((data_ / "fifo").c_str(), 0666), 0);
  ASSERT_EQ(::mkfifo((data_ / "dir/inner/fifo").c_str(), 0666), 0);
  {
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = data_ / "socket";
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    const int bound = ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::close(s);
    ASSERT_EQ(bound, 0) << std::strerror(errno);
  }
  const std::vector<std::pair<std::string, std::string>> links = {
      {"file", "link to file"},
      {outside_ / "outer copy", "dir/link to outer file"},
      {"dir", "link to dir"},
      {outside_ / "outer dir", "dir/inner/link to outer dir"},
      {"self", "self"},
      {"nowhere", "dangling"},
      {"loop b", "loop a"},
      {"loop a", "loop b"},
      {"/dev/zero", "link to device"},
      {"fifo", "link to fifo"},
  };
  for (const auto& [target, name] : links)
    ASSERT_EQ(::symlink(target.c_str(), (data_ / name).c_str()), 0) << name;

  const std::vector<std::string> order = test::walk_order(data_.path());
  ASSERT_EQ(std::set<std::string>(order.begin(), order.end()),
            (std::set<std::string>{data_ / "file", data_ / "dir/copy", data_ / "dir/inner/lonely",
                                   data_ / "dir/inner/twin", data_ / "twin"}));
  const Expected expected = expected_run(order);
  ASSERT_EQ(expected_groups(order).size(), 2u) << "the shared content and the twins";
  const test::RunResult r = run(data_.path());
  expect_completed(r, expected);
}

// A character device (here like /dev/null, which reads as empty) is not
// listed: it would otherwise be grouped with the empty files.
TEST_F(HostileTest, CharacterDeviceIsNotListed) {
  if (::mknod((data_ / "null device").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0)
    GTEST_SKIP() << "cannot create a character device here: " << std::strerror(errno);
  test::make_dir(data_ / "dir");
  test::write_file(data_ / "empty", "");
  test::write_file(data_ / "dir/also empty", "");
  test::write_file(data_ / "dir/not empty", "x");
  const std::vector<std::string> order = test::walk_order(data_.path());
  ASSERT_EQ(order.size(), 3u);
  const test::RunResult r = run(data_.path());
  expect_completed(r, expected_run(order));
}

// Run as an unprivileged user in a working directory it cannot write: the
// create failure, and the directory is left as it was.
TEST_F(HostileTest, WorkingDirectoryNobodyCannotWriteGivesCreateFailureAndIsUnchanged) {
  if (!test::can_run_as_nobody()) GTEST_SKIP() << "needs root to drop to an unprivileged user";
  test::write_file(work_ / "MIRVALE.LOG", "old log");
  test::write_file(work_ / "MIRVALE.NMS", "old names");
  test::write_file(work_ / "other", "unrelated");
  ASSERT_EQ(::chmod(work_.path().c_str(), 0755), 0);
  test::write_file(data_ / "a", "same");
  test::write_file(data_ / "b", "same");
  ASSERT_EQ(::chmod(data_.path().c_str(), 0755), 0);

  const test::RunResult r = run(data_.path(), work_.path(), true);
  EXPECT_EQ(r.out, kCreateFail);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(test::list_dir(work_.path()),
            (std::vector<std::string>{"MIRVALE.LOG", "MIRVALE.NMS", "other"}));
  EXPECT_EQ(test::read_file(work_ / "MIRVALE.LOG"), "old log");
  EXPECT_EQ(test::read_file(work_ / "MIRVALE.NMS"), "old names");
  EXPECT_EQ(test::read_file(work_ / "other"), "unrelated");
}

// In a sticky directory everyone may write, nobody cannot delete root's old
// working files: a world-writable one is not reused, a link not followed.
TEST_F(HostileTest, WorkingFileNobodyCannotDeleteGivesCreateFailureAndIsUnchanged) {
  if (!test::can_run_as_nobody()) GTEST_SKIP() << "needs root to drop to an unprivileged user";
  struct Case {
    const char* name;
    bool link;  // a symbolic link to a writable file outside, else that file itself
    std::string message;
    std::vector<std::string> left;
  };
  const std::vector<Case> cases = {
      {"MIRVALE.ST", false, kTreeCreateFail, {"MIRVALE.LOG", "MIRVALE.ST"}},
      {"MIRVALE.LOG", true, kCreateFail, {"MIRVALE.LOG"}},
      {"MIRVALE.NMS", true, kCreateFail, {"MIRVALE.LOG", "MIRVALE.NMS"}},
  };
  test::write_file(data_ / "a", "same");
  test::write_file(data_ / "b", "same");
  const std::string old = std::string("\x04\0\0\0", 4) + std::string(36, '\0');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string sticky = work_ / c.name + ".d";
    test::make_dir(sticky);
    ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
    const std::string file = c.link ? outside_ / c.name : sticky + "/" + c.name;
    test::write_file(file, old);
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
    if (c.link) {
      ASSERT_EQ(::symlink(file.c_str(), (sticky + "/" + c.name).c_str()), 0);
    }

    const test::RunResult r = run(data_.path(), sticky, true);
    EXPECT_EQ(r.out, c.message);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(test::list_dir(sticky), c.left);
    EXPECT_EQ(test::read_file(file), old);
  }
}

// An old log that is a symbolic link goes; its target stays as it was.
TEST_F(HostileTest, LogThatIsASymbolicLinkIsReplacedAndItsTargetKept) {
  test::write_file(data_ / "a", "same");
  test::write_file(data_ / "b", "same");
  test::write_file(outside_ / "target", "not a log");
  ASSERT_EQ(::symlink((outside_ / "target").c_str(), (work_ / "MIRVALE.LOG").c_str()), 0);
  const test::RunResult r = run(data_.path());
  expect_completed(r, expected_run(test::walk_order(data_.path())));
  struct stat st;
  ASSERT_EQ(::lstat((work_ / "MIRVALE.LOG").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(test::read_file(outside_ / "target"), "not a log");
}

// A procfs inside the scanned tree is not entered: the run finishes and lists
// only the files around it.
TEST_F(HostileTest, ProcfsInsideTheTreeIsNotEntered) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  test::make_dir(data_ / "proc");
  test::make_dir(data_ / "sub");
  test::write_file(data_ / "sub/a", "pair");
  test::write_file(data_ / "b", "pair");
  test::write_file(data_ / "c", "single");
  const std::vector<std::string> order = test::walk_order(data_.path());
  ASSERT_EQ(order.size(), 3u);
  const Expected expected = expected_run(order);

  Mount proc("proc", data_ / "proc", "proc", 0);
  if (!proc.mounted()) GTEST_SKIP() << "cannot mount a procfs here: " << proc.error();
  ASSERT_TRUE(test::exists(data_ / "proc/self")) << "the procfs is mounted";
  const test::RunResult r = run(data_.path());
  expect_completed(r, expected);
}

// A directory bind-mounted onto its own descendant is walked once: the loop
// is not entered again.
TEST_F(HostileTest, BindMountLoopIsWalkedOnce) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  const std::string top = data_ / "top";
  test::make_dir(top);
  test::make_dir(top + "/sub");
  test::make_dir(top + "/sub/x");
  test::write_file(top + "/one", "pair");
  test::write_file(top + "/sub/two", "pair");
  test::write_file(top + "/sub/three", "single");
  // Before the mount the empty x adds nothing: this is the tree walked once.
  const std::vector<std::string> order = test::walk_order(top);
  ASSERT_EQ(order.size(), 3u);
  const Expected expected = expected_run(order);

  Mount loop(top, top + "/sub/x", nullptr, MS_BIND);
  if (!loop.mounted()) GTEST_SKIP() << "cannot bind-mount here: " << loop.error();
  ASSERT_TRUE(test::exists(top + "/sub/x/one")) << "x shows top again";
  const test::RunResult r = run(top);
  expect_completed(r, expected);
}

// With the working directory inside the scanned tree the working files are
// met like any other: the run completes and every other file is grouped
// right.
TEST_F(HostileTest, WorkingFilesInsideTheScannedTreeDoNotDisturbTheOtherGroups) {
  test::make_dir(data_ / "sub");
  test::write_file(data_ / "a", "alpha");
  test::write_file(data_ / "sub/a again", "alpha");
  test::write_file(data_ / "b", "beta");
  test::write_file(data_ / "sub/b again", "beta");
  test::write_file(data_ / "sub/b thrice", "beta");
  test::write_file(data_ / "unique", "gamma");
  const std::vector<std::string> order = test::walk_order(data_.path());
  ASSERT_EQ(order.size(), 6u);
  const Groups groups = expected_groups(order);
  ASSERT_EQ(groups.size(), 2u);

  const test::RunResult r = run(data_.path(), data_.path());
  EXPECT_EQ(r.status, 0);
  const std::string log = test::read_file(data_ / "MIRVALE.LOG");
  // The console: the phases, the files (working files among them), then the log.
  ASSERT_EQ(r.out.rfind(kScanPhase, 0), 0u);
  const size_t report_phase = r.out.find(kReportPhase);
  ASSERT_NE(report_phase, std::string::npos);
  EXPECT_EQ(r.out.substr(report_phase + std::strlen(kReportPhase)), log);
  std::vector<std::string> listed;
  std::istringstream lines(
      r.out.substr(std::strlen(kScanPhase), report_phase - std::strlen(kScanPhase)));
  for (std::string line; std::getline(lines, line);)
    if (!is_working_file(line)) listed.push_back(line);
  EXPECT_EQ(listed, order);
  Groups reported;
  for (const auto& group : parse_report(log)) {
    bool working = false;
    for (const std::string& p : group) working = working || is_working_file(p);
    if (!working) reported.push_back(group);
  }
  EXPECT_EQ(reported, groups);
  std::vector<std::string> left = test::list_dir(data_.path());
  EXPECT_EQ(left, (std::vector<std::string>{"MIRVALE.LOG", "a", "b", "sub", "unique"}));
}

// Two runs started at once in one working directory: each completes with the
// full report or ends with the create failure, at least one completes, and
// the log left is one complete report.
TEST_F(HostileTest, TwoRunsAtOnceInOneDirectoryLeaveOneCompleteReport) {
  for (int d = 0; d < 8; ++d) {
    test::make_dir(data_ / ("d" + std::to_string(d)));
    for (int f = 0; f < 40; ++f)
      test::write_file(data_ / ("d" + std::to_string(d) + "/f" + std::to_string(f)),
                       "content " + std::to_string(f % 25));
  }
  const std::vector<std::string> order = test::walk_order(data_.path());
  const Expected expected = expected_run(order);
  ASSERT_EQ(expected_groups(order).size(), 25u);
  test::TempDir outputs;
  // Both children of one shell, the second started right after the first.
  const std::string script =
      "\"$0\" \"$1\" >\"$2/out1\" 2>\"$2/err1\" & first=$!\n"
      "\"$0\" \"$1\" >\"$2/out2\" 2>\"$2/err2\"\n"
      "echo $? >\"$2/status2\"\n"
      "wait $first\n"
      "echo $? >\"$2/status1\"\n";
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    test::RunOptions options;
    options.cwd = work_.path();
    options.timeout_seconds = 120;
    const test::RunResult shell = test::run_program(
        "/bin/sh", {"sh", "-c", script, test::mirvale_path(), data_.path(), outputs.path()},
        options);
    ASSERT_FALSE(shell.timed_out);
    ASSERT_EQ(shell.status, 0);
    int completed = 0;
    for (const char* n : {"1", "2"}) {
      SCOPED_TRACE(std::string("run ") + n);
      const std::string out = test::read_file(outputs / (std::string("out") + n));
      const std::string status = test::read_file(outputs / (std::string("status") + n));
      EXPECT_EQ(test::read_file(outputs / (std::string("err") + n)), "");
      if (status == "0\n") {
        ++completed;
        EXPECT_EQ(out, expected.console);
      } else {
        EXPECT_EQ(status, "1\n");
        EXPECT_EQ(out, kCreateFail);
      }
    }
    EXPECT_GE(completed, 1);
    EXPECT_EQ(test::read_file(work_ / "MIRVALE.LOG"), expected.log);
    EXPECT_EQ(test::list_dir(work_.path()), std::vector<std::string>{"MIRVALE.LOG"});
  }
}

}  // namespace
}  // namespace mirvale
