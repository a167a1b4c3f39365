// The directory walk on real temporary trees: order, what is listed, path
// building and what it leaves in the name store.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "report/report.h"
#include "scan/scan.h"
#include "test_support.h"
#include "tree_file_helpers.h"

namespace mirvale {
namespace {

// One walk's modules, with the console captured in a temporary file unless
// console names another.
struct WalkRig {
  explicit WalkRig(const test::TempDir& work, unsigned digest_workers = 2)
      : nms(work / "MIRVALE.NMS") {
    names.open(nms.c_str());
    tree.open_tree((work / "MIRVALE.ST").c_str());
    queue.start_workers(digest_workers);
  }

  // Scans start with the descriptors free now and returns the console text.
  std::string walk(const std::string& start, Scan::Failure failure = Scan::Failure::none) {
    start_text = start;
    char* paths[] = {start_text.data()};
    roots.assign(paths, 1);
    budget.reset(queue.workers());
    auto scan = std::make_unique<Scan>(*path, names, tree, census, queue, budget,
                                       console ? *console : captured.console());
    const ScanRequest request{filter, true, {}};
    EXPECT_EQ(scan->run(roots, request), failure);
    EXPECT_TRUE(names.flush_names());
    EXPECT_EQ(path->view(), start) << "the scan path is restored";
    return captured.text();
  }

  // The groups the report makes of what the walk indexed.
  test::Groups groups(const test::TempDir& work) {
    platform::FileHandle log = platform::open_working_file((work / "MIRVALE.LOG").c_str());
    test::CapturedConsole out;
    EXPECT_TRUE(tree.write_back());
    Confirmation confirmation(tree, names, budget, twins);
    confirmation.begin(roots);
    auto report = std::make_unique<Report>(ReportParts{tree, names, *path, *io, out.console(), log,
                                                       queue, confirmation, nullptr, nullptr});
    report->report_duplicates();
    test::Groups groups;
    EXPECT_TRUE(test::parse_report(out.text(), groups));
    return groups;
  }

  std::string nms;
  std::string start_text;  // the start path of the last walk
  ScanRoots roots;         // its one directory, kept open by the walk for the report
  EntryFilter filter;
  platform::Console* console = nullptr;
  std::unique_ptr<ScanPath> path = std::make_unique<ScanPath>();
  std::unique_ptr<IoBuffer> io = std::make_unique<IoBuffer>();
  NameStore names{*path};
  DigestTree tree;
  SizeCensus census;
  DescriptorBudget budget;
  TwinBoard twins;
  DigestQueue queue{census, budget, twins, *io};
  test::CapturedConsole captured;
};

std::string lines(const std::vector<std::string>& paths, char end = '\n') {
  std::string text;
  for (const std::string& p : paths) text += p + end;
  return text;
}

class WalkTest : public ::testing::Test {
 protected:
  test::TempDir work_;
  test::TempDir tree_;
  WalkRig rig_{work_};
};

TEST_F(WalkTest, SubdirectoryIsWalkedWhereItsEntryComes) {
  for (const char* d : {"s", "s/t", "u", "s/t/v"}) test::make_dir(tree_ / d);
  for (const char* f : {"f1", "f2", "s/g1", "s/t/h1", "s/t/v/k", "u/m", "z", "s/g2"})
    test::write_file(tree_ / f, f);
  std::vector<std::string> expected = test::walk_order(tree_.path());
  ASSERT_EQ(expected.size(), 8u);
  EXPECT_EQ(rig_.walk(tree_.path()), lines(expected));
  // The name store holds the same paths in the same order, each zero-terminated.
  EXPECT_EQ(test::read_file(rig_.nms), lines(expected, '\0'));
}

TEST_F(WalkTest, DotNamesOtherThanDotAndDotDotAreOrdinaryEntries) {
  test::make_dir(tree_ / ".hidden");
  test::make_dir(tree_ / "...d");
  for (const char* f : {"...", ".a", "a.", ".hidden/x", "...d/y"}) test::write_file(tree_ / f, "");
  ::chmod((tree_ / "a.").c_str(), 0444);
  std::vector<std::string> expected = test::walk_order(tree_.path());
  EXPECT_EQ(expected.size(), 5u);
  EXPECT_EQ(rig_.walk(tree_.path()), lines(expected));
}

TEST_F(WalkTest, LinksFifosAndSocketsAreNotListed) {
  test::write_file(tree_ / "real", "content");
  test::make_dir(tree_ / "dir");
  test::write_file(tree_ / "dir/inside", "x");
  ASSERT_EQ(::symlink("real", (tree_ / "link-to-file").c_str()), 0);
  ASSERT_EQ(::symlink("dir", (tree_ / "link-to-dir").c_str()), 0);
  ASSERT_EQ(::symlink("missing", (tree_ / "dangling").c_str()), 0);
  ASSERT_EQ(::symlink("self", (tree_ / "self").c_str()), 0);
  ASSERT_EQ(::mkfifo((tree_ / "fifo").c_str(), 0666), 0);
  int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::string socket_path = tree_ / "sock";
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(::bind(s, reinterpret_cast<struct sockaddr*>(&address), sizeof address), 0);
  std::vector<std::string> expected = test::walk_order(tree_.path());
  ASSERT_EQ(expected.size(), 2u);
  EXPECT_EQ(rig_.walk(tree_.path()), lines(expected));
  ::close(s);
}

TEST_F(WalkTest, TrailingSeparatorGivesTwoSeparatorsInEveryPath) {
  test::write_file(tree_ / "a", "1");
  EXPECT_EQ(rig_.walk(tree_.path() + "/"), tree_.path() + "//a\n");
}

TEST_F(WalkTest, StartPathThatIsAFileOrMissingListsNothing) {
  test::write_file(tree_ / "plain", "1");
  for (const std::string& start : {tree_ / "plain", tree_ / "missing", tree_ / "plain/x"})
    EXPECT_EQ(rig_.walk(start, Scan::Failure::start_path), "") << start;
  EXPECT_EQ(test::read_file(rig_.nms), "");
}

TEST_F(WalkTest, EmptyDirectoryListsNothing) {
  EXPECT_EQ(rig_.walk(tree_.path()), "");
  EXPECT_EQ(test::read_file(rig_.nms), "");
}

TEST_F(WalkTest, NamesWithHighBytesSpacesAndPercentSignsPassUnchanged) {
  const std::vector<std::string> names = {
      "caf\xc3\xa9",         "\x80\xff",   "two words", "%s%n%%",
      std::string(255, 'n'), "line\nfeed", "cr\r"};
  test::make_dir(tree_ / "\xe4\xb8\xad");
  for (const std::string& n : names) test::write_file(tree_ / ("\xe4\xb8\xad/" + n), n);
  std::vector<std::string> expected = test::walk_order(tree_.path());
  ASSERT_EQ(expected.size(), names.size());
  EXPECT_EQ(rig_.walk(tree_.path()), lines(expected));
  EXPECT_EQ(test::read_file(rig_.nms), lines(expected, '\0'));
}

TEST_F(WalkTest, UnlistableSubdirectoryIsSkippedAndSiblingsWalked) {
  if (::geteuid() == 0) GTEST_SKIP() << "root lists any directory; the end-to-end suite covers it";
  test::make_dir(tree_ / "closed");
  test::write_file(tree_ / "closed/hidden", "x");
  test::write_file(tree_ / "open", "y");
  ::chmod((tree_ / "closed").c_str(), 0);
  EXPECT_EQ(rig_.walk(tree_.path()), tree_ / "open\n");
}

// Builds a chain of directories below base whose full path reaches about
// target bytes, using relative operations so that no call sees a long path.
std::string make_deep_chain(const std::string& base, size_t target, int& fd_out) {
  std::string path = base;
  int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY);
  while (path.size() + 1 + 200 < target) {
    std::string name(200, 'd');
    ::mkdirat(fd, name.c_str(), 0777);
    int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
    path += "/" + name;
  }
  fd_out = fd;
  return path;
}

TEST_F(WalkTest, EntriesWhosePathsWouldPassTheLimitAreSkipped) {
  int fd;
  std::string deep = make_deep_chain(tree_.path(), 3900, fd);
  ASSERT_GE(fd, 0);
  // Names that bring the full path to exactly 4095 bytes, and to 4096.
  size_t room = ScanPath::kMaxLength - deep.size() - 1;
  ASSERT_LT(room, 255u);
  std::string fits(room, 'f'), too_long(room + 1, 'g'), short_name = "s";
  for (const std::string& n : {fits, too_long, short_name}) {
    int f = ::openat(fd, n.c_str(), O_WRONLY | O_CREAT, 0666);
    ASSERT_GE(f, 0) << n.size();
    ::close(f);
  }
  ::close(fd);
  std::string out = rig_.walk(tree_.path());
  EXPECT_NE(out.find(deep + "/" + fits + "\n"), std::string::npos);
  EXPECT_NE(out.find(deep + "/s\n"), std::string::npos);
  EXPECT_EQ(out.find(too_long), std::string::npos);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);
}

// A console on an unbuffered stream that records the text and, the first
// time trigger has been written, runs change: the walk prints a file's path
// before it opens it, so change happens between the two.
class MutatingConsole {
 public:
  MutatingConsole(std::string trigger, std::function<void()> change)
      : trigger_(std::move(trigger)), change_(std::move(change)) {
    std::setvbuf(stream_, nullptr, _IONBF, 0);
  }
  ~MutatingConsole() { std::fclose(stream_); }
  MutatingConsole(const MutatingConsole&) = delete;
  MutatingConsole& operator=(const MutatingConsole&) = delete;
  platform::Console& console() { return console_; }
  const std::string& text() const { return text_; }

 private:
  static ssize_t record(void* cookie, const char* data, size_t size) {
    auto* self = static_cast<MutatingConsole*>(cookie);
    self->text_.append(data, size);
    if (self->change_ && self->text_.find(self->trigger_) != std::string::npos)
      std::exchange(self->change_, nullptr)();
    return static_cast<ssize_t>(size);
  }

  std::string text_;
  std::string trigger_;
  std::function<void()> change_;
  std::FILE* stream_ =
      ::fopencookie(this, "w", {nullptr, &MutatingConsole::record, nullptr, nullptr});
  platform::Console console_{stream_};
};

// The soft descriptor limit lowered to the descriptors in use plus spare for
// an object's life; lifted meanwhile while the test itself changes the tree.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(rlim_t spare) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlim_t in_use = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
      while (const dirent* e = ::readdir(d)) in_use += e->d_name[0] != '.';
      ::closedir(d);
    }
    lowered_ = saved_;
    lowered_.rlim_cur = in_use + spare;
    EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered_), 0);
  }
  ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;
  void lifted(const std::function<void()>& run) {
    ::setrlimit(RLIMIT_NOFILE, &saved_);
    run();
    ::setrlimit(RLIMIT_NOFILE, &lowered_);
  }

 private:
  struct rlimit saved_, lowered_;
};

std::map<std::string, int> line_counts(const std::string& text) {
  std::map<std::string, int> counts;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    ++counts[text.substr(at, end - at)];
  return counts;
}

enum class TopChange { none, remove_earlier_files, add_files };

// Makes base/top: 20 files on both sides, in its listing, of a chain of 20
// directories whose last holds a trigger file; base holds 20 files beside top.
void make_resume_tree(const std::string& base) {
  const std::string top = base + "/top";
  for (int i = 0; i < 10; ++i) test::write_file(base + "/a" + std::to_string(i), "b");
  test::make_dir(top);
  for (int i = 0; i < 10; ++i) test::write_file(base + "/b" + std::to_string(i), "b");
  for (int i = 0; i < 10; ++i) test::write_file(top + "/f" + std::to_string(i), std::to_string(i));
  std::string chain = top;
  for (int i = 0; i < 20; ++i) test::make_dir(chain += "/d");
  for (int i = 10; i < 20; ++i) test::write_file(top + "/f" + std::to_string(i), std::to_string(i));
  test::write_file(chain + "/trigger", "t");
}

// Walks base (made by make_resume_tree) with too few descriptors to keep top
// open while the chain is walked; change is made when the trigger is printed.
void expect_resumed_listing_sound(const std::string& base, TopChange change) {
  const std::string top = base + "/top";
  std::string chain_end = top;
  for (int i = 0; i < 20; ++i) chain_end += "/d";
  const std::vector<std::string> order = test::walk_order(base);
  const auto trigger = std::find(order.begin(), order.end(), chain_end + "/trigger");
  ASSERT_NE(trigger, order.end());
  std::vector<std::string> earlier(order.begin(), trigger), later(trigger + 1, order.end());
  ASSERT_FALSE(earlier.empty() || later.empty()) << "top's files lie on both sides of the chain";
  ASSERT_NE(order.back().compare(0, top.size() + 1, top + "/"), 0) << "base goes on after top";
  test::TempDir work;
  WalkRig rig(work);
  std::unique_ptr<DescriptorLimit> limit;
  MutatingConsole out(chain_end + "/trigger\n", [&] {
    limit->lifted([&] {
      if (change == TopChange::remove_earlier_files)
        for (const std::string& f : earlier) ::unlink(f.c_str());
      for (int i = 0; change == TopChange::add_files && i < 60; ++i)
        test::write_file(top + "/new" + std::to_string(i), "n");
    });
  });
  rig.console = &out.console();
  limit = std::make_unique<DescriptorLimit>(4);
  rig.walk(base);
  limit.reset();
  std::map<std::string, int> printed = line_counts(out.text());
  for (const auto& [path, count] : printed) EXPECT_EQ(count, 1) << path << " printed twice";
  for (const std::string& f : order) EXPECT_EQ(printed.count(f), 1u) << f;
}

TEST_F(WalkTest, ResumedListingDeliversEveryEntryOnceWhileTheDirectoryChanges) {
  const TopChange changes[] = {TopChange::none, TopChange::remove_earlier_files,
                               TopChange::add_files};
  for (TopChange change : changes) {
    SCOPED_TRACE(static_cast<int>(change));
    test::TempDir plain;
    make_resume_tree(plain.path());
    expect_resumed_listing_sound(plain.path(), change);
  }
  if (::geteuid() != 0) return;
  for (TopChange change : changes) {
    SCOPED_TRACE("overlay " + std::to_string(static_cast<int>(change)));
    test::TempDir area;
    test::Tmpfs tmpfs(area.path(), 16 << 20);
    ASSERT_TRUE(tmpfs.mounted()) << tmpfs.error();
    for (const char* d : {"lower", "upper", "work", "merged"}) test::make_dir(area / d);
    make_resume_tree(area / "lower");
    test::Mount overlay(
        "overlay", area / "merged", "overlay", 0,
        "lowerdir=" + area / "lower" + ",upperdir=" + area / "upper" + ",workdir=" + area / "work");
    if (!overlay.mounted()) GTEST_SKIP() << "overlay mount refused: " << overlay.error();
    expect_resumed_listing_sound(area / "merged", change);
  }
}

// Listings would take every descriptor but one while files of every level
// wait for the workers: a chain as deep as the descriptors free, less one,
// with a pair of equal files on every level. Every file is still opened and
// grouped, whatever the workers' timing.
TEST_F(WalkTest, ListingsTakingEveryDescriptorButOneLeaveTheWorkersTheirFiles) {
  constexpr int kFree = 12;
  std::string dir = tree_.path();
  for (int level = 0; level < kFree - 1; ++level) {
    if (level > 0) test::make_dir(dir += "/d");
    for (const char* name : {"/f", "/g"}) test::write_file(dir + name, std::to_string(level));
  }
  const std::vector<std::string> order = test::walk_order(tree_.path());
  {
    DescriptorLimit limit(kFree);
    EXPECT_EQ(rig_.walk(tree_.path()), lines(order));
  }
  EXPECT_EQ(rig_.groups(work_), test::expected_groups(order));
}

// top/a is renamed away and replaced by a link to a directory whose files
// have the names of a's but the contents of b's, once the walk has begun
// reading a: the walk goes on reading the real a and never the link's target.
TEST_F(WalkTest, DirectorySwappedForALinkWhileWalkedIsNotFollowed) {
  const std::string top = tree_ / "top";
  for (const char* d : {"top", "top/a", "top/a/sub", "top/b", "outside", "outside/sub"})
    test::make_dir(tree_ / d);
  const std::pair<const char*, const char*> files[] = {
      {"top/a/f1", "real 1"},      {"top/a/f2", "real 2"},    {"top/a/sub/g", "real g"},
      {"top/b/x1", "other 1"},     {"top/b/x2", "other 2"},   {"top/b/y", "other g"},
      {"top/b/copy", "real 2"},    {"outside/f1", "other 1"}, {"outside/f2", "other 2"},
      {"outside/sub/g", "other g"}};
  for (const auto& [name, content] : files) test::write_file(tree_ / name, content);
  const std::vector<std::string> order = test::walk_order(top);
  const auto first_of_a = std::find_if(order.begin(), order.end(), [&](const std::string& f) {
    return f.compare(0, top.size() + 3, top + "/a/") == 0;
  });
  ASSERT_NE(first_of_a, order.end());
  const test::Groups expected = test::expected_groups(order);
  ASSERT_EQ(expected.size(), 1u) << "a/f2 and b/copy";
  MutatingConsole out(*first_of_a + "\n", [&] {
    EXPECT_EQ(::rename((top + "/a").c_str(), (tree_ / "moved").c_str()), 0);
    EXPECT_EQ(::symlink((tree_ / "outside").c_str(), (top + "/a").c_str()), 0);
  });
  rig_.console = &out.console();
  rig_.walk(top);
  EXPECT_EQ(line_counts(out.text()).size(), order.size());
  // Put back for the report, which opens the files again by their paths: a
  // copy of a/f2's content is confirmed only if the walk read the real one.
  EXPECT_EQ(::unlink((top + "/a").c_str()), 0);
  EXPECT_EQ(::rename((tree_ / "moved").c_str(), (top + "/a").c_str()), 0);
  EXPECT_EQ(rig_.groups(work_), expected);
}

TEST_F(WalkTest, FileSwappedForAFifoBeforeTheReportIsNeverGrouped) {
  for (const char* f : {"copy 1", "copy 2", "copy 3"}) test::write_file(tree_ / f, "");
  rig_.walk(tree_.path());
  ASSERT_EQ(::unlink((tree_ / "copy 2").c_str()), 0);
  ASSERT_EQ(::mkfifo((tree_ / "copy 2").c_str(), 0666), 0);
  test::Groups expected = {{}};
  for (const std::string& f : test::walk_order(tree_.path()))
    if (f != tree_ / "copy 2") expected[0].push_back(f);
  EXPECT_EQ(rig_.groups(work_), expected);
}

// Large copies compared while they were digested are compared again by the
// report once one of them has changed, in place and at its size.
TEST_F(WalkTest, TwinChangedAfterTheScanIsComparedAgain) {
  const std::string content(4 << 20, 'x');
  for (const char* f : {"twin 1", "twin 2"}) test::write_file(tree_ / f, content);
  rig_.walk(tree_.path());
  const int fd = ::open((tree_ / "twin 2").c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "y", 1, static_cast<off_t>(content.size() - 1)), 1);
  ::close(fd);
  EXPECT_EQ(rig_.groups(work_), test::Groups{});
}

// Ten copies of one content, the first in walk order leading the others on
// the twin board with one worker; the leader is rewritten in place once a
// few of its copies compared equal with it, before its digest ends. The nine
// copies nobody touched are one group, and the leader is in none.
TEST_F(WalkTest, LeaderRewrittenWhileItsCopiesCompareLeavesTheCopiesOneGroup) {
  const std::string content(1 << 20, 'c');
  for (int i = 0; i < 10; ++i) test::write_file(tree_ / ("copy " + std::to_string(i)), content);
  std::vector<std::string> order = test::walk_order(tree_.path());
  const std::string leader = order.front();
  order.erase(order.begin());
  const auto rewrite = [&](int reading) {
    if (reading != 14) return;
    const int fd = ::open(leader.c_str(), O_WRONLY);
    struct stat before, after;
    ASSERT_TRUE(fd >= 0 && ::fstat(fd, &before) == 0);
    do {  // until the status-change time moves on from the file's creation
      ASSERT_EQ(::pwrite(fd, "x", 1, static_cast<off_t>(content.size() - 1)), 1);
      ASSERT_EQ(::fstat(fd, &after), 0);
    } while (after.st_ctim.tv_sec == before.st_ctim.tv_sec &&
             after.st_ctim.tv_nsec == before.st_ctim.tv_nsec);
    ::close(fd);
  };
  test::TempDir work;
  WalkRig rig(work, 1);
  test::ShiftedClock clock(test::ShiftedClock::kHour, rewrite);
  rig.walk(tree_.path());
  EXPECT_EQ(rig.groups(work), test::Groups{order});
}

// A regular file that reads past the size its descriptor shows, as a file
// growing between the two does: a kernel file of size 0 mounted over an
// empty one. It is unreadable, never digested as empty.
TEST_F(WalkTest, FileReadingPastItsSizeIsNeverGrouped) {
  if (::geteuid() != 0) GTEST_SKIP() << "a bind mount needs root";
  for (const char* f : {"empty 1", "empty 2", "status"}) test::write_file(tree_ / f, "");
  test::Mount status("/proc/self/status", tree_ / "status", "", MS_BIND);
  if (!status.mounted()) GTEST_SKIP() << "bind mount refused: " << status.error();
  rig_.walk(tree_.path());
  test::Groups expected = {{}};
  for (const std::string& f : test::walk_order(tree_.path()))
    if (f != tree_ / "status") expected[0].push_back(f);
  EXPECT_EQ(rig_.groups(work_), expected);
}

// A board and one leader's file for its cases, stamped on a clock an hour
// on, so that the file written just now is settled.
struct BoardRig {
  BoardRig() {
    test::write_file(dir / "f", "x");
    file = platform::open_existing_file((dir / "f").c_str());
    EXPECT_TRUE(platform::file_stamp(file, stamp));
  }
  // Rewrites the leader's file at another size, which moves its stamp.
  void rewrite() {
    test::write_file(dir / "f", "xy");
    std::uint64_t moved = 0;
    EXPECT_TRUE(platform::file_stamp(file, moved) && moved != stamp);
  }
  platform::FileHandle reopen() const { return platform::open_existing_file((dir / "f").c_str()); }

  test::ShiftedClock clock{test::ShiftedClock::kHour};
  test::TempDir dir;
  platform::FileHandle file;
  std::uint64_t stamp = 0;
  std::unique_ptr<TwinBoard> board = std::make_unique<TwinBoard>();
  platform::FileHandle copy;  // the second descriptors followers get
  TwinBoard::Handover handover;
};

// A follower takes its leader's digest, and is trusted by the report, only
// when it is equal and the leader was digested; whatever the order of the
// two, the leader's entry is free again at the end.
TEST(TwinBoardTest, FollowerTakesTheDigestOnlyWhenEqualToADigestedLeader) {
  using Settled = TwinBoard::Settled;
  const struct {
    bool equal, leader_first, digested;
    Settled settled;
  } cases[] = {
      {true, false, true, Settled::waiting},    {true, true, true, Settled::digested},
      {true, false, false, Settled::waiting},   {true, true, false, Settled::digest_it},
      {false, false, true, Settled::digest_it}, {false, true, true, Settled::digest_it},
  };
  const Md5Digest leader_digest{7};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.equal << c.leader_first << c.digested);
    BoardRig rig;
    int lead, follow, again;
    ASSERT_EQ(rig.board->arrive(10, rig.file, 1, lead, rig.copy), TwinBoard::Role::leader);
    ASSERT_EQ(rig.board->arrive(10, rig.file, 2, follow, rig.copy), TwinBoard::Role::follower);
    const Md5Digest* ended = c.digested ? &leader_digest : nullptr;
    platform::FileHandle lane = rig.reopen();
    if (c.leader_first) rig.board->leader_ended(lead, ended, lane, false, rig.handover);
    Md5Digest digest{};
    EXPECT_EQ(rig.board->settle(follow, c.equal, {5, 2, 0, rig.stamp}, digest), c.settled);
    if (!c.leader_first) rig.board->leader_ended(lead, ended, lane, false, rig.handover);
    EXPECT_EQ(rig.handover.count, c.settled == Settled::waiting ? 1u : 0u);
    EXPECT_EQ(rig.handover.trusted, c.digested);
    EXPECT_EQ(rig.handover.count == 1 ? rig.handover.waiting[0].task : 5u, 5u);
    EXPECT_EQ(digest, c.settled == Settled::digested ? leader_digest : Md5Digest{});
    NameOffset with = 0;
    std::uint64_t stamp = 0;
    EXPECT_EQ(rig.board->compared_with(2, with, stamp), c.equal && c.digested);
    EXPECT_EQ(rig.board->arrive(10, rig.file, 3, again, rig.copy), TwinBoard::Role::leader);
  }
}

// A leader rewritten while it is digested hands nothing on: neither to the
// follower that compared equal before the write, nor to one that compared
// equal after it and settled first; no pair of them is trusted.
TEST(TwinBoardTest, LeaderWhoseStampMovedHandsNothingOnAndNoPairIsTrusted) {
  BoardRig rig;
  int lead, first, second;
  ASSERT_EQ(rig.board->arrive(10, rig.file, 1, lead, rig.copy), TwinBoard::Role::leader);
  ASSERT_EQ(rig.board->arrive(10, rig.file, 2, first, rig.copy), TwinBoard::Role::follower);
  ASSERT_EQ(rig.board->arrive(10, rig.file, 3, second, rig.copy), TwinBoard::Role::follower);
  rig.rewrite();
  std::uint64_t moved = 0;
  ASSERT_TRUE(platform::file_stamp(rig.file, moved));
  Md5Digest digest{};
  EXPECT_EQ(rig.board->settle(second, true, {6, 3, 0, moved}, digest),
            TwinBoard::Settled::digest_it);
  EXPECT_EQ(rig.board->settle(first, true, {5, 2, 0, rig.stamp}, digest),
            TwinBoard::Settled::waiting);
  const Md5Digest leader_digest{7};
  rig.board->leader_ended(lead, &leader_digest, rig.file, true, rig.handover);
  EXPECT_EQ(rig.handover.count, 1u);
  EXPECT_FALSE(rig.handover.trusted);
  EXPECT_TRUE(rig.file.valid()) << "a moved leader is not kept";
  NameOffset with = 0;
  std::uint64_t stamp = 0;
  for (NameOffset name : {1u, 2u, 3u}) EXPECT_FALSE(rig.board->compared_with(name, with, stamp));
}

// A file whose status changed within its file system's time granularity
// of the moment (two seconds where it is not known to be finer) gets no
// stamp: a change in the same tick could leave the stamp as it is. It leads
// nobody, so no pair of it is ever trusted; seconds later it is stamped.
TEST(TwinBoardTest, FileChangedWithinItsTimeGranularityIsNeitherStampedNorTrusted) {
  test::TempDir dir;
  test::write_file(dir / "f", "x");
  const platform::FileHandle file = platform::open_existing_file((dir / "f").c_str());
  struct stat st;
  ASSERT_EQ(::fstat(file.fd(), &st), 0);
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t second = 1000000000;
  const std::int64_t changed_ago =
      (now.tv_sec - st.st_ctim.tv_sec) * second + (now.tv_nsec - st.st_ctim.tv_nsec);
  for (const std::int64_t age : {std::int64_t{0}, 3 * second}) {
    SCOPED_TRACE(age);
    test::ShiftedClock clock(age - changed_ago, {}, true);
    std::uint64_t stamp = 0;
    EXPECT_EQ(platform::file_stamp(file, stamp), age > 0);
    TwinBoard board;
    int entry;
    platform::FileHandle copy;
    EXPECT_EQ(board.arrive(10, file, 1, entry, copy),
              age > 0 ? TwinBoard::Role::leader : TwinBoard::Role::alone);
  }
}

TEST(TwinBoardTest, KeptLeaderIsFollowedWhileItsStampHoldsUntilLetGoOrCrowdedOut) {
  using Role = TwinBoard::Role;
  BoardRig rig;
  TwinBoard& board = *rig.board;
  const Md5Digest leader_digest{7};
  // Leaders of sizes 0 .. kKept, each kept as it ends: the last crowds out size 0's.
  for (std::uint64_t size = 0; size <= TwinBoard::kKept; ++size) {
    int lead;
    ASSERT_EQ(board.arrive(size, rig.file, 1, lead, rig.copy), Role::leader);
    platform::FileHandle keep = rig.reopen();
    board.leader_ended(lead, &leader_digest, keep, true, rig.handover);
    EXPECT_EQ(keep.valid(), size == TwinBoard::kKept) << size;  // the one let go for it
  }
  int entry;
  Md5Digest digest{};
  ASSERT_EQ(board.arrive(1, rig.file, 2, entry, rig.copy), Role::follower);
  EXPECT_EQ(board.settle(entry, true, {5, 2, 0, rig.stamp + 1}, digest),
            TwinBoard::Settled::digest_it);
  ASSERT_EQ(board.arrive(1, rig.file, 3, entry, rig.copy), Role::follower);
  EXPECT_EQ(board.settle(entry, true, {6, 3, 0, rig.stamp}, digest), TwinBoard::Settled::digested);
  EXPECT_EQ(digest, leader_digest);
  // The same file noted again with another stamp is no longer trusted.
  NameOffset with = 0;
  std::uint64_t stamp = 0;
  EXPECT_TRUE(board.compared_with(3, with, stamp));
  ASSERT_EQ(board.arrive(1, rig.file, 3, entry, rig.copy), Role::follower);
  EXPECT_EQ(board.settle(entry, true, {6, 3, 99, rig.stamp}, digest), TwinBoard::Settled::digested);
  EXPECT_FALSE(board.compared_with(3, with, stamp));
  EXPECT_EQ(board.arrive(0, rig.file, 4, entry, rig.copy), Role::leader);
  EXPECT_EQ(board.let_go(), TwinBoard::kKept);
  EXPECT_EQ(board.arrive(1, rig.file, 5, entry, rig.copy), Role::leader);
}

}  // namespace
}  // namespace mirvale
