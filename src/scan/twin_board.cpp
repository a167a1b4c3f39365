// The twin board: leaders and their followers under one mutex, taken a few
// times for each large file, and the compared pairs in an open-addressed
// table keyed by name record.
#include "scan/twin_board.h"

namespace mirvale {

namespace {
std::size_t pair_slot(NameOffset name) {
  return static_cast<std::size_t>((name * 0x9e3779b97f4a7c15ull) >> 53) % TwinBoard::kPairSlots;
}
}  // namespace

TwinBoard::Role TwinBoard::arrive(std::uint64_t size, const platform::FileHandle& file,
                                  NameOffset name, int& entry, platform::FileHandle& leader) {
  std::lock_guard<std::mutex> lock(mutex_);
  int free = -1;
  for (int i = 0; i < static_cast<int>(kLeaders); ++i) {
    Entry& at = entries_[i];
    if (!at.used) {
      if (free < 0) free = i;
    } else if (at.file != nullptr && at.size == size) {
      leader = platform::duplicate(*at.file);
      if (!leader.valid()) return Role::alone;
      ++at.comparing;
      entry = i;
      return Role::follower;
    }
  }
  if (free < 0) return Role::alone;
  Entry& at = entries_[free];
  at = Entry{};
  at.used = true;
  at.size = size;
  at.file = &file;
  at.name = name;
  at.begun = platform::file_stamp(file, at.stamp);
  entry = free;
  return Role::leader;
}

TwinBoard::Settled TwinBoard::settle(int entry, bool equal, const Waiting& follower,
                                     Md5Digest& digest) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& at = entries_[entry];
  --at.comparing;
  Settled settled = Settled::digest_it;
  // A kept leader's digest is its file's only while its stamp holds.
  if (equal && at.ended && at.digested && (at.kept_at == 0 || follower.leader_stamp == at.stamp)) {
    digest = at.digest;
    note_pair(at.name, follower);
    settled = Settled::digested;
  } else if (equal && !at.ended && at.waiting < kFollowers) {
    at.wait[at.waiting++] = follower;
    settled = Settled::waiting;
  }
  release_if_done(at);
  return settled;
}

std::size_t TwinBoard::leader_ended(int entry, const Md5Digest* digest, Waiting* waiting,
                                    platform::FileHandle* keep) {
  std::uint64_t stamp = 0;
  const bool stamped = digest != nullptr && keep != nullptr && platform::file_stamp(*keep, stamp);
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& at = entries_[entry];
  at.ended = true;
  at.file = nullptr;
  at.digested = digest != nullptr;
  if (digest != nullptr) at.digest = *digest;
  const std::size_t count = at.waiting;
  for (std::size_t i = 0; i < count; ++i) {
    waiting[i] = at.wait[i];
    if (digest != nullptr) note_pair(at.name, at.wait[i]);
  }
  at.waiting = 0;
  // Only a file unchanged since its digest began is kept: its digest is its
  // content's.
  if (stamped && at.begun && stamp == at.stamp) keep_leader(at, *keep);
  release_if_done(at);
  return count;
}

std::size_t TwinBoard::let_go() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t closed = 0;
  for (Entry& at : entries_) {
    if (!at.kept.valid()) continue;
    at.kept.close();
    at.file = nullptr;
    ++closed;
    release_if_done(at);
  }
  kept_ = 0;
  return closed;
}

bool TwinBoard::compared_with(NameOffset name, NameOffset& leader, std::uint64_t& stamp) const {
  for (std::size_t slot = pair_slot(name);; slot = (slot + 1) % kPairSlots) {
    const Pair& at = pairs_[slot];
    if (!at.used) return false;
    if (at.name == name) {
      leader = at.leader;
      stamp = at.stamp;
      return true;
    }
  }
}

// Notes that follower was found equal to leader, when the table has room
// for both; the table stays at most half full, so that every look ends.
void TwinBoard::note_pair(NameOffset leader, const Waiting& follower) {
  if (pairs_used_ + 2 > kPairSlots / 2) return;
  put_pair(leader, leader, follower.leader_stamp);
  put_pair(follower.name, leader, follower.stamp);
}

void TwinBoard::put_pair(NameOffset name, NameOffset leader, std::uint64_t stamp) {
  std::size_t slot = pair_slot(name);
  for (; pairs_[slot].used; slot = (slot + 1) % kPairSlots) {
    if (pairs_[slot].name == name) return;
  }
  pairs_[slot] = {true, name, leader, stamp};
  ++pairs_used_;
}

// Keeps the file of entry's leader, digested and ended. When the
// board keeps kKept already, the leader kept longest that no follower is
// being compared with is let go, its file left in file; with none such,
// nothing is kept.
void TwinBoard::keep_leader(Entry& entry, platform::FileHandle& file) {
  platform::FileHandle dropped;
  if (kept_ == kKept) {
    Entry* oldest = nullptr;
    for (Entry& at : entries_) {
      if (at.kept.valid() && at.comparing == 0 &&
          (oldest == nullptr || at.kept_at < oldest->kept_at))
        oldest = &at;
    }
    if (oldest == nullptr) return;
    dropped = std::move(oldest->kept);
    oldest->file = nullptr;
    release_if_done(*oldest);
    --kept_;
  }
  entry.kept = std::move(file);
  file = std::move(dropped);
  entry.file = &entry.kept;
  entry.kept_at = ++keepings_;
  ++kept_;
}

// Frees an entry once its leader has ended, its file is not kept and no
// follower is still being compared with it.
void TwinBoard::release_if_done(Entry& entry) {
  if (entry.ended && entry.comparing == 0 && !entry.kept.valid()) entry.used = false;
}

}  // namespace mirvale
