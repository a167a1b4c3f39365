// The whole program under faults from outside: a file system that fills up
// under the name store or the log, runs interrupted mid-scan, a tree that
// changes while it is scanned, trees as deep and paths as long as a run
// allows, and directories an unprivileged user cannot list. Each case checks
// the console, the log, the exit status, standard error and the working files
// left behind.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/file.h"
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

  // The report of a run on tree, part of which (below mutated) changed while
  // it ran: console and log agree, every path listed lies in the tree, the
  // untouched files are listed in walk order and grouped exactly, and a
  // changing file shares a group with no other path.
  void expect_sound_report(const test::RunResult& r, const std::string& tree,
                           const std::string& mutated, const std::vector<std::string>& stable_order,
                           const test::Groups& stable_groups) {
    const size_t report_phase = r.out.find(kReportPhase);
    ASSERT_NE(report_phase, std::string::npos) << r.out;
    const std::string report = r.out.substr(report_phase + std::strlen(kReportPhase));
    EXPECT_EQ(test::read_file(work_ / "MIRVALE.LOG"), report);
    const std::vector<std::string> listed = listed_files(r.out);
    std::vector<std::string> stable_listed;
    for (const std::string& f : listed) {
      EXPECT_TRUE(starts_with(f, tree + "/")) << f;
      if (!starts_with(f, mutated + "/")) stable_listed.push_back(f);
    }
    EXPECT_EQ(stable_listed, stable_order);
    const std::set<std::string> listed_set(listed.begin(), listed.end());
    test::Groups groups, stable_reported;
    ASSERT_TRUE(test::parse_report(report, groups)) << report;
    for (const auto& group : groups) {
      EXPECT_GE(group.size(), 2u);
      bool changing = false;
      for (const std::string& p : group) {
        EXPECT_EQ(listed_set.count(p), 1u) << p;
        changing = changing || starts_with(p, mutated + "/");
      }
      if (changing)
        EXPECT_EQ(std::set<std::string>(group.begin(), group.end()).size(), 1u)
            << "a changing file grouped with another path: " << group[0];
      else
        stable_reported.push_back(group);
    }
    EXPECT_EQ(stable_reported, stable_groups);
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

  // The same failure with the files digested on the walk's thread and by workers.
  for (const char* threads : {"MIRVALE_THREADS=0", "MIRVALE_THREADS=4"}) {
    SCOPED_TRACE(threads);
    test::RunOptions options;
    options.cwd = work;
    options.environment = {threads};
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

// 2000 levels, one file and one directory a level, walked with 1024
// descriptors: the walk must give up listings further up and resume them,
// and still open every file. The paths stay below 4095 bytes. With 2060,
// the large files of the top levels are kept open for their copies (or
// files that differ only in their last byte) 1700 levels down.
TEST_F(FaultsTest, TreeTwoThousandLevelsDeepIsWalkedAndGroupedWithAThousandDescriptors) {
  constexpr int kLevels = 2000;
  constexpr int kLargePairs = 260;
  constexpr int kCopiesFrom = 1700;
  const std::vector<int> top_middle_bottom = {0, 1000, kLevels - 1};
  const std::vector<int> second_and_last_but_one = {1, kLevels - 2};
  std::vector<std::string> level_files;
  std::string dir = data_.path();
  for (int level = 0; level < kLevels; ++level) {
    level_files.push_back(dir + "/f");
    std::string content = "level " + std::to_string(level);
    for (int l : top_middle_bottom)
      if (level == l) content = "top, middle and bottom";
    for (int l : second_and_last_but_one)
      if (level == l) content = "second and last but one";
    test::write_file(level_files.back(), content);
    if (level < kLargePairs) test::write_file(dir + "/a", std::string(131072 + level, 'a'));
    if (level >= kCopiesFrom && level < kCopiesFrom + kLargePairs) {
      std::string copy(131072 + level - kCopiesFrom, 'a');
      if (level % 3 == 0) copy.back() = 'b';  // a copy that differs in its last byte
      test::write_file(dir + "/b", copy);
    }
    test::make_dir(dir + "/d");
    dir += "/d";
  }
  ASSERT_LT(level_files.back().size(), 4095u);
  const std::vector<std::string> order = test::walk_order(data_.path());
  ASSERT_EQ(order.size(), static_cast<size_t>(kLevels + 2 * kLargePairs));
  test::ExpectedRun expected;
  expected.log = test::report_of(test::expected_groups(order));
  expected.console = kScanPhase;
  for (const std::string& f : order) expected.console += f + "\n";
  expected.console += kReportPhase + expected.log;

  for (const rlim_t limit : {1024, 2060}) {
    test::RunOptions options;
    options.open_file_limit = limit;
    const test::RunResult r = run(data_.path(), options);
    expect_completed(r, expected);
  }
}

// A run holds standard input, output and error, the directory lock and its
// three working files (name store, tree file, log): seven descriptors, and
// needs three more, for the start directory, one listing and one file. With
// seven allowed the start directory cannot be opened; with eight it can, but
// not its subdirectory; with nine the subdirectory, but not a file in it,
// which names the first of its files after both have been listed; with ten
// the run completes.
TEST_F(FaultsTest, TooFewDescriptorsStopTheScanWithOpenFail) {
  test::make_dir(data_ / "sub");
  test::write_file(data_ / "sub/file", "x");
  test::write_file(data_ / "sub/twin", "x");
  const std::vector<std::string> order = test::walk_order(data_.path());
  const std::string listed = order[0] + "\n" + order[1] + "\n";
  const std::tuple<rlim_t, std::string, std::string> limits[] = {
      {7, "", data_.path()}, {8, "", data_ / "sub"}, {9, listed, order[0]}};
  for (const auto& [limit, files, unopened] : limits) {
    SCOPED_TRACE(limit);
    test::RunOptions options;
    options.open_file_limit = limit;
    const test::RunResult r = run(data_.path(), options);
    EXPECT_EQ(r.out, kScanPhase + files + ("Mirvale: Open Fail For '" + unopened + "'\n"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(test::read_file(work_ / "MIRVALE.LOG"), "");
    EXPECT_EQ(test::list_dir(work_.path()), std::vector<std::string>{"MIRVALE.LOG"});
  }
  test::RunOptions options;
  options.open_file_limit = 10;
  expect_completed(run(data_.path(), options), test::expected_run(order));
}

// Removes, when the test ends, entries whose paths are too long to be named
// whole: each by its directory (a path that fits) and its name.
class LongEntries {
 public:
  LongEntries() = default;
  LongEntries(const LongEntries&) = delete;
  LongEntries& operator=(const LongEntries&) = delete;
  ~LongEntries() {
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
      const int dir = ::open(it->first.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir < 0) continue;
      ::unlinkat(dir, it->second.c_str(), 0);
      ::close(dir);
    }
  }
  // Writes a file name in dir (a path of at most 4095 bytes).
  bool write(const std::string& dir, const std::string& name, const std::string& content) {
    const int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d < 0) return false;
    const int f = ::openat(d, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::close(d);
    if (f < 0) return false;
    made_.emplace_back(dir, name);
    const bool written =
        ::write(f, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    return ::close(f) == 0 && written;
  }

 private:
  std::vector<std::pair<std::string, std::string>> made_;
};

// Below a directory whose path is 3900 bytes long: files whose paths are 4095
// and 4096 bytes, directories whose paths leave room for "/" and one more
// byte, for "/" only, and for nothing. Only paths of at most 4095 bytes are
// listed; all hold the same content, so the group shows which were read.
// Each entry left out is reported by its directory and name, and fails the run.
TEST_F(FaultsTest, PathsLongerThan4095BytesAreReportedAndTheirShorterSiblingsKept) {
  constexpr size_t kDirLength = 3900;
  std::string dir = data_.path();
  while (kDirLength - dir.size() > 1 + 255) {  // until the rest fits one name
    dir += "/" + std::string(200, 'd');
    test::make_dir(dir);
  }
  dir += "/" + std::string(kDirLength - dir.size() - 1, 'e');
  test::make_dir(dir);
  ASSERT_EQ(dir.size(), kDirLength);
  const auto name_for = [&](char c, size_t path_length) {
    return std::string(path_length - kDirLength - 1, c);
  };
  const std::string same = "the same content";
  LongEntries long_entries;
  const std::string fits = dir + "/" + name_for('a', 4095);
  test::write_file(fits, same);
  ASSERT_TRUE(long_entries.write(dir, name_for('b', 4096), same));
  const std::string roomy = dir + "/" + name_for('c', 4093);  // room for "/z"
  test::make_dir(roomy);
  test::write_file(roomy + "/z", same);
  const std::string tight = dir + "/" + name_for('g', 4094);  // room for "/" alone
  test::make_dir(tight);
  ASSERT_TRUE(long_entries.write(tight, "x", same));
  const std::string full = dir + "/" + name_for('h', 4095);  // no room at all
  test::make_dir(full);
  ASSERT_TRUE(long_entries.write(full, "y", same));
  test::write_file(dir + "/s", "short sibling");
  test::write_file(data_ / "top", same);
  ASSERT_EQ(fits.size(), 4095u);
  ASSERT_EQ((roomy + "/z").size(), 4095u);

  const std::vector<std::string> order = test::walk_order(data_.path());
  ASSERT_EQ(std::set<std::string>(order.begin(), order.end()),
            (std::set<std::string>{fits, roomy + "/z", dir + "/s", data_ / "top"}));
  const test::ExpectedRun expected = test::expected_run(order);
  ASSERT_EQ(test::expected_groups(order).size(), 1u);
  const test::RunResult r = run(data_.path());
  EXPECT_EQ(r.status, 1);
  std::string rest = r.out;
  for (const auto& [in, name] : {std::pair{dir, name_for('b', 4096)}, {tight, "x"}, {full, "y"}}) {
    const std::string line = "Mirvale: Length Fail For '" + in + "'|'" + name + "'\n";
    const size_t at = rest.find(line);
    ASSERT_NE(at, std::string::npos) << "reported: " << name.substr(0, 8);
    rest.erase(at, line.size());
  }
  EXPECT_TRUE(rest == expected.console) << "the rest is the run without them";
  EXPECT_EQ(test::read_file(work_ / "MIRVALE.LOG"), expected.log);
  EXPECT_EQ(test::list_dir(work_.path()), std::vector<std::string>{"MIRVALE.LOG"});
}

// Polls until the child pid has the file at path open; false when it ended
// first or a minute passed.
bool wait_until_open(const std::string& path, pid_t pid) {
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
  for (int polls = 0; polls < 60000; ++polls) {
    for (const std::string& fd : test::list_dir(fds)) {
      char target[4096];
      const ssize_t got = ::readlink((fds + fd).c_str(), target, sizeof target);
      if (got > 0 && path.compare(0, std::string::npos, target, static_cast<size_t>(got)) == 0)
        return true;
    }
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid)
      return false;
    ::usleep(1000);
  }
  return false;
}

// A run ended by SIGINT or SIGKILL while it scans: the file last in walk
// order, made a sparse 8 GiB file like the one before it (a file of a size
// no other has, or that no other of its size begins like, is never read
// whole), keeps it digesting for seconds, and the
// signal goes as soon as the run opens it, when the records of more than a
// block of names before it have gone to the name store. The run leaves its
// three working files, the name store holding whole records; the next run
// in the same directory removes them and completes with the full report.
TEST_F(FaultsTest, RunInterruptedMidScanLeavesItsFilesAndTheNextRunRemovesThem) {
  for (int i = 0; i < 400; ++i)
    test::write_file(data_ / ("small " + std::string(200, 's') + std::to_string(i)),
                     "content " + std::to_string(i % 10));
  const std::vector<std::string> order = test::walk_order(data_.path());
  ASSERT_EQ(order.size(), 400u);
  const std::string records = name_store_of(order);
  const std::string big = order.back();
  const std::string twin = order[order.size() - 2];
  test::write_file(twin, test::read_file(big));
  ASSERT_GT(records.size() - big.size() - 1, platform::BlockWriter::kBlockSize);
  char* resolved = ::realpath(big.c_str(), nullptr);
  ASSERT_NE(resolved, nullptr);
  const std::string big_resolved = resolved;
  std::free(resolved);
  for (int signal : {SIGINT, SIGKILL}) {
    SCOPED_TRACE(::strsignal(signal));
    for (const std::string& sparse : {big, twin})
      ASSERT_EQ(::truncate(sparse.c_str(), off_t{8} << 30), 0) << std::strerror(errno);
    test::RunOptions options;
    options.cwd = work_.path();
    const pid_t pid = test::start_mirvale({data_.path()}, options);
    // The size census opens the file for its first block before any name
    // is stored; the digest's open comes after the first block of names.
    bool scanning;
    struct stat names_stat {};
    do {
      scanning = wait_until_open(big_resolved, pid);
    } while (scanning && (::stat((work_ / "MIRVALE.NMS").c_str(), &names_stat) != 0 ||
                          names_stat.st_size == 0));
    ::kill(pid, signal);
    const test::RunResult killed = test::wait_program(pid, 60);
    ASSERT_TRUE(scanning) << "the run ended before it opened the last file";
    ASSERT_FALSE(killed.timed_out);
    ASSERT_EQ(killed.signal, signal) << "the run was still scanning";
    EXPECT_EQ(test::list_dir(work_.path()),
              (std::vector<std::string>{"MIRVALE.LOG", "MIRVALE.NMS", "MIRVALE.ST"}));
    EXPECT_EQ(test::read_file(work_ / "MIRVALE.LOG"), "") << "no report yet";
    // The records of the files met so far, written in blocks of whole records.
    const std::string names = test::read_file(work_ / "MIRVALE.NMS");
    EXPECT_TRUE(starts_with(records, names)) << names;
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), '\0') << "a record cut short";
    EXPECT_GE(test::read_file(work_ / "MIRVALE.ST").size(), 4u) << "the header at least";

    for (const std::string& sparse : {big, twin}) ASSERT_EQ(::truncate(sparse.c_str(), 1000), 0);
    const test::RunResult next = run(data_.path());
    expect_completed(next, test::expected_run(order));
  }
}

// Changes the files m0, m1, ... in a directory over and over until stopped:
// each is rewritten, grown, shrunk, deleted, replaced by a directory holding
// a file, and made a file again. New versions are written in a staging
// directory on the same file system and renamed into place. Every version
// starts with a line naming the file and the version, which no change
// removes, so no two of these files, nor one of them and any other file, can
// ever hold equal content, however a reader's view of them is torn.
class Mutator {
 public:
  Mutator(std::string dir, std::string staging, int files)
      : dir_(std::move(dir)), staging_(std::move(staging)), states_(files) {
    for (int i = 0; i < files; ++i) replace_with_file(i);
  }
  ~Mutator() { stop(); }
  Mutator(const Mutator&) = delete;
  Mutator& operator=(const Mutator&) = delete;

  void start() {
    thread_ = std::thread([this] {
      for (size_t step = 0; !stop_.load(); ++step) {
        try {
          for (size_t i = 0; i < states_.size(); ++i) change(static_cast<int>(i), step + i);
        } catch (const std::exception&) {  // from the test helpers: counted, not thrown on
          ++errors_;
        }
        ::usleep(200);
      }
    });
  }
  void stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  // Calls that failed; the tool only reads, so there should be none.
  int errors() const { return errors_; }

 private:
  enum class State { file, directory, absent };
  struct Entry {
    State state = State::absent;
    size_t kept = 0;  // the version line's length, never cut off
  };

  std::string path(int i) const { return dir_ + "/m" + std::to_string(i); }

  void check(bool ok) {
    if (!ok) ++errors_;
  }

  // Writes a new version in the staging directory: its line, then filler.
  std::string stage(const std::string& name, size_t& kept) {
    const std::string line = "mutated " + name + " version " + std::to_string(++version_) + "\n";
    kept = line.size();
    const std::string staged = staging_ + "/v" + std::to_string(version_);
    test::write_file(staged, line + std::string((version_ % 5 + 1) * 48 * 1024, 'a'));
    return staged;
  }

  void replace_with_file(int i) {
    remove_directory(i);
    const std::string staged = stage("m" + std::to_string(i), states_[i].kept);
    check(::rename(staged.c_str(), path(i).c_str()) == 0);
    states_[i].state = State::file;
  }

  void replace_with_directory(int i) {
    if (states_[i].state == State::file) check(::unlink(path(i).c_str()) == 0);
    const std::string staged = staging_ + "/dir" + std::to_string(++version_);
    test::make_dir(staged);
    size_t kept;
    const std::string inner = stage("m" + std::to_string(i) + "/inner", kept);
    check(::rename(inner.c_str(), (staged + "/inner").c_str()) == 0);
    check(::rename(staged.c_str(), path(i).c_str()) == 0);
    states_[i].state = State::directory;
  }

  // Moves a directory out of the tree at once, then deletes it.
  void remove_directory(int i) {
    if (states_[i].state != State::directory) return;
    const std::string gone = staging_ + "/gone" + std::to_string(++version_);
    check(::rename(path(i).c_str(), gone.c_str()) == 0);
    check(::unlink((gone + "/inner").c_str()) == 0 && ::rmdir(gone.c_str()) == 0);
    states_[i].state = State::absent;
  }

  void grow(int i) {
    const int fd = ::open(path(i).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    check(fd >= 0);
    if (fd < 0) return;
    const std::string more(64 * 1024, static_cast<char>('b' + version_ % 20));
    check(::write(fd, more.data(), more.size()) == static_cast<ssize_t>(more.size()));
    ::close(fd);
  }

  void change(int i, size_t step) {
    Entry& e = states_[i];
    switch (step % 7) {
      case 1:
      case 3:
        if (e.state == State::file) return grow(i);
        return replace_with_file(i);
      case 2:
        if (e.state != State::file) return replace_with_file(i);
        check(::truncate(path(i).c_str(), static_cast<off_t>(e.kept + step % 3)) == 0);
        return;
      case 4:
        if (e.state == State::file) check(::unlink(path(i).c_str()) == 0);
        remove_directory(i);
        e.state = State::absent;
        return;
      case 5:
        return replace_with_directory(i);
      default:
        return replace_with_file(i);
    }
  }

  const std::string dir_;
  const std::string staging_;
  std::vector<Entry> states_;
  int version_ = 0;
  std::atomic<int> errors_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Runs the tool again and again on a tree while a second thread changes part
// of it. Each run must complete, list only paths of the tree, group the
// files nobody touches exactly as they are, and never put a changing file in
// a group with any other path.
TEST_F(FaultsTest, TreeChangingDuringTheRunsNeverGivesAWrongGroup) {
  const std::string tree = data_ / "tree";
  const std::string stable = tree + "/stable";
  const std::string mutated = tree + "/mutated";
  for (const std::string& d : {tree, stable, stable + "/sub", mutated, data_ / "staging"})
    test::make_dir(d);
  const std::string big(4 << 20, 'B');  // keeps each run digesting while the files change
  const std::vector<std::pair<std::string, std::string>> stable_files = {
      {"alpha", "alpha"}, {"sub/alpha", "alpha"},  {"alpha again", "alpha"},
      {"big", big},       {"sub/big", big},        {"empty", ""},
      {"sub/empty", ""},  {"unique", "only once"}, {"sub/unique", "only once too"},
      {"m0", "m0"},       {"sub/m0 twin", "m0"},
  };
  for (const auto& [name, content] : stable_files) test::write_file(stable + "/" + name, content);
  const std::vector<std::string> stable_order = test::walk_order(stable);
  const test::Groups stable_groups = test::expected_groups(stable_order);
  ASSERT_EQ(stable_groups.size(), 4u);

  Mutator mutator(mutated, data_ / "staging", 8);
  mutator.start();
  struct timespec start, now;
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    test::RunOptions options;
    options.timeout_seconds = 60;
    const test::RunResult r = run(tree, options);
    EXPECT_EQ(r.status, 0);
    expect_sound_report(r, tree, mutated, stable_order, stable_groups);
    EXPECT_EQ(test::list_dir(work_.path()), std::vector<std::string>{"MIRVALE.LOG"});
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec >= 3) break;  // bounds the test, whatever the load
  }
  mutator.stop();
  EXPECT_EQ(mutator.errors(), 0);
}

// The directory entries' own types as a listing gives them, by name.
std::vector<std::pair<std::string, unsigned char>> entry_types(const std::string& dir) {
  std::vector<std::pair<std::string, unsigned char>> entries;
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) return entries;
  while (struct dirent* d = ::readdir(listing)) entries.emplace_back(d->d_name, d->d_type);
  ::closedir(listing);
  return entries;
}

// Run as nobody on a tree holding a directory with mode 0 (itself holding a
// subdirectory), one that may be searched but not listed, and one that may
// be listed but not searched. The first two contribute nothing; the third's
// files are listed (where the listing gives their type) but cannot be
// opened, so they are never grouped, and its subdirectory is not entered.
// Everything around them is walked and grouped, and the run completes.
// Started on a directory with mode 0, the run fails to open it.
TEST_F(FaultsTest, DirectoriesNobodyCannotListContributeNothingAndTheirSiblingsAreWalked) {
  if (!test::can_run_as_nobody()) GTEST_SKIP() << "needs root to drop to an unprivileged user";
  const std::vector<std::string> dirs = {
      "level",       "level/before", "level/closed",  "level/closed/inside", "level/after",
      "search only", "list only",    "list only/sub", "level/after/deeper"};
  for (const std::string& d : dirs) test::make_dir(data_ / d);
  for (const char* f : {"level/before/pair", "level/closed/pair", "level/closed/inside/pair",
                        "level/after/pair", "level/after/deeper/pair", "search only/pair",
                        "list only/pair", "list only/sub/pair", "pair"})
    test::write_file(data_ / f, "pair");
  test::write_file(data_ / "list only/single", "single");
  test::write_file(data_ / "level/after/single", "single");
  test::write_file(data_ / "level/before/single", "single");
  test::write_file(data_ / "level/unique", "unique");
  // The list-only directory's files are met where the listing says what they
  // are, for nobody cannot look them up.
  std::set<std::string> unreadable;
  for (const auto& [name, type] : entry_types(data_ / "list only"))
    if (type == DT_REG) unreadable.insert(data_ / "list only/" + name);
  // Root may list and enter all three: the walk as nobody leaves out what
  // lies below them but those files.
  std::vector<std::string> order;
  for (const std::string& f : test::walk_order(data_.path()))
    if (unreadable.count(f) == 1 ||
        (!starts_with(f, data_ / "level/closed/") && !starts_with(f, data_ / "search only/") &&
         !starts_with(f, data_ / "list only/")))
      order.push_back(f);
  const test::ExpectedRun expected = test::expected_run(order, unreadable);
  ASSERT_EQ(test::expected_groups(order, unreadable).size(), 2u) << "pair and single";
  ASSERT_EQ(::chmod((data_ / "level/closed").c_str(), 0), 0);
  ASSERT_EQ(::chmod((data_ / "search only").c_str(), 0111), 0);
  ASSERT_EQ(::chmod((data_ / "list only").c_str(), 0444), 0);

  test::RunOptions options;
  options.as_nobody = true;
  const test::RunResult r = run(data_.path(), options);
  expect_completed(r, expected);

  const test::RunResult closed = run(data_ / "level/closed", options);
  EXPECT_EQ(closed.out, kScanPhase + ("Mirvale: Open Fail For '" + data_ / "level/closed" + "'\n"));
  EXPECT_EQ(closed.status, 1);
  EXPECT_EQ(test::read_file(work_ / "MIRVALE.LOG"), "");
}

}  // namespace
}  // namespace mirvale
