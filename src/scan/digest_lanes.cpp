// A worker's life with the lane engine: it keeps as many files open as its
// engine has lanes, reads each a chunk at a time into the lane's own buffer
// and hashes all of them side by side, taking the next queued task into a
// lane as soon as its file ends. Tasks that need no lane (a chain's check,
// a file no other file has the size of) are worked out at once with the
// worker's buffer, and sizes are counted at once, the first blocks of large
// files a batch at a time. Large files meet on the twin board.
#include <bit>

#include "scan/digest_queue.h"
#include "scan/file_compare.h"

namespace mirvale {

namespace {
// The least budget from which each worker may hold a ring's descriptor.
constexpr std::int64_t kRingBudget = 64;
// Files at least this large meet on the twin board, as the files that take
// the prefix census: a copy then costs a comparison with its original
// instead of a digest, and the report's comparison of the two is saved.
constexpr std::uint64_t kTwinSize = SizeCensus::kPrefixMinSize;
// The least budget from which a digested leader's file is kept open on the
// twin board, for copies met later: then the kept files are at most an
// eighth of it (and are let go at any shortage).
constexpr std::int64_t kKeepBudget = 8 * TwinBoard::kKept;
}  // namespace

// Takes tasks while there are any, then sleeps until woken.
void DigestQueue::serve(Worker& worker) {
  for (;;) {
    const bool claimed = wants_files(worker) && fill_lanes(worker);
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

// Whether the worker takes files for its idle lanes now. While every file
// it holds is read in whole (small files, each ended with its one chunk), it
// first lets half of its lanes run out, so that the next files are opened
// and read as one batch, their reads under way at once, and not one by one
// as each lane ends.
bool DigestQueue::wants_files(const Worker& worker) const {
  if (2 * worker.active <= worker.md5.lanes()) return true;
  for (int lane = 0; lane < worker.md5.lanes(); ++lane) {
    const Lane& at = worker.lane[lane];
    if (at.task != nullptr && !at.ended) return true;
  }
  return false;
}

// Claims tasks for the idle lanes and opens their files together; true
// when it claimed any. A worker that has a file leaves the next to a worker
// that sleeps, waking it: files fewer than the lanes are then spread over
// the processors, where a lane that runs alone goes at the one-stream
// engine's speed, instead of sharing one processor's kernel.
bool DigestQueue::fill_lanes(Worker& worker) {
  Task* batch[kMd5MaxLanes];
  int count = 0;
  PrefixBatch prefixes;
  bool claimed = false;
  // While its batch is gathered the worker counts as hashing, so that a
  // worker with files of its own does not leave it the batch's next file.
  bool holding = false;
  while (worker.active + count < worker.md5.lanes()) {
    if (worker.active + count > 0 && idle_.load() > 0 && hashing_.load() < workers_) {
      // Only a task left to claim is worth a wake: one for nothing costs
      // both threads a system call, once a chunk while this one hashes alone.
      if (next_claim_.load() < pushed_.load()) wake_workers(false);
      break;
    }
    Task* task = claim_next();
    if (task == nullptr) break;
    claimed = true;
    if (!worker.ring_tried) offer_ring(worker);
    if (task->job == Job::count_size) {
      count_file(worker, *task, prefixes);
      continue;
    }
    if (task->job != Job::digest) {
      finish(*task, worker.digest, worker.buffer, worker.batch);
      continue;
    }
    if (worker.active == 0 && !holding) {
      ++hashing_;
      holding = true;
    }
    batch[count++] = task;
  }
  if (prefixes.count > 0) count_prefixes(worker, prefixes);
  if (count > 0) start_batch(worker, batch, count);
  if (holding) --hashing_;  // the lanes started count themselves
  return claimed;
}

// Sets up the worker's ring once, at its first task, when the budget is set
// and can spare the descriptor the ring holds for the rest of the run
// without leaving the walk and the files short.
void DigestQueue::offer_ring(Worker& worker) {
  worker.ring_tried = true;
  if (budget_.usable() < kRingBudget || !budget_.take_file()) return;
  if (!worker.batch.use_ring()) budget_.give_back();
}

// Opens the files of count digest tasks together and starts a lane on each
// that is to be read whole. A file smaller than a chunk is read whole and
// closed at once, with the other small files of the batch.
void DigestQueue::start_batch(Worker& worker, Task* const* tasks, int count) {
  platform::FileBatch::Open opens[kMd5MaxLanes];
  Task* opening[kMd5MaxLanes];
  unsigned n = 0;
  for (int i = 0; i < count; ++i) {
    if (prepare_open(*tasks[i], opens[n])) {
      opening[n++] = tasks[i];
    } else {
      complete(*tasks[i]);
    }
  }
  worker.batch.open_all(opens, n);
  int small[kMd5MaxLanes];
  int smalls = 0;
  int lane = 0;
  for (unsigned i = 0; i < n; ++i) {
    Task& task = *opening[i];
    if (!accept_open(task, opens[i])) {
      complete(task);
      continue;
    }
    while (worker.lane[lane].task != nullptr) ++lane;
    Lane& at = worker.lane[lane];
    at.task = &task;
    at.size = opens[i].size;
    at.file = std::move(opens[i].file);
    if (at.size < kLaneChunk) {
      small[smalls++] = lane;
    } else {
      begin_lane(worker, lane, task, at.size);
    }
  }
  if (smalls > 0) read_small_files(worker, small, smalls);
}

// Reads the files of the given lanes whole into their chunks, closes them
// and starts each lane with its file's one chunk. Reading a chunk finds a
// file that has grown past the size found on its descriptor; one that reads
// short of it (it shrank, or its file system reads short) is opened again
// and read as any other.
void DigestQueue::read_small_files(Worker& worker, const int* lanes, int count) {
  platform::FileBatch::Read reads[kMd5MaxLanes];
  for (int i = 0; i < count; ++i) {
    Lane& at = worker.lane[lanes[i]];
    reads[i].file = &at.file;
    reads[i].buffer = at.chunk;
    reads[i].size = kLaneChunk;
  }
  worker.batch.read_and_close_all(reads, static_cast<unsigned>(count));
  for (int i = 0; i < count; ++i) {
    const int lane = lanes[i];
    Lane& at = worker.lane[lane];
    budget_.give_back();
    const long got = reads[i].got;
    if (got >= 0 && static_cast<std::uint64_t>(got) < at.size) {
      Task& task = *at.task;
      at.task = nullptr;
      start_lane(worker, lane, task);
      continue;
    }
    if (worker.active++ == 0) ++hashing_;
    if (got < 0 || static_cast<std::uint64_t>(got) > at.size) {  // unreadable, or grown
      end_lane(worker, lane, Outcome::unreadable);
      continue;
    }
    at.read = at.size;
    at.ended = true;
    worker.md5.start(lane);
    worker.md5.feed(lane, at.chunk, at.size, true);
  }
}

// Opens the file of a digest task and starts a lane on it, or hands the
// task back at once when the file is not to be read.
void DigestQueue::start_lane(Worker& worker, int lane, Task& task) {
  Lane& at = worker.lane[lane];
  std::uint64_t size;
  if (!open_candidate(task, size, at.file)) return complete(task);
  begin_lane(worker, lane, task, size);
}

// Starts lane on the task's file, open in the lane, and feeds it its first
// chunk.
void DigestQueue::begin_lane(Worker& worker, int lane, Task& task, std::uint64_t size) {
  Lane& at = worker.lane[lane];
  at.task = &task;
  at.size = size;
  at.read = 0;
  at.ended = false;
  if (size >= kTwinSize && follows_twin(worker, lane)) return;
  if (worker.active++ == 0) ++hashing_;
  worker.md5.start(lane);
  if (!feed_lane(worker, lane)) {
    worker.md5.drop(lane);
    end_lane(worker, lane, Outcome::unreadable);
  }
}

// Puts the lane's file, a large one, on the twin board. A leader is digested
// in its lane as any file; a follower is first compared with its leader,
// and when it is equal it leaves the lane, to take the leader's digest.
// True when it has left the lane.
bool DigestQueue::follows_twin(Worker& worker, int lane) {
  Lane& at = worker.lane[lane];
  Task& task = *at.task;
  if (!budget_.take_file()) return false;  // for the leader's file, when it follows
  int entry;
  platform::FileHandle leader;
  const TwinBoard::Role role = twins_.arrive(at.size, at.file, task.name_offset, entry, leader);
  if (role != TwinBoard::Role::follower) {
    budget_.give_back();
    if (role == TwinBoard::Role::leader) at.twin = entry;
    return false;
  }
  // Equal up to the size both had at their opens, and nothing past it in
  // the follower (the leader's own digest finds a leader that grew), and
  // neither changed meanwhile. A follower not in memory is read from the
  // disk, as its digest would read it; its leader's bytes are in memory, or
  // on their way there.
  TwinBoard::Waiting follower{static_cast<std::uint32_t>(&task - slots_), task.name_offset};
  std::uint64_t stamp, leader_stamp;
  unsigned char past;
  const bool equal =
      platform::file_stamp(at.file, follower.stamp) &&
      platform::file_stamp(leader, follower.leader_stamp) &&
      compare_range(at.file, leader, 0, at.size, worker.buffer, &cancelled_) == Comparison::same &&
      !cancelled_.load(std::memory_order_relaxed) &&
      platform::read_at(at.file, at.size, &past, 1) == 0 && platform::file_stamp(at.file, stamp) &&
      platform::file_stamp(leader, leader_stamp) && stamp == follower.stamp &&
      leader_stamp == follower.leader_stamp;
  leader.close();
  budget_.give_back();
  const TwinBoard::Settled settled = twins_.settle(entry, equal, follower, task.digest);
  if (settled == TwinBoard::Settled::digest_it) return false;
  // A waiting task may be handed back by the leader's thread from now on.
  at.task = nullptr;
  at.file.close();
  budget_.give_back();
  if (settled == TwinBoard::Settled::digested) {
    task.outcome = Outcome::digested;
    complete(task);
  }
  return true;
}

bool DigestQueue::let_go_twins() {
  const std::size_t closed = twins_.let_go();
  for (std::size_t i = 0; i < closed; ++i) budget_.give_back();
  return closed > 0;
}

// Hands back the followers that waited on a leader: each with the leader's
// digest when it is trusted, else digested here on its own.
void DigestQueue::hand_over(Worker& worker, const TwinBoard::Handover& handover,
                            const Md5Digest& digest) {
  for (std::size_t i = 0; i < handover.count; ++i) {
    Task& task = slots_[handover.waiting[i].task];
    if (!handover.trusted) {
      finish(task, worker.digest, worker.buffer, worker.batch);
      continue;
    }
    task.digest = digest;
    task.outcome = Outcome::digested;
    complete(task);
  }
}

// Reads the next chunk of the lane's file and lends it to the lane; false
// when a read fails, the file has outgrown the size found before it was
// opened (it changed, or is no regular file), or the tasks are dropped.
bool DigestQueue::feed_lane(Worker& worker, int lane) {
  Lane& at = worker.lane[lane];
  if (cancelled_.load(std::memory_order_relaxed)) return false;
  const long got = read_chunk(at.file, at.chunk, kLaneChunk, at.size, at.read, at.ended);
  if (got < 0) return false;
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
// with outcome; an unreadable file gets no digest. A leader first ends on
// the twin board, while its file is open, and its followers are handed back
// after it; its file, digested, may stay open there, with its descriptor.
void DigestQueue::end_lane(Worker& worker, int lane, Outcome outcome) {
  Lane& at = worker.lane[lane];
  Task& task = *at.task;
  at.task = nullptr;
  if (--worker.active == 0) --hashing_;
  if (outcome != Outcome::digested) task.digest.fill(0);
  const Md5Digest digest = task.digest;
  TwinBoard::Handover handover;
  if (at.twin >= 0) {
    const Md5Digest* leading = outcome == Outcome::digested ? &digest : nullptr;
    twins_.leader_ended(at.twin, leading, at.file, budget_.usable() >= kKeepBudget, handover);
    at.twin = -1;
  }
  // A small file was closed once read, and a kept one is the board's; one
  // the board let go for it is closed here.
  if (at.file.valid()) {
    at.file.close();
    budget_.give_back();
  }
  task.outcome = outcome;
  complete(task);
  hand_over(worker, handover, digest);
}

}  // namespace mirvale
