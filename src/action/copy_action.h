// One copy of a confirmed group acted on: the checks made on it just before
// its change, and the change. What is done is handed back as an Outcome,
// never printed here, so that copies may be acted on in any thread while
// their lines keep the report's order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file.h"
#include "platform/reclaim.h"
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

// Left alone for these reasons, a copy fails the run: a check found it was
// not what it was when its group was confirmed, or a change was refused.
inline bool is_failure(LeftAlone reason) {
  return reason == LeftAlone::not_opened || reason == LeftAlone::changed ||
         reason == LeftAlone::differs || reason == LeftAlone::failed;
}

// The points where a test may change the tree while a copy is acted on.
enum class ReclaimSeam : std::uint8_t {
  before_checks,  // its group confirmed, the copy not yet opened
  before_change,  // the copy checked and compared, before the last look at both files
  before_rename,  // its name seen to hold it, before the name is changed
  before_kept,    // a group's kept file about to be opened
  count
};
// The work a test does at each seam; the one mutable global, never set
// outside tests.
struct ReclaimHooks {
  void (*at[static_cast<int>(ReclaimSeam::count)])(const char* copy_path) = {};
};
ReclaimHooks& reclaim_hooks();
// Does the work a test set for seam, if any.
void at_seam(ReclaimSeam seam, const char* path);

// Where a file lies: the directory given above it and its path below that.
struct Place {
  const ScanRoot* root = nullptr;  // the directory given that the file lies below
  const char* below = nullptr;     // its path below that directory
  std::size_t directory = 0;       // bytes of below that name its own directory
};
// Places path, as printed, below the directory given that begins it; false
// for a path below none of them.
bool locate(const ScanRoots& roots, const char* path, Place& place);

// The names --link gives a new link before it takes the copy's name, and
// --delete a copy's name before it removes it: a run killed between the two
// leaves one, a name of a file whose bytes are a kept file's.
bool is_leftover(const char* path);

// A group's kept file, open, with its facts when opened or after the last
// change made to its names.
struct KeptFile {
  platform::FileHandle handle;
  platform::FileFacts facts;
};

// What was done to one copy.
struct Outcome {
  LeftAlone reason = LeftAlone::count;  // why it was left alone; count when changed
  bool leftover = false;                // a leftover name of an earlier run, removed
  std::uint64_t bytes = 0;              // freed, or shared by the kernel
  bool stranded = false;                // another file took its name: now named temporary
  char temporary[40] = {};

  bool changed() const { return reason == LeftAlone::count; }
};

// The temporary names of one thread: unpredictable from outside the run,
// never the same twice within it.
class NameSource {
 public:
  // Writes prefix and 16 hexadecimal digits to out.
  void next(const char* prefix, char (&out)[40]);

 private:
  std::uint64_t state_ = 0;
  bool seeded_ = false;  // the state is drawn from the system on the first name
};

// Acts on copies of one run's groups; shared by every thread that does.
class CopyAction {
 public:
  static constexpr std::uint64_t kSharePiece = std::uint64_t{16} << 20;

  CopyAction() = default;
  CopyAction(ActionKind kind, bool dry_run, const ScanRoots& roots)
      : kind_(kind), dry_run_(dry_run), roots_(&roots) {}

  // Checks the copy at path against kept, just before its change, and
  // changes it when every check holds. kept belongs to the caller's thread
  // for the call; io and names are the thread's own.
  Outcome run(KeptFile& kept, const char* path, IoBuffer& io, NameSource& names) const;

 private:
  bool checks_hold(const KeptFile& kept, const char* path, Place& place, platform::FileHandle& copy,
                   platform::FileFacts& facts, bool leftover, IoBuffer& io, Outcome& out) const;
  void change(KeptFile& kept, const char* path, const Place& place,
              const platform::FileHandle& copy, const platform::FileFacts& facts, NameSource& names,
              Outcome& out) const;
  void change_name(const KeptFile& kept, const char* path, const Place& place,
                   const platform::FileFacts& facts, NameSource& names, Outcome& out) const;
  void share(const KeptFile& kept, const platform::FileHandle& copy,
             const platform::FileFacts& facts, Outcome& out) const;

  ActionKind kind_ = ActionKind::none;
  bool dry_run_ = false;
  const ScanRoots* roots_ = nullptr;
};

}  // namespace mirvale
