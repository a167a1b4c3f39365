// Acting on confirmed groups: each copy shared with, linked to or removed in
// favour of the group's kept file, after checks made just before the change.
// The report hands groups over file by file as it prints them; memory stays
// the same whatever a group's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/reclaim.h"
#include "report/json_report.h"
#include "scan/scan_path.h"
#include "scan/scan_roots.h"
#include "types.h"

namespace mirvale {

enum class ActionKind : std::uint8_t { none, dedupe, link, remove };

// Why a copy was left as it is. The first few are failures of the checks.
enum class LeftAlone : std::uint8_t {
  not_opened,      // it, its directory or the kept file could not be opened safely
  changed,         // not the file it was when confirmed, or no longer under its name
  differs,         // its bytes are no longer the kept file's
  failed,          // the system refused the change
  same_file,       // the kept file's own inode under another name
  other_device,    // --link: on another filesystem than the kept file
  other_owner,     // --link: another owner, group or mode than the kept file's
  cannot_share,    // --dedupe: its filesystem cannot share blocks
  shared_already,  // --dedupe: its blocks are the kept file's already
  kept_below,      // it lies below a --keep-in directory
  no_kept_file,    // its group has no file below a --keep-in directory
  too_many,        // one of too many met before the kept file to be held back
  count
};

// The points where a test may change the tree while a copy is acted on.
enum class ReclaimSeam : std::uint8_t {
  before_checks,  // its group confirmed, the copy not yet opened
  before_change,  // the copy checked and compared, before the last look at both files
  before_rename,  // its name seen to hold it, before the name is changed
  count
};
// The work a test does at each seam; the one mutable global, never set
// outside tests.
struct ReclaimHooks {
  void (*at[static_cast<int>(ReclaimSeam::count)])(const char* copy_path) = {};
};
ReclaimHooks& reclaim_hooks();

struct ReclaimSettings {
  ActionKind kind = ActionKind::none;
  bool dry_run = false;            // say what would be done, change nothing
  char* const* keep_in = nullptr;  // the --keep-in directories
  std::size_t keep_in_count = 0;
};

class Reclaim {
 public:
  static constexpr std::size_t kMaxKeepIn = 16;
  static constexpr std::size_t kPendingBytes = 65536;
  static constexpr std::uint64_t kSharePiece = std::uint64_t{16} << 20;

  Reclaim(platform::Console& console, JsonReport* json) : console_(console), json_(json) {}
  Reclaim(const Reclaim&) = delete;
  Reclaim& operator=(const Reclaim&) = delete;

  // Takes the settings and finds each --keep-in directory below one of the
  // roots, by its real path; the index of the first that is not, or
  // settings.keep_in_count. roots must stay open while groups are handed over.
  std::size_t prepare(const ReclaimSettings& settings, const ScanRoots& roots);
  bool active() const { return settings_.kind != ActionKind::none; }

  // A confirmed group begins; the one before it, if any, ends.
  void begin_group();
  // The next file of the group, by its path as printed.
  void file(std::string_view path);
  // The last group ends.
  void end_group();
  // Prints the totals, on the console or into the JSON document.
  void summarise();
  // Some copy failed a check or its change.
  bool failed() const { return failed_; }

 private:
  struct Place {
    const ScanRoot* root = nullptr;  // the directory given that the file lies below
    const char* below = nullptr;     // its path below that directory
    std::size_t directory = 0;       // bytes of below that name its own directory
  };
  bool locate(const char* path, Place& place) const;
  bool below_keep_in(const Place& place) const;
  bool take_kept(const char* path);
  void hold_back(const char* path);
  void act_on(const char* path);
  bool check_copy(const char* path, Place& place, platform::FileHandle& copy,
                  platform::FileFacts& facts);
  bool still_same(const char* path, const platform::FileHandle& copy,
                  const platform::FileFacts& facts);
  void change(const char* path, const Place& place, const platform::FileHandle& copy,
              const platform::FileFacts& facts, bool leftover);
  bool change_name(const char* path, const Place& place, const platform::FileFacts& facts,
                   bool leftover);
  bool share(const char* path, const platform::FileHandle& copy, const platform::FileFacts& facts,
             std::uint64_t& shared);
  void done(const char* path, const char* verb, std::uint64_t freed);
  void leave(const char* path, LeftAlone reason);

  platform::Console& console_;
  JsonReport* json_;  // gets the lines instead of the console, when set
  ReclaimSettings settings_;
  const ScanRoots* roots_ = nullptr;
  std::size_t keep_in_root_[kMaxKeepIn];                 // the root each --keep-in lies below
  char keep_in_below_[kMaxKeepIn][ScanPath::kCapacity];  // its path below that root
  bool in_group_ = false;                                // a group has begun
  bool group_changed_ = false;                           // some copy of it was changed (or planned)
  platform::FileHandle kept_;                            // the group's kept file, open
  platform::FileFacts kept_facts_;       // its facts when opened, or after our own change
  char kept_path_[ScanPath::kCapacity];  // its path as printed
  char pending_[kPendingBytes];          // paths met before the kept file, each ended by 0
  std::size_t pending_used_ = 0;         // bytes of pending_
  bool share_unsupported_said_ = false;  // the message has been printed
  bool failed_ = false;
  std::uint64_t groups_ = 0;   // groups acted on
  std::uint64_t changed_ = 0;  // files changed
  std::uint64_t freed_ = 0;    // bytes freed, or shared by the kernel
  std::uint64_t left_[static_cast<int>(LeftAlone::count)] = {};
  IoBuffer io_;  // the two files' bytes, compared
};

}  // namespace mirvale
