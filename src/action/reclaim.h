// Acting on confirmed groups: each copy shared with, linked to or removed in
// favour of the group's kept file, after checks made just before the change.
// The report hands groups over file by file as it prints them, and its lines
// too while copies are acted on in workers; memory stays the same whatever
// a group's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "action/action_queue.h"
#include "action/copy_action.h"
#include "platform/console.h"
#include "report/json_report.h"
#include "scan/descriptor_budget.h"
#include "scan/scan_path.h"
#include "scan/scan_roots.h"
#include "types.h"

namespace mirvale {

struct ReclaimSettings {
  ActionKind kind = ActionKind::none;
  bool dry_run = false;            // say what would be done, change nothing
  char* const* keep_in = nullptr;  // the --keep-in directories
  std::size_t keep_in_count = 0;
};

class Reclaim : private ActionPrinter {
 public:
  static constexpr std::size_t kMaxKeepIn = 16;
  static constexpr std::size_t kPendingBytes = 65536;

  Reclaim(platform::Console& console, JsonReport* json) : console_(console), json_(json) {}
  Reclaim(const Reclaim&) = delete;
  Reclaim& operator=(const Reclaim&) = delete;

  // Takes the settings and finds each --keep-in directory below one of the
  // roots, by its real path; the index of the first that is not, or
  // settings.keep_in_count. roots must stay open while groups are handed over.
  std::size_t prepare(const ReclaimSettings& settings, const ScanRoots& roots);
  bool active() const { return settings_.kind != ActionKind::none; }
  // The memory a run that acts needs; false when it is not there.
  bool allocate(const ReclaimSettings& settings);
  // Before the first group: starts up to workers workers, when the budget
  // spares the descriptors they and the groups they keep open need.
  void start(DescriptorBudget& budget, unsigned workers);

  // A confirmed group begins; the one before it, if any, ends.
  void begin_group();
  // The next file of the group, by its path as printed.
  void file(std::string_view path);
  // Console text of the report, printed in its place among the actions.
  void print(const void* bytes, std::size_t size);
  // The last group ends.
  void end_group();
  // The report is about to wait: copies held back for a batch are begun.
  void flush() { queue_->flush(); }
  // Waits for every copy, then prints the totals, on the console or into
  // the JSON document.
  void summarise();
  // Some copy failed a check or its change.
  bool failed() const { return failed_; }

 private:
  bool below_keep_in(const Place& place) const;
  bool take_kept(const char* path);
  void hold_back(const char* path);
  void say(const char* path, LeftAlone reason);

  void text(const char* bytes, std::size_t size) override;
  void outcome(ActionGroup* group, const char* path, const Outcome& outcome) override;
  void group_done(ActionGroup& group) override;
  void done(ActionGroup& group, const char* path, const Outcome& outcome);
  void leave(const char* path, const Outcome& outcome);

  platform::Console& console_;
  JsonReport* json_;  // gets the lines instead of the console, when set
  ReclaimSettings settings_;
  const ScanRoots* roots_ = nullptr;
  std::size_t keep_in_root_[kMaxKeepIn];                 // the root each --keep-in lies below
  char keep_in_below_[kMaxKeepIn][ScanPath::kCapacity];  // its path below that root
  bool in_group_ = false;                                // a group has begun
  std::size_t group_ = ActionQueue::kNoGroup;            // its place in the queue, once kept
  char pending_[kPendingBytes];          // paths met before the kept file, each ended by 0
  std::size_t pending_used_ = 0;         // bytes of pending_
  bool share_unsupported_said_ = false;  // the message has been printed
  bool failed_ = false;
  std::uint64_t groups_ = 0;   // groups acted on
  std::uint64_t changed_ = 0;  // files changed
  std::uint64_t freed_ = 0;    // bytes freed, or shared by the kernel
  std::uint64_t left_[static_cast<int>(LeftAlone::count)] = {};
  DescriptorBudget* budget_ = nullptr;  // what start took from, to be given back
  std::int64_t taken_ = 0;              // descriptors it took
  CopyAction action_;
  std::unique_ptr<ActionQueue> queue_;  // made only for a run that acts
};

}  // namespace mirvale
