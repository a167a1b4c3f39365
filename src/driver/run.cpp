// The run driver: usage text, working files, scan phase, report phase and
// clean-up, with the driver's few messages.
#include "driver/run.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/process.h"

namespace mirvale {

namespace {

constexpr char kBanner[] = "Mirvale. Finds files with identical content below a directory.\n";
constexpr char kUsage[] = "Mirvale: Use Load %s <path>";
constexpr char kVersion[] = "mirvale %s\n";
constexpr char kCreateFail[] = "Mirvale: Create Fail For '%s'|'%s'\n";
constexpr char kTreeCreateFail[] = "Mirvale: Create Fail For '%s'\n";
constexpr char kWriteFail[] = "Mirvale: Write Fail For '%s'\n";
constexpr char kOpenFail[] = "Mirvale: Open Fail For '%s'\n";
constexpr char kMemoryFail[] = "Mirvale: Memory Fail\n";
constexpr char kScanPhase[] = "Mirvale: Building File List & MD5 Hash...\n";
constexpr char kReportPhase[] = "Mirvale: Searching For Duplicates...\n";

void print_usage(platform::Console& console, const char* argv0) {
  char program[4096];
  platform::program_path(program, sizeof program, argv0);
  console.write(kBanner);
  console.print(kUsage, program);
}

// Answers the only arguments that are not a directory: --help and -h with the
// usage text, --version with the version line. False for any other argument,
// even one that begins with '-': a directory of that name is scanned.
bool answered_option(const char* argument, const char* argv0, platform::Console& console) {
  if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
    print_usage(console, argv0);
    return true;
  }
  if (std::strcmp(argument, "--version") == 0) {
    console.print(kVersion, MIRVALE_VERSION);
    return true;
  }
  return false;
}

// The number of digest threads: that set in the environment, when it is a
// number the queue can use, else one per processor online. Each thread keeps
// a file open in every lane of its engine, so one per processor already has
// reads in flight on a cold disk; more only share out the files that fill
// the lanes, and the lanes of each run emptier.
unsigned digest_workers() {
  const char* value = platform::environment_value(kThreadsVariable);
  if (value != nullptr && *value != '\0' && std::strlen(value) <= 2) {
    unsigned count = 0;
    const char* p = value;
    for (; *p >= '0' && *p <= '9'; ++p) count = count * 10 + static_cast<unsigned>(*p - '0');
    if (*p == '\0' && count <= DigestQueue::kMaxWorkers) return count;
  }
  return platform::online_processor_count();
}

}  // namespace

int run_mirvale(int argc, char** argv, platform::Console& console) {
  if (argc == 2 && answered_option(argv[1], argv[0], console)) return kExitCompleted;
  if (argc != 2 || std::strlen(argv[1]) >= ScanPath::kCapacity) {
    print_usage(console, argc > 0 ? argv[0] : nullptr);
    return kExitUsage;
  }
  // The more descriptors, the fewer listings a deep tree gives up and reopens.
  platform::raise_open_file_limit();
  // A run that cannot have its memory ends before it touches any file.
  std::unique_ptr<Run> run(new (std::nothrow) Run(console));
  if (!run || !run->allocate()) {
    console.write(kMemoryFail);
    return kExitFailed;
  }
  run->start_workers(digest_workers());
  return run->execute(argv[1]);
}

Run::Run(platform::Console& console)
    : console_(console),
      names_(scan_path_),
      confirmation_(tree_, names_, budget_, twins_),
      queue_(census_, budget_, twins_, io_buffer_),
      scan_(scan_path_, names_, tree_, census_, queue_, budget_, console_),
      report_(
          {tree_, names_, scan_path_, io_buffer_, console_, log_handle_, queue_, confirmation_}) {
  build_file_names();
}

void Run::build_file_names() {
  const char* prefix = "";  // the working files lie in the current directory
  std::snprintf(name_store_file_name_, kFileNameSize, "%sMIRVALE.NMS", prefix);
  std::snprintf(log_file_name_, kFileNameSize, "%sMIRVALE.LOG", prefix);
  std::snprintf(tree_file_name_, kFileNameSize, "%sMIRVALE.ST", prefix);
}

int Run::execute(const char* start_path) {
  // Two runs in one directory would delete each other's working files.
  platform::FileHandle lock;
  if (platform::lock_current_directory(lock) == platform::LockResult::busy) {
    console_.print(kCreateFail, name_store_file_name_, log_file_name_);
    return kExitFailed;
  }
  int status = kExitFailed;
  if (create_working_files()) status = scan_and_report(start_path);
  close_working_files();
  delete_working_files();
  return status;
}

// Deletes what an earlier run left and creates the name store, the log and
// the tree file afresh; prints the create-failure message and returns false
// when one of them cannot be deleted or created. A file is only ever new: an
// old one that stays (owned by someone else in a sticky directory, say) is
// neither reused nor followed.
bool Run::create_working_files() {
  bool names_removed = platform::remove_file(name_store_file_name_);
  bool log_removed = platform::remove_file(log_file_name_);
  bool tree_removed = platform::remove_file(tree_file_name_);
  bool names_open = names_removed && names_.open(name_store_file_name_);
  if (log_removed) log_handle_ = platform::open_working_file(log_file_name_);
  if (!names_open || !log_handle_.valid()) {
    console_.print(kCreateFail, name_store_file_name_, log_file_name_);
    return false;
  }
  if (!tree_removed || !tree_.open_tree(tree_file_name_)) {
    console_.print(kTreeCreateFail, tree_file_name_);
    return false;
  }
  return true;
}

int Run::scan_and_report(const char* start_path) {
  scan_path_.assign(start_path);
  console_.write(kScanPhase);
  // The descriptors open now, the working files among them, stay out of the budget.
  budget_.reset(queue_.workers());
  if (!scan_completed(scan_.run(), start_path)) return kExitFailed;
  console_.write(kReportPhase);
  // Stored paths are the start path, the separator and the names below it.
  confirmation_.begin(scan_.take_start_directory(), std::strlen(start_path) + 1);
  report_.report_duplicates();
  confirmation_.end();
  int status = report_.stack_full() ? kExitFailed : kExitCompleted;
  if (report_.out_of_descriptors()) {
    // The report leaves the path it could not open in the scan path.
    console_.print(kOpenFail, scan_path_.c_str());
    status = kExitFailed;
  }
  if (report_.log_failed()) {
    console_.print(kWriteFail, log_file_name_);
    status = kExitFailed;
  }
  return status;
}

// Prints what stopped the scan, or what failed when the working files wrote
// the bytes they still held in memory; true when nothing did.
bool Run::scan_completed(Scan::Failure failure, const char* start_path) {
  switch (failure) {
    case Scan::Failure::start_path:
      console_.print(kOpenFail, start_path);
      return false;
    case Scan::Failure::out_of_descriptors:
      console_.print(kOpenFail, scan_.failed_path());
      return false;
    case Scan::Failure::name_store:
      console_.print(kWriteFail, name_store_file_name_);
      return false;
    case Scan::Failure::digest_tree:
      console_.print(kWriteFail, tree_file_name_);
      return false;
    case Scan::Failure::none:
      break;
  }
  const char* failed = !names_.flush_names() ? name_store_file_name_
                       : !tree_.write_back() ? tree_file_name_
                                             : nullptr;
  if (failed != nullptr) console_.print(kWriteFail, failed);
  return failed == nullptr;
}

void Run::close_working_files() {
  names_.close();
  log_handle_.close();
  tree_.close_tree();
}

void Run::delete_working_files() {
  platform::remove_file(name_store_file_name_);
  platform::remove_file(tree_file_name_);
}

}  // namespace mirvale
