// The actions end to end: --delete, --link, --dedupe and --dry-run on trees
// on real filesystems (tmpfs, and XFS on a loop device), --keep-in, copies
// changed or their directory swapped between the checks and the change, and
// --link killed at random moments.
#include <dirent.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "action/reclaim.h"
#include "driver/run.h"
#include "test_support.h"

namespace mirvale {
namespace {

struct stat lstat_of(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st;
}

// Every entry below dir: what an action could change of it, or a file's bytes.
using Listing = std::map<std::string, std::string>;
void list_tree(const std::string& dir, Listing& out, bool bytes) {
  for (const std::string& name : test::list_dir(dir)) {
    const std::string path = dir + "/" + name;
    const struct stat st = lstat_of(path);
    out[path] = bytes ? (S_ISREG(st.st_mode) ? test::read_file(path) : "")
                      : std::to_string(st.st_ino) + " " + std::to_string(st.st_size) + " " +
                            std::to_string(st.st_mode) + " " + std::to_string(st.st_nlink) + " " +
                            std::to_string(st.st_mtim.tv_nsec) + " " +
                            std::to_string(st.st_ctim.tv_nsec);
    if (S_ISDIR(st.st_mode)) list_tree(path, out, bytes);
  }
}
Listing listing(const std::string& dir, bool bytes = false) {
  Listing out;
  list_tree(dir, out, bytes);
  return out;
}

void write_all(const std::vector<std::string>& paths, const std::string& bytes) {
  for (const std::string& path : paths) test::write_file(path, bytes);
}

std::uint64_t free_bytes(const std::string& path) {
  struct statfs fs {};
  ::statfs(path.c_str(), &fs);
  return static_cast<std::uint64_t>(fs.f_bavail) * fs.f_bsize;
}

// An XFS filesystem on a sparse image, mounted on a loop device for the
// object's life, unmounted and removed when it goes; why not, when it cannot be.
class LoopXfs {
 public:
  LoopXfs() {
    const std::string image = dir_ / "image";
    test::RunOptions quiet;
    test::write_file(image, "");
    test::make_dir(dir_ / "mnt");
    test::RunResult r;
    if (::truncate(image.c_str(), 512ll << 20) != 0)
      reason_ = "cannot make the image";
    else if (test::run_program("/usr/sbin/mkfs.xfs", {"mkfs.xfs", "-q", image}, quiet).status != 0)
      reason_ = "mkfs.xfs failed (xfsprogs missing?)";
    else if ((r = test::run_program("/bin/mount", {"mount", "-o", "loop", image, path()}, quiet))
                 .status != 0)
      reason_ = "cannot mount on a loop device (not root, or no loop device): " + r.err;
    mounted_ = reason_.empty();
  }
  ~LoopXfs() {
    if (mounted_) test::run_program("/bin/umount", {"umount", dir_ / "mnt"}, test::RunOptions{});
  }
  LoopXfs(const LoopXfs&) = delete;
  LoopXfs& operator=(const LoopXfs&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& reason() const { return reason_; }
  std::string path() const { return dir_ / "mnt"; }

 private:
  test::TempDir dir_;
  bool mounted_ = false;
  std::string reason_;
};

// Two groups of copies and a file of its own, below top.
void build_tree(const std::string& top, std::size_t size) {
  std::string b(size, 'b');
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<char>('b' + i % 7);
  test::make_dir(top + "/p");
  test::make_dir(top + "/q");
  write_all({top + "/p/a1", top + "/q/a2", top + "/q/a3"}, std::string(size, 'a'));
  write_all({top + "/p/b1", top + "/q/b2"}, b);
  test::write_file(top + "/p/own", "own");
}

class ReclaimTest : public ::testing::Test {
 protected:
  test::RunResult run(const std::vector<std::string>& args) {
    test::RunOptions options;
    options.cwd = work_.path();
    test::RunResult r = test::run_mirvale(args, options);
    EXPECT_EQ(r.err, "");
    return r;
  }
  test::TempDir work_;
  test::TempDir tree_;
  test::TempDir other_;
};

// A check of the tree after a run: the groups of its log, the tree before it
// and the free bytes it gained.
using Check = void (*)(const std::string& top, const test::Groups& groups, const Listing& before,
                       double freed);

void one_file_each(const std::string&, const test::Groups& groups, const Listing&, double) {
  ASSERT_EQ(groups.size(), 2u);
  for (const auto& group : groups)
    for (std::size_t i = 0; i < group.size(); ++i) EXPECT_EQ(test::exists(group[i]), i == 0);
}

void one_inode_each(const std::string&, const test::Groups& groups, const Listing&, double) {
  ASSERT_EQ(groups.size(), 2u);
  for (const auto& group : groups) {
    EXPECT_EQ(lstat_of(group[0]).st_nlink, group.size());
    for (const std::string& f : group) EXPECT_EQ(lstat_of(f).st_ino, lstat_of(group[0]).st_ino);
  }
}

// Names, inodes, modes and times stay; with blocks shared, the free space
// grows by the copies' bytes (a2, a3 and b2), else not at all.
void nothing_changed(const std::string& top, const test::Groups&, const Listing& before, double) {
  EXPECT_EQ(listing(top), before);
}
void blocks_shared(const std::string& top, const test::Groups& g, const Listing& before,
                   double freed) {
  nothing_changed(top, g, before, freed);
  EXPECT_NEAR(freed, 3.0 * (8 << 20), 0.3 * (8 << 20));
}

// One case of the table: the options, where the tree lies, what the run says.
struct Case {
  const char* name;
  std::vector<std::string> options;
  bool xfs;                 // the tree lies on a loop-mounted XFS, else on tmpfs
  const char* console_has;  // a line the console must hold
  Check check;
};

class ReclaimTable : public ReclaimTest, public ::testing::WithParamInterface<Case> {};

TEST_P(ReclaimTable, ActsAsTheOptionSays) {
  const Case& c = GetParam();
  std::unique_ptr<LoopXfs> xfs;
  std::unique_ptr<test::Tmpfs> tmpfs;
  std::string top = tree_.path();
  if (c.xfs) {
    xfs = std::make_unique<LoopXfs>();
    if (!xfs->mounted()) GTEST_SKIP() << xfs->reason();
    top = xfs->path();
  } else if (!(tmpfs = std::make_unique<test::Tmpfs>(top, 64u << 20))->mounted()) {
    GTEST_SKIP() << "cannot mount a tmpfs: " << tmpfs->error();
  }
  build_tree(top, c.xfs ? 8 << 20 : 4096);
  const Listing had = listing(top, true);
  ::sync();
  const Listing before = listing(top);
  const double free_before = static_cast<double>(free_bytes(top));
  std::vector<std::string> args = c.options;
  args.push_back(top);
  const test::RunResult r = run(args);
  ::sync();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find(c.console_has), std::string::npos) << r.out;
  test::Groups groups;
  EXPECT_TRUE(test::parse_report(test::read_file(work_ / "MIRVALE.LOG"), groups));
  c.check(top, groups, before, static_cast<double>(free_bytes(top)) - free_before);
  for (const auto& [path, bytes] : listing(top, true)) EXPECT_EQ(bytes, had.at(path)) << path;
  if (c.options.back() == "--json") {  // the document parses, each action in it
    const nlohmann::json document = nlohmann::json::parse(r.out);
    std::size_t actions = 0;
    for (const nlohmann::json& group : document["groups"])
      for (const nlohmann::json& file : group["files"])
        actions += file.value("actions", nlohmann::json::array()).size();
    EXPECT_EQ(actions, 3u);
    EXPECT_EQ(document["actions"]["files_changed"], 3);
  }
  if (c.check != &blocks_shared) return;
  const std::uint64_t free_again = free_bytes(top);
  const test::RunResult again = run(args);
  EXPECT_EQ(again.status, 0);
  EXPECT_NE(again.out.find("Files Changed 0,"), std::string::npos) << again.out;
  ::sync();
  EXPECT_NEAR(static_cast<double>(free_bytes(top)), static_cast<double>(free_again), 1 << 20)
      << "a second run shares nothing new";
}

INSTANTIATE_TEST_SUITE_P(
    Options, ReclaimTable,
    ::testing::Values(
        Case{"Delete", {"--delete"}, false, "Mirvale: Delete '", &one_file_each},
        Case{"DeleteJson", {"--delete", "--json"}, false, "\"action\":\"Delete\"", &one_file_each},
        Case{"Link", {"--link"}, false, "Mirvale: Link '", &one_inode_each},
        Case{"DedupeOnTmpfs", {"--dedupe"}, false, "Cannot Share Blocks", &nothing_changed},
        Case{"DedupeOnXfs", {"--dedupe"}, true, "Mirvale: Dedupe '", &blocks_shared},
        Case{"LinkOnXfs", {"--link"}, true, "Files Changed 3", &one_inode_each},
        Case{
            "DryRunDelete", {"--delete", "--dry-run"}, false, "Planned Delete '", &nothing_changed},
        Case{"DryRunLink", {"--link", "--dry-run"}, false, "Planned Link '", &nothing_changed},
        Case{
            "DryRunDedupe", {"--dedupe", "--dry-run"}, true, "Planned Dedupe '", &nothing_changed}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// Owner or mode not the kept file's, or another filesystem: --link leaves
// the copy alone, with a message.
TEST_F(ReclaimTest, LinkLeavesAloneAnotherModeOrFilesystem) {
  test::Tmpfs a(tree_.path(), 1 << 20), b(other_.path(), 1 << 20);
  if (!a.mounted() || !b.mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << a.error();
  test::make_dir(tree_ / "keep");
  write_all({tree_ / "keep/kept", tree_ / "private", other_ / "elsewhere"}, "content");
  ::chmod((tree_ / "private").c_str(), 0600);
  const test::RunResult r =
      run({"--link", "--keep-in", tree_ / "keep", tree_.path(), other_.path()});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Left Alone '" + (tree_ / "private") + "': Other Owner"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Left Alone '" + (other_ / "elsewhere") + "': Other Filesystem"),
            std::string::npos);
  EXPECT_EQ(lstat_of(tree_ / "keep/kept").st_nlink, 1u);
  EXPECT_EQ(lstat_of(other_ / "elsewhere").st_nlink, 1u);
}

// Nothing below --keep-in changes; its first file is kept; a group with no
// file there is left alone.
TEST_F(ReclaimTest, KeepInKeepsItsFilesAndSkipsGroupsWithoutOne) {
  test::make_dir(other_ / "keep");
  write_all({tree_ / "x1", other_ / "keep/x2", other_ / "keep/x3", other_ / "x4"}, "x");
  write_all({tree_ / "y1", other_ / "y2"}, "y");
  const Listing kept_before = listing(other_ / "keep");
  const test::RunResult r =
      run({"--delete", "--keep-in", other_ / "keep", tree_.path(), other_.path()});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(listing(other_ / "keep"), kept_before);
  EXPECT_FALSE(test::exists(tree_ / "x1"));
  EXPECT_FALSE(test::exists(other_ / "x4"));
  EXPECT_TRUE(test::exists(tree_ / "y1"));
  EXPECT_TRUE(test::exists(other_ / "y2"));
  EXPECT_EQ(run({"--delete", "--keep-in", work_.path(), tree_.path()}).status, 2);
}

// Copies acted on in workers print exactly what one thread prints: more
// groups than stay open at once, more lines and copies than the queue holds
// (both its rings go round more than once), and copies met before their
// kept file under --keep-in.
TEST_F(ReclaimTest, WorkersPrintWhatOneThreadPrints) {
  for (const char* dir : {"a", "keep", "b"}) test::make_dir(tree_ / dir);
  const std::string name(150, 'n');
  for (int g = 0; g < 1500; ++g)
    for (const char* dir : {"a", "keep", "b"})
      if (dir[0] != 'k' || g % 2 == 0)
        test::write_file(tree_ / (dir + ("/" + name) + std::to_string(g)),
                         "group " + std::to_string(g));
  std::string out[2];
  for (int threads : {0, 4}) {
    test::RunOptions options;
    options.cwd = work_.path();
    options.environment = {std::string(kThreadsVariable) + "=" + std::to_string(threads)};
    const test::RunResult r = test::run_mirvale(
        {"--link", "--dry-run", "--keep-in", tree_ / "keep", tree_.path()}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    out[threads > 0] = r.out;
  }
  EXPECT_GT(out[0].size(), 1300000u);
  EXPECT_EQ(out[1], out[0]);
}

// Hard links in one group, and one file reached through a bind mount: the
// kept file's other names are never taken for its copies.
TEST_F(ReclaimTest, AFileReachedTwiceIsNeverItsOwnCopy) {
  for (const char* dir : {"d", "bound"}) test::make_dir(tree_ / dir);
  test::write_file(tree_ / "d/f", "the only content");
  ASSERT_EQ(::link((tree_ / "d/f").c_str(), (tree_ / "d/g").c_str()), 0);
  test::Mount bind(tree_ / "d", tree_ / "bound", nullptr, MS_BIND);
  if (!bind.mounted()) GTEST_SKIP() << "cannot bind-mount: " << bind.error();
  for (const char* action : {"--delete", "--link"}) {
    const test::RunResult r = run({action, tree_.path()});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Same File 3"), std::string::npos) << r.out;
    EXPECT_EQ(test::read_file(tree_ / "d/f"), "the only content");
    EXPECT_TRUE(test::exists(tree_ / "d/g"));
  }
}

// Work done at a seam between a copy's checks and its change, on a tree
// where keep/a is kept and d/b its copy, with outside a directory beside it.
struct SeamCase {
  const char* name;
  std::vector<const char*> actions;
  ReclaimSeam at;
  void (*work)(const std::string& tree, const std::string& outside);
  const char* reason;      // why d/b is left alone
  const char* copy_bytes;  // d/b's bytes afterwards, or null when d was moved away
};

const SeamCase* g_seam = nullptr;  // the case the child runs, with its two directories
std::string g_tree, g_outside;

// Runs the tool in a child of this process with the seam set, and returns
// its exit status; the console goes to out.
int run_with_seam(const std::string& cwd, std::vector<std::string> args, std::string& out) {
  const std::string console_file = cwd + "/console.txt";
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::FILE* stream = std::fopen(console_file.c_str(), "w");
    if (stream == nullptr || ::chdir(cwd.c_str()) != 0) ::_exit(99);
    ::setenv(kThreadsVariable, "0", 1);
    const auto work = [](const char*) { g_seam->work(g_tree, g_outside); };
    reclaim_hooks().at[static_cast<int>(g_seam->at)] = work;
    args.insert(args.begin(), "mirvale");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    platform::Console console(stream);
    const int status = run_mirvale(static_cast<int>(args.size()), argv.data(), console);
    console.flush();
    std::fclose(stream);
    ::_exit(status);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  out = test::read_file(console_file);
  ::unlink(console_file.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ReclaimSeams : public ReclaimTest, public ::testing::WithParamInterface<SeamCase> {};

// The copy is left as it is, nothing outside the tree changes, no passing
// name stays, and the run ends with status 1.
TEST_P(ReclaimSeams, ACopyChangedAtTheSeamIsLeftAlone) {
  g_seam = &GetParam();
  g_tree = tree_.path();
  g_outside = other_.path();
  for (const char* action : g_seam->actions) {
    for (const char* dir : {"d", "keep"}) test::make_dir(tree_ / dir);
    write_all({tree_ / "keep/a", tree_ / "d/b", other_ / "b"}, "same bytes");
    std::string out;
    const int status =
        run_with_seam(work_.path(), {action, "--keep-in", tree_ / "keep", tree_.path()}, out);
    EXPECT_EQ(status, 1) << action << out;
    EXPECT_NE(out.find("Left Alone '" + (tree_ / "d/b") + "': " + g_seam->reason),
              std::string::npos)
        << out;
    const std::string copy = g_seam->copy_bytes != nullptr ? tree_ / "d/b" : tree_ / "moved/b";
    EXPECT_EQ(test::read_file(copy),
              g_seam->copy_bytes != nullptr ? g_seam->copy_bytes : "same bytes");
    for (const std::string& f : {copy, tree_ / "keep/a", other_ / "b"})
      EXPECT_EQ(lstat_of(f).st_nlink, 1u) << f;
    EXPECT_EQ(test::read_file(other_ / "b"), "same bytes");
    for (const auto& [path, stamp] : listing(tree_.path()))
      EXPECT_EQ(path.find(".mirvale-"), std::string::npos) << path;
    test::remove_tree(tree_.path());
    test::make_dir(tree_.path());
  }
}

// The copy written: the same size, another content.
void write_copy(const std::string& tree, const std::string&) {
  test::write_file(tree + "/d/b", "new bytes!");
}
// d swapped for a symbolic link to outside.
void swap_directory(const std::string& tree, const std::string& outside) {
  ::rename((tree + "/d").c_str(), (tree + "/moved").c_str());
  if (::symlink(outside.c_str(), (tree + "/d").c_str()) != 0) std::abort();
}
// The copy's name given to another file.
void give_name_away(const std::string& tree, const std::string&) {
  test::write_file(tree + "/d/new", "other file");
  ::rename((tree + "/d/new").c_str(), (tree + "/d/b").c_str());
}

using enum ReclaimSeam;
const std::vector<const char*> kNames = {"--delete", "--link"},
                               kAll = {"--delete", "--link", "--dedupe"};

INSTANTIATE_TEST_SUITE_P(
    Seams, ReclaimSeams,
    ::testing::Values(
        SeamCase{"WrittenBeforeChecks", kNames, before_checks, &write_copy, "Differs",
                 "new bytes!"},
        SeamCase{"WrittenAfterChecks", kAll, before_change, &write_copy, "Changed", "new bytes!"},
        SeamCase{"DirectorySwapped", kNames, before_change, &swap_directory, "Not Opened", nullptr},
        SeamCase{"NameTaken", kNames, before_rename, &give_name_away, "Changed", "other file"}),
    [](const ::testing::TestParamInfo<SeamCase>& info) { return std::string(info.param.name); });

// A kept file that cannot be opened is left alone once, not also held back
// as a copy; its group, with no other file below --keep-in, is left alone.
TEST_F(ReclaimTest, AKeptFileThatCannotBeOpenedIsLeftAloneOnce) {
  static const SeamCase gone{
      "KeptGone",
      {},
      before_kept,
      [](const std::string& tree, const std::string&) { ::unlink((tree + "/keep/a").c_str()); },
      "",
      nullptr};
  g_seam = &gone;
  g_tree = tree_.path();
  for (const char* dir : {"d", "keep"}) test::make_dir(tree_ / dir);
  write_all({tree_ / "keep/a", tree_ / "d/b"}, "same bytes");
  std::string out;
  EXPECT_EQ(
      run_with_seam(work_.path(), {"--delete", "--keep-in", tree_ / "keep", tree_.path()}, out), 1);
  EXPECT_NE(out.find("Left Alone 2 (Not Opened 1, No File Below --keep-in 1)"), std::string::npos)
      << out;
  EXPECT_EQ(test::read_file(tree_ / "d/b"), "same bytes");
}

// --link killed at random moments: every name that was there is there
// still, with its content; a later whole run removes what a killed one left.
TEST_F(ReclaimTest, LinkKilledAtRandomLosesNoNameAndNoByte) {
  const char* count_text = std::getenv("MIRVALE_KILL_RUNS");
  const int runs = count_text != nullptr ? std::atoi(count_text) : 3;
  std::mt19937 random(12345);
  for (int g = 0; g < 40; ++g) {
    test::make_dir(tree_ / std::to_string(g));
    for (int c = 0; c < 6; ++c)
      test::write_file(tree_ / (std::to_string(g) + "/" + std::to_string(c)),
                       std::string(1000 + g, static_cast<char>('a' + g % 26)));
  }
  const Listing had = listing(tree_.path(), true);
  for (int i = 0; i < runs; ++i) {
    test::RunOptions options;
    options.cwd = work_.path();
    const pid_t pid = test::start_mirvale({"--link", tree_.path()}, options);
    ::usleep(std::uniform_int_distribution<unsigned>(0, 40000)(random));
    ::kill(pid, SIGKILL);
    test::wait_program(pid, 60);
    for (const auto& [path, bytes] : had) ASSERT_EQ(test::read_file(path), bytes) << path << i;
  }
  EXPECT_EQ(run({"--link", tree_.path()}).status, 0);
  EXPECT_EQ(listing(tree_.path(), true), had) << "no leftover name stays after a whole run";
}

}  // namespace
}  // namespace mirvale
