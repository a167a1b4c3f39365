// The insertion queue: a ring of digests between the walk and the thread
// that inserts them. The ring itself is lock-free; the mutex only guards
// falling asleep and waking up, and each side sleeps only for a batch.
#include "index/insert_queue.h"

#include <exception>

namespace mirvale {

InsertQueue::~InsertQueue() {
  if (!started_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_one();
  thread_.join();
}

bool InsertQueue::start() {
  if (started_) return true;
  try {
    thread_ = std::thread([this] { serve(); });
  } catch (const std::exception&) {  // no memory for its stack
    return false;
  }
  started_ = true;
  return true;
}

bool InsertQueue::push(const Md5Digest& digest, NameOffset name_offset) {
  if (failed_.load()) return false;
  if (!started_) {
    if (!insert_digest(tree_, digest, name_offset)) failed_.store(true);
    return !failed_.load();
  }
  InsertPlan planned;
  if (!plan(digest, planned)) {
    failed_.store(true);
    return false;
  }
  const std::uint64_t number = pushed_.load(std::memory_order_relaxed);
  if (number - inserted_.load() == kSlots) {
    std::unique_lock<std::mutex> lock(mutex_);
    walk_asleep_.store(true);
    room_ready_.wait(lock, [&] { return number - inserted_.load() <= kSlots - kWakeBatch; });
    walk_asleep_.store(false);
  }
  ring_[number % kSlots] = Entry{digest, name_offset, planned};
  pushed_.store(number + 1);
  // The inserting thread tests pushed_ after saying it sleeps, and this
  // thread tests that after publishing: one of the two sees the other.
  if (inserter_asleep_.load() && number + 1 - inserted_.load() >= kWakeBatch) {
    std::lock_guard<std::mutex> lock(mutex_);
    work_ready_.notify_one();
  }
  return !failed_.load();
}

bool InsertQueue::finish() {
  if (started_) drain();
  planning_ = false;
  plan_check_ = pushed_.load(std::memory_order_relaxed);
  return !failed_.load();
}

void InsertQueue::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  finishing_ = true;
  work_ready_.notify_one();
  walk_asleep_.store(true);
  room_ready_.wait(lock, [&] { return inserted_.load() == pushed_.load(); });
  walk_asleep_.store(false);
  finishing_ = false;
}

bool InsertQueue::plan(const Md5Digest& digest, InsertPlan& plan) {
  const std::uint64_t number = pushed_.load(std::memory_order_relaxed);
  if (!planning_ && number >= plan_check_) {
    // Planning begins with the inserting thread idle, once every lead is in
    // memory; each insertion adds one record, so until then the next look
    // can wait for as many insertions as records are missing.
    drain();
    planning_ = tree_.begin_planning(next_record_);
    const std::uint64_t records =
        next_record_ < kTreeHeaderSize ? 0 : (next_record_ - kTreeHeaderSize) / kTreeRecordSize;
    plan_check_ = number + (records < kTreeLeadRecords ? kTreeLeadRecords - records : kSlots);
  }
  if (!planning_) return true;
  if (!plan_insertion(tree_, digest, next_record_, plan)) return false;
  next_record_ += kTreeRecordSize;
  return true;
}

void InsertQueue::serve() {
  std::uint64_t next = 0;
  for (;;) {
    if (pushed_.load() == next) {
      if (!wait_for_work(next)) return;
      continue;
    }
    insert(next);
    inserted_.store(++next);
    // The walk sleeps for a batch of room or for the last entry: wake it
    // when the one or the other is reached.
    const std::uint64_t waiting = pushed_.load() - next;
    if (walk_asleep_.load() && (waiting == 0 || waiting == kSlots - kWakeBatch)) {
      std::lock_guard<std::mutex> lock(mutex_);
      room_ready_.notify_one();
    }
  }
}

void InsertQueue::insert(std::uint64_t next) {
  const Entry& entry = ring_[next % kSlots];
  if (!failed_.load(std::memory_order_relaxed) &&
      !apply_insertion(tree_, entry.digest, entry.name_offset, entry.plan))
    failed_.store(true);
}

bool InsertQueue::wait_for_work(std::uint64_t next) {
  std::unique_lock<std::mutex> lock(mutex_);
  inserter_asleep_.store(true);
  work_ready_.wait(
      lock, [&] { return stopping_ || pushed_.load() - next >= (finishing_ ? 1 : kWakeBatch); });
  inserter_asleep_.store(false);
  return !stopping_;
}

}  // namespace mirvale
