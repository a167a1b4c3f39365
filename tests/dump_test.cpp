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
    return test::run_program(full[0], full, options);
  }

  test::TempDir dir_;
};

constexpr char kHeading[] = "pos     - bal: left     <- equal    -> right\n";

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
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kHeading);
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
    EXPECT_EQ(dump({path}).status, 0);
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

TEST_F(Dump, FileThatCannotBeListedGivesOneLineAndFailure) {
  test::make_dir(dir_ / "adir");
  for (const char* name : {"missing", "adir", ""}) {
    SCOPED_TRACE(name);
    test::RunResult r = dump({name});
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(is_one_line(r.out)) << r.out;
    EXPECT_EQ(r.out.find(kHeading), std::string::npos);
  }
  EXPECT_EQ(test::list_dir(dir_.path()), std::vector<std::string>{"adir"}) << "nothing was created";
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
