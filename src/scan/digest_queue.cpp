// The digest queue: a ring of tasks, claimed by workers in queue order and
// handed back to the walk in the same order. The ring itself is lock-free;
// the mutex only guards falling asleep and waking up, and both sides sleep
// only after a batch of work, not once a file.
#include "scan/digest_queue.h"

#include <cstring>
#include <system_error>

namespace mirvale {

namespace {
// Files at least this large are read with read-ahead advice.
constexpr std::uint64_t kStreamingSize = std::uint64_t{1} << 20;
// Sleeping workers are woken once this many tasks wait for them.
constexpr std::uint64_t kWakeBatch = 16;
}  // namespace

DigestQueue::DigestQueue(SizeCensus& census, IoBuffer& io, unsigned workers)
    : census_(census), own_buffer_(io), own_digest_(io) {
  start_workers(workers < kMaxWorkers ? workers : kMaxWorkers);
}

DigestQueue::~DigestQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
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
      worker.thread = std::thread([this, &worker] { serve(worker.digest, worker.buffer); });
    } catch (const std::system_error&) {
      break;
    }
  }
  if (workers_ > 0) capacity_ = kSlots;
}

void DigestQueue::push(Job job, platform::DirectoryRef dir, std::string_view name,
                       NameOffset offset) {
  const std::uint64_t number = pushed_.load(std::memory_order_relaxed);
  Task& task = slots_[number % kSlots];
  task.dir = dir;
  task.name_offset = offset;
  task.job = job;
  task.done.store(false, std::memory_order_relaxed);
  // A name longer than any the system lists becomes the empty name, which
  // names no file.
  const std::size_t length = name.size() < sizeof task.name ? name.size() : 0;
  std::memcpy(task.name, name.data(), length);
  task.name[length] = '\0';
  publish(task, number);
}

void DigestQueue::push_check(std::uint32_t chain) {
  const std::uint64_t number = pushed_.load(std::memory_order_relaxed);
  Task& task = slots_[number % kSlots];
  task.job = Job::check_chain;
  task.chain = chain;
  task.done.store(false, std::memory_order_relaxed);
  publish(task, number);
}

// Hands the task queued as number to the workers, or works it out at once
// when there are none.
void DigestQueue::publish(Task& task, std::uint64_t number) {
  if (workers_ == 0) {
    work_out(task, own_digest_, own_buffer_);
    task.done.store(true, std::memory_order_release);
  }
  pushed_.store(number + 1);  // publishes the task to the workers
  if (workers_ > 0 && number + 1 - claimed_.load() >= kWakeBatch) wake_workers(false);
}

bool DigestQueue::oldest_ready() const {
  return !empty() && slots_[popped_ % kSlots].done.load(std::memory_order_acquire);
}

DigestQueue::Task& DigestQueue::oldest() {
  wait_until_done(popped_);
  return slots_[popped_ % kSlots];
}

void DigestQueue::wait_for_room() {
  wait_until_done(popped_ + (capacity_ + 3) / 4 - 1);
}

// Waits until task number (queued, not yet dropped) is worked out.
void DigestQueue::wait_until_done(std::uint64_t number) {
  const Task& task = slots_[number % kSlots];
  if (task.done.load(std::memory_order_acquire)) return;
  wake_workers(true);
  std::unique_lock<std::mutex> lock(mutex_);
  awaited_ = number;
  task_done_.wait(lock, [&task] { return task.done.load(); });
  awaited_ = ~std::uint64_t{0};
}

void DigestQueue::wait_for_all() {
  for (std::uint64_t n = popped_; n < pushed(); ++n) wait_until_done(n);
}

void DigestQueue::redo_oldest() {
  wait_for_all();
  work_out(slots_[popped_ % kSlots], own_digest_, own_buffer_);
}

void DigestQueue::abandon() {
  cancelled_ = true;
  wait_for_all();
  cancelled_ = false;
  popped_ = pushed();
}

void DigestQueue::wake_workers(bool all) {
  if (idle_.load() == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (all) {
    work_ready_.notify_all();
  } else {
    work_ready_.notify_one();
  }
}

// Takes the oldest untaken task, if there is one.
bool DigestQueue::claim(std::uint64_t& number) {
  std::uint64_t next = claimed_.load();
  while (next < pushed_.load(std::memory_order_acquire)) {
    if (claimed_.compare_exchange_weak(next, next + 1)) {
      number = next;
      return true;
    }
  }
  return false;
}

// A worker's life: take tasks while there are any, then sleep until woken.
void DigestQueue::serve(FileDigest& digest, IoBuffer& buffer) {
  for (;;) {
    std::uint64_t number;
    if (!claim(number)) {
      std::unique_lock<std::mutex> lock(mutex_);
      ++idle_;
      work_ready_.wait(lock, [this] { return stopping_ || claimed_.load() < pushed_.load(); });
      --idle_;
      if (stopping_) return;
      continue;
    }
    Task& task = slots_[number % kSlots];
    work_out(task, digest, buffer);
    task.done = true;
    if (awaited_.load() == number) {
      std::lock_guard<std::mutex> lock(mutex_);
      task_done_.notify_one();
    }
  }
}

// Counts the file's size, digests the file when another file may have its
// size, or checks a chain.
void DigestQueue::work_out(Task& task, FileDigest& digest, IoBuffer& buffer) const {
  if (task.job == Job::check_chain) {
    task.outcome = chain_check_(checker_, task.chain, buffer);
    return;
  }
  std::uint64_t size;
  task.outcome = Outcome::unreadable;
  if (cancelled_.load(std::memory_order_relaxed) ||
      !platform::regular_file_size_at(task.dir, task.name, size))
    return;
  if (task.job == Job::count_size) {
    census_.count(size);
    task.outcome = Outcome::counted;
    return;
  }
  if (!census_.may_repeat(size)) {
    task.outcome = Outcome::unique_size;
    return;
  }
  platform::FileHandle file;
  if (platform::open_sized_file_at(task.dir, task.name, size, file) ==
      platform::OpenStatus::out_of_descriptors) {
    task.outcome = Outcome::out_of_descriptors;
    return;
  }
  if (file.valid() && size >= kStreamingSize) platform::advise_sequential(file);
  // An unreadable file gets no digest, so that it can never be reported as a
  // copy of anything.
  if (digest.digest_file(file, size, &cancelled_)) task.outcome = Outcome::digested;
  task.digest = digest.result();
}

}  // namespace mirvale
