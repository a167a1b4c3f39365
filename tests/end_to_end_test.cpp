// The whole program on trees the tests build: console and log byte for byte
// against digests from coreutils md5sum and the walk order of the listings,
// and the working files a run leaves behind.
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace mirvale {
namespace {

constexpr char kScanPhase[] = "Mirvale: Building File List & MD5 Hash...\n";
constexpr char kReportPhase[] = "Mirvale: Searching For Duplicates...\n";

using Expected = test::ExpectedRun;
using test::expected_run;

// Deterministic bytes for large files.
std::string noise(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

class EndToEndTest : public ::testing::Test {
 protected:
  // Runs the tool in the work directory on start, with threads digest
  // threads when given.
  test::RunResult run(const std::string& start, bool as_nobody = false, const char* threads = "") {
    test::RunOptions options;
    options.cwd = work_.path();
    options.as_nobody = as_nobody;
    if (*threads != '\0') options.environment = {std::string("MIRVALE_THREADS=") + threads};
    return test::run_mirvale({start}, options);
  }

  // The names of the files in dir that fn's work opens.
  static std::set<std::string> opened_in(const std::string& dir, const std::function<void()>& fn) {
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    EXPECT_GE(watch, 0);
    EXPECT_GE(::inotify_add_watch(watch, dir.c_str(), IN_OPEN), 0);
    fn();
    std::set<std::string> names;
    alignas(inotify_event) char events[65536];
    ssize_t got;
    while ((got = ::read(watch, events, sizeof events)) > 0) {
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
        if (event->len > 0) names.insert(event->name);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    ::close(watch);
    return names;
  }

  std::string log() const { return test::read_file(work_ / "MIRVALE.LOG"); }

  // Asserts a completed run: its status, nothing on standard error, and only
  // the log left in the work directory.
  void expect_completed(const test::RunResult& r) {
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(test::list_dir(work_.path()), std::vector<std::string>{"MIRVALE.LOG"});
  }

  // Builds the Debian package of this build with CPack in dir and unpacks it
  // into dir/root; the package's name, empty when there is none.
  std::string build_and_unpack_package(const test::TempDir& dir) {
    test::RunOptions options;
    options.cwd = dir.path();
    options.timeout_seconds = 300;
    const test::RunResult cpack = test::run_program(
        MIRVALE_CPACK_BINARY,
        {"cpack", "--config", MIRVALE_CPACK_CONFIG, "-G", "DEB", "-B", dir.path()}, options);
    EXPECT_EQ(cpack.status, 0) << cpack.out << cpack.err;
    for (const std::string& name : test::list_dir(dir.path())) {
      if (!name.ends_with(".deb")) continue;
      const test::RunResult unpacked = test::run_program(
          MIRVALE_DPKG_DEB_BINARY, {"dpkg-deb", "-x", dir / name, dir / "root"}, options);
      EXPECT_EQ(unpacked.status, 0) << unpacked.err;
      return name;
    }
    return "";
  }

  test::TempDir work_;
  test::TempDir data_;
};

TEST_F(EndToEndTest, GeneratedTreeGivesTheIndependentlyComputedConsoleAndLog) {
  for (const char* d : {"a", "a/b", "a/b/c", "z", "two words", "caf\xc3\xa9", "\x80\xff"})
    test::make_dir(data_ / d);
  const std::string chunk = noise(65536, 1);
  const std::string chunk_plus = chunk + "+";
  std::string last_byte_changed = chunk;
  last_byte_changed.back() ^= 1;
  // Large enough for the census of first blocks: one of them begins unlike
  // the others, and two share the first block with a twin pair but differ after it.
  const std::string large = noise(160 * 1024 + 1, 2);
  std::string large_other_start = large, large_other_after = large, large_other_end = large;
  large_other_start.front() ^= 1;
  large_other_after[5000] ^= 1;
  large_other_end.back() ^= 1;
  const std::map<std::string, std::string> files = {
      {"empty", ""},
      {"a/b/c/also empty", ""},
      {"\x80\xff/\xfe empty", ""},
      {"one short of a chunk", chunk.substr(0, 65535)},
      {"a/b/short of a chunk", chunk.substr(0, 65535)},
      {"a/chunk", chunk},
      {"z/chunk again", chunk},
      {"z/chunk and one", chunk_plus},
      {"a/b/c/chunk and one", chunk_plus},
      {"a/b/c/last byte changed", last_byte_changed},
      {"two words/100% %s%n", "nested across directories\n"},
      {"a/b/c/deep copy", "nested across directories\n"},
      {"caf\xc3\xa9/cr\r and lf", "nested across directories\n"},
      {"z/unique", "only once"},
      {"\x80\xff/line\nfeed", "\r\n"},
      {"caf\xc3\xa9/\xe4\xb8\xad", "\r\n"},
      {"a/large", large},
      {"z/large twin", large},
      {"a/b/large, other first byte", large_other_start},
      {"a/b/large, other byte after the first block", large_other_after},
      {"z/large, other last byte", large_other_end},
  };
  for (const auto& [name, content] : files) test::write_file(data_ / name, content);
  ASSERT_EQ(::symlink("chunk", (data_ / "a/link to chunk").c_str()), 0);
  ASSERT_EQ(::mkfifo((data_ / "z/fifo").c_str(), 0666), 0);

  const std::vector<std::string> order = test::walk_order(data_.path());
  ASSERT_EQ(order.size(), files.size());
  const Expected expected = expected_run(order);
  ASSERT_EQ(std::count(expected.log.begin(), expected.log.end(), '='), 27 * 7)
      << "seven groups: empty, 65535, 65536, 65537, nested, CR LF, large";
  // Digested on the walk's own thread, and by more threads than files.
  for (const char* threads : {"", "0", "1", "64"}) {
    SCOPED_TRACE(threads);
    std::set<std::string> opened;
    test::RunResult r;
    opened = opened_in(data_ / "z", [&] { r = run(data_.path(), false, threads); });
    expect_completed(r);
    EXPECT_EQ(r.out, expected.console);
    EXPECT_EQ(log(), expected.log);
    EXPECT_TRUE(opened.contains("chunk again"));
    EXPECT_FALSE(opened.contains("unique")) << "no other file has its size";
  }
}

// The MD5 collision published by Wang et al. in 2004: two 128-byte blocks
// that differ in six bytes and share the digest
// 79054025255fb1a26e4bc422aef54eb4, as does any common suffix after them.
std::string from_hex(const char* text) {
  std::string bytes;
  for (const char* p = text; p[0] != '\0' && p[1] != '\0'; p += 2)
    bytes += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
  return bytes;
}
const std::string kCollisionA = from_hex(
    "d131dd02c5e6eec4693d9a0698aff95c2fcab58712467eab4004583eb8fb7f89"
    "55ad340609f4b30283e488832571415a085125e8f7cdc99fd91dbdf280373c5b"
    "d8823e3156348f5bae6dacd436c919c6dd53e2b487da03fd02396306d248cda0"
    "e99f33420f577ee8ce54b67080a80d1ec69821bcb6a8839396f9652b6ff72a70");
const std::string kCollisionB = from_hex(
    "d131dd02c5e6eec4693d9a0698aff95c2fcab50712467eab4004583eb8fb7f89"
    "55ad340609f4b30283e4888325f1415a085125e8f7cdc99fd91dbd7280373c5b"
    "d8823e3156348f5bae6dacd436c919c6dd53e23487da03fd02396306d248cda0"
    "e99f33420f577ee8ce54b67080280d1ec69821bcb6a8839396f965ab6ff72a70");

TEST_F(EndToEndTest, FilesOfOneDigestButOtherContentAreNeverGroupedTogether) {
  const std::string suffix = noise(1 << 20, 7);
  struct Case {
    const char* name;
    std::map<std::string, std::string> files;
    // The groups of identical content, whatever order the walk finds them in.
    std::vector<std::vector<std::string>> groups;
  };
  std::vector<Case> cases = {
      {"the pair alone", {{"a.bin", kCollisionA}, {"b.bin", kCollisionB}}, {}},
      {"copies of each in other directories",
       {{"x/a.bin", kCollisionA},
        {"x/b.bin", kCollisionB},
        {"y/a copy", kCollisionA},
        {"z/b copy", kCollisionB}},
       {{"x/a.bin", "y/a copy"}, {"x/b.bin", "z/b copy"}}},
      {"a common 1 MiB suffix",
       {{"x/a.bin", kCollisionA + suffix},
        {"y/b.bin", kCollisionB + suffix},
        {"z/a copy", kCollisionA + suffix}},
       {{"x/a.bin", "z/a copy"}}},
      // Large files of one size meet as twins in the scan: each copy is
      // compared with whichever of them leads, the others digested.
      {"copies of each, a common suffix",
       {{"x/a.bin", kCollisionA + suffix},
        {"y/a copy", kCollisionA + suffix},
        {"z/b.bin", kCollisionB + suffix},
        {"x/b copy", kCollisionB + suffix}},
       {{"x/a.bin", "y/a copy"}, {"z/b.bin", "x/b copy"}}},
      {"an ordinary pair beside",
       {{"x/a.bin", kCollisionA}, {"y/b.bin", kCollisionB}, {"x/abc", "abc"}, {"y/abc", "abc"}},
       {{"x/abc", "y/abc"}}},
  };
  // Chains longer than the files the report opens at once.
  Case small_chain{"a long chain of both", {}, {{}, {}}};
  Case large_chain{"a long chain of one, past one read", {}, {{}}};
  for (int i = 0; i < 12; ++i) {
    const std::string a = std::string(i % 2 ? "x/a" : "y/a") + std::to_string(i);
    const std::string b = "z/b" + std::to_string(i);
    small_chain.files[a] = kCollisionA;
    small_chain.files[b] = kCollisionB;
    small_chain.groups[0].push_back(a);
    small_chain.groups[1].push_back(b);
    large_chain.files[a] = kCollisionA + suffix;
    large_chain.groups[0].push_back(a);
  }
  cases.push_back(small_chain);
  cases.push_back(large_chain);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::remove_tree(data_.path());
    test::make_dir(data_.path());
    for (const char* d : {"x", "y", "z"}) test::make_dir(data_ / d);
    for (const auto& [name, content] : c.files) test::write_file(data_ / name, content);
    const std::vector<std::string> order = test::walk_order(data_.path());
    auto at = [&](const std::string& name) {
      return std::find(order.begin(), order.end(), data_ / name) - order.begin();
    };
    // Members in walk order; groups of one digest in the walk order of
    // their first files (no case has groups of two digests).
    std::vector<std::vector<std::string>> named = c.groups;
    for (auto& g : named)
      std::sort(g.begin(), g.end(), [&](auto& l, auto& r) { return at(l) < at(r); });
    std::sort(named.begin(), named.end(), [&](auto& l, auto& r) { return at(l[0]) < at(r[0]); });
    test::Groups groups;
    for (auto& g : named) {
      groups.emplace_back();
      for (const std::string& name : g) groups.back().push_back(data_ / name);
    }
    for (const char* threads : {"0", "1", "4"}) {
      SCOPED_TRACE(threads);
      const test::RunResult r = run(data_.path(), false, threads);
      expect_completed(r);
      EXPECT_EQ(log(), test::report_of(groups));
    }
  }
}

TEST_F(EndToEndTest, EmptyDirectoryGivesThePhasesAndAnEmptyLog) {
  const test::RunResult r = run(data_.path());
  expect_completed(r);
  EXPECT_EQ(r.out, std::string(kScanPhase) + kReportPhase);
  EXPECT_EQ(log(), "");
}

TEST_F(EndToEndTest, SecondRunReplacesTheLogAndLeavesItEmptyWhenNothingRepeats) {
  test::write_file(data_ / "x", "same");
  test::write_file(data_ / "y", "same");
  test::RunResult first = run(data_.path());
  expect_completed(first);
  const Expected with_pair = expected_run(test::walk_order(data_.path()));
  EXPECT_EQ(log(), with_pair.log);
  EXPECT_NE(log(), "");

  test::write_file(data_ / "y", "different");
  test::RunResult second = run(data_.path());
  expect_completed(second);
  EXPECT_EQ(second.out, expected_run(test::walk_order(data_.path())).console);
  EXPECT_EQ(log(), "");
}

TEST_F(EndToEndTest, UnreadableFilesAreListedButNeverGrouped) {
  if (!test::can_run_as_nobody()) GTEST_SKIP() << "needs root to drop to an unprivileged user";
  test::make_dir(data_ / "closed");
  test::make_dir(data_ / "open");
  for (const char* f : {"secret 1", "secret 2", "open/copy 1", "open/copy 2", "closed/hidden"})
    test::write_file(data_ / f, "the same content");
  for (const char* f : {"secret 1", "secret 2"}) ::chmod((data_ / f).c_str(), 0);
  ::chmod((data_ / "closed").c_str(), 0);

  // The listing of the closed directory fails for the tool, so its file is not met.
  std::vector<std::string> order;
  for (const std::string& f : test::walk_order(data_.path()))
    if (f.find("/closed/") == std::string::npos) order.push_back(f);
  ASSERT_EQ(order.size(), 4u);
  const Expected expected = expected_run(order, {data_ / "secret 1", data_ / "secret 2"});
  for (const char* threads : {"0", "2"}) {
    const test::RunResult r = run(data_.path(), true, threads);
    expect_completed(r);
    EXPECT_EQ(r.out, expected.console);
    EXPECT_EQ(log(), expected.log);
  }
  EXPECT_EQ(std::count(expected.log.begin(), expected.log.end(), '\n'), 3) << "one pair";
}

TEST_F(EndToEndTest, LogThatCannotBeWrittenWholeGivesWriteFailAfterTheWholeConsoleReport) {
  // Twenty copies with long names: the log (a heading, then each path with
  // CR LF) outgrows the name store (each path with a zero byte) by 70 bytes,
  // and a file size limit between the two cuts only the log short.
  std::vector<std::string> names;
  for (int i = 0; i < 20; ++i) {
    names.push_back(std::string(80, 'n') + std::to_string(i));
    test::write_file(data_ / names.back(), "one content");
  }
  const std::vector<std::string> order = test::walk_order(data_.path());
  const Expected expected = expected_run(order);
  size_t name_store = 0;
  for (const std::string& f : order) name_store += f.size() + 1;
  ASSERT_EQ(expected.log.size(), name_store + 70);
  test::RunOptions options;
  options.cwd = work_.path();
  options.ignore_sigxfsz = true;
  options.file_size_limit = name_store + 35;
  const test::RunResult r = test::run_mirvale({data_.path()}, options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, expected.console + "Mirvale: Write Fail For 'MIRVALE.LOG'\n");
  EXPECT_EQ(log(), expected.log.substr(0, name_store + 35));
  EXPECT_EQ(test::list_dir(work_.path()), std::vector<std::string>{"MIRVALE.LOG"});
}

TEST_F(EndToEndTest, PackagedToolGivesTheRunOfTheBuiltOneAndComesWithItsPageAndDependencies) {
  if (!MIRVALE_PACKAGE_TOOLS_FOUND)
    GTEST_SKIP() << "dpkg-deb, dpkg-shlibdeps or file was missing when the build was configured";
  test::TempDir package;
  const std::string deb = build_and_unpack_package(package);
  ASSERT_TRUE(deb.starts_with(MIRVALE_PACKAGE_PREFIX)) << "package '" << deb << "'";
  for (const char* file : {"usr/bin/mirvale-dump", "usr/share/man/man1/mirvale.1.gz",
                           "usr/share/man/man1/mirvale-dump.1.gz",
                           "usr/share/doc/mirvale/copyright", "usr/share/doc/mirvale/changelog.gz"})
    EXPECT_TRUE(test::exists(package / "root/" + file)) << file;
  const test::RunResult depends =
      test::run_program(MIRVALE_DPKG_DEB_BINARY, {"dpkg-deb", "-f", package / deb, "Depends"}, {});
  EXPECT_NE(depends.out.find("libc6"), std::string::npos) << depends.out;

  test::write_file(data_ / "one", "same");
  test::write_file(data_ / "two", "same");
  test::write_file(data_ / "other", "different");
  const test::RunResult own = run(data_.path());
  expect_completed(own);
  ASSERT_NE(log(), "");
  test::TempDir packaged_work;
  test::RunOptions options;
  options.cwd = packaged_work.path();
  const test::RunResult packaged =
      test::run_program(package / "root/usr/bin/mirvale", {"mirvale", data_.path()}, options);
  EXPECT_EQ(packaged.status, 0);
  EXPECT_EQ(packaged.out, own.out);
  EXPECT_EQ(test::read_file(packaged_work / "MIRVALE.LOG"), log());
}

// Debian's package checker finds nothing to say, not even an informational
// tag such as a binary built without hardening.
TEST_F(EndToEndTest, PackageGivesNoLintianTag) {
  if (!MIRVALE_PACKAGE_TOOLS_FOUND)
    GTEST_SKIP() << "dpkg-deb, dpkg-shlibdeps or file was missing when the build was configured";
  if (*MIRVALE_LINTIAN_BINARY == '\0')
    GTEST_SKIP() << "lintian was missing when the build was configured";
  if (MIRVALE_SANITIZE)
    GTEST_SKIP() << "a sanitizer build, linked with the sanitizer's runtime, is never packaged";
  test::TempDir package;
  const std::string deb = build_and_unpack_package(package);
  ASSERT_FALSE(deb.empty());
  const test::RunResult lintian = test::run_program(
      MIRVALE_LINTIAN_BINARY,
      {"lintian", "--pedantic", "--display-info", "--fail-on", "error,warning,info", package / deb},
      {});
  EXPECT_EQ(lintian.status, 0) << lintian.out << lintian.err;
}

}  // namespace
}  // namespace mirvale
