// The digest queue: the files a walk meets, digested ahead of it by worker
// threads and handed back in the order they were queued, so that whatever the
// threads' timing the walk indexes them in listing order. A file is opened
// only when the size census says that its size may occur twice.
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

  enum class Outcome : std::uint8_t {
    digested,            // read to its end; digest holds its MD5
    unique_size,         // no other file has its size, so it was never opened
    unreadable,          // gone, no longer a regular file, or it cannot be opened or read
    out_of_descriptors,  // no descriptor was free to open it
  };

  struct Task {
    platform::DirectoryRef dir;  // the walk keeps it open until the task is dropped
    NameOffset name_offset = 0;  // the file's record in the name store
    Outcome outcome = Outcome::unreadable;
    Md5Digest digest{};
    std::atomic<bool> done{false};
    char name[256];  // the file's name in dir, zero-terminated
  };

  // With no workers every file is digested on the calling thread as it is
  // queued, and the queue holds one task: the walk of the original design.
  DigestQueue(const SizeCensus& census, IoBuffer& io, unsigned workers);
  ~DigestQueue();
  DigestQueue(const DigestQueue&) = delete;
  DigestQueue& operator=(const DigestQueue&) = delete;

  unsigned workers() const { return workers_; }
  bool empty() const { return popped_ == pushed_; }
  bool full() const { return pushed_ - popped_ == capacity_; }
  // Tasks ever queued and ever dropped: a task queued as number n (from 0) is
  // finished with once popped() exceeds n.
  std::uint64_t pushed() const { return pushed_; }
  std::uint64_t popped() const { return popped_; }

  // Queues the file name of dir for the record at offset; the queue must not
  // be full.
  void push(platform::DirectoryRef dir, std::string_view name, NameOffset offset);
  // The oldest task, once worked out; the queue must not be empty.
  Task& oldest();
  // Drops the oldest task.
  void pop() { ++popped_; }
  // Works the oldest task out again on the calling thread while no worker
  // holds a file open: after a shortage of descriptors.
  void redo_oldest();
  // Drops every task, cutting short the reads of those being worked out, and
  // returns once no worker touches one.
  void abandon();

 private:
  void start_workers(unsigned count);
  void serve(FileDigest& digest);
  void work_out(Task& task, FileDigest& digest) const;
  void wait_until_done(const Task& task);
  void wait_for_claimed();

  struct Worker {
    IoBuffer buffer;
    FileDigest digest{buffer};
    std::thread thread;
  };

  const SizeCensus& census_;
  FileDigest own_digest_;  // for the tasks worked out on the walk's thread
  std::size_t capacity_;
  unsigned workers_ = 0;
  std::unique_ptr<Worker[]> worker_;

  std::uint64_t pushed_ = 0;   // written by the walk under mutex_
  std::uint64_t popped_ = 0;   // the walk's own
  std::uint64_t claimed_ = 0;  // tasks taken by workers; under mutex_
  unsigned idle_ = 0;          // workers waiting for a task; under mutex_
  bool paused_ = false;        // workers take no task; under mutex_
  bool stopping_ = false;      // workers end; under mutex_
  std::atomic<bool> cancelled_{false};  // reads in progress stop
  std::atomic<bool> walk_waiting_{false};
  std::mutex mutex_;
  std::condition_variable work_ready_;  // workers wait here for a task
  std::condition_variable task_done_;   // the walk waits here for a task
  Task slots_[kSlots];
};

}  // namespace mirvale
