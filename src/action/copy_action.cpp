// One copy acted on: opened the safe way, checked against the kept file,
// compared, looked at once more, then shared, linked or removed.
#include "action/copy_action.h"

#include <cstring>

#include "scan/file_compare.h"

namespace mirvale {

namespace {

constexpr const char* kLeftoverPrefixes[] = {".mirvale-link-", ".mirvale-delete-"};
constexpr std::size_t kLeftoverDigits = 16;

Outcome& leave(Outcome& out, LeftAlone reason) {
  out.reason = reason;
  return out;
}

}  // namespace

ReclaimHooks& reclaim_hooks() {
  static ReclaimHooks hooks;
  return hooks;
}

void at_seam(ReclaimSeam seam, const char* path) {
  auto* const work = reclaim_hooks().at[static_cast<int>(seam)];
  if (work != nullptr) work(path);
}

// The directory given that path lies below: the longest whose path and
// separator begin it, since no directory given lies below another.
bool locate(const ScanRoots& roots, const char* path, Place& place) {
  place = Place{};
  std::size_t best = 0;
  for (std::size_t r = 0; r < roots.count(); ++r) {
    const ScanRoot& root = roots[r];
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

bool is_leftover(const char* path) {
  const char* slash = std::strrchr(path, '/');
  const char* name = slash != nullptr ? slash + 1 : path;
  for (const char* prefix : kLeftoverPrefixes) {
    const std::size_t length = std::strlen(prefix);
    if (std::strncmp(name, prefix, length) != 0 || std::strlen(name) != length + kLeftoverDigits)
      continue;
    return std::strspn(name + length, "0123456789abcdef") == kLeftoverDigits;
  }
  return false;
}

// splitmix64: every state gives another name, and a name tells nothing of
// the next without the state.
void NameSource::next(const char* prefix, char (&out)[40]) {
  if (!seeded_) state_ = platform::random_bits();
  seeded_ = true;
  std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  z ^= z >> 31;
  std::size_t length = std::strlen(prefix);  // at most 16, as every prefix here
  if (length + kLeftoverDigits >= sizeof out) length = 0;
  std::memcpy(out, prefix, length);
  for (std::size_t d = 0; d < kLeftoverDigits; ++d)
    out[length + d] = "0123456789abcdef"[(z >> (4 * (kLeftoverDigits - 1 - d))) & 0xf];
  out[length + kLeftoverDigits] = '\0';
}

Outcome CopyAction::run(KeptFile& kept, const char* path, IoBuffer& io, NameSource& names) const {
  Outcome out;
  Place place;
  platform::FileHandle copy;
  platform::FileFacts facts;
  at_seam(ReclaimSeam::before_checks, path);
  out.leftover = is_leftover(path) && kind_ != ActionKind::dedupe;
  if (!checks_hold(kept, path, place, copy, facts, out.leftover, io, out)) return out;
  at_seam(ReclaimSeam::before_change, path);
  // The last look: both files are what they were when checked and compared.
  // A change of names looks at the copy under its name just before it is
  // made, and that look finds it unchanged or nothing is done.
  const bool looked_at_by_name = !dry_run_ && kind_ != ActionKind::dedupe;
  platform::FileFacts now;
  if ((!looked_at_by_name && (!platform::file_facts(copy, now) || !now.unchanged(facts))) ||
      !platform::file_facts(kept.handle, now) || !now.unchanged(kept.facts))
    return leave(out, LeftAlone::changed);
  change(kept, path, place, copy, facts, names, out);
  return out;
}

// Opens the copy the safe way and checks it against the kept file, its
// bytes included where the change is ours to make; false, with the reason
// in out, when it is to be left as it is.
bool CopyAction::checks_hold(const KeptFile& kept, const char* path, Place& place,
                             platform::FileHandle& copy, platform::FileFacts& facts, bool leftover,
                             IoBuffer& io, Outcome& out) const {
  if (!locate(*roots_, path, place) ||
      platform::open_file_below(place.root->handle, place.below, copy, facts) !=
          platform::OpenStatus::opened) {
    leave(out, LeftAlone::not_opened);
    return false;
  }
  LeftAlone reason = LeftAlone::count;
  if (facts.same_file(kept.facts) && !leftover)
    reason = LeftAlone::same_file;
  else if (facts.size != kept.facts.size)
    reason = LeftAlone::differs;
  else if (kind_ == ActionKind::link && !leftover && facts.device != kept.facts.device)
    reason = LeftAlone::other_device;
  else if (kind_ == ActionKind::link && !leftover &&
           (facts.owner != kept.facts.owner || facts.group != kept.facts.group ||
            facts.mode != kept.facts.mode))
    reason = LeftAlone::other_owner;
  if (reason == LeftAlone::count && kind_ != ActionKind::dedupe && !facts.same_file(kept.facts)) {
    const Comparison c = compare_range(kept.handle, copy, 0, facts.size, io, nullptr);
    if (c != Comparison::same)
      reason = c == Comparison::different ? LeftAlone::differs : LeftAlone::not_opened;
  }
  leave(out, reason);
  return reason == LeftAlone::count;
}

// Makes the change to the copy at path (or says it would), relative to its
// directory opened the safe way.
void CopyAction::change(KeptFile& kept, const char* path, const Place& place,
                        const platform::FileHandle& copy, const platform::FileFacts& facts,
                        NameSource& names, Outcome& out) const {
  const std::uint64_t freed = facts.links == 1 && !facts.same_file(kept.facts) ? facts.size : 0;
  if (dry_run_) {
    out.bytes = kind_ == ActionKind::dedupe ? facts.size : freed;
    return;
  }
  if (kind_ == ActionKind::dedupe) return share(kept, copy, facts, out);
  change_name(kept, path, place, facts, names, out);
  if (!out.changed()) return;
  platform::file_facts(kept.handle, kept.facts);  // a new link moves its change time
  out.bytes = freed;
}

// Links or removes the copy's name in its directory, opened the safe way,
// once the name is seen to hold the copy still, unchanged.
void CopyAction::change_name(const KeptFile& kept, const char* path, const Place& place,
                             const platform::FileFacts& facts, NameSource& names,
                             Outcome& out) const {
  platform::FileHandle dir_handle;
  if (platform::open_directory_below(place.root->handle, place.below, place.directory,
                                     dir_handle) != platform::OpenStatus::opened) {
    leave(out, LeftAlone::not_opened);
    return;
  }
  const platform::DirectoryRef dir = dir_handle.valid()
                                         ? platform::DirectoryRef(dir_handle)
                                         : platform::DirectoryRef(place.root->handle);
  const char* name = place.below + place.directory + (place.directory > 0 ? 1 : 0);
  const bool link = kind_ == ActionKind::link && !out.leftover;
  names.next(kLeftoverPrefixes[link ? 0 : 1], out.temporary);
  platform::NameChange result = platform::NameChange::changed;
  if (platform::name_holds_unchanged(dir, name, facts)) {
    at_seam(ReclaimSeam::before_rename, path);
    result = link ? platform::link_in_place(kept.handle, dir, name, facts, out.temporary)
                  : platform::remove_name(dir, name, facts, out.temporary);
  }
  out.stranded = result == platform::NameChange::stranded;
  if (result != platform::NameChange::done)
    leave(out, result == platform::NameChange::failed ? LeftAlone::failed : LeftAlone::changed);
}

// Asks the kernel to share the copy's blocks with the kept file's, a piece
// at a time, out saying how much it shared or why it did not share them all.
void CopyAction::share(const KeptFile& kept, const platform::FileHandle& copy,
                       const platform::FileFacts& facts, Outcome& out) const {
  bool asked = false;  // some piece was not shared already
  for (std::uint64_t at = 0; at < facts.size;) {
    const std::uint64_t left = facts.size - at;
    const std::uint64_t piece = left < kSharePiece ? left : kSharePiece;
    if (platform::blocks_already_shared(kept.handle, copy, at, piece)) {
      at += piece;
      continue;
    }
    asked = true;
    std::uint64_t got = 0;
    const platform::Sharing sharing = platform::share_blocks(kept.handle, copy, at, piece, got);
    out.bytes += got;
    if (sharing == platform::Sharing::shared && got > 0) {
      at += got;
      continue;
    }
    leave(out, sharing == platform::Sharing::unsupported ? LeftAlone::cannot_share
               : sharing == platform::Sharing::differs   ? LeftAlone::differs
                                                         : LeftAlone::failed);
    return;
  }
  if (!asked && facts.size > 0) leave(out, LeftAlone::shared_already);
}

}  // namespace mirvale
