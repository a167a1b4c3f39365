// Copies acted on by worker threads while the report goes on. What the
// report prints meanwhile is held with them, in order, and handed on once
// every copy before it is done, so that the console reads as if each copy
// were acted on the moment its line was printed. Memory is fixed: so many
// lines, copies and groups are held at most, and the report waits for room.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "action/copy_action.h"
#include "scan/scan_path.h"
#include "types.h"

namespace mirvale {

// A group being acted on: its kept file and the path it was printed under.
struct ActionGroup {
  KeptFile kept;
  char path[ScanPath::kCapacity] = {};
  bool changed = false;  // some copy of it was changed, or would be in a dry run
};

// Gets what the queue held, in the order it was added, on the thread that adds.
class ActionPrinter {
 public:
  virtual void text(const char* bytes, std::size_t size) = 0;
  // group is null for a file that belongs to no group being acted on.
  virtual void outcome(ActionGroup* group, const char* path, const Outcome& outcome) = 0;
  // Every copy of group has been handed on.
  virtual void group_done(ActionGroup& group) = 0;

 protected:
  ~ActionPrinter() = default;
};

class ActionQueue {
 public:
  static constexpr std::size_t kMaxWorkers = 4;
  static constexpr std::size_t kGroups = 256;            // groups open at once
  static constexpr std::size_t kWakeBatch = 32;          // copies that wake a sleeping worker
  static constexpr std::size_t kEntries = 4096;          // lines and copies held
  static constexpr std::size_t kTextBytes = 512 * 1024;  // the bytes of both
  static constexpr std::size_t kNoGroup = kGroups;
  static_assert(kTextBytes >= kIoBufferSize + ScanPath::kCapacity, "a line and a path fit");

  explicit ActionQueue(ActionPrinter& printer) : printer_(printer) {}
  ActionQueue(const ActionQueue&) = delete;
  ActionQueue& operator=(const ActionQueue&) = delete;
  ~ActionQueue() { end_workers(); }

  // Starts up to kMaxWorkers workers, which keep up to kGroups groups open;
  // with none, each copy is acted on as it is added, one group at a time.
  void start(const CopyAction& action, unsigned workers);
  // Waits for every copy and hands on all that is held; the workers end.
  void finish();

  // A group to fill, kept file and path, before its copies are added;
  // waits while every group is open.
  std::size_t open_group();
  ActionGroup& group(std::size_t g) { return slots_[g].group; }
  // No more copies come for group g; it is closed once all are handed on.
  void close_group(std::size_t g);

  // A line of the report's, at most kIoBufferSize bytes.
  void add_text(const void* bytes, std::size_t size);
  // A copy of group g, to be acted on.
  void add_copy(std::size_t g, const char* path);
  // Wakes the workers for copies fewer than a batch, before the adding
  // thread waits for something else.
  void flush();
  // A file whose outcome is known already; g may be kNoGroup.
  void add_outcome(std::size_t g, const char* path, const Outcome& outcome);

 private:
  enum class Kind : std::uint8_t { text, copy, outcome };
  struct Entry {
    Kind kind = Kind::text;
    bool taken = false;  // a worker acts on it, or has
    bool done = false;
    std::size_t group = kNoGroup;
    std::size_t at = 0;      // where its bytes (a copy's path, with its 0) start in text_
    std::size_t length = 0;  // and their count
    std::uint64_t end = 0;   // text_tail_ just after them
    Outcome outcome;
  };
  struct Slot {
    ActionGroup group;
    bool open = false;
    bool closed = false;
    std::size_t held = 0;  // its entries not yet handed on
    bool busy = false;     // a worker acts on one of its copies
  };
  struct Worker {
    std::thread thread;
    IoBuffer io;
    NameSource names;
  };

  Entry& entry(std::uint64_t i) { return entries_[i % kEntries]; }
  Entry& add(std::unique_lock<std::mutex>& lock, Kind kind, std::size_t group, std::size_t size);
  Entry& add_path(std::unique_lock<std::mutex>& lock, Kind kind, std::size_t group,
                  const char* path);
  void wake_for_untaken();
  bool reserve(std::size_t size, std::size_t& at);
  void hand_on(std::unique_lock<std::mutex>& lock);
  void wait_for_work(std::unique_lock<std::mutex>& lock);
  bool next_copy(std::uint64_t& i);
  void release(Slot& slot);
  void serve(unsigned w);
  void end_workers();

  ActionPrinter& printer_;
  const CopyAction* action_ = nullptr;
  std::mutex mutex_;
  std::condition_variable progress_;  // a copy is done, for the adding thread
  std::condition_variable work_;      // copies wait, for the workers
  bool waiting_ = false;              // the adding thread waits on progress_
  bool stopping_ = false;
  unsigned worker_count_ = 0;
  unsigned asleep_ = 0;              // workers waiting on work_
  std::size_t untaken_ = 0;          // copies added that no worker has taken
  std::uint64_t first_untaken_ = 0;  // no copy before it waits to be taken
  std::size_t group_limit_ = 1;
  std::uint64_t head_ = 0;  // the first entry not handed on
  std::uint64_t tail_ = 0;  // the next entry to add
  std::uint64_t text_head_ = 0;
  std::uint64_t text_tail_ = 0;
  Entry entries_[kEntries];
  Slot slots_[kGroups];
  Worker workers_[kMaxWorkers];  // workers_[0] acts on copies as they come when none started
  char text_[kTextBytes];
};

}  // namespace mirvale
