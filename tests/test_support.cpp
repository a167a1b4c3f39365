// Helpers shared by the tests.
#include "test_support.h"

#include "platform/system_calls.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

namespace mirvale::test {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/mirvale-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
  ::chmod(path_.c_str(), 0777);  // so that a test run as nobody may work in it
}

TempDir::~TempDir() {
  remove_tree(path_);
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

void make_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST)
    throw std::runtime_error("mkdir " + path + ": " + std::strerror(errno));
}

std::vector<std::string> list_dir(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return names;
  while (struct dirent* d = ::readdir(dir)) {
    std::string name = d->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

void remove_tree(const std::string& path) {
  if (!exists(path)) return;
  // coreutils walk by descriptor, so trees deeper or longer than PATH_MAX go too.
  RunOptions options;
  run_program("/bin/chmod", {"chmod", "-R", "u+rwx", "--", path}, options);
  run_program("/bin/rm", {"rm", "-rf", "--", path}, options);
}

static double seconds_since(const struct timespec& start) {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - start.tv_sec) +
         static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Forks a child that runs program with args as options ask, its standard
// input from /dev/null and its output to out_fd (or the output file) and
// err_fd. Interrupts and
// blocked signals are reset, as a shell does for a program in the foreground.
static pid_t start_child(const std::string& program, const std::vector<std::string>& args,
                         const RunOptions& options, int out_fd, int err_fd) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : options.environment) envp.push_back(const_cast<char*>(e.c_str()));
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const bool replaced = std::any_of(options.environment.begin(), options.environment.end(),
                                      [&](const std::string& set) {
                                        return entry.starts_with(set.substr(0, set.find('=') + 1));
                                      });
    if (!replaced) envp.push_back(*e);
  }
  envp.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid != 0) return pid;
  int null_fd = ::open("/dev/null", O_RDONLY);
  ::dup2(null_fd, 0);
  if (null_fd > 2) ::close(null_fd);
  if (!options.output_file.empty()) out_fd = ::open(options.output_file.c_str(), O_WRONLY);
  ::dup2(out_fd, 1);
  ::dup2(err_fd, 2);
  // Nothing the test process holds open reaches the child, so that it starts
  // with the three standard descriptors as from a shell.
  ::close_range(3, ~0U, 0);
  for (int fd : options.closed) ::close(fd);
  for (int i = 0; i < options.inherited_descriptors; ++i) ::open("/dev/null", O_RDONLY);
  ::signal(SIGINT, SIG_DFL);
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
  if (options.ignore_sigxfsz) ::signal(SIGXFSZ, SIG_IGN);
  if (options.file_size_limit != RLIM_INFINITY) {
    struct rlimit l = {options.file_size_limit, options.file_size_limit};
    ::setrlimit(RLIMIT_FSIZE, &l);
  }
  if (options.open_file_limit != RLIM_INFINITY) {
    struct rlimit l = {options.open_file_limit, options.open_file_limit};
    ::setrlimit(RLIMIT_NOFILE, &l);
  }
  if (options.address_space_limit != RLIM_INFINITY) {
    struct rlimit l = {options.address_space_limit, options.address_space_limit};
    ::setrlimit(RLIMIT_AS, &l);
  }
  if (options.as_nobody &&
      (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0))
    ::_exit(125);
  ::execve(program.c_str(), argv.data(), envp.data());
  ::_exit(127);
}

// Waits for the child to end, killing it once timeout_seconds have passed
// since start, and records how it ended.
static void reap_child(pid_t pid, const struct timespec& start, int timeout_seconds,
                       RunResult& result) {
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, WNOHANG) == 0) {
    if (seconds_since(start) > timeout_seconds) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &wstatus, 0);
      break;
    }
    ::usleep(1000);
  }
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
}

// Output goes through pipes, so that limits set for the child (RLIMIT_FSIZE)
// never apply to what it prints.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options) {
  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  const pid_t pid = start_child(program, args, options, out_pipe[1], err_pipe[1]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  RunResult result;
  struct timespec start;
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_pipes = 2;
  while (open_pipes > 0) {
    if (seconds_since(start) > options.timeout_seconds) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(fds, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  for (struct pollfd& f : fds)
    if (f.fd >= 0) ::close(f.fd);
  // The child may have closed its output and still run: give it the rest of its time.
  reap_child(pid, start, options.timeout_seconds, result);
  return result;
}

pid_t start_program(const std::string& program, const std::vector<std::string>& args,
                    const RunOptions& options) {
  const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null_fd < 0) throw std::runtime_error("cannot open /dev/null");
  const pid_t pid = start_child(program, args, options, null_fd, null_fd);
  if (null_fd > 2) ::close(null_fd);
  return pid;
}

pid_t start_mirvale(const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> full = {mirvale_path()};
  full.insert(full.end(), args.begin(), args.end());
  return start_program(full[0], full, options);
}

RunResult wait_program(pid_t pid, int timeout_seconds) {
  RunResult result;
  struct timespec start;
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  reap_child(pid, start, timeout_seconds, result);
  return result;
}

std::string mirvale_path() {
  char resolved[PATH_MAX];
  if (::realpath(MIRVALE_BINARY, resolved) == nullptr) return MIRVALE_BINARY;
  return resolved;
}

std::string mirvale_dump_path() {
  return MIRVALE_DUMP_BINARY;
}

RunResult run_mirvale(const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> full = {mirvale_path()};
  full.insert(full.end(), args.begin(), args.end());
  return run_program(full[0], full, options);
}

// Fed on standard input: for a name holding a line feed, a carriage return or
// a backslash md5sum escapes its output line and starts it with a backslash.
std::string md5sum_of(const std::string& path) {
  RunResult r =
      run_program("/bin/sh", {"sh", "-c", "exec md5sum -b < \"$1\"", "sh", path}, RunOptions{});
  if (r.status != 0 || r.out.size() < 32) throw std::runtime_error("md5sum failed on " + path);
  return r.out.substr(0, 32);
}

std::string hex(const unsigned char* bytes, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < size; ++i) {
    s += digits[bytes[i] >> 4];
    s += digits[bytes[i] & 15];
  }
  return s;
}

// Each listing is read whole and closed before its directories are entered,
// so that any depth is walked without holding a descriptor per level.
static void walk_into(const std::string& dir, std::vector<std::string>& files) {
  std::vector<std::string> names;
  DIR* listing = ::opendir((dir + "/").c_str());
  if (listing == nullptr) return;
  while (struct dirent* d = ::readdir(listing)) {
    std::string name = d->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  for (const std::string& name : names) {
    std::string path = dir + "/" + name;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode))
      walk_into(path, files);
    else if (S_ISREG(st.st_mode))
      files.push_back(path);
  }
}

std::vector<std::string> walk_order(const std::string& start) {
  std::vector<std::string> files;
  walk_into(start, files);
  return files;
}

bool can_run_as_nobody() {
  return ::geteuid() == 0;
}

namespace {
constexpr char kScanPhase[] = "Mirvale: Building File List & MD5 Hash...\n";
constexpr char kReportPhase[] = "Mirvale: Searching For Duplicates...\n";
constexpr char kHeading[] = "============== Duplicate File List =============\r\n";
}  // namespace

// The digests of files, in their order, from one md5sum run for each
// megabyte of names rather than one a file, which costs seconds under the
// sanitizers: -z ends each line with a zero byte and leaves names unescaped.
static std::vector<std::string> md5sums_of(const std::vector<std::string>& files) {
  std::vector<std::string> digests;
  for (size_t first = 0; first < files.size();) {
    std::vector<std::string> args = {"md5sum", "-bz", "--"};
    for (size_t bytes = 0; first < files.size() && bytes < (size_t{1} << 20); ++first) {
      args.push_back(files[first]);
      bytes += files[first].size() + 1;
    }
    RunOptions options;
    options.timeout_seconds = 600;
    const RunResult r = run_program("/usr/bin/md5sum", args, options);
    if (r.status != 0) throw std::runtime_error("md5sum failed: " + r.err);
    for (size_t at = 0, end; (end = r.out.find('\0', at)) != std::string::npos; at = end + 1)
      digests.push_back(r.out.substr(at, 32));
  }
  if (digests.size() != files.size()) throw std::runtime_error("md5sum left files out");
  return digests;
}

// Lower-case hexadecimal digests of equal length sort as their bytes do.
Groups expected_groups(const std::vector<std::string>& files,
                       const std::set<std::string>& unreadable) {
  std::vector<std::string> readable;
  for (const std::string& f : files)
    if (unreadable.count(f) == 0) readable.push_back(f);
  const std::vector<std::string> digests = md5sums_of(readable);
  std::map<std::string, std::vector<std::string>> by_digest;
  for (size_t i = 0; i < readable.size(); ++i) by_digest[digests[i]].push_back(readable[i]);
  Groups groups;
  for (const auto& [digest, paths] : by_digest)
    if (paths.size() >= 2) groups.push_back(paths);
  return groups;
}

std::string report_of(const Groups& groups) {
  std::string report;
  for (const auto& group : groups) {
    report += kHeading;
    for (const std::string& p : group) report += p + "\r\n";
  }
  return report;
}

ExpectedRun expected_run(const std::vector<std::string>& files,
                         const std::set<std::string>& unreadable) {
  ExpectedRun e;
  e.log = report_of(expected_groups(files, unreadable));
  e.console = kScanPhase;
  for (const std::string& f : files) e.console += f + "\n";
  e.console += kReportPhase + e.log;
  return e;
}

bool parse_report(const std::string& report, Groups& groups) {
  groups.clear();
  const std::string heading = kHeading;
  size_t at = 0;
  while (at < report.size()) {
    if (report.compare(at, heading.size(), heading) == 0) {
      groups.emplace_back();
      at += heading.size();
      continue;
    }
    const size_t end = report.find("\r\n", at);
    if (groups.empty() || end == std::string::npos) return false;
    groups.back().push_back(report.substr(at, end - at));
    at = end + 2;
  }
  return true;
}

Mount::Mount(const std::string& source, const std::string& target, const char* type,
             unsigned long flags, const std::string& options) {
  const void* data = options.empty() ? nullptr : options.c_str();
  if (::mount(source.c_str(), target.c_str(), type, flags, data) == 0)
    target_ = target;
  else
    error_ = std::strerror(errno);
}

Mount::~Mount() {
  if (!target_.empty()) ::umount2(target_.c_str(), MNT_DETACH);
}

namespace {
std::int64_t (*real_clock)() = nullptr;
std::int64_t clock_shift = 0;
std::atomic<int> clock_readings{0};
std::function<void(int)> at_clock_reading;

std::int64_t clock_frozen_at = 0;

std::int64_t shifted_time() {
  const int reading = ++clock_readings;
  if (at_clock_reading) at_clock_reading(reading);
  return clock_frozen_at != 0 ? clock_frozen_at : real_clock() + clock_shift;
}
}  // namespace

ShiftedClock::ShiftedClock(std::int64_t shift, std::function<void(int)> at_reading, bool frozen) {
  platform::SystemCalls& calls = platform::system_calls();
  real_clock = calls.real_time_ns;
  clock_shift = shift;
  clock_frozen_at = frozen ? real_clock() + shift : 0;
  clock_readings = 0;
  at_clock_reading = std::move(at_reading);
  calls.real_time_ns = shifted_time;
}

ShiftedClock::~ShiftedClock() {
  platform::system_calls().real_time_ns = real_clock;
  at_clock_reading = nullptr;
}

}  // namespace mirvale::test
