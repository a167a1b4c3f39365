// The directory walk on real temporary trees: order, what is listed, path
// building and what it leaves in the name store.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "scan/walk.h"
#include "test_support.h"
#include "tree_file_helpers.h"

namespace mirvale {
namespace {

// One walk's modules, with the console captured in a temporary file.
struct WalkRig {
  explicit WalkRig(const test::TempDir& work) : nms(work / "MIRVALE.NMS") {
    names.open(nms.c_str());
    tree.open_tree((work / "MIRVALE.ST").c_str());
  }

  // Walks start and returns the console text.
  std::string walk(const std::string& start, Walk::Failure failure = Walk::Failure::none) {
    EXPECT_TRUE(path->assign(start));
    Walk walk(*path, names, digest, tree, captured.console());
    walk.walk_directory();
    EXPECT_EQ(walk.failure(), failure);
    EXPECT_TRUE(names.flush_names());
    EXPECT_EQ(path->view(), start) << "the scan path is restored";
    return captured.text();
  }

  std::string nms;
  std::unique_ptr<ScanPath> path = std::make_unique<ScanPath>();
  std::unique_ptr<IoBuffer> io = std::make_unique<IoBuffer>();
  NameStore names{*path};
  FileDigest digest{*io};
  DigestTree tree;
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
    EXPECT_EQ(rig_.walk(start, Walk::Failure::start_path), "") << start;
  EXPECT_EQ(test::read_file(rig_.nms), "");
}

TEST_F(WalkTest, EmptyDirectoryListsNothing) {
  EXPECT_EQ(rig_.walk(tree_.path()), "");
  EXPECT_EQ(rig_.names.next_name_offset(), 0u);
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

}  // namespace
}  // namespace mirvale
