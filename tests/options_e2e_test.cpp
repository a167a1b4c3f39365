// The options end to end: several directories, the filters, --quiet and
// --json, each run with digests on the walk's thread and on four threads.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace mirvale {
namespace {

using Files = std::vector<std::string>;

class OptionsTest : public ::testing::TestWithParam<const char*> {
 protected:
  test::RunResult run(const std::vector<std::string>& args, bool as_nobody = false) {
    test::RunOptions options;
    options.cwd = work_.path();
    options.as_nobody = as_nobody;
    options.environment = {std::string("MIRVALE_THREADS=") + GetParam()};
    test::RunResult r = test::run_mirvale(args, options);
    EXPECT_EQ(r.err, "") << "standard error is no terminal";
    return r;
  }
  std::string log() { return test::read_file(work_ / "MIRVALE.LOG"); }

  // Runs on tree with args before it and expects the run of the files of
  // the walk that keep() keeps, byte for byte.
  void expect_run_of(const std::vector<std::string>& args,
                     const std::function<bool(const std::string&)>& keep) {
    Files kept;
    for (const std::string& f : test::walk_order(tree_.path()))
      if (keep(f)) kept.push_back(f);
    const test::ExpectedRun expected = test::expected_run(kept);
    std::vector<std::string> command = args;
    command.push_back(tree_.path());
    const test::RunResult r = run(command);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected.console);
    EXPECT_EQ(log(), expected.log);
  }

  test::TempDir work_;
  test::TempDir tree_;
  test::TempDir other_;
};

INSTANTIATE_TEST_SUITE_P(Threads, OptionsTest, ::testing::Values("0", "4"));

TEST_P(OptionsTest, TwoDirectoriesAreOneRunAndAGroupSpansThem) {
  for (const char* f : {"a", "b", "c"}) test::write_file(tree_ / f, std::string("tree ") + f);
  test::make_dir(other_ / "sub");
  test::write_file(other_ / "sub/copy-of-a", "tree a");
  test::write_file(other_ / "own", "other");
  test::write_file(other_ / "own-twin", "other");
  Files files = test::walk_order(tree_.path());
  for (const std::string& f : test::walk_order(other_.path())) files.push_back(f);
  const test::ExpectedRun expected = test::expected_run(files);
  ASSERT_EQ(test::expected_groups(files).size(), 2u);
  // An empty directory between them holds no file of either.
  const test::TempDir empty;
  const test::RunResult r = run({tree_.path(), empty.path(), other_.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected.console);
  EXPECT_EQ(log(), expected.log);
}

// The same directory, or one below another, is found by device and inode,
// whatever the strings; the run is refused before anything is touched.
TEST_P(OptionsTest, OverlappingDirectoriesAreRefused) {
  test::make_dir(tree_ / "sub");
  ASSERT_EQ(::symlink(tree_.path().c_str(), (other_ / "same").c_str()), 0);
  ASSERT_EQ(::symlink((tree_ / "sub").c_str(), (other_ / "below").c_str()), 0);
  test::write_file(work_ / "MIRVALE.LOG", "old log");
  const std::string t = tree_.path();
  const struct {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{t, t}, "Mirvale: Directory Given Twice '" + t + "'|'" + t + "'\n"},
      {{t, t + "/sub/.."}, "Mirvale: Directory Given Twice '" + t + "'|'" + t + "/sub/..'\n"},
      {{other_ / "same", t},
       "Mirvale: Directory Given Twice '" + other_ / "same" + "'|'" + t + "'\n"},
      {{t, other_ / "below"},
       "Mirvale: Directory '" + other_ / "below" + "' Lies Below '" + t + "'\n"},
      {{other_ / "below", other_.path(), t},
       "Mirvale: Directory '" + other_ / "below" + "' Lies Below '" + t + "'\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const test::RunResult r = run(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(log(), "old log");
  }
}

TEST_P(OptionsTest, SizeLimitsKeepTheirBoundaries) {
  for (size_t size : {0, 1, 1023, 1024, 1025}) {
    test::write_file(tree_ / ("one-" + std::to_string(size)), std::string(size, 'x'));
    test::write_file(tree_ / ("two-" + std::to_string(size)), std::string(size, 'x'));
  }
  const auto size_of = [](const std::string& f) { return test::read_file(f).size(); };
  expect_run_of({"--min-size=1"}, [&](const std::string& f) { return size_of(f) >= 1; });
  expect_run_of({"--min-size", "1K"}, [&](const std::string& f) { return size_of(f) >= 1024; });
  expect_run_of({"--max-size=1K"}, [&](const std::string& f) { return size_of(f) <= 1024; });
  expect_run_of({"--max-size=1023", "--min-size=1023"},
                [&](const std::string& f) { return size_of(f) == 1023; });
  expect_run_of({"--max-size=0"}, [&](const std::string& f) { return size_of(f) == 0; });
}

TEST_P(OptionsTest, ExclusionsTakeNamesAndPathsOfFilesAndDirectories) {
  for (const char* d : {"keep", "node_modules", "sub", "sub/deep", "sub/node_modules"})
    test::make_dir(tree_ / d);
  for (const char* f : {"a.tmp", "b.tmp", "keep/x", "keep/y", "node_modules/m", "sub/deep/z",
                        "sub/z", "sub/node_modules/n", "sub/a.tmp.kept"})
    test::write_file(tree_ / f, "same");
  const std::string top = tree_.path() + "/";
  const auto below = [&](const std::string& f) { return f.substr(top.size()); };
  const auto has = [&](const std::string& f, const std::string& part) {
    return ("/" + below(f) + "/").find(part) != std::string::npos;
  };
  expect_run_of({"--exclude=*.tmp"}, [&](const std::string& f) { return !f.ends_with(".tmp"); });
  expect_run_of({"--exclude", "node_modules"},
                [&](const std::string& f) { return !has(f, "/node_modules/"); });
  expect_run_of({"--exclude=sub/deep", "--exclude=keep/x"}, [&](const std::string& f) {
    return below(f) != "keep/x" && !has(f, "/sub/deep/");
  });
  // With a '/', a '*' does not match a '/', and the pattern is anchored at the top.
  expect_run_of({"--exclude=*/z", "--exclude=deep"},
                [&](const std::string& f) { return below(f) != "sub/z" && !has(f, "/deep/"); });
  expect_run_of({"--exclude=node_modules/*"},
                [&](const std::string& f) { return below(f) != "node_modules/m"; });
}

// The names of the files in dir that fn's work opens, dir itself as ".".
std::vector<std::string> opened_in(const std::string& dir, const std::function<void()>& fn) {
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  EXPECT_GE(::inotify_add_watch(watch, dir.c_str(), IN_OPEN), 0);
  fn();
  std::vector<std::string> names;
  alignas(inotify_event) char events[4096];
  for (ssize_t got; (got = ::read(watch, events, sizeof events)) > 0;) {
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(events + at);
      names.push_back(event->len > 0 ? event->name : ".");
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  ::close(watch);
  return names;
}

// An excluded directory is never opened: one the user cannot read gives no
// failure, and one that can be read is not even looked into.
TEST_P(OptionsTest, ExcludedDirectoryIsNeverOpened) {
  test::make_dir(tree_ / "closed");
  test::write_file(tree_ / "closed/secret", "same");
  test::write_file(tree_ / "one", "same");
  test::write_file(tree_ / "two", "same");
  EXPECT_NE(opened_in(tree_ / "closed", [&] { run({tree_.path()}); }), std::vector<std::string>{});
  EXPECT_EQ(opened_in(tree_ / "closed",
                      [&] {
                        run({"--exclude=closed", tree_.path()});
                      }),
            std::vector<std::string>{});
  if (!test::can_run_as_nobody()) GTEST_SKIP() << "needs root to drop to an unprivileged user";
  ::chmod((tree_ / "closed").c_str(), 0);
  const test::ExpectedRun expected = test::expected_run({tree_ / "one", tree_ / "two"});
  const test::RunResult r = run({"--exclude=closed", "--quiet", tree_.path()}, true);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected.log);
}

TEST_P(OptionsTest, QuietShowsTheGroupsAndMessagesOnly) {
  test::write_file(tree_ / "a", "same");
  test::write_file(tree_ / "b", "same");
  test::write_file(tree_ / "c", "other");
  const test::ExpectedRun expected = test::expected_run(test::walk_order(tree_.path()));
  const test::RunResult r = run({"--quiet", tree_.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected.log);
  EXPECT_EQ(log(), expected.log);
  const test::RunResult failed = run({tree_.path(), "--quiet", tree_ / "missing"});
  EXPECT_EQ(failed.out, "Mirvale: Open Fail For '" + tree_ / "missing" + "'\n");
}

// On a terminal, --quiet keeps a progress line on standard error and blanks
// it before the groups come.
TEST_P(OptionsTest, QuietDrawsProgressOnATerminalAndErasesIt) {
  test::write_file(tree_ / "a", "same");
  test::write_file(tree_ / "b", "same");
  test::RunOptions options;
  options.cwd = work_.path();
  options.environment = {std::string("MIRVALE_THREADS=") + GetParam()};
  const std::string command = "exec '" + test::mirvale_path() + "' --quiet '" + tree_.path() + "'";
  // script runs the command on a terminal of its own and copies what it shows.
  const test::RunResult r =
      test::run_program("/usr/bin/script", {"script", "-qec", command, "/dev/null"}, options);
  ASSERT_EQ(r.status, 0) << r.out;
  const size_t line = r.out.rfind(" files, ");
  ASSERT_NE(line, std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" MiB digested, ", line), std::string::npos);
  const size_t blank = r.out.find("\r    ", line);
  const size_t heading = r.out.find("============== Duplicate File List");
  ASSERT_NE(blank, std::string::npos);
  EXPECT_LT(blank, heading);
  EXPECT_EQ(r.out.find_first_not_of(' ', blank + 1), r.out.find('\r', blank + 1));
  EXPECT_GT(r.out.find(tree_.path()), heading) << "no file line";
}

std::string base64_decoded(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    bits = bits << 6 | static_cast<unsigned>(alphabet.find(c));
    if ((count += 6) >= 8) bytes += static_cast<char>(bits >> (count -= 8) & 0xFF);
  }
  return bytes;
}

// A path's bytes from its field, or from the base64 field beside it.
std::string path_of(const nlohmann::json& object, const std::string& field = "path") {
  if (object.contains(field + "_base64")) return base64_decoded(object[field + "_base64"]);
  return object[field].get<std::string>();
}

// The document holds the log's groups, with every path byte for byte (a line
// feed, bytes that are not UTF-8), each group's size and digest, the counts
// and the failures; standard output holds nothing else.
TEST_P(OptionsTest, JsonHoldsTheGroupsOfTheLogAndEveryPathByteForByte) {
  test::make_dir(tree_ / "caf\xc3\xa9");
  const Files names = {"line\nfeed", "bad\xff\xfe", "caf\xc3\xa9/\"q\\", "plain", "lone\xc3"};
  for (const std::string& n : names) test::write_file(tree_ / n, "shared content");
  test::write_file(tree_ / "single", "one of a kind");
  test::write_file(other_ / "copy", "shared content");
  // Entries too long to name, below a directory whose path is no UTF-8:
  // failures, more than memory holds, and their siblings still grouped.
  std::string deep = other_.path();
  while (deep.size() < 3900) test::make_dir(deep += "/" + std::string(199, 'd') + "\xff");
  test::write_file(deep + "/ok", "shared content");
  std::set<std::string> long_names;
  const int dir = ::open(deep.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (char last = 'a'; last < 'a' + 24; ++last) {
    const std::string name = std::string(4096 - deep.size() - 1, 'n') + last;
    const int file = ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::write(file, "shared content", 14), 14);
    ::close(file);
    long_names.insert(name);
  }
  ::close(dir);
  const test::RunResult r = run({"--json", tree_.path(), other_.path()});
  EXPECT_EQ(r.status, 1);
  const nlohmann::json document = nlohmann::json::parse(r.out);  // throws on anything else
  test::Groups logged;
  ASSERT_TRUE(test::parse_report(log(), logged));
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].size(), names.size() + 2);
  ASSERT_EQ(document["directories"].size(), 2u);
  EXPECT_EQ(path_of(document["directories"][0]), tree_.path());
  ASSERT_EQ(document["groups"].size(), logged.size());
  const nlohmann::json& group = document["groups"][0];
  EXPECT_EQ(group["size"], 14);
  EXPECT_EQ(group["md5"], test::md5sum_of(tree_ / "plain"));
  ASSERT_EQ(group["files"].size(), logged[0].size());
  for (size_t i = 0; i < logged[0].size(); ++i) EXPECT_EQ(path_of(group["files"][i]), logged[0][i]);
  EXPECT_TRUE(group["files"][0].contains("path_base64") ||
              group["files"][1].contains("path_base64"));
  EXPECT_EQ(document["files_listed"], names.size() + 3);
  EXPECT_GE(document["bytes_digested"], 14u * logged[0].size());
  std::set<std::string> failed_names;
  for (const nlohmann::json& failure : document["failures"]) {
    EXPECT_EQ(failure["message"], "Length Fail");
    EXPECT_TRUE(path_of(failure) == deep);
    failed_names.insert(path_of(failure, "name"));
  }
  EXPECT_EQ(failed_names, long_names);
  EXPECT_EQ(test::list_dir(work_.path()), std::vector<std::string>{"MIRVALE.LOG"});
}

// A run that fails before its scan still gives one document, the failure in it.
TEST_P(OptionsTest, JsonOfARunThatCannotStartHoldsItsFailure) {
  const test::RunResult r = run({"--json", tree_ / "missing"});
  EXPECT_EQ(r.status, 1);
  const nlohmann::json document = nlohmann::json::parse(r.out);
  EXPECT_EQ(document["groups"].size(), 0u);
  EXPECT_EQ(document["files_listed"], 0);
  ASSERT_EQ(document["failures"].size(), 1u);
  EXPECT_EQ(document["failures"][0]["message"], "Open Fail");
  EXPECT_EQ(path_of(document["failures"][0]), tree_ / "missing");
}

}  // namespace
}  // namespace mirvale
