// The digest queue: the files a walk meets, sized or digested ahead of it by
// worker threads and handed back in the order they were queued, so that
// whatever the threads' timing the scan indexes them in listing order. A file
// is opened only when the size census says that its size may occur twice.
// In the report phase the same threads look at chains of equal digests.
//
// The life of a task, each step at one point. The owner is the one thread
// that queues: the walk's in the scan phase, the report's after it.
//   1. The owner fills a free slot (a file's path goes to the path ring) and
//      stores queued: from then on it writes nothing of the task.
//   2. Whoever takes it, a worker or, when there are none, the owner once it
//      needs the result, does so by one compare-exchange of the state from
//      queued to claimed; it alone then works it out and stores done.
//   3. The owner reads a done task, works it out again if it found no
//      descriptor free, uses it and drops it: the slot is free again.
//
//   state    who may touch the task
//   queued   nobody but the one compare-exchange that claims it
//   claimed  the claimer only
//   done     the owner only (and so while the slot is free)
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

#include "digest/file_digest.h"
#include "digest/md5_lanes.h"
#include "platform/file.h"
#include "platform/file_batch.h"
#include "scan/descriptor_budget.h"
#include "scan/scan_path.h"
#include "scan/size_census.h"
#include "scan/twin_board.h"
#include "types.h"

namespace mirvale {

class DigestQueue {
 public:
  // Tasks queued at once: files of a repeated size may be few among those
  // queued, and a large one at the head of the queue holds up the walk
  // while the lanes run dry of the files behind it.
  static constexpr std::size_t kSlots = 1024;
  // Chain checks queued at once, each with room for its chain's paths.
  static constexpr std::size_t kCheckSlots = 256;
  static_assert(kSlots % kCheckSlots == 0);
  static constexpr unsigned kMaxWorkers = 64;
  // Bytes of the paths of queued files: room for 64 of the longest, and a
  // queue of long paths holds fewer tasks. With less, a deep tree's walk
  // waits on its workers; with more, only the pages the ring cycles through grow.
  static constexpr std::size_t kPathBytes = 256 * 1024;
  static_assert(kPathBytes > ScanPath::kCapacity, "the longest path fits an empty ring");

  enum class Job : std::uint8_t {
    count_size,   // count the file's size in the census
    digest,       // digest the file if its size may occur twice
    check_chain,  // look at a chain of equal digests for the report
  };

  enum class Outcome : std::uint8_t {
    counted,             // a count_size job is done
    digested,            // read to its end; digest holds its MD5
    unique_size,         // no other file has its size, so it was never opened
    unique_prefix,       // no other file of its size begins alike: never read whole
    unreadable,          // gone, no longer a regular file, or it cannot be opened or read
    out_of_descriptors,  // no descriptor was free to open it
    one_class,           // a check_chain job found every file of one content
    mixed,               // a check_chain job found files that differ or cannot be read
  };

  // Bytes a check_chain task keeps of the paths of its chain.
  static constexpr std::size_t kChainPathBytes = 448;

  struct Task;
  // Runs a check_chain job on the thread that works it out, with that
  // thread's buffer and batch: one_class, mixed or out_of_descriptors, and
  // the task's chain paths. checker is the state it was set with.
  using ChainCheck = Outcome (*)(const void* checker, Task& task, IoBuffer& buffer,
                                 platform::FileBatch& batch);

  enum class State : std::uint8_t { queued, claimed, done };

  struct Task {
    platform::DirectoryRef dir;     // where the file lies; open while the task is queued
    std::uint32_t lease = 0;        // the walk's lease on dir, handed back with the task
    NameOffset name_offset = 0;     // the file's record in the name store
    std::uint32_t path_at = 0;      // the file's path in the path ring, zero-terminated
    std::uint16_t path_length = 0;  // bytes of the path
    std::uint16_t name_at = 0;      // where the file's own name starts in its path
    std::uint64_t number = 0;       // its place in the order of the queue
    std::uint32_t chain = 0;        // check_chain: the tree offset of the chain's head
    NameOffset chain_name = 0;      // check_chain: the head's name-store record
    std::uint32_t chain_next = 0;   // check_chain: the record after the head
    std::uint16_t chain_paths_length =
        0;                               // check_chain: bytes in chain_paths; 0 if they did not fit
    Job job = Job::digest;               // what to work out
    Outcome outcome = Outcome::counted;  // what was worked out, once done
    std::atomic<State> state{State::done};  // see the table above
    Md5Digest digest{};                     // the file's MD5, when digested
    std::uint64_t size = 0;                 // the file's size, once opened to be read
    char* chain_paths = nullptr;            // check_chain: kChainPathBytes for the paths read,
                                            // each ended by a zero
  };

  DigestQueue(SizeCensus& census, DescriptorBudget& budget, TwinBoard& twins, IoBuffer& io)
      : census_(census), budget_(budget), twins_(twins), own_buffer_(io), own_digest_(io) {}
  ~DigestQueue();
  DigestQueue(const DigestQueue&) = delete;
  DigestQueue& operator=(const DigestQueue&) = delete;

  // Starts up to count workers, once, before anything is queued; those the
  // system cannot start are done without. With none, every task is worked
  // out on the walk's thread as it is needed, and the queue holds one.
  void start_workers(unsigned count);
  unsigned workers() const { return workers_; }

  bool empty() const { return popped_ == pushed_.load(std::memory_order_relaxed); }
  bool full() const { return pushed_.load(std::memory_order_relaxed) - popped_ == capacity_; }
  // True when a task for a path of length bytes can be queued now.
  bool has_room(std::size_t length) const {
    std::uint32_t at;
    return !full() && place_path(length + 1, at);
  }

  // Queues job for the file at path (name_at: where its name starts), which
  // lies in dir, with the walk's lease and its name-store record; the queue
  // must have room for it.
  void push(Job job, platform::DirectoryRef dir, std::uint32_t lease, std::string_view path,
            std::size_t name_at, NameOffset offset);
  // Makes the queue hold at most kCheckSlots tasks from now on, before the
  // first check is queued; the queue must be empty.
  void begin_checks() { capacity_ = capacity_ < kCheckSlots ? capacity_ : kCheckSlots; }
  // Queues a check of the chain headed at chain, whose head names the file at
  // name and is followed by next, with the check set last; the queue must not
  // be full. A check has no path: checks and files are never queued together.
  void push_check(std::uint32_t chain, NameOffset name, std::uint32_t next);
  // Sets what check_chain jobs run, before any is queued.
  void set_chain_check(ChainCheck check, const void* checker) {
    chain_check_ = check;
    checker_ = checker;
  }
  // True when the queue holds a task and the oldest is worked out.
  bool oldest_ready() const;
  // The oldest task, once worked out; the queue must not be empty.
  Task& oldest();
  // Drops the oldest task.
  void pop() { ++popped_; }
  // Waits until a quarter of the tasks of a full queue are worked out, so
  // that the walk sleeps once for many of them.
  void wait_for_room();
  // Waits until every queued task is worked out, and so no worker holds a file.
  void wait_for_all();
  // Works task (done, still queued) out again on the calling thread.
  void redo(Task& task) { work_out(task, own_digest_, own_buffer_, own_batch_); }
  // Closes the files of the leaders the twin board keeps open, giving their
  // descriptors back: when no later file is to follow them, or when the
  // walk is short of descriptors. False when it kept none.
  bool let_go_twins();
  // Drops every task, cutting short the reads of those being worked out, and
  // returns once no worker touches one.
  void abandon();
  // The path of a queued task.
  std::string_view path(const Task& task) const {
    return {paths_ + task.path_at, task.path_length};
  }

 private:
  std::uint64_t pushed() const { return pushed_.load(std::memory_order_relaxed); }

  // Bytes a worker's lane reads of its file at a time.
  static constexpr std::size_t kLaneChunk = 32 * 1024;

  // One lane of a worker's MD5 engine and the file it digests.
  struct Lane {
    Task* task = nullptr;       // the claimed task, while the lane holds its file
    platform::FileHandle file;  // the file, open, its descriptor taken from the budget
    std::uint64_t size = 0;     // its size as found before the open
    std::uint64_t read = 0;     // bytes read so far
    bool ended = false;         // the chunk fed last ends the file
    int twin = -1;              // its entry on the twin board, while it leads there
    alignas(64) unsigned char chunk[kLaneChunk];  // the bytes lent to the lane
  };

  // A worker digests the files of as many tasks at once as its engine has
  // lanes; other jobs it works out one at a time with its buffer.
  struct Worker {
    platform::FileBatch batch;  // opens the files of its lanes together
    bool ring_tried = false;    // whether batch has been offered a ring
    IoBuffer buffer;            // check_chain jobs, and the census's first blocks
    FileDigest digest{buffer};  // unused by the lanes; work_out's one-stream engine
    Md5Lanes md5;               // the widest kernel of the processor
    int active = 0;             // lanes holding a file
    Lane lane[kMd5MaxLanes];    // md5.lanes() of them used
    std::thread thread;
  };

  // Files of count_size tasks whose first blocks wait to be counted together.
  struct PrefixBatch {
    Task* task[platform::FileBatch::kMaxFiles];
    std::uint64_t size[platform::FileBatch::kMaxFiles];  // each file's size as counted
    unsigned count = 0;
  };

  Task& slot(std::uint64_t number) { return slots_[number % kSlots]; }
  const Task& slot(std::uint64_t number) const { return slots_[number % kSlots]; }
  bool place_path(std::size_t size, std::uint32_t& at) const;
  void publish(Task& task, std::uint64_t number);
  void serve(Worker& worker);
  bool wants_files(const Worker& worker) const;
  bool fill_lanes(Worker& worker);
  void offer_ring(Worker& worker);
  void start_batch(Worker& worker, Task* const* tasks, int count);
  void read_small_files(Worker& worker, const int* lanes, int count);
  void start_lane(Worker& worker, int lane, Task& task);
  void begin_lane(Worker& worker, int lane, Task& task, std::uint64_t size);
  bool follows_twin(Worker& worker, int lane);
  void hand_over(Worker& worker, const TwinBoard::Handover& handover, const Md5Digest& digest);
  bool feed_lane(Worker& worker, int lane);
  void run_lanes(Worker& worker);
  void end_lane(Worker& worker, int lane, Outcome outcome);
  bool claim(Task& task);
  Task* claim_next();
  void work_out(Task& task, FileDigest& digest, IoBuffer& buffer, platform::FileBatch& batch) const;
  bool file_size(Task& task, std::uint64_t& size) const;
  bool count_size(Task& task, std::uint64_t& size) const;
  bool candidate_size(Task& task, std::uint64_t& size) const;
  void count_file(Worker& worker, Task& task, PrefixBatch& batch);
  void count_prefixes(Worker& worker, PrefixBatch& batch);
  bool worth_reading(Task& task, platform::FileBatch::Open& open) const;
  void count_prefix(Task& task, std::uint64_t size) const;
  bool prefix_may_repeat(Task& task, std::uint64_t size, platform::FileHandle& file) const;
  bool open_candidate(Task& task, std::uint64_t& size, platform::FileHandle& file) const;
  bool prepare_open(Task& task, platform::FileBatch::Open& open) const;
  bool accept_open(Task& task, platform::FileBatch::Open& open) const;
  void finish(Task& task, FileDigest& digest, IoBuffer& buffer, platform::FileBatch& batch);
  void complete(Task& task);
  void wait_until_done(std::uint64_t number);
  void wake_workers(bool all);

  SizeCensus& census_;
  DescriptorBudget& budget_;
  TwinBoard& twins_;
  IoBuffer& own_buffer_;           // the walk's buffer, for the tasks worked out on its thread
  FileDigest own_digest_;          // for the tasks worked out on the walk's thread
  platform::FileBatch own_batch_;  // the same, with the single calls
  std::size_t capacity_ = 1;
  unsigned workers_ = 0;
  std::unique_ptr<Worker> worker_[kMaxWorkers];
  ChainCheck chain_check_ = nullptr;  // what check_chain jobs run
  const void* checker_ = nullptr;     // the state chain_check_ is given

  std::uint64_t popped_ = 0;                               // the walk's own
  std::uint32_t path_end_ = 0;                             // the walk's own: after the newest path
  std::atomic<std::uint64_t> pushed_{0};                   // written by the walk only
  std::atomic<std::uint64_t> next_claim_{0};               // no task below it is left to claim
  std::atomic<std::uint64_t> awaited_{~std::uint64_t{0}};  // the task the walk sleeps on
  std::atomic<unsigned> idle_{0};                          // workers asleep or falling asleep
  std::atomic<unsigned> hashing_{0};                       // workers with a file in a lane
  std::atomic<bool> cancelled_{false};  // tasks are dropped: skip them, stop reads
  bool stopping_ = false;               // workers end; under mutex_
  std::mutex mutex_;
  std::condition_variable work_ready_;  // workers sleep here
  std::condition_variable task_done_;   // the walk sleeps here
  Task slots_[kSlots];
  char check_paths_[kCheckSlots][kChainPathBytes];  // the chain paths of queued checks
  char paths_[kPathBytes];  // the paths of queued tasks, oldest to newest, wrapping once
};

}  // namespace mirvale
