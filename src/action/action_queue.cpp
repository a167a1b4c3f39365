// The queue of held lines and copies: a ring of entries over a ring of
// bytes, the adding thread handing on its head, the workers taking the
// oldest copy whose group no other worker acts on, so that a group's copies
// are acted on one at a time, in order, and its kept file's facts pass from
// one worker to the next under the lock.
#include "action/action_queue.h"

#include <cstring>

namespace mirvale {

void ActionQueue::start(const CopyAction& action, unsigned workers) {
  action_ = &action;
  worker_count_ = workers < kMaxWorkers ? workers : static_cast<unsigned>(kMaxWorkers);
  for (unsigned w = 0; w < worker_count_; ++w) {
    try {
      workers_[w].thread = std::thread([this, w] { serve(w); });
    } catch (const std::exception&) {  // no memory for its stack: fewer workers
      worker_count_ = w;
    }
  }
  // Acting as copies come, one group is open at a time.
  group_limit_ = worker_count_ > 0 ? kGroups : 1;
}

void ActionQueue::finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (head_ < tail_) {
    hand_on(lock);
    if (head_ < tail_) wait_for_work(lock);
  }
  lock.unlock();
  end_workers();
}

void ActionQueue::end_workers() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  work_.notify_all();
  for (unsigned w = 0; w < worker_count_; ++w)
    if (workers_[w].thread.joinable()) workers_[w].thread.join();
  worker_count_ = 0;
}

std::size_t ActionQueue::open_group() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    hand_on(lock);
    for (std::size_t g = 0; g < group_limit_; ++g) {
      Slot& slot = slots_[g];
      if (slot.open) continue;
      slot.open = true;
      slot.closed = false;
      slot.held = 0;
      slot.busy = false;
      slot.group.changed = false;
      return g;
    }
    wait_for_work(lock);
  }
}

void ActionQueue::close_group(std::size_t g) {
  std::lock_guard<std::mutex> lock(mutex_);
  Slot& slot = slots_[g];
  slot.closed = true;
  if (slot.held == 0) release(slot);
}

// A group all of whose copies have been handed on is done, and its kept
// file closed.
void ActionQueue::release(Slot& slot) {
  printer_.group_done(slot.group);
  slot.group.kept.handle.close();
  slot.open = false;
}

void ActionQueue::add_text(const void* bytes, std::size_t size) {
  std::unique_lock<std::mutex> lock(mutex_);
  // A line that follows a line in the ring joins its entry.
  if (tail_ > head_) {
    Entry& last = entry(tail_ - 1);
    if (last.kind == Kind::text && last.at + last.length + size <= kTextBytes &&
        last.end == text_tail_ && text_tail_ + size - text_head_ <= kTextBytes) {
      std::memcpy(text_ + last.at + last.length, bytes, size);
      last.length += size;
      text_tail_ += size;
      last.end = text_tail_;
      return;
    }
  }
  Entry& e = add(lock, Kind::text, kNoGroup, size);
  std::memcpy(text_ + e.at, bytes, size);
  e.done = true;
  hand_on(lock);
}

void ActionQueue::add_copy(std::size_t g, const char* path) {
  std::unique_lock<std::mutex> lock(mutex_);
  Entry& e = add_path(lock, Kind::copy, g, path);
  if (worker_count_ > 0) {
    // A worker is woken for a batch, not a copy, so that neither side
    // sleeps and wakes for each one.
    if (++untaken_ >= kWakeBatch && asleep_ > 0) work_.notify_one();
  } else {
    Worker& self = workers_[0];
    e.taken = true;
    e.outcome = action_->run(slots_[g].group.kept, text_ + e.at, self.io, self.names);
    e.done = true;
  }
  hand_on(lock);
}

void ActionQueue::flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  wake_for_untaken();
}

void ActionQueue::add_outcome(std::size_t g, const char* path, const Outcome& outcome) {
  std::unique_lock<std::mutex> lock(mutex_);
  Entry& e = add_path(lock, Kind::outcome, g, path);
  e.outcome = outcome;
  e.done = true;
  hand_on(lock);
}

// A new entry at the tail, with room for size bytes; hands on, and waits
// for copies, until there is room. size is at most kTextBytes.
ActionQueue::Entry& ActionQueue::add(std::unique_lock<std::mutex>& lock, Kind kind,
                                     std::size_t group, std::size_t size) {
  std::size_t at = 0;
  for (;;) {
    if (tail_ - head_ < kEntries && reserve(size, at)) break;
    hand_on(lock);
    if (tail_ - head_ < kEntries && reserve(size, at)) break;
    wait_for_work(lock);
  }
  Entry& e = entry(tail_++);
  e = Entry{};
  e.kind = kind;
  e.group = group;
  e.at = at;
  e.length = size;
  e.end = text_tail_;
  if (group != kNoGroup) ++slots_[group].held;
  return e;
}

// A new entry holding path, with its 0.
ActionQueue::Entry& ActionQueue::add_path(std::unique_lock<std::mutex>& lock, Kind kind,
                                          std::size_t group, const char* path) {
  const std::size_t size = std::strlen(path) + 1;
  Entry& e = add(lock, kind, group, size);
  std::memcpy(text_ + e.at, path, size);
  return e;
}

// Reserves size bytes of the ring in one piece, skipping its end when they
// do not fit there; false when the ring is too full.
bool ActionQueue::reserve(std::size_t size, std::size_t& at) {
  std::uint64_t start = text_tail_;
  std::size_t offset = static_cast<std::size_t>(start % kTextBytes);
  if (offset + size > kTextBytes) {
    start += kTextBytes - offset;
    offset = 0;
  }
  if (start + size - text_head_ > kTextBytes) return false;
  at = offset;
  text_tail_ = start + size;
  return true;
}

// Hands on every entry at the head that is done. Only the adding thread
// moves the head, so the entries handed on stay put while the lock is let go.
void ActionQueue::hand_on(std::unique_lock<std::mutex>& lock) {
  while (head_ < tail_ && entry(head_).done) {
    std::uint64_t end = head_ + 1;
    while (end < tail_ && entry(end).done) ++end;
    lock.unlock();
    for (std::uint64_t i = head_; i < end; ++i) {
      const Entry& e = entry(i);
      if (e.kind == Kind::text)
        printer_.text(text_ + e.at, e.length);
      else
        printer_.outcome(e.group != kNoGroup ? &slots_[e.group].group : nullptr, text_ + e.at,
                         e.outcome);
    }
    lock.lock();
    for (; head_ < end; ++head_) {
      const Entry& e = entry(head_);
      text_head_ = e.end;
      if (e.group == kNoGroup) continue;
      Slot& slot = slots_[e.group];
      if (--slot.held == 0 && slot.closed) release(slot);
    }
  }
  if (head_ == tail_) text_head_ = text_tail_;
}

// Waits until some worker has done a copy, waking those with copies to do.
void ActionQueue::wait_for_work(std::unique_lock<std::mutex>& lock) {
  wake_for_untaken();
  waiting_ = true;
  progress_.wait(lock);
  waiting_ = false;
}

// Wakes the sleeping workers when copies wait for them, short of a batch.
void ActionQueue::wake_for_untaken() {
  if (asleep_ > 0 && untaken_ > 0) work_.notify_all();
}

// The oldest copy no worker has taken whose group no worker acts on; false
// when there is none.
bool ActionQueue::next_copy(std::uint64_t& i) {
  if (first_untaken_ < head_) first_untaken_ = head_;
  while (first_untaken_ < tail_ &&
         (entry(first_untaken_).kind != Kind::copy || entry(first_untaken_).taken))
    ++first_untaken_;
  for (i = first_untaken_; i < tail_; ++i) {
    const Entry& e = entry(i);
    if (e.kind == Kind::copy && !e.taken && !slots_[e.group].busy) return true;
  }
  return false;
}

// A worker: acts on copies until the queue ends.
void ActionQueue::serve(unsigned w) {
  Worker& self = workers_[w];
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    std::uint64_t i = 0;
    if (!next_copy(i)) {
      if (stopping_ && untaken_ == 0) return;
      ++asleep_;
      work_.wait(lock);
      --asleep_;
      continue;
    }
    Entry& e = entry(i);
    Slot& slot = slots_[e.group];
    e.taken = true;
    slot.busy = true;
    --untaken_;
    const char* path = text_ + e.at;
    lock.unlock();
    const Outcome outcome = action_->run(slot.group.kept, path, self.io, self.names);
    lock.lock();
    e.outcome = outcome;
    e.done = true;
    slot.busy = false;
    // What the adding thread waits for is room, which comes from the head.
    if (waiting_ && (i == head_ || untaken_ == 0)) progress_.notify_one();
  }
}

}  // namespace mirvale
