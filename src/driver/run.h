// The run driver: the command line, the directories' check, the working
// files and the two phases of a run, scan and report, in order.
#pragma once

#include "driver/messages.h"
#include "driver/options.h"
#include "driver/progress.h"
#include "index/digest_tree.h"
#include "platform/console.h"
#include "platform/file.h"
#include "report/confirm.h"
#include "report/json_report.h"
#include "report/report.h"
#include "scan/descriptor_budget.h"
#include "scan/digest_queue.h"
#include "scan/name_store.h"
#include "scan/scan.h"
#include "scan/scan_path.h"
#include "scan/scan_roots.h"
#include "scan/size_census.h"
#include "types.h"

namespace mirvale {

// Exit statuses of a run.
constexpr int kExitCompleted = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The environment variable that sets the number of digest threads; 0 digests
// every file on the walk's own thread.
constexpr char kThreadsVariable[] = "MIRVALE_THREADS";

// Answers --help, -h or --version, or runs the tool on the directories of
// its command line; returns the exit status.
int run_mirvale(int argc, char** argv, platform::Console& console);

// The state of one run past the argument check; large, so it lives on the heap.
class Run {
 public:
  static constexpr size_t kFileNameSize = 100;

  // settings must outlive the run.
  Run(platform::Console& console, const Settings& settings);
  // Allocates what the run needs beyond the object itself; false when the
  // memory is not there. Called before any worker starts, so that no
  // worker's stack takes the memory of anything else.
  bool allocate() { return tree_.allocate() && reclaim_.allocate(settings_.reclaim); }
  // Says that the memory was not there; the exit status.
  int fail_for_memory();
  // Opens the directories to scan and checks that no two overlap, before
  // anything is touched; the exit status when the run is to end here, or -1.
  int check_directories();
  // Starts up to workers threads that digest files ahead of the walk and,
  // when any started, the one that inserts their digests into the tree.
  void start_workers(unsigned workers) {
    queue_.start_workers(workers);
    if (queue_.workers() > 0) scan_.start_inserting();
  }
  // Scans the directories and reports.
  int execute();

 private:
  void build_file_names();
  bool create_working_files();
  int scan_and_report();
  bool scan_completed(Scan::Failure failure);
  int report_status();
  void close_working_files();
  void delete_working_files();
  void print_phase(const char* text);
  static void on_too_long(void* run, std::string_view directory, std::string_view name);
  static void on_progress(void* run, const ScanCounts& counts);

  platform::Console& console_;
  const Settings& settings_;
  Messages messages_;
  JsonReport json_;
  ScanRoots roots_;
  char name_store_file_name_[kFileNameSize];  // "MIRVALE.NMS"
  char log_file_name_[kFileNameSize];         // "MIRVALE.LOG"
  char tree_file_name_[kFileNameSize];        // "MIRVALE.ST"
  ScanPath scan_path_;
  IoBuffer io_buffer_;
  NameStore names_;
  platform::FileHandle log_handle_;
  DigestTree tree_;
  TwinBoard twins_;  // before the confirmation and the queue, which keep it
  Confirmation confirmation_;
  SizeCensus census_;
  DescriptorBudget budget_;
  DigestQueue queue_;
  Scan scan_;
  Reclaim reclaim_;  // before the report, which hands it the groups
  Report report_;
  Progress progress_;
};

}  // namespace mirvale
