// A worker's life with the lane engine: it keeps as many files open as its
// engine has lanes, reads each a chunk at a time into the lane's own buffer
// and hashes all of them side by side, taking the next queued task into a
// lane as soon as its file ends. Tasks that open no file (sizes, checks,
// files no other file has the size of) are worked out at once.
#include <bit>

#include "scan/digest_queue.h"

namespace mirvale {

// Takes tasks while there are any, then sleeps until woken.
void DigestQueue::serve(Worker& worker) {
  for (;;) {
    const bool claimed = fill_lanes(worker);
    if (worker.active > 0) {
      run_lanes(worker);
      continue;
    }
    if (claimed) continue;  // every one was worked out without a lane
    std::unique_lock<std::mutex> lock(mutex_);
    ++idle_;
    work_ready_.wait(lock, [this] { return stopping_ || next_claim_.load() < pushed_.load(); });
    --idle_;
    if (stopping_) return;
  }
}

// Claims tasks for the idle lanes; true when it claimed any. A worker that
// has a file leaves the next to a worker that has none, waking it if it
// sleeps: files fewer than the lanes are then spread over the processors,
// where a lane that runs alone goes at the one-stream engine's speed,
// instead of sharing one processor's kernel.
bool DigestQueue::fill_lanes(Worker& worker) {
  bool claimed = false;
  for (int lane = 0; lane < worker.md5.lanes(); ++lane) {
    while (worker.lane[lane].task == nullptr) {
      if (worker.active > 0 && hashing_.load() < workers_) {
        wake_workers(false);
        return claimed;
      }
      Task* task = claim_next();
      if (task == nullptr) return claimed;
      claimed = true;
      if (task->job == Job::digest) {
        start_lane(worker, lane, *task);
      } else {
        finish(*task, worker.digest, worker.buffer);
      }
    }
  }
  return claimed;
}

// Opens the file of a digest task and feeds its first chunk to lane, or
// hands the task back at once when the file is not to be read.
void DigestQueue::start_lane(Worker& worker, int lane, Task& task) {
  Lane& at = worker.lane[lane];
  std::uint64_t size;
  if (!open_candidate(task, size, at.file)) return complete(task);
  at.task = &task;
  at.size = size;
  at.read = 0;
  at.ended = false;
  if (worker.active++ == 0) ++hashing_;
  worker.md5.start(lane);
  if (!feed_lane(worker, lane)) {
    worker.md5.drop(lane);
    end_lane(worker, lane, Outcome::unreadable);
  }
}

// Reads the next chunk of the lane's file and lends it to the lane; false
// when a read fails, the file has outgrown the size found before it was
// opened (it changed, or is no regular file), or the tasks are dropped.
bool DigestQueue::feed_lane(Worker& worker, int lane) {
  Lane& at = worker.lane[lane];
  if (cancelled_.load(std::memory_order_relaxed)) return false;
  const long got = platform::read_some(at.file, at.chunk, kLaneChunk);
  if (got < 0) return false;
  at.read += static_cast<std::uint64_t>(got);
  if (at.read > at.size) return false;
  // A regular file reads short only at its end: once its size is in, a
  // short read saves the read that would return nothing.
  at.ended = got == 0 || (at.read == at.size && static_cast<std::size_t>(got) < kLaneChunk);
  worker.md5.feed(lane, at.chunk, static_cast<std::size_t>(got), at.ended);
  return true;
}

// Hashes the lanes until some need their caller, and answers each: a
// finished file's digest goes to its task, a lane that used up its chunk
// gets the next.
void DigestQueue::run_lanes(Worker& worker) {
  for (Md5Lanes::LaneMask ready = worker.md5.run(); ready != 0; ready &= ready - 1) {
    const int lane = std::countr_zero(ready);
    Lane& at = worker.lane[lane];
    if (at.ended) {
      at.task->digest = worker.md5.digest(lane);
      end_lane(worker, lane, Outcome::digested);
    } else if (!feed_lane(worker, lane)) {
      worker.md5.drop(lane);
      end_lane(worker, lane, Outcome::unreadable);
    }
  }
}

// Closes the lane's file, gives its descriptor back and hands its task back
// with outcome; an unreadable file gets no digest.
void DigestQueue::end_lane(Worker& worker, int lane, Outcome outcome) {
  Lane& at = worker.lane[lane];
  Task& task = *at.task;
  at.task = nullptr;
  if (--worker.active == 0) --hashing_;
  at.file.close();
  budget_.give_back();
  task.outcome = outcome;
  if (outcome != Outcome::digested) task.digest.fill(0);
  complete(task);
}

}  // namespace mirvale
