// mirvale-dump, the listing program: the listing of a tree file left behind,
// that it never creates or changes a file, and its usage and error texts.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "eight_file_tree.h"
#include "test_support.h"

namespace mirvale {
namespace {

class Dump : public ::testing::Test {
 protected:
  test::RunResult dump(const std::vector<std::string>& args) {
    std::vector<std::string> full = {test::mirvale_dump_path()};
    full.insert(full.end(), args.begin(), args.end());
    test::RunOptions options;
    options.cwd = dir_.path();
    options.timeout_seconds = 10;
    test::RunResult r = test::run_program(full[0], full, options);
    EXPECT_FALSE(r.timed_out);
    return r;
  }

  test::TempDir dir_;
};

constexpr char kHeading[] = "pos     - bal: left     <- equal    -> right\n";
constexpr char kLengthFail[] = "Mirvale: Length Fail For 't'\n";

TEST_F(Dump, ListsATreeFileLeftBehind) {
  test::write_file(dir_ / "MIRVALE.ST", test::eight_file::file_bytes());
  test::RunResult r = dump({"MIRVALE.ST"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, test::eight_file::listing());
}

TEST_F(Dump, ShortFilesListAsEmptyTrees) {
  for (size_t length : {0u, 3u, 4u, 39u}) {
    SCOPED_TRACE(length);
    test::write_file(dir_ / "t", std::string(length, '\x07'));
    test::RunResult r = dump({"t"});
    EXPECT_EQ(r.status, length == 4 ? 0 : 1);
    EXPECT_EQ(r.out, kHeading + std::string(length == 4 ? "" : kLengthFail));
  }
}

// What is not a header and whole records is listed as far as it goes, then
// said to be no tree file.
TEST_F(Dump, LengthOtherThanHeaderAndWholeRecordsGivesOneMoreLineAndFailure) {
  const std::string tree = test::eight_file::file_bytes();
  const std::string listing = test::eight_file::listing();
  const std::string all_but_last_line =
      listing.substr(0, listing.rfind('\n', listing.size() - 2) + 1);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {tree.substr(0, tree.size() - 1), all_but_last_line},
      {tree + "x", listing},
      {std::string("dir/a\0dir/b\0", 12), kHeading},  // a name store
  };
  for (const auto& [content, listed] : cases) {
    SCOPED_TRACE(content.size());
    test::write_file(dir_ / "t", content);
    test::RunResult r = dump({"t"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, listed + kLengthFail);
  }
}

TEST_F(Dump, NeverChangesTheFile) {
  std::string path = dir_ / "MIRVALE.ST";
  // Shorter than a header: a file the tree module would itself rewrite.
  for (const std::string& content : {test::eight_file::file_bytes(), std::string("\x01\x02")}) {
    test::write_file(path, content);
    ::chmod(path.c_str(), 0444);
    struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old_times, 0), 0);
    EXPECT_EQ(dump({path}).status, content.size() < 4 ? 1 : 0);
    EXPECT_EQ(test::read_file(path), content);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
  }
}

// One line of text, ending in a line feed.
bool is_one_line(const std::string& text) {
  return !text.empty() && text.back() == '\n' && std::count(text.begin(), text.end(), '\n') == 1;
}

// A FIFO nobody writes and a device are refused at once, without a read.
TEST_F(Dump, FileThatCannotBeListedGivesOneLineAndFailure) {
  test::make_dir(dir_ / "adir");
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0666), 0);
  for (const std::string name : {"missing", "adir", "", "fifo", "/dev/zero"}) {
    SCOPED_TRACE(name);
    test::RunResult r = dump({name});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Mirvale: Open Fail For '" + name + "'\n");
  }
  EXPECT_EQ(test::list_dir(dir_.path()), (std::vector<std::string>{"adir", "fifo"}))
      << "nothing was created";
}

TEST_F(Dump, WrongNumberOfArgumentsGivesUsage) {
  test::write_file(dir_ / "a", test::eight_file::file_bytes());
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, std::vector<std::string>{"a", "a"}}) {
    SCOPED_TRACE(args.size());
    test::RunResult r = dump(args);
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(is_one_line(r.out)) << r.out;
    EXPECT_EQ(r.out.find(kHeading), std::string::npos);
  }
}

}  // namespace
}  // namespace mirvale
