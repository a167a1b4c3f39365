// The twin board: leaders and their followers under one mutex, taken a few
// times for each large file, and the compared pairs in an open-addressed
// table keyed by name record.
#include "scan/twin_board.h"

#include <utility>

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
    if (at.state == State::free) {
      if (free < 0) free = i;
    } else if ((at.state == State::standing || at.state == State::kept) && at.size == size) {
      leader = platform::duplicate(*at.file);
      if (!leader.valid()) return Role::alone;
      ++at.comparing;
      entry = i;
      return Role::follower;
    }
  }
  if (free < 0) return Role::alone;
  Entry& at = entries_[free];
  // A leader without a stamp could never be trusted: it leads nobody.
  if (!platform::file_stamp(file, at.stamp)) return Role::alone;
  at.state = State::standing;
  at.size = size;
  at.file = &file;
  at.name = name;
  at.comparing = 0;
  at.waiting = 0;
  entry = free;
  return Role::leader;
}

TwinBoard::Settled TwinBoard::settle(int entry, bool equal, const Waiting& follower,
                                     Md5Digest& digest) {
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& at = entries_[entry];
  --at.comparing;
  // The follower saw the leader's content of its start over its whole
  // comparison; anything else, and it is digested on its own.
  const bool same = equal && follower.leader_stamp == at.stamp;
  Settled settled = Settled::digest_it;
  switch (at.state) {
    case State::standing:
      if (same && at.waiting < kFollowers) {
        at.wait[at.waiting++] = follower;
        settled = Settled::waiting;
      }
      break;
    case State::kept:
    case State::done:
      if (same) {
        digest = at.digest;
        note_pair(at, follower);
        settled = Settled::digested;
      }
      break;
    case State::voided:
    case State::free:
      break;
  }
  if ((at.state == State::done || at.state == State::voided) && at.comparing == 0)
    at.state = State::free;
  return settled;
}

void TwinBoard::leader_ended(int entry, const Md5Digest* digest, platform::FileHandle& file,
                             bool may_keep, Handover& out) {
  std::uint64_t stamp = 0;
  const bool stamped = digest != nullptr && platform::file_stamp(file, stamp);
  std::lock_guard<std::mutex> lock(mutex_);
  Entry& at = entries_[entry];
  out.trusted = stamped && stamp == at.stamp;
  out.count = at.waiting;
  for (std::size_t i = 0; i < at.waiting; ++i) {
    out.waiting[i] = at.wait[i];
    if (out.trusted) note_pair(at, at.wait[i]);
  }
  at.waiting = 0;
  at.file = nullptr;
  if (!out.trusted) return leave(at, State::voided);
  at.digest = *digest;
  if (!may_keep || !keep_leader(at, file)) leave(at, State::done);
}

std::size_t TwinBoard::let_go() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t closed = 0;
  for (Entry& at : entries_) {
    if (at.state != State::kept) continue;
    platform::FileHandle file;
    close_kept(at, file);
    file.close();
    ++closed;
  }
  return closed;
}

bool TwinBoard::compared_with(NameOffset name, NameOffset& leader, std::uint64_t& stamp) const {
  for (std::size_t slot = pair_slot(name);; slot = (slot + 1) % kPairSlots) {
    const Pair& at = pairs_[slot];
    if (!at.used) return false;
    if (at.name == name) {
      leader = at.leader;
      stamp = at.stamp;
      return !at.poisoned;
    }
  }
}

// Notes that follower was found equal to the trusted leader, when the table
// has room for both; the table stays at most half full, so that every look
// ends.
void TwinBoard::note_pair(const Entry& leader, const Waiting& follower) {
  if (pairs_used_ + 2 > kPairSlots / 2) return;
  put_pair(leader.name, leader.name, leader.stamp);
  put_pair(follower.name, leader.name, follower.stamp);
}

// Notes name as compared with leader while it had stamp. A name noted before
// with another leader or stamp is poisoned: which of the two holds is not
// known.
void TwinBoard::put_pair(NameOffset name, NameOffset leader, std::uint64_t stamp) {
  std::size_t slot = pair_slot(name);
  for (; pairs_[slot].used; slot = (slot + 1) % kPairSlots) {
    Pair& at = pairs_[slot];
    if (at.name != name) continue;
    if (at.leader != leader || at.stamp != stamp) at.poisoned = true;
    return;
  }
  pairs_[slot] = {true, false, name, leader, stamp};
  ++pairs_used_;
}

// Keeps the file of entry's leader, trusted and ended, taking it from file.
// When the board keeps kKept already, the leader kept longest that no
// follower is being compared with is let go, its file left in file; with
// none such, nothing is kept and false returned.
bool TwinBoard::keep_leader(Entry& entry, platform::FileHandle& file) {
  platform::FileHandle dropped;
  if (kept_ == kKept) {
    Entry* oldest = nullptr;
    for (Entry& at : entries_) {
      if (at.state == State::kept && at.comparing == 0 &&
          (oldest == nullptr || at.kept_at < oldest->kept_at))
        oldest = &at;
    }
    if (oldest == nullptr) return false;
    close_kept(*oldest, dropped);
  }
  entry.kept = std::move(file);
  file = std::move(dropped);
  entry.file = &entry.kept;
  entry.kept_at = ++keepings_;
  entry.state = State::kept;
  ++kept_;
  return true;
}

// Ends a kept leader's keeping: its file goes to out, and its digest stays
// trusted for the followers still being compared with it.
void TwinBoard::close_kept(Entry& entry, platform::FileHandle& out) {
  out = std::move(entry.kept);
  entry.file = nullptr;
  --kept_;
  leave(entry, State::done);
}

// Puts an ended leader's entry in state ended (done or voided), or frees it
// when no follower is still being compared with it.
void TwinBoard::leave(Entry& entry, State ended) {
  entry.state = entry.comparing == 0 ? State::free : ended;
}

}  // namespace mirvale
