// Acting on confirmed groups: choosing the kept file, the checks made on
// each copy just before its change, the change, and the totals.
#include "action/reclaim.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

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

}  // namespace

std::size_t Reclaim::prepare(const ReclaimSettings& settings, const ScanRoots& roots) {
  settings_ = settings;
  roots_ = &roots;
  action_ = CopyAction(settings.kind, settings.dry_run, roots);
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

bool Reclaim::allocate(const ReclaimSettings& settings) {
  if (settings.kind == ActionKind::none) return true;
  queue_.reset(new (std::nothrow) ActionQueue(*this));
  return queue_ != nullptr;
}

void Reclaim::start(DescriptorBudget& budget, unsigned workers) {
  // A worker holds a copy and its directory; each group open, its kept file.
  // They are taken only from a budget that can spare them well.
  constexpr std::int64_t kSerial = 3;
  constexpr std::int64_t kShare = 4;
  if (json_ != nullptr) workers = 0;
  if (workers > ActionQueue::kMaxWorkers) workers = ActionQueue::kMaxWorkers;
  const std::int64_t wanted = static_cast<std::int64_t>(ActionQueue::kGroups + 2 * workers);
  if (workers > 0 && wanted * kShare > budget.usable()) workers = 0;
  const std::int64_t taking = workers > 0                           ? wanted
                              : kSerial * kShare <= budget.usable() ? kSerial
                                                                    : 0;
  budget_ = &budget;
  while (taken_ < taking && budget.take_file()) ++taken_;
  queue_->start(action_, taken_ == wanted ? workers : 0);
}

void Reclaim::begin_group() {
  end_group();
  in_group_ = true;
}

void Reclaim::end_group() {
  if (!in_group_) return;
  for (std::size_t at = 0; at < pending_used_; at += std::strlen(pending_ + at) + 1)
    say(pending_ + at, LeftAlone::no_kept_file);
  pending_used_ = 0;
  if (group_ != ActionQueue::kNoGroup) queue_->close_group(group_);
  group_ = ActionQueue::kNoGroup;
  in_group_ = false;
}

void Reclaim::file(std::string_view text) {
  char path[ScanPath::kCapacity];
  if (!in_group_ || text.size() >= sizeof path) return;
  std::memcpy(path, text.data(), text.size());
  path[text.size()] = '\0';
  // A copy is placed by the worker that acts on it; here only to see
  // whether it lies below --keep-in.
  Place place;
  const bool keeping_in = settings_.keep_in_count > 0;
  if (group_ != ActionQueue::kNoGroup) {
    if (keeping_in && locate(*roots_, path, place) && below_keep_in(place))
      say(path, LeftAlone::kept_below);
    else
      queue_->add_copy(group_, path);
    return;
  }
  const bool eligible =
      locate(*roots_, path, place) && !is_leftover(path) && (!keeping_in || below_keep_in(place));
  if (!eligible) return hold_back(path);
  if (!take_kept(path)) return;  // said Not Opened: not acted on as a copy too
  // The files met before the kept one are its copies too.
  for (std::size_t at = 0; at < pending_used_; at += std::strlen(pending_ + at) + 1)
    queue_->add_copy(group_, pending_ + at);
  pending_used_ = 0;
}

void Reclaim::print(const void* bytes, std::size_t size) {
  queue_->add_text(bytes, size);
}

// Opens the file at path as the group's kept file; false, with the reason
// said, when it cannot be.
bool Reclaim::take_kept(const char* path) {
  at_seam(ReclaimSeam::before_kept, path);
  const std::size_t g = queue_->open_group();
  ActionGroup& group = queue_->group(g);
  Place place;
  if (!locate(*roots_, path, place) ||
      platform::open_file_below(place.root->handle, place.below, group.kept.handle,
                                group.kept.facts) != platform::OpenStatus::opened) {
    queue_->close_group(g);
    say(path, LeftAlone::not_opened);
    return false;
  }
  std::snprintf(group.path, sizeof group.path, "%s", path);
  group_ = g;
  return true;
}

// Keeps path until the group's kept file is known, when there is room.
void Reclaim::hold_back(const char* path) {
  const std::size_t length = std::strlen(path) + 1;
  if (length > kPendingBytes - pending_used_) return say(path, LeftAlone::too_many);
  std::memcpy(pending_ + pending_used_, path, length);
  pending_used_ += length;
}

// Queues what is known of a file already, in its place among the copies.
void Reclaim::say(const char* path, LeftAlone reason) {
  Outcome outcome;
  outcome.reason = reason;
  queue_->add_outcome(group_, path, outcome);
}

void Reclaim::text(const char* bytes, std::size_t size) {
  console_.write(bytes, size);
}

void Reclaim::outcome(ActionGroup* group, const char* path, const Outcome& outcome) {
  // Only a copy of a group is ever changed.
  if (!outcome.changed()) return leave(path, outcome);
  if (group != nullptr) done(*group, path, outcome);
}

void Reclaim::group_done(ActionGroup& group) {
  if (group.changed) ++groups_;
}

// Counts and says a change made, or planned in a dry run.
void Reclaim::done(ActionGroup& group, const char* path, const Outcome& outcome) {
  ++changed_;
  freed_ += outcome.bytes;
  group.changed = true;
  const char* verb = outcome.leftover                       ? "Remove Leftover"
                     : settings_.kind == ActionKind::dedupe ? "Dedupe"
                     : settings_.kind == ActionKind::link   ? "Link"
                                                            : "Delete";
  const bool names_kept = settings_.kind != ActionKind::remove && !outcome.leftover;
  if (json_ != nullptr) {
    json_->action(verb, path, names_kept ? group.path : nullptr, settings_.dry_run);
    return;
  }
  const char* plan = settings_.dry_run ? "Planned " : "";
  const char* joint = settings_.kind == ActionKind::dedupe ? "With" : "To";
  if (names_kept)
    console_.print("Mirvale: %s%s '%s' %s '%s'\n", plan, verb, path, joint, group.path);
  else
    console_.print("Mirvale: %s%s '%s'\n", plan, verb, path);
}

// Counts and, where it is worth a line, says a copy left as it is; a
// failed check fails the run.
void Reclaim::leave(const char* path, const Outcome& outcome) {
  const LeftAlone reason = outcome.reason;
  ++left_[static_cast<int>(reason)];
  if (is_failure(reason)) failed_ = true;
  if (json_ != nullptr) return json_->left_alone(kReasons[static_cast<int>(reason)], path);
  if (outcome.stranded)
    console_.print("Mirvale: Another File Took '%s': Now Named '%s'\n", path, outcome.temporary);
  if (reason == LeftAlone::cannot_share && !share_unsupported_said_)
    console_.print("Mirvale: Cannot Share Blocks Of '%s': Nothing Shared There\n", path);
  share_unsupported_said_ = share_unsupported_said_ || reason == LeftAlone::cannot_share;
  const bool quiet_reason = reason == LeftAlone::same_file || reason == LeftAlone::kept_below ||
                            reason == LeftAlone::no_kept_file ||
                            reason == LeftAlone::cannot_share ||
                            reason == LeftAlone::shared_already;
  if (!quiet_reason)
    console_.print("Mirvale: Left Alone '%s': %s\n", path, kReasons[static_cast<int>(reason)]);
}

void Reclaim::summarise() {
  end_group();
  if (queue_ != nullptr) queue_->finish();
  for (; taken_ > 0; --taken_) budget_->give_back();
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
