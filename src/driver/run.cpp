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

constexpr char kScanPhase[] = "Mirvale: Building File List & MD5 Hash...\n";
constexpr char kReportPhase[] = "Mirvale: Searching For Duplicates...\n";
constexpr char kGivenTwice[] = "Mirvale: Directory Given Twice '%s'|'%s'\n";
constexpr char kLiesBelow[] = "Mirvale: Directory '%s' Lies Below '%s'\n";
constexpr char kKeepInOutside[] = "Mirvale: Directory '%s' Lies Below No Directory Given\n";

// Descriptors the table has room for from the start.
constexpr std::uint64_t kDescriptorTable = 1024;

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
  Settings settings;
  switch (read_command_line(argc, argv, settings, console)) {
    case CommandLine::answered:
      return kExitCompleted;
    case CommandLine::refused:
      return kExitUsage;
    case CommandLine::run:
      break;
  }
  // The more descriptors, the fewer listings a deep tree gives up and reopens.
  platform::raise_open_file_limit();
  // Room, while one thread runs, for the descriptors a run commonly holds at
  // once: a listing a level of a deep walk, a kept file a group acted on.
  platform::reserve_descriptor_table(kDescriptorTable);
  // A run that cannot have its memory ends before it touches any file.
  std::unique_ptr<Run> run(new (std::nothrow) Run(console, settings));
  if (!run) {
    Messages(console).say(kMemoryFail);
    return kExitFailed;
  }
  if (!run->allocate()) return run->fail_for_memory();
  const int refused = run->check_directories();
  if (refused >= 0) return refused;
  run->start_workers(digest_workers());
  return run->execute();
}

Run::Run(platform::Console& console, const Settings& settings)
    : console_(console),
      settings_(settings),
      messages_(console),
      json_(console),
      names_(scan_path_),
      confirmation_(tree_, names_, budget_, twins_),
      queue_(census_, budget_, twins_, io_buffer_),
      scan_(scan_path_, names_, tree_, census_, queue_, budget_, console_),
      reclaim_(console, settings.json ? &json_ : nullptr),
      report_({tree_, names_, scan_path_, io_buffer_, console_, log_handle_, queue_, confirmation_,
               settings.json ? &json_ : nullptr,
               settings.reclaim.kind != ActionKind::none ? &reclaim_ : nullptr}),
      progress_(census_) {
  build_file_names();
  roots_.assign(settings.directories, settings.directory_count);
  if (settings.json) messages_.send_to(&json_);
}

int Run::fail_for_memory() {
  if (settings_.json) json_.begin(roots_);
  messages_.say(kMemoryFail);
  if (settings_.json) json_.finish(0, 0);
  return kExitFailed;
}

// Several directories are each opened, and refused when one cannot be or
// two overlap, before any file is touched. A single one is opened where the
// scan starts, and one that cannot be is reported there, as it always was.
int Run::check_directories() {
  const std::size_t outside = reclaim_.prepare(settings_.reclaim, roots_);
  if (outside < settings_.reclaim.keep_in_count) {
    console_.print(kKeepInOutside, settings_.reclaim.keep_in[outside]);
    return kExitUsage;
  }
  if (roots_.count() == 1) return -1;
  const std::size_t failed = roots_.open_all();
  if (failed < roots_.count()) {
    if (settings_.json) json_.begin(roots_);
    messages_.say(kOpenFail, roots_[failed].path);
    if (settings_.json) json_.finish(0, 0);
    return kExitFailed;
  }
  std::size_t upper;
  std::size_t lower;
  if (!roots_.find_overlap(upper, lower)) return -1;
  if (roots_[upper].id == roots_[lower].id)
    console_.print(kGivenTwice, roots_[upper].path, roots_[lower].path);
  else
    console_.print(kLiesBelow, roots_[lower].path, roots_[upper].path);
  return kExitUsage;
}

void Run::build_file_names() {
  const char* prefix = "";  // the working files lie in the current directory
  std::snprintf(name_store_file_name_, kFileNameSize, "%sMIRVALE.NMS", prefix);
  std::snprintf(log_file_name_, kFileNameSize, "%sMIRVALE.LOG", prefix);
  std::snprintf(tree_file_name_, kFileNameSize, "%sMIRVALE.ST", prefix);
}

int Run::execute() {
  if (settings_.json) json_.begin(roots_);
  // Two runs in one directory would delete each other's working files.
  platform::FileHandle lock;
  int status = kExitFailed;
  if (platform::lock_current_directory(lock) == platform::LockResult::busy) {
    messages_.say(kCreateFail, name_store_file_name_, log_file_name_);
  } else {
    if (create_working_files()) status = scan_and_report();
    close_working_files();
    delete_working_files();
  }
  if (settings_.json) json_.finish(scan_.counts().files_listed, scan_.counts().bytes_digested);
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
    messages_.say(kCreateFail, name_store_file_name_, log_file_name_);
    return false;
  }
  if (!tree_removed || !tree_.open_tree(tree_file_name_)) {
    messages_.say(kTreeCreateFail, tree_file_name_);
    return false;
  }
  return true;
}

int Run::scan_and_report() {
  print_phase(kScanPhase);
  // The descriptors open now, the working files among them, stay out of the budget.
  budget_.reset(queue_.workers());
  const bool listing = !settings_.quiet && !settings_.json;
  ScanRequest request{settings_.filter, listing, {this, &on_too_long, nullptr}};
  // Standard error is the place for progress only while standard output is
  // kept for the groups.
  if (settings_.quiet || settings_.json) {
    request.events.progress = &on_progress;
    progress_.start();
  }
  const Scan::Failure failure = scan_.run(roots_, request);
  progress_.erase();
  if (!scan_completed(failure)) return kExitFailed;
  print_phase(kReportPhase);
  confirmation_.begin(roots_);
  if (reclaim_.active()) reclaim_.start(budget_, queue_.workers());
  report_.report_duplicates();
  if (reclaim_.active()) reclaim_.summarise();
  confirmation_.end();
  return report_status();
}

// The status of a run whose scan completed, after the messages of what
// failed in the report; an entry skipped for its long path fails the run.
int Run::report_status() {
  int status = scan_.counts().too_long > 0 || reclaim_.failed() ? kExitFailed : kExitCompleted;
  if (report_.stack_full()) {
    if (settings_.json) messages_.say(kStackFull);
    status = kExitFailed;
  }
  if (report_.out_of_descriptors()) {
    // The report leaves the path it could not open in the scan path.
    messages_.say(kOpenFail, scan_path_.view());
    status = kExitFailed;
  }
  if (report_.log_failed()) {
    messages_.say(kWriteFail, log_file_name_);
    status = kExitFailed;
  }
  return status;
}

// Prints what stopped the scan, or what failed when the working files wrote
// the bytes they still held in memory; true when nothing did.
bool Run::scan_completed(Scan::Failure failure) {
  switch (failure) {
    case Scan::Failure::start_path:
    case Scan::Failure::out_of_descriptors:
      messages_.say(kOpenFail, scan_.failed_path());
      return false;
    case Scan::Failure::name_store:
      messages_.say(kWriteFail, name_store_file_name_);
      return false;
    case Scan::Failure::digest_tree:
      messages_.say(kWriteFail, tree_file_name_);
      return false;
    case Scan::Failure::none:
      break;
  }
  const char* failed = !names_.flush_names() ? name_store_file_name_
                       : !tree_.write_back() ? tree_file_name_
                                             : nullptr;
  if (failed != nullptr) messages_.say(kWriteFail, failed);
  return failed == nullptr;
}

void Run::print_phase(const char* text) {
  if (!settings_.quiet && !settings_.json) console_.write(text);
}

void Run::on_too_long(void* run, std::string_view directory, std::string_view name) {
  static_cast<Run*>(run)->messages_.say(kLengthFail, directory, name);
}

void Run::on_progress(void* run, const ScanCounts& counts) {
  static_cast<Run*>(run)->progress_.show(counts);
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
