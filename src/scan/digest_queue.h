// The digest queue: the files a walk meets, sized or digested ahead of it by
// worker threads and handed back in the order they were queued, so that
// whatever the threads' timing the walk indexes them in listing order. A file
// is opened only when the size census says that its size may occur twice.
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
#include "platform/file.h"
#include "scan/size_census.h"
#include "types.h"

namespace mirvale {

class DigestQueue {
 public:
  static constexpr std::size_t kSlots = 256;
  static constexpr unsigned kMaxWorkers = 64;

  enum class Job : std::uint8_t {
    count_size,   // count the file's size in the census
    digest,       // digest the file if its size may occur twice
    check_chain,  // look at a chain of equal digests for the report
  };

  enum class Outcome : std::uint8_t {
    counted,             // a count_size job is done
    digested,            // read to its end; digest holds its MD5
    unique_size,         // no other file has its size, so it was never opened
    unreadable,          // gone, no longer a regular file, or it cannot be opened or read
    out_of_descriptors,  // no descriptor was free to open it
    one_class,           // a check_chain job found every file of one content
    mixed,               // a check_chain job found files that differ or cannot be read
  };

  // Runs a check_chain job on the thread that works it out, with that
  // thread's buffer: one_class, mixed or out_of_descriptors. checker is the
  // state it was set with.
  using ChainCheck = Outcome (*)(const void* checker, std::uint32_t chain, IoBuffer& buffer);

  struct Task {
    platform::DirectoryRef dir;  // the walk keeps it open until the task is dropped
    NameOffset name_offset = 0;  // the file's record in the name store
    std::uint32_t chain = 0;     // check_chain: the tree offset of the chain's head
    Job job = Job::digest;
    Outcome outcome = Outcome::unreadable;
    Md5Digest digest{};
    std::atomic<bool> done{false};
    char name[256];  // the file's name in dir, zero-terminated
  };

  // With no workers every task is worked out on the calling thread as it is
  // queued, and the queue holds one task: the walk of the original design.
  DigestQueue(SizeCensus& census, IoBuffer& io, unsigned workers);
  ~DigestQueue();
  DigestQueue(const DigestQueue&) = delete;
  DigestQueue& operator=(const DigestQueue&) = delete;

  unsigned workers() const { return workers_; }
  bool empty() const { return popped_ == pushed_.load(std::memory_order_relaxed); }
  bool full() const { return pushed_.load(std::memory_order_relaxed) - popped_ == capacity_; }
  // Tasks ever queued and ever dropped: a task queued as number n (from 0) is
  // finished with once popped() exceeds n.
  std::uint64_t pushed() const { return pushed_.load(std::memory_order_relaxed); }
  std::uint64_t popped() const { return popped_; }

  // Queues job for the file name of dir, whose record is at offset; the queue
  // must not be full.
  void push(Job job, platform::DirectoryRef dir, std::string_view name, NameOffset offset);
  // Queues a check of the chain headed at chain with the check set last; the
  // queue must not be full.
  void push_check(std::uint32_t chain);
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
  // Works the oldest task out again on the calling thread, once no other task
  // holds a file open: after a shortage of descriptors.
  void redo_oldest();
  // Waits until every queued task is worked out, and so no worker holds a file.
  void wait_for_all();
  // Drops every task, cutting short the reads of those being worked out, and
  // returns once no worker touches one.
  void abandon();

 private:
  void start_workers(unsigned count);
  void publish(Task& task, std::uint64_t number);
  void serve(FileDigest& digest, IoBuffer& buffer);
  bool claim(std::uint64_t& number);
  void work_out(Task& task, FileDigest& digest, IoBuffer& buffer) const;
  void wait_until_done(std::uint64_t number);
  void wake_workers(bool all);

  struct Worker {
    IoBuffer buffer;
    FileDigest digest{buffer};
    std::thread thread;
  };

  SizeCensus& census_;
  IoBuffer& own_buffer_;   // the walk's buffer, for the tasks worked out on its thread
  FileDigest own_digest_;  // for the tasks worked out on the walk's thread
  std::size_t capacity_ = 1;
  unsigned workers_ = 0;
  std::unique_ptr<Worker[]> worker_;
  ChainCheck chain_check_ = nullptr;  // what check_chain jobs run
  const void* checker_ = nullptr;     // the state chain_check_ is given

  std::uint64_t popped_ = 0;                               // the walk's own
  std::atomic<std::uint64_t> pushed_{0};                   // written by the walk only
  std::atomic<std::uint64_t> claimed_{0};                  // tasks taken by workers
  std::atomic<std::uint64_t> awaited_{~std::uint64_t{0}};  // the task the walk sleeps on
  std::atomic<unsigned> idle_{0};                          // workers asleep or falling asleep
  std::atomic<bool> cancelled_{false};  // tasks are dropped: skip them, stop reads
  bool stopping_ = false;               // workers end; under mutex_
  std::mutex mutex_;
  std::condition_variable work_ready_;  // workers sleep here
  std::condition_variable task_done_;   // the walk sleeps here
  Task slots_[kSlots];
};

}  // namespace mirvale
