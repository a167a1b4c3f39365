// The digest queue: a ring of tasks, claimed by workers in queue order and
// handed back to the walk in the same order.
#include "scan/digest_queue.h"

#include <cstring>
#include <system_error>

namespace mirvale {

namespace {
// Files at least this large are read with read-ahead advice.
constexpr std::uint64_t kStreamingSize = std::uint64_t{1} << 20;
}  // namespace

DigestQueue::DigestQueue(const SizeCensus& census, IoBuffer& io, unsigned workers)
    : census_(census), own_digest_(io), capacity_(1) {
  start_workers(workers < kMaxWorkers ? workers : kMaxWorkers);
}

DigestQueue::~DigestQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  cancelled_ = true;
  work_ready_.notify_all();
  for (unsigned i = 0; i < workers_; ++i) worker_[i].thread.join();
}

// Starts up to count workers; as many as the system gives are used, and with
// none the walk's own thread does the work.
void DigestQueue::start_workers(unsigned count) {
  if (count == 0) return;
  worker_ = std::make_unique<Worker[]>(count);
  for (; workers_ < count; ++workers_) {
    Worker& worker = worker_[workers_];
    try {
      worker.thread = std::thread([this, &worker] { serve(worker.digest); });
    } catch (const std::system_error&) {
      break;
    }
  }
  if (workers_ > 0) capacity_ = kSlots;
}

void DigestQueue::push(platform::DirectoryRef dir, std::string_view name, NameOffset offset) {
  Task& task = slots_[pushed_ % kSlots];
  task.dir = dir;
  task.name_offset = offset;
  task.done.store(false, std::memory_order_relaxed);
  // A name longer than any the system lists becomes the empty name, which
  // names no file.
  const std::size_t length = name.size() < sizeof task.name ? name.size() : 0;
  std::memcpy(task.name, name.data(), length);
  task.name[length] = '\0';
  if (workers_ == 0) {
    work_out(task, own_digest_);
    task.done.store(true, std::memory_order_release);
    ++pushed_;
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ++pushed_;
  if (idle_ > 0) work_ready_.notify_one();
}

DigestQueue::Task& DigestQueue::oldest() {
  Task& task = slots_[popped_ % kSlots];
  wait_until_done(task);
  return task;
}

void DigestQueue::wait_until_done(const Task& task) {
  if (task.done.load(std::memory_order_acquire)) return;
  std::unique_lock<std::mutex> lock(mutex_);
  walk_waiting_ = true;
  task_done_.wait(lock, [&task] { return task.done.load(); });
  walk_waiting_ = false;
}

// Waits until every task a worker has taken is worked out.
void DigestQueue::wait_for_claimed() {
  std::uint64_t claimed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    claimed = claimed_;
  }
  for (std::uint64_t n = popped_; n < claimed; ++n) wait_until_done(slots_[n % kSlots]);
}

void DigestQueue::redo_oldest() {
  Task& task = oldest();
  if (workers_ == 0) {
    work_out(task, own_digest_);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = true;
  }
  wait_for_claimed();  // their files are closed again
  work_out(task, own_digest_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = false;
  }
  work_ready_.notify_all();
}

void DigestQueue::abandon() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pushed_ = claimed_ > popped_ ? claimed_ : popped_;  // untaken tasks are never taken
  }
  cancelled_ = true;
  wait_for_claimed();
  cancelled_ = false;
  popped_ = pushed_;
}

// A worker's life: take the oldest untaken task, work it out, tell the walk.
void DigestQueue::serve(FileDigest& digest) {
  for (;;) {
    Task* task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ++idle_;
      work_ready_.wait(lock, [this] { return stopping_ || (!paused_ && claimed_ < pushed_); });
      --idle_;
      if (stopping_) return;
      task = &slots_[claimed_++ % kSlots];
    }
    work_out(*task, digest);
    task->done = true;
    if (walk_waiting_) {
      std::lock_guard<std::mutex> lock(mutex_);
      task_done_.notify_one();
    }
  }
}

// Learns the file's size, and digests it when another file may have that size.
void DigestQueue::work_out(Task& task, FileDigest& digest) const {
  std::uint64_t size;
  if (!platform::regular_file_size_at(task.dir, task.name, size)) {
    task.outcome = Outcome::unreadable;
    return;
  }
  if (!census_.may_repeat(size)) {
    task.outcome = Outcome::unique_size;
    return;
  }
  platform::FileHandle file;
  if (platform::open_regular_file_at(task.dir, task.name, file) ==
      platform::OpenStatus::out_of_descriptors) {
    task.outcome = Outcome::out_of_descriptors;
    return;
  }
  if (file.valid() && size >= kStreamingSize) platform::advise_sequential(file);
  // An unreadable file gets no digest, so that it can never be reported as a
  // copy of anything.
  const bool read = digest.digest_file(file, &cancelled_);
  task.outcome = read ? Outcome::digested : Outcome::unreadable;
  task.digest = digest.result();
}

}  // namespace mirvale
