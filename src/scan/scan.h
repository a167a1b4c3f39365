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
#include "scan/name_store.h"
#include "scan/scan_path.h"
#include "scan/size_census.h"

namespace mirvale {

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
  // Scans the directory named by the scan path: counts the sizes of its
  // files, then lists, stores and indexes them. The scan path holds the same
  // string again afterwards, but after a shortage of descriptors.
  Failure run();
  // After a shortage of descriptors, the path that could not be opened.
  const char* failed_path() const { return path_.c_str(); }
  // After a completed run, the start directory as the walk listed it; its
  // descriptor stays taken from the budget until the taker gives it back.
  platform::FileHandle take_start_directory() { return walk_.take_start_directory(); }

 private:
  void count_sizes();
  void list_files();
  template <typename HandleFile>
  void walk_files(HandleFile handle_file);
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
};

}  // namespace mirvale
