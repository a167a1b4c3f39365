// The insertion queue: digests handed over by the scan and inserted into the
// digest tree, in the order handed over, by a thread of its own, so that the
// walk does not wait on the tree's reads and writes.
//
// The life of an entry: the scan fills the slot after the newest and then
// publishes it by advancing pushed_; from then on only the inserting thread
// reads it, and once inserted it advances inserted_, which frees the slot.
// Each counter has one writer. The tree belongs to the inserting thread from
// the first push until finish returns; without that thread (none started, or
// the system could not start it) push inserts at once on the caller's thread.
//
// Once every lead of the tree is in memory, the caller's thread also takes
// each insertion down the leads before it hands it over (plan_insertion), so
// that the inserting thread has only the part in the file left, the part
// that costs system calls: the two halves of the insertions run at once.
// The leads of the records in the tree proper are then the caller's, until
// finish, and everything else the inserting thread's.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "index/digest_tree.h"
#include "types.h"

namespace mirvale {

class InsertQueue {
 public:
  explicit InsertQueue(DigestTree& tree) : tree_(tree) {}
  ~InsertQueue();
  InsertQueue(const InsertQueue&) = delete;
  InsertQueue& operator=(const InsertQueue&) = delete;

  // Starts the inserting thread, once, before anything is pushed; false when
  // the system cannot start it, and push then inserts on its caller's thread.
  bool start();
  // Hands a digest and its name offset over for insertion. False once an
  // insertion has failed, this one or an earlier one: the tree must then not
  // be used further.
  bool push(const Md5Digest& digest, NameOffset name_offset);
  // Waits until every digest handed over is inserted, so that the tree is
  // the caller's again; false when an insertion failed.
  bool finish();

 private:
  // Slots of the ring; the walk waits when it is this far ahead.
  static constexpr std::size_t kSlots = 1024;
  // A sleeping side is woken once this many entries wait for it, or this
  // many slots are free again, so that each side sleeps once for many.
  static constexpr std::uint64_t kWakeBatch = 64;

  struct Entry {
    Md5Digest digest{};          // the file's digest
    NameOffset name_offset = 0;  // where the file's path is in the name store
    InsertPlan plan{};           // what is left of its insertion
  };

  void serve();
  // Plans the insertion of digest, once every lead is in memory; false when
  // the planning fails.
  bool plan(const Md5Digest& digest, InsertPlan& plan);
  // Waits until every entry handed over is inserted.
  void drain();
  // Inserts the entry numbered next; notes a failure instead after one.
  void insert(std::uint64_t next);
  // The inserting thread sleeps until enough entries wait, or the walk
  // finishes or stops; false when it is to stop.
  bool wait_for_work(std::uint64_t next);

  DigestTree& tree_;
  std::array<Entry, kSlots> ring_{};          // entry n in slot n % kSlots
  std::atomic<std::uint64_t> pushed_{0};      // entries published, written by the walk only
  std::atomic<std::uint64_t> inserted_{0};    // entries done, written by the inserter only
  std::atomic<bool> failed_{false};           // an insertion failed
  std::atomic<bool> inserter_asleep_{false};  // the inserting thread waits for work
  std::atomic<bool> walk_asleep_{false};      // the walk waits for room or for the end
  std::mutex mutex_;                          // guards falling asleep and waking up
  std::condition_variable work_ready_;        // wakes the inserting thread
  std::condition_variable room_ready_;        // wakes the walk
  bool finishing_ = false;                    // under mutex_: the walk waits for the last entries
  bool stopping_ = false;                     // under mutex_: the thread is to end
  bool started_ = false;                      // the inserting thread runs
  bool planning_ = false;                     // the caller's: insertions are planned
  std::uint32_t next_record_ = 0;             // the caller's, planning: the next record's offset
  std::uint64_t plan_check_ = 0;              // the caller's: when to see if planning may begin
  std::thread thread_;                        // the inserting thread, once started
};

}  // namespace mirvale
