// Helpers shared by the tests: fresh temporary directories, whole-file I/O,
// running the built binaries and independent digests from coreutils.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace mirvale::test {

// A fresh directory below $TMPDIR (or /tmp), removed with all it holds.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool exists(const std::string& path);
void make_dir(const std::string& path);
// Names in a directory, "." and ".." left out, sorted.
std::vector<std::string> list_dir(const std::string& path);
// Removes a tree, making directories writable first.
void remove_tree(const std::string& path);

struct RunOptions {
  std::string cwd;              // working directory of the child
  bool ignore_sigxfsz = false;  // with file_size_limit: writes fail instead of killing
  rlim_t file_size_limit = RLIM_INFINITY;
  rlim_t open_file_limit = RLIM_INFINITY;      // soft and hard, as `ulimit -n`
  rlim_t address_space_limit = RLIM_INFINITY;  // bytes, soft and hard, as `ulimit -v`
  int inherited_descriptors = 0;  // open on /dev/null besides the standard three, as a parent's
  bool as_nobody = false;         // drop to uid/gid 65534 before exec
  std::set<int> closed;           // standard descriptors closed before exec
  std::string output_file;        // standard output to this file, not captured
  std::vector<std::string> environment;  // "NAME=value" set in the child's environment
  int timeout_seconds = 120;             // killed after this; timed_out is set
};

struct RunResult {
  int status = -1;  // exit status, or -1 when killed by a signal
  int signal = 0;   // the signal that ended it, if any
  bool timed_out = false;
  std::string out;  // standard output, byte for byte
  std::string err;  // standard error
};

// Runs program with args (argv[0] is program) and captures its output.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options);
// The mirvale binary of this build.
RunResult run_mirvale(const std::vector<std::string>& args, const RunOptions& options);
// Starts program (or the mirvale binary) without waiting for it, its output
// thrown away; the child's id, for wait_program. timeout_seconds is not used.
pid_t start_program(const std::string& program, const std::vector<std::string>& args,
                    const RunOptions& options);
pid_t start_mirvale(const std::vector<std::string>& args, const RunOptions& options);
// Waits for a started child, killing it after timeout_seconds; out and err stay empty.
RunResult wait_program(pid_t pid, int timeout_seconds);
// Full path of the mirvale binary, as the tool reports element 0.
std::string mirvale_path();
std::string mirvale_dump_path();

// Lower-case hexadecimal MD5 of a file's content, from coreutils md5sum.
std::string md5sum_of(const std::string& path);
std::string hex(const unsigned char* bytes, size_t size);

// The files below start in the order a depth-first walk in listing order
// meets them, computed independently of the tool: readdir order, lstat to
// classify, regular files listed, directories entered, everything else left out.
std::vector<std::string> walk_order(const std::string& start);

// True when the suite may drop to an unprivileged user (it runs as root).
bool can_run_as_nobody();

// Duplicate groups: the paths of each, in walk order.
using Groups = std::vector<std::vector<std::string>>;

// The groups of equal content among files (in their order) in ascending
// digest order, as the tool must report them; files in unreadable are left out.
Groups expected_groups(const std::vector<std::string>& files,
                       const std::set<std::string>& unreadable = {});
// The report (console and log) of groups.
std::string report_of(const Groups& groups);

// The console a completed run on files (walk order) must print, and its log.
struct ExpectedRun {
  std::string console;
  std::string log;
};
ExpectedRun expected_run(const std::vector<std::string>& files,
                         const std::set<std::string>& unreadable = {});

// Splits a report into its groups; false when it is not a sequence of
// headings each followed by lines ending in CR LF.
bool parse_report(const std::string& report, Groups& groups);

// Lowers the file size limit of this process and ignores SIGXFSZ while
// alive, so that writes past the limit fail or come up short.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lowered = saved_;
    lowered.rlim_cur = limit;
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  struct rlimit saved_;
  sighandler_t old_handler_;
};

// A file system mounted on an existing directory for an object's life,
// detached when it goes; needs root. type null with MS_BIND binds source.
class Mount {
 public:
  Mount(const std::string& source, const std::string& target, const char* type, unsigned long flags,
        const std::string& options = "");
  ~Mount();
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;
  bool mounted() const { return !target_.empty(); }
  const std::string& error() const { return error_; }

 private:
  std::string target_;
  std::string error_;
};

// A tmpfs of size bytes mounted on an existing directory.
class Tmpfs : public Mount {
 public:
  Tmpfs(const std::string& at, size_t size)
      : Mount("tmpfs", at, "tmpfs", 0, "size=" + std::to_string(size)) {}
};

// For an object's life, the clock by which file stamps are judged runs
// shift nanoseconds from the real one (an hour on, and files written just
// now are settled), or stands still there when frozen; each reading first
// calls at_reading with its count from 1, on whatever thread reads it.
class ShiftedClock {
 public:
  explicit ShiftedClock(std::int64_t shift, std::function<void(int)> at_reading = {},
                        bool frozen = false);
  ~ShiftedClock();
  ShiftedClock(const ShiftedClock&) = delete;
  ShiftedClock& operator=(const ShiftedClock&) = delete;
  static constexpr std::int64_t kHour = std::int64_t{3600} * 1000000000;
};

}  // namespace mirvale::test
