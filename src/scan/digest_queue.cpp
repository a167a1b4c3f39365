// The digest queue: a ring of tasks, claimed by workers in queue order and
// handed back to the walk in the same order. The ring itself is lock-free;
// the mutex only guards falling asleep and waking up, and both sides sleep
// only after a batch of work, not once a file.
#include "scan/digest_queue.h"

#include <cstring>
#include <exception>
#include <new>

namespace mirvale {

namespace {
// Files at least this large are read with read-ahead advice.
constexpr std::uint64_t kStreamingSize = std::uint64_t{1} << 20;
// Sleeping workers are woken once this many tasks wait for them.
constexpr std::uint64_t kWakeBatch = 16;
}  // namespace

DigestQueue::~DigestQueue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (unsigned i = 0; i < workers_; ++i) worker_[i]->thread.join();
}

void DigestQueue::start_workers(unsigned count) {
  if (count > kMaxWorkers) count = kMaxWorkers;
  for (; workers_ < count; ++workers_) {
    std::unique_ptr<Worker> worker(new (std::nothrow) Worker);
    if (!worker) break;
    Worker* const self = worker.get();
    try {
      worker->thread = std::thread([this, self] { serve(*self); });
    } catch (const std::exception&) {  // no memory for its stack or state
      break;
    }
    worker_[workers_] = std::move(worker);
  }
  if (workers_ > 0) capacity_ = kSlots;
}

// Where a path record of size bytes would go in the ring: after the newest,
// or at the start when it does not fit there; false when it would reach the
// oldest queued path.
bool DigestQueue::place_path(std::size_t size, std::uint32_t& at) const {
  at = 0;
  if (empty()) return true;
  const std::uint32_t oldest = slot(popped_).path_at;
  if (path_end_ > oldest) {  // the live paths do not wrap
    if (path_end_ + size <= kPathBytes) {
      at = path_end_;
      return true;
    }
    return size < oldest;
  }
  at = path_end_;
  return path_end_ + size < oldest;
}

void DigestQueue::push(Job job, platform::DirectoryRef dir, std::uint32_t lease,
                       std::string_view path, std::size_t name_at, NameOffset offset) {
  const std::uint64_t number = pushed_.load(std::memory_order_relaxed);
  Task& task = slot(number);
  std::uint32_t at;
  place_path(path.size() + 1, at);
  std::memcpy(paths_ + at, path.data(), path.size());
  paths_[at + path.size()] = '\0';
  path_end_ = static_cast<std::uint32_t>(at + path.size() + 1);
  task.dir = dir;
  task.lease = lease;
  task.name_offset = offset;
  task.path_at = at;
  task.path_length = static_cast<std::uint16_t>(path.size());
  task.name_at = static_cast<std::uint16_t>(name_at);
  task.job = job;
  publish(task, number);
}

void DigestQueue::push_check(std::uint32_t chain, NameOffset name, std::uint32_t next) {
  const std::uint64_t number = pushed_.load(std::memory_order_relaxed);
  Task& task = slot(number);
  task.path_at = 0;
  task.path_length = 0;
  task.job = Job::check_chain;
  task.chain = chain;
  task.chain_name = name;
  task.chain_next = next;
  task.chain_paths = check_paths_[number % kCheckSlots];
  publish(task, number);
}

// Hands the task queued as number to whoever claims it.
void DigestQueue::publish(Task& task, std::uint64_t number) {
  task.number = number;
  // Release: whoever claims the task (an acquire) sees it and its path.
  task.state.store(State::queued, std::memory_order_release);
  // Sequentially consistent, as the load of idle_ in wake_workers and the
  // worker's own increment and check: a worker falling asleep either sees
  // the task or is seen asleep. A worker that sees the count sees the task
  // queued (release, paired with claim_next's acquire).
  pushed_.store(number + 1);
  if (number + 1 - next_claim_.load() >= kWakeBatch) wake_workers(false);
}

bool DigestQueue::oldest_ready() const {
  // Acquire, paired with the claimer's release of done: the outcome and the
  // digest are seen, and the descriptor it used is back in the budget.
  return !empty() && slot(popped_).state.load(std::memory_order_acquire) == State::done;
}

DigestQueue::Task& DigestQueue::oldest() {
  wait_until_done(popped_);
  return slot(popped_);
}

void DigestQueue::wait_for_room() {
  wait_until_done(popped_ + (capacity_ + 3) / 4 - 1);
}

void DigestQueue::wait_for_all() {
  for (std::uint64_t n = popped_; n < pushed(); ++n) wait_until_done(n);
}

void DigestQueue::abandon() {
  cancelled_ = true;
  wait_for_all();
  cancelled_ = false;
  popped_ = pushed();
}

// Waits until task number (queued, not yet dropped) is worked out. Without
// workers the waiting thread claims it and works it out itself: that is all
// the no-thread case is. With them it sleeps, leaving the processors to them.
void DigestQueue::wait_until_done(std::uint64_t number) {
  Task& task = slot(number);
  if (task.state.load(std::memory_order_acquire) == State::done) return;
  if (workers_ == 0 && claim(task)) return finish(task, own_digest_, own_buffer_, own_batch_);
  wake_workers(true);
  std::unique_lock<std::mutex> lock(mutex_);
  awaited_ = number;
  task_done_.wait(lock, [&task] { return task.state.load() == State::done; });
  awaited_ = ~std::uint64_t{0};
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

// Takes a queued task: the one point where it passes from the walk to the
// claimer. Acquire, paired with push's release of queued.
bool DigestQueue::claim(Task& task) {
  State queued = State::queued;
  return task.state.compare_exchange_strong(queued, State::claimed, std::memory_order_acquire,
                                            std::memory_order_relaxed);
}

// Claims the oldest task left, if there is one. next_claim_ only saves
// looking at claimed tasks again: a task below it found queued belongs to a
// later round of the ring and is claimed like any other.
DigestQueue::Task* DigestQueue::claim_next() {
  std::uint64_t from = next_claim_.load();
  const std::uint64_t end = pushed_.load(std::memory_order_acquire);
  for (std::uint64_t n = from; n < end; ++n) {
    // A plain look first: a failed compare-exchange would take the cache line.
    if (slot(n).state.load(std::memory_order_relaxed) == State::queued && claim(slot(n))) {
      next_claim_.compare_exchange_strong(from, n + 1);
      return &slot(n);
    }
  }
  next_claim_.compare_exchange_strong(from, end);
  return nullptr;
}

// Works a claimed task out and hands it back to the walk.
void DigestQueue::finish(Task& task, FileDigest& digest, IoBuffer& buffer,
                         platform::FileBatch& batch) {
  work_out(task, digest, buffer, batch);
  complete(task);
}

// Hands a worked-out task back to the walk.
void DigestQueue::complete(Task& task) {
  const std::uint64_t number = task.number;  // the slot is the walk's once done
  // Releases the outcome to the walk's acquire in oldest_ready and
  // wait_until_done; sequentially consistent, as the load of awaited_ after
  // it and the walk's store of awaited_ before it looks at the state, so that
  // either the walk sees the task done or this thread sees it waiting.
  task.state.store(State::done);
  if (awaited_.load() == number) {
    std::lock_guard<std::mutex> lock(mutex_);
    task_done_.notify_one();
  }
}

// Finds the size of a task's file; false, with the task's outcome saying
// why, when it is gone, no longer a regular file or the scan is cancelled.
bool DigestQueue::file_size(Task& task, std::uint64_t& size) const {
  const char* name = paths_ + task.path_at + task.name_at;
  task.outcome = Outcome::unreadable;
  return !cancelled_.load(std::memory_order_relaxed) &&
         platform::regular_file_size_at(task.dir, name, size);
}

// Counts the size of a count_size task's file in the census; true when its
// first block is to be counted too.
bool DigestQueue::count_size(Task& task, std::uint64_t& size) const {
  if (!file_size(task, size)) return false;
  census_.count(size);
  task.outcome = Outcome::counted;
  return SizeCensus::takes_prefix(size);
}

// Finds the size of a task's file; true when it is to be digested, else the
// task's outcome says why not (and a count_size job is done).
bool DigestQueue::candidate_size(Task& task, std::uint64_t& size) const {
  if (task.job == Job::count_size) {
    if (count_size(task, size)) count_prefix(task, size);
    return false;
  }
  if (!file_size(task, size)) return false;
  if (!census_.may_repeat(size)) {
    task.outcome = Outcome::unique_size;
    return false;
  }
  return true;
}

// Counts the file's size, digests the file when another file may have its
// size, or checks a chain. A file is opened only with a descriptor from the
// budget.
void DigestQueue::work_out(Task& task, FileDigest& digest, IoBuffer& buffer,
                           platform::FileBatch& batch) const {
  if (task.job == Job::check_chain) {
    task.outcome = chain_check_(checker_, task, buffer, batch);
    return;
  }
  std::uint64_t size;
  platform::FileHandle file;
  if (!open_candidate(task, size, file)) return;
  // An unreadable file gets no digest, so that it can never be reported as
  // a copy of anything.
  if (digest.digest_file(file, size, &cancelled_)) task.outcome = Outcome::digested;
  task.digest = digest.result();
  file.close();
  budget_.give_back();
}

// Opens the file of a task that is to be digested, with a descriptor taken
// from the budget, which the caller gives back once it has closed the file.
// False, with the task's outcome saying why, when it is not to be read.
bool DigestQueue::open_candidate(Task& task, std::uint64_t& size,
                                 platform::FileHandle& file) const {
  platform::FileBatch::Open open;
  if (!prepare_open(task, open)) return false;
  platform::FileBatch::open_one(open);
  if (!accept_open(task, open)) return false;
  size = open.size;
  file = std::move(open.file);
  return true;
}

// Takes a descriptor for the file of a task and says how it is to be
// opened; false, with the task's outcome saying why, when it is not. Its
// size is looked up first, so that a file of a size of its own is never
// opened; on a tree where nearly every size repeats, the size the open
// finds on the descriptor saves that look.
bool DigestQueue::prepare_open(Task& task, platform::FileBatch::Open& open) const {
  const bool open_first = task.job == Job::digest && census_.sizes_mostly_repeat();
  task.outcome = Outcome::unreadable;
  if (open_first) {
    if (cancelled_.load(std::memory_order_relaxed)) return false;
  } else if (!candidate_size(task, open.size)) {
    return false;
  }
  if (!budget_.take_file()) {
    task.outcome = Outcome::out_of_descriptors;
    return false;
  }
  open.dir = task.dir;
  open.name = paths_ + task.path_at + task.name_at;
  open.sized = !open_first;
  return true;
}

// Keeps a file prepare_open let open when it is to be read whole; else
// closes it, gives its descriptor back and returns false, with the task's
// outcome saying why.
bool DigestQueue::accept_open(Task& task, platform::FileBatch::Open& open) const {
  if (open.status == platform::OpenStatus::opened && worth_reading(task, open)) {
    task.size = open.size;
    if (open.size >= kStreamingSize) platform::advise_sequential(open.file);
    return true;
  }
  open.file.close();
  budget_.give_back();
  if (open.status == platform::OpenStatus::out_of_descriptors)
    task.outcome = Outcome::out_of_descriptors;
  return false;
}

// Whether an open file is to be read whole: another file may have its size
// (asked here only when it was opened first: a sized open's size was asked
// before the open) and, for a large one, begin alike.
bool DigestQueue::worth_reading(Task& task, platform::FileBatch::Open& open) const {
  if (!open.sized && !census_.may_repeat(open.size)) {
    task.outcome = Outcome::unique_size;
    return false;
  }
  return !SizeCensus::takes_prefix(open.size) || prefix_may_repeat(task, open.size, open.file);
}

// Counts a large file's first block in the prefix census. A file that cannot
// be counted leaves the census incomplete, so that no first block rules a
// file out.
void DigestQueue::count_prefix(Task& task, std::uint64_t size) const {
  if (!budget_.take_file()) return census_.mark_prefixes_incomplete();
  const char* name = paths_ + task.path_at + task.name_at;
  platform::FileHandle file;
  unsigned char block[SizeCensus::kPrefixBlock];
  if (platform::open_sized_file_at(task.dir, name, size, file) == platform::OpenStatus::opened &&
      platform::read_at(file, 0, block, sizeof block) == static_cast<long>(sizeof block)) {
    census_.count_prefix(size, hash_block(block, sizeof block));
  } else {
    census_.mark_prefixes_incomplete();
  }
  file.close();
  budget_.give_back();
}

// Counts a count_size task's file in the census. A large file waits in the
// batch for its first block to be read with the other files' first blocks,
// so that the reads of a cold tree go to the disk together and not one
// after another; a full batch is counted at once.
void DigestQueue::count_file(Worker& worker, Task& task, PrefixBatch& batch) {
  std::uint64_t size;
  if (!count_size(task, size)) return complete(task);
  batch.task[batch.count] = &task;
  batch.size[batch.count++] = size;
  if (batch.count == platform::FileBatch::kMaxFiles) count_prefixes(worker, batch);
}

// Opens the batch's files together, reads and counts their first blocks,
// and hands their tasks back. A file that cannot be opened or read leaves
// the prefix census incomplete; one read short is counted again on its own.
void DigestQueue::count_prefixes(Worker& worker, PrefixBatch& batch) {
  constexpr std::size_t kBlock = SizeCensus::kPrefixBlock;
  constexpr unsigned kMax = platform::FileBatch::kMaxFiles;
  static_assert(kMax * kBlock <= kIoBufferSize);
  platform::FileBatch::Open opens[kMax];
  unsigned from[kMax];  // the batch entry of each open, then of each read
  unsigned n = 0;
  for (unsigned i = 0; i < batch.count; ++i) {
    if (!budget_.take_file()) {
      census_.mark_prefixes_incomplete();
      continue;
    }
    const Task& task = *batch.task[i];
    opens[n].dir = task.dir;
    opens[n].name = paths_ + task.path_at + task.name_at;
    opens[n].size = batch.size[i];
    opens[n].sized = true;
    from[n++] = i;
  }
  worker.batch.open_all(opens, n);
  platform::FileBatch::Read reads[kMax];
  unsigned m = 0;
  for (unsigned i = 0; i < n; ++i) {
    if (opens[i].status != platform::OpenStatus::opened) {
      opens[i].file.close();
      budget_.give_back();
      census_.mark_prefixes_incomplete();
      continue;
    }
    from[m] = from[i];
    reads[m].file = &opens[i].file;
    reads[m].buffer = worker.buffer.bytes + m * kBlock;
    reads[m++].size = kBlock;
  }
  worker.batch.read_and_close_all(reads, m);
  for (unsigned i = 0; i < m; ++i) {
    budget_.give_back();
    Task& task = *batch.task[from[i]];
    const std::uint64_t size = batch.size[from[i]];
    if (reads[i].got == static_cast<long>(kBlock)) {
      census_.count_prefix(size, hash_block(worker.buffer.bytes + i * kBlock, kBlock));
    } else if (reads[i].got >= 0) {
      count_prefix(task, size);  // read short: it shrank, or its file system reads so
    } else {
      census_.mark_prefixes_incomplete();
    }
  }
  for (unsigned i = 0; i < batch.count; ++i) complete(*batch.task[i]);
  batch.count = 0;
}

// False, with the task's outcome saying why, when the open large file's
// first block rules it out or cannot be read; true when it is to be read whole.
bool DigestQueue::prefix_may_repeat(Task& task, std::uint64_t size,
                                    platform::FileHandle& file) const {
  if (!census_.prefixes_complete()) return true;
  unsigned char block[SizeCensus::kPrefixBlock];
  if (platform::read_at(file, 0, block, sizeof block) != static_cast<long>(sizeof block))
    return false;  // unreadable
  if (census_.prefix_may_repeat(size, hash_block(block, sizeof block))) return true;
  task.outcome = Outcome::unique_prefix;
  return false;
}

}  // namespace mirvale
