// The scan phase: a size census of the tree below the start directory, then
// the listing pass that prints each file, stores its path and queues it to be
// digested, folding the finished tasks into the digest tree in the order the
// files were met. The scan owns the loop; the directory walk yields the
// files, the digest queue works them out.
#pragma once

#include "index/digest_tree.h"
#include "index/insert_queue.h"
#include "platform/console.h"
#include "scan/descriptor_budget.h"
#include "scan/digest_queue.h"
#include "scan/directory_walk.h"
#include "scan/entry_filter.h"
#include "scan/name_store.h"
#include "scan/scan_path.h"
#include "scan/scan_roots.h"
#include "scan/size_census.h"

namespace mirvale {

// What a scan has done so far.
struct ScanCounts {
  std::uint64_t files_found = 0;     // files met by the size count
  std::uint64_t files_listed = 0;    // files printed or stored
  std::uint64_t bytes_digested = 0;  // bytes of the files digested
  std::uint64_t too_long = 0;        // entries skipped, their paths too long to hold
};

// Who hears of what a scan meets besides its files; each hook may be null.
struct ScanEvents {
  void* context = nullptr;  // handed to each hook
  // An entry called name in the directory at path was skipped: its path would not fit.
  void (*too_long)(void* context, std::string_view path, std::string_view name) = nullptr;
  // Called as files are listed and digested, for a progress line.
  void (*progress)(void* context, const ScanCounts& counts) = nullptr;
};

// What a scan is asked for beyond its directories.
struct ScanRequest {
  const EntryFilter& filter;  // what the walk leaves out
  bool print_files = true;    // each file listed gets a line on the console
  ScanEvents events;
};

// A shortage of descriptors is answered in this order: the walk gives up
// listings no queued file is lent; then the queue is worked out and folded,
// which releases every lease and every file; only a shortage with nothing
// queued ends the scan. A file that found no descriptor free is worked out
// again on the walk's thread when its turn comes to be folded.
class Scan {
 public:
  // What stopped the scan early, if anything.
  enum class Failure {
    none,
    start_path,          // the start path cannot be listed as a directory
    out_of_descriptors,  // something could not be opened; failed_path() names it
    name_store,          // a name-store write failed
    digest_tree,         // an insertion into the digest tree failed
  };

  Scan(ScanPath& path, NameStore& names, DigestTree& tree, SizeCensus& census, DigestQueue& queue,
       DescriptorBudget& budget, platform::Console& console)
      : path_(path),
        names_(names),
        inserts_(tree),
        census_(census),
        queue_(queue),
        console_(console),
        walk_(path, budget) {}
  Scan(const Scan&) = delete;
  Scan& operator=(const Scan&) = delete;

  // Starts the thread that inserts digests into the tree, before the run;
  // without it they are inserted on the walk's thread.
  void start_inserting() { inserts_.start(); }
  // Scans the directories of roots, one after another: counts the sizes of
  // their files, then lists, stores and indexes them, noting in each root
  // where its records start. request must outlive the run.
  Failure run(ScanRoots& roots, const ScanRequest& request);
  // After a failure, the path that could not be opened.
  const char* failed_path() const { return path_.c_str(); }
  const ScanCounts& counts() const { return counts_; }

 private:
  void count_sizes(const ScanRoot& root);
  void list_files(ScanRoot& root);
  void list_file();
  void report_too_long();
  template <typename HandleFile>
  void walk_files(const ScanRoot& root, bool listing, HandleFile handle_file);
  void answer_shortage();
  void queue_file(DigestQueue::Job job, NameOffset offset);
  void make_room(std::size_t path_length);
  void fold_ready();
  void fold_oldest();
  void drain();
  void redo(DigestQueue::Task& task);

  ScanPath& path_;
  NameStore& names_;
  InsertQueue inserts_;
  SizeCensus& census_;
  DigestQueue& queue_;
  platform::Console& console_;
  DirectoryWalk walk_;
  Failure failure_ = Failure::none;
  const ScanRequest* request_ = nullptr;  // that of the run under way
  ScanCounts counts_;
};

}  // namespace mirvale
