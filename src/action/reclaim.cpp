// Acting on confirmed groups: choosing the kept file, the checks made on
// each copy just before its change, the change, and the totals.
#include "action/reclaim.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "scan/file_compare.h"

namespace mirvale {

namespace {

constexpr const char* kReasons[] = {"Not Opened",
                                    "Changed",
                                    "Differs",
                                    "Failed",
                                    "Same File",
                                    "Other Filesystem",
                                    "Other Owner",
                                    "Cannot Share",
                                    "Shared Already",
                                    "Kept Below --keep-in",
                                    "No File Below --keep-in",
                                    "Too Many Before Kept"};
static_assert(sizeof kReasons / sizeof kReasons[0] == static_cast<int>(LeftAlone::count));

// Left alone for these reasons, a copy fails the run: a check found it was
// not what it was when its group was confirmed, or a change was refused.
bool is_failure(LeftAlone reason) {
  return reason == LeftAlone::not_opened || reason == LeftAlone::changed ||
         reason == LeftAlone::differs || reason == LeftAlone::failed;
}

// The names --link gives a new link before it takes the copy's name, and
// --delete a copy's name before it removes it: a run killed between the two
// leaves one, a name of a file whose bytes are a kept file's.
constexpr const char* kLeftoverPrefixes[] = {".mirvale-link-", ".mirvale-delete-"};
constexpr std::size_t kLeftoverDigits = 16;

bool is_leftover(const char* name) {
  for (const char* prefix : kLeftoverPrefixes) {
    const std::size_t length = std::strlen(prefix);
    if (std::strncmp(name, prefix, length) != 0 || std::strlen(name) != length + kLeftoverDigits)
      continue;
    return std::strspn(name + length, "0123456789abcdef") == kLeftoverDigits;
  }
  return false;
}

const char* base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

}  // namespace

ReclaimHooks& reclaim_hooks() {
  static ReclaimHooks hooks;
  return hooks;
}

namespace {

void at_seam(ReclaimSeam seam, const char* path) {
  auto* const work = reclaim_hooks().at[static_cast<int>(seam)];
  if (work != nullptr) work(path);
}

}  // namespace

std::size_t Reclaim::prepare(const ReclaimSettings& settings, const ScanRoots& roots) {
  settings_ = settings;
  roots_ = &roots;
  if (settings.keep_in_count > kMaxKeepIn) return kMaxKeepIn;
  char root_real[ScanPath::kCapacity];
  char keep_real[ScanPath::kCapacity];
  for (std::size_t k = 0; k < settings.keep_in_count; ++k) {
    if (!platform::real_directory_path(settings.keep_in[k], keep_real, sizeof keep_real)) return k;
    std::size_t found = roots.count();
    for (std::size_t r = 0; r < roots.count() && found == roots.count(); ++r) {
      if (!platform::real_directory_path(roots[r].path, root_real, sizeof root_real)) continue;
      std::size_t length = std::strlen(root_real);
      if (length == 1) length = 0;  // "/": every path lies below it
      if (std::strncmp(keep_real, root_real, length) != 0) continue;
      const char* rest = keep_real + length;
      if (*rest != '\0' && *rest != '/') continue;
      found = r;
      std::snprintf(keep_in_below_[k], ScanPath::kCapacity, "%s", *rest == '/' ? rest + 1 : rest);
    }
    if (found == roots.count()) return k;
    keep_in_root_[k] = found;
  }
  return settings.keep_in_count;
}

// Finds the directory given that path lies below: the longest whose path and
// separator begin it, since no directory given lies below another.
bool Reclaim::locate(const char* path, Place& place) const {
  place = Place{};
  std::size_t best = 0;
  for (std::size_t r = 0; r < roots_->count(); ++r) {
    const ScanRoot& root = (*roots_)[r];
    if (root.skip <= best || std::strncmp(path, root.path, root.length) != 0 ||
        path[root.length] != kSeparator)
      continue;
    best = root.skip;
    place.root = &root;
  }
  if (place.root == nullptr || path[best] == '\0') return false;
  place.below = path + best;
  const char* slash = std::strrchr(place.below, '/');
  place.directory = slash != nullptr ? static_cast<std::size_t>(slash - place.below) : 0;
  return true;
}

bool Reclaim::below_keep_in(const Place& place) const {
  for (std::size_t k = 0; k < settings_.keep_in_count; ++k) {
    if (&(*roots_)[keep_in_root_[k]] != place.root) continue;
    const std::size_t length = std::strlen(keep_in_below_[k]);
    if (length == 0) return true;
    if (std::strncmp(place.below, keep_in_below_[k], length) == 0 && place.below[length] == '/')
      return true;
  }
  return false;
}

void Reclaim::begin_group() {
  end_group();
  in_group_ = true;
}

void Reclaim::end_group() {
  if (!in_group_) return;
  for (std::size_t at = 0; at < pending_used_; at += std::strlen(pending_ + at) + 1)
    leave(pending_ + at, LeftAlone::no_kept_file);
  if (group_changed_) ++groups_;
  pending_used_ = 0;
  group_changed_ = false;
  in_group_ = false;
  kept_.close();
}

void Reclaim::file(std::string_view text) {
  char path[ScanPath::kCapacity];
  if (!in_group_ || text.size() >= sizeof path) return;
  std::memcpy(path, text.data(), text.size());
  path[text.size()] = '\0';
  Place place;
  const bool placed = locate(path, place);
  if (kept_.valid()) {
    if (placed && below_keep_in(place))
      leave(path, LeftAlone::kept_below);
    else
      act_on(path);
    return;
  }
  const bool eligible = placed && !is_leftover(base_name(path)) &&
                        (settings_.keep_in_count == 0 || below_keep_in(place));
  if (!eligible || !take_kept(path)) return hold_back(path);
  // The files met before the kept one are its copies too.
  for (std::size_t at = 0; at < pending_used_; at += std::strlen(pending_ + at) + 1)
    act_on(pending_ + at);
  pending_used_ = 0;
}

// Opens the file at path as the group's kept file; false, with the reason
// said, when it cannot be.
bool Reclaim::take_kept(const char* path) {
  Place place;
  if (!locate(path, place) ||
      platform::open_file_below(place.root->handle, place.below, kept_, kept_facts_) !=
          platform::OpenStatus::opened) {
    kept_.close();
    leave(path, LeftAlone::not_opened);
    return false;
  }
  std::snprintf(kept_path_, sizeof kept_path_, "%s", path);
  return true;
}

// Keeps path until the group's kept file is known, when there is room.
void Reclaim::hold_back(const char* path) {
  const std::size_t length = std::strlen(path) + 1;
  if (length > kPendingBytes - pending_used_) return leave(path, LeftAlone::too_many);
  std::memcpy(pending_ + pending_used_, path, length);
  pending_used_ += length;
}

// Checks the copy at path against the kept file, just before its change,
// and changes it when every check holds.
void Reclaim::act_on(const char* path) {
  Place place;
  platform::FileHandle copy;
  platform::FileFacts facts;
  at_seam(ReclaimSeam::before_checks, path);
  if (!check_copy(path, place, copy, facts)) return;
  const bool leftover = is_leftover(base_name(path)) && settings_.kind != ActionKind::dedupe;
  if (facts.same_file(kept_facts_) && !leftover) return leave(path, LeftAlone::same_file);
  if (facts.size != kept_facts_.size) return leave(path, LeftAlone::differs);
  if (settings_.kind == ActionKind::link && !leftover) {
    if (facts.device != kept_facts_.device) return leave(path, LeftAlone::other_device);
    if (facts.owner != kept_facts_.owner || facts.group != kept_facts_.group ||
        facts.mode != kept_facts_.mode)
      return leave(path, LeftAlone::other_owner);
  }
  if (settings_.kind != ActionKind::dedupe && !facts.same_file(kept_facts_)) {
    const Comparison c = compare_range(kept_, copy, 0, facts.size, io_, nullptr);
    if (c != Comparison::same)
      return leave(path, c == Comparison::different ? LeftAlone::differs : LeftAlone::not_opened);
  }
  at_seam(ReclaimSeam::before_change, path);
  if (!still_same(path, copy, facts)) return;
  change(path, place, copy, facts, leftover);
}

// Opens the copy at path the safe way and learns its facts.
bool Reclaim::check_copy(const char* path, Place& place, platform::FileHandle& copy,
                         platform::FileFacts& facts) {
  if (!locate(path, place) || platform::open_file_below(place.root->handle, place.below, copy,
                                                        facts) != platform::OpenStatus::opened) {
    leave(path, LeftAlone::not_opened);
    return false;
  }
  return true;
}

// Whether the copy and the kept file are still what they were when checked:
// same device, inode, size and status-change time.
bool Reclaim::still_same(const char* path, const platform::FileHandle& copy,
                         const platform::FileFacts& facts) {
  platform::FileFacts now_copy;
  platform::FileFacts now_kept;
  if (platform::file_facts(copy, now_copy) && now_copy.unchanged(facts) &&
      platform::file_facts(kept_, now_kept) && now_kept.unchanged(kept_facts_))
    return true;
  leave(path, LeftAlone::changed);
  return false;
}

// Makes the change to the copy at path (or says it would), relative to its
// directory opened the safe way.
void Reclaim::change(const char* path, const Place& place, const platform::FileHandle& copy,
                     const platform::FileFacts& facts, bool leftover) {
  const std::uint64_t freed = facts.links == 1 && !facts.same_file(kept_facts_) ? facts.size : 0;
  const char* verb = leftover                               ? "Remove Leftover"
                     : settings_.kind == ActionKind::dedupe ? "Dedupe"
                     : settings_.kind == ActionKind::link   ? "Link"
                                                            : "Delete";
  if (settings_.dry_run)
    return done(path, verb, settings_.kind == ActionKind::dedupe ? facts.size : freed);
  if (settings_.kind == ActionKind::dedupe) {
    std::uint64_t shared = 0;
    if (share(path, copy, facts, shared)) done(path, verb, shared);
    return;
  }
  if (!change_name(path, place, facts, leftover)) return;
  platform::file_facts(kept_, kept_facts_);  // a new link moves its change time
  done(path, verb, freed);
}

// Links or removes the copy's name in its directory, opened the safe way,
// once the name is seen to hold the copy still; false, with the reason
// said, when it is left as it is.
bool Reclaim::change_name(const char* path, const Place& place, const platform::FileFacts& facts,
                          bool leftover) {
  platform::FileHandle dir_handle;
  if (platform::open_directory_below(place.root->handle, place.below, place.directory,
                                     dir_handle) != platform::OpenStatus::opened) {
    leave(path, LeftAlone::not_opened);
    return false;
  }
  const platform::DirectoryRef dir = dir_handle.valid()
                                         ? platform::DirectoryRef(dir_handle)
                                         : platform::DirectoryRef(place.root->handle);
  const char* name = place.below + place.directory + (place.directory > 0 ? 1 : 0);
  const bool link = settings_.kind == ActionKind::link && !leftover;
  char temporary[64];
  std::snprintf(temporary, sizeof temporary, "%s%016" PRIx64, kLeftoverPrefixes[link ? 0 : 1],
                platform::random_bits());
  platform::NameChange result = platform::NameChange::changed;
  if (platform::name_holds(dir, name, facts)) {
    at_seam(ReclaimSeam::before_rename, path);
    result = link ? platform::link_in_place(kept_, dir, name, facts, temporary)
                  : platform::remove_name(dir, name, facts, temporary);
  }
  if (result == platform::NameChange::stranded && json_ == nullptr)
    console_.print("Mirvale: Another File Took '%s': Now Named '%s'\n", path, temporary);
  if (result == platform::NameChange::done) return true;
  leave(path, result == platform::NameChange::failed ? LeftAlone::failed : LeftAlone::changed);
  return false;
}

// Asks the kernel to share the copy's blocks with the kept file's, a piece
// at a time; false, with the reason said, when it does not share them all.
bool Reclaim::share(const char* path, const platform::FileHandle& copy,
                    const platform::FileFacts& facts, std::uint64_t& shared) {
  bool asked = false;  // some piece was not shared already
  for (std::uint64_t at = 0; at < facts.size;) {
    const std::uint64_t left = facts.size - at;
    const std::uint64_t piece = left < kSharePiece ? left : kSharePiece;
    if (platform::blocks_already_shared(kept_, copy, at, piece)) {
      at += piece;
      continue;
    }
    asked = true;
    std::uint64_t got = 0;
    const platform::Sharing sharing = platform::share_blocks(kept_, copy, at, piece, got);
    shared += got;
    if (sharing == platform::Sharing::shared && got > 0) {
      at += got;
      continue;
    }
    if (sharing == platform::Sharing::unsupported) {
      if (!share_unsupported_said_ && json_ == nullptr)
        console_.print("Mirvale: Cannot Share Blocks Of '%s': Nothing Shared There\n", path);
      share_unsupported_said_ = true;
      leave(path, LeftAlone::cannot_share);
    } else {
      leave(path, sharing == platform::Sharing::differs ? LeftAlone::differs : LeftAlone::failed);
    }
    return false;
  }
  if (asked || facts.size == 0) return true;
  leave(path, LeftAlone::shared_already);
  return false;
}

// Counts and says a change made, or planned in a dry run.
void Reclaim::done(const char* path, const char* verb, std::uint64_t freed) {
  ++changed_;
  freed_ += freed;
  group_changed_ = true;
  const bool names_kept =
      settings_.kind != ActionKind::remove && std::strcmp(verb, "Remove Leftover") != 0;
  if (json_ != nullptr) {
    json_->action(verb, path, names_kept ? kept_path_ : nullptr, settings_.dry_run);
    return;
  }
  const char* plan = settings_.dry_run ? "Planned " : "";
  const char* joint = settings_.kind == ActionKind::dedupe ? "With" : "To";
  if (names_kept)
    console_.print("Mirvale: %s%s '%s' %s '%s'\n", plan, verb, path, joint, kept_path_);
  else
    console_.print("Mirvale: %s%s '%s'\n", plan, verb, path);
}

// Counts and, where it is worth a line, says a copy left as it is; a
// failed check fails the run.
void Reclaim::leave(const char* path, LeftAlone reason) {
  ++left_[static_cast<int>(reason)];
  if (is_failure(reason)) failed_ = true;
  const bool quiet_reason = reason == LeftAlone::same_file || reason == LeftAlone::kept_below ||
                            reason == LeftAlone::no_kept_file ||
                            reason == LeftAlone::cannot_share ||
                            reason == LeftAlone::shared_already;
  if (json_ != nullptr) {
    json_->left_alone(kReasons[static_cast<int>(reason)], path);
  } else if (!quiet_reason) {
    console_.print("Mirvale: Left Alone '%s': %s\n", path, kReasons[static_cast<int>(reason)]);
  }
}

void Reclaim::summarise() {
  end_group();
  if (json_ != nullptr) {
    json_->action_totals({groups_, changed_, freed_, settings_.dry_run, left_, kReasons,
                          static_cast<std::size_t>(LeftAlone::count)});
    return;
  }
  std::uint64_t left = 0;
  for (std::uint64_t n : left_) left += n;
  console_.print("Mirvale: %sSummary: Groups Acted On %" PRIu64 ", Files Changed %" PRIu64
                 ", Bytes %s %" PRIu64 ", Files Left Alone %" PRIu64,
                 settings_.dry_run ? "Planned " : "", groups_, changed_,
                 settings_.kind == ActionKind::dedupe ? "Shared" : "Freed", freed_, left);
  const char* joint = " (";
  for (int r = 0; r < static_cast<int>(LeftAlone::count); ++r) {
    if (left_[r] == 0) continue;
    console_.print("%s%s %" PRIu64, joint, kReasons[r], left_[r]);
    joint = ", ";
  }
  console_.write(left > 0 ? ")\n" : "\n");
}

}  // namespace mirvale
