// Helpers shared by the tests.
#include "test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

TempDir::~TempDir() { remove_tree(path_); }

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
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    ::chmod(path.c_str(), 0700);
    for (const std::string& name : list_dir(path)) remove_tree(path + "/" + name);
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

static std::string slurp_fd(int fd) {
  std::string bytes;
  ::lseek(fd, 0, SEEK_SET);
  char buffer[65536];
  ssize_t got;
  while ((got = ::read(fd, buffer, sizeof buffer)) > 0) bytes.append(buffer, static_cast<size_t>(got));
  return bytes;
}

static int temp_fd() {
  char name[] = "/tmp/mirvale-out-XXXXXX";
  int fd = ::mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  ::unlink(name);
  return fd;
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const RunOptions& options) {
  int out_fd = temp_fd();
  int err_fd = temp_fd();
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int null_fd = ::open("/dev/null", O_RDONLY);
    ::dup2(null_fd, 0);
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
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
    if (options.as_nobody && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 ||
                              ::setuid(65534) != 0))
      ::_exit(125);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  RunResult result;
  int wstatus = 0;
  struct timespec start;
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    pid_t done = ::waitpid(pid, &wstatus, WNOHANG);
    if (done == pid) break;
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec > options.timeout_seconds) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &wstatus, 0);
      break;
    }
    ::usleep(2000);
  }
  if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
  result.out = slurp_fd(out_fd);
  result.err = slurp_fd(err_fd);
  ::close(out_fd);
  ::close(err_fd);
  return result;
}

std::string mirvale_path() {
  char resolved[PATH_MAX];
  if (::realpath(MIRVALE_BINARY, resolved) == nullptr) return MIRVALE_BINARY;
  return resolved;
}

std::string mirvale_dump_path() { return MIRVALE_DUMP_BINARY; }

RunResult run_mirvale(const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> full = {mirvale_path()};
  full.insert(full.end(), args.begin(), args.end());
  return run_program(full[0], full, options);
}

std::string md5sum_of(const std::string& path) {
  RunResult r = run_program("/usr/bin/md5sum", {"md5sum", "-b", "--", path}, RunOptions{});
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

bool can_run_as_nobody() { return ::geteuid() == 0; }

}  // namespace mirvale::test
