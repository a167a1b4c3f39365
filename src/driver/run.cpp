// The run driver: usage text, working files, scan phase, report phase and
// clean-up, with the driver's few messages.
#include "driver/run.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/process.h"
#include "scan/walk.h"

namespace mirvale {

namespace {

constexpr char kBanner[] = "Mirvale. Finds files with identical content below a directory.\n";
constexpr char kUsage[] = "Mirvale: Use Load %s <path>";
constexpr char kCreateFail[] = "Mirvale: Create Fail For '%s'|'%s'\n";
constexpr char kTreeCreateFail[] = "Mirvale: Create Fail For '%s'\n";
constexpr char kWriteFail[] = "Mirvale: Write Fail For '%s'\n";
constexpr char kScanPhase[] = "Mirvale: Building File List & MD5 Hash...\n";
constexpr char kReportPhase[] = "Mirvale: Searching For Duplicates...\n";

void print_usage(platform::Console& console, const char* argv0) {
  char program[4096];
  platform::program_path(program, sizeof program, argv0);
  console.write(kBanner);
  console.print(kUsage, program);
}

}  // namespace

int run_mirvale(int argc, char** argv, platform::Console& console) {
  if (argc != 2 || std::strlen(argv[1]) >= ScanPath::kCapacity) {
    print_usage(console, argc > 0 ? argv[0] : nullptr);
    return kExitUsage;
  }
  // A deep tree needs one descriptor per level.
  platform::raise_open_file_limit();
  auto run = std::make_unique<Run>(console);
  return run->execute(argv[1]);
}

Run::Run(platform::Console& console)
    : console_(console),
      names_(scan_path_),
      digest_(scan_path_, io_buffer_),
      report_(tree_, names_, scan_path_, io_buffer_, console_, log_handle_) {
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
  platform::remove_file(name_store_file_name_);
  platform::remove_file(log_file_name_);
  platform::remove_file(tree_file_name_);
  int status = kExitFailed;
  if (create_working_files()) status = scan_and_report(start_path);
  close_working_files();
  delete_working_files();
  return status;
}

// Opens the name store, the log and the tree file; prints the create-failure
// message and returns false when one of them cannot be opened.
bool Run::create_working_files() {
  bool names_open = names_.open(name_store_file_name_);
  log_handle_ = platform::open_working_file(log_file_name_);
  if (!names_open || !log_handle_.valid()) {
    console_.print(kCreateFail, name_store_file_name_, log_file_name_);
    return false;
  }
  if (!tree_.open_tree(tree_file_name_)) {
    console_.print(kTreeCreateFail, tree_file_name_);
    return false;
  }
  return true;
}

int Run::scan_and_report(const char* start_path) {
  scan_path_.assign(start_path);
  console_.write(kScanPhase);
  names_.reset_offset();
  Walk walk(scan_path_, names_, digest_, tree_, console_);
  walk.walk_directory();
  if (const char* failed = failed_scan_file(walk)) {
    console_.print(kWriteFail, failed);
    return kExitFailed;
  }
  console_.write(kReportPhase);
  report_.report_duplicates();
  int status = report_.stack_full() ? kExitFailed : kExitCompleted;
  if (report_.log_failed()) {
    console_.print(kWriteFail, log_file_name_);
    status = kExitFailed;
  }
  return status;
}

// The working file whose write failed during the scan or when the bytes it
// still held in memory were written at its end; null when all are written.
const char* Run::failed_scan_file(const Walk& walk) {
  switch (walk.failure()) {
    case Walk::Failure::name_store:
      return name_store_file_name_;
    case Walk::Failure::digest_tree:
      return tree_file_name_;
    case Walk::Failure::none:
      break;
  }
  if (!names_.flush_names()) return name_store_file_name_;
  if (!tree_.write_back()) return tree_file_name_;
  return nullptr;
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
