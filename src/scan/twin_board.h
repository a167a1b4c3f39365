// The twin board: large files of one size met while one of them is being
// digested, or kept open once digested. The first a worker begins leads: it
// is digested, and stands on the board while it is; once digested its file
// may be kept open there for copies met later. One of its size begun
// meanwhile, or while it is kept, follows it: it is compared with the
// leader byte for byte instead of being digested, and takes the leader's
// digest, so that a pair of copies costs one digest and one comparison, not
// two digests and a comparison in the report. The board notes the pairs so
// compared for the report. Everything is in fixed memory: a file that finds
// no room is digested, and confirmed, as any other.
//
// The rule of trust. A follower takes its leader's digest, and a compared
// pair is noted for the report, only when the leader's stamp at the start of
// its digest, its stamp at the end, and the leader's stamp that each
// follower saw over its whole comparison are one and the same
// (platform::file_stamp, which gives none for a file changed too lately to
// tell): the leader then held one content from its first byte digested to
// its last, and every follower was compared with that content. A leader
// whose stamp moved, or that has no digest, hands nothing on: its followers
// are digested as any other file. A name noted twice with two stamps is
// poisoned, and the report compares it.
//
// An entry's life. Every change of state is made under the board's mutex,
// by the calls named below; `comparing` counts the followers that hold a
// second descriptor of the leader's file, which they close themselves.
//
//   state    | the entry is ended by          | the leader's file (`file`)
//   ---------+--------------------------------+---------------------------------
//   free     | -                              | none
//   standing | the leader's worker            | the worker's, lent: followers
//            | (leader_ended)                 | duplicate it under the mutex
//   kept     | the board (let_go, or a newer  | the board's own (`kept`):
//            | kept leader crowding it out)   | followers duplicate it likewise
//   done     | the last follower to settle    | none; its digest is trusted
//   voided   | the last follower to settle    | none; nothing is handed on
//
//   free     -> standing  arrive: a file of a size with no entry, stamped
//   standing -> kept      leader_ended: digested, stamp held, may keep
//   standing -> done      leader_ended: digested, stamp held, not kept
//   standing -> voided    leader_ended: no digest, or its stamp moved
//   kept     -> done      let_go, or crowded out by a newer kept leader
//   done, voided -> free  when no follower is comparing (at once, or the
//                         last settle)
//
// Followers wait only on a standing leader; leader_ended hands every one of
// them back, with the digest or without.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/file.h"
#include "types.h"

namespace mirvale {

class TwinBoard {
 public:
  static constexpr std::size_t kLeaders = 320;     // leaders standing or kept at once
  static constexpr std::size_t kKept = 256;        // ended leaders kept open at once
  static constexpr std::size_t kFollowers = 8;     // followers waiting on one leader
  static constexpr std::size_t kPairSlots = 2048;  // compared files the report may trust, half full

  enum class Role : std::uint8_t {
    alone,     // neither: digest it
    leader,    // digest it, and end it with leader_ended
    follower,  // compare it with the leader's file, then settle it
  };

  // What a compared follower does next.
  enum class Settled : std::uint8_t {
    digest_it,  // it differs, could not wait, or its leader is not to be trusted
    waiting,    // it is equal and waits for the leader's digest
    digested,   // it is equal and has the leader's digest
  };

  // A follower compared with its leader: the number of its task, its name,
  // and the stamps of the two files, unchanged over the comparison.
  struct Waiting {
    std::uint32_t task = 0;
    NameOffset name = 0;
    std::uint64_t stamp = 0;
    std::uint64_t leader_stamp = 0;
  };

  // The followers a leader hands back as it ends.
  struct Handover {
    std::size_t count = 0;        // followers in waiting
    bool trusted = false;         // each takes the leader's digest, else is digested alone
    Waiting waiting[kFollowers];  // the followers, in the order they settled
  };

  // A large file of size bytes, open as file, with its name-store record,
  // arrives: it follows the standing or kept leader of its size (entry is
  // then the leader's, and leader a second descriptor for the leader's
  // file), or leads when none stands, there is room and its stamp can be
  // had (entry is its own). A leader's file must stay open until it ends.
  Role arrive(std::uint64_t size, const platform::FileHandle& file, NameOffset name, int& entry,
              platform::FileHandle& leader);
  // A follower of entry has been compared with its leader: equal or not.
  // When it is digested, digest holds the leader's digest; when it waits,
  // leader_ended hands it back.
  Settled settle(int entry, bool equal, const Waiting& follower, Md5Digest& digest);
  // The leader of entry has ended, with digest when it was digested, else
  // null; file is its file, still open. The followers that wait on it go to
  // out. A trusted leader's file may be kept for the copies met later, when
  // may_keep: it is then taken from file; when kKept are kept already, the
  // one kept longest makes room and its file is left in file instead.
  // Whatever file holds on return is the caller's to close.
  void leader_ended(int entry, const Md5Digest* digest, platform::FileHandle& file, bool may_keep,
                    Handover& out);
  // Closes the files of every kept leader, which no later file follows; the
  // count closed.
  std::size_t let_go();

  // For the report, once the scan is over: the leader that name was
  // compared with (itself for a leader) and the file's stamp then, or false
  // when it was in no pair to trust.
  bool compared_with(NameOffset name, NameOffset& leader, std::uint64_t& stamp) const;

 private:
  enum class State : std::uint8_t { free, standing, kept, done, voided };

  struct Entry {
    State state = State::free;
    std::uint64_t size = 0;                      // the leader's size
    std::uint64_t stamp = 0;                     // the leader's stamp at its start
    const platform::FileHandle* file = nullptr;  // standing or kept: the leader's file
    platform::FileHandle kept;                   // kept: the file, the board's own
    std::uint64_t kept_at = 0;                   // kept: its turn among those kept
    NameOffset name = 0;                         // the leader's record
    unsigned comparing = 0;                      // followers being compared
    std::size_t waiting = 0;                     // standing: followers in wait
    Waiting wait[kFollowers];                    // standing: those followers
    Md5Digest digest{};                          // kept, done: the leader's digest
  };

  struct Pair {
    bool used = false;
    bool poisoned = false;    // noted again with another stamp or leader
    NameOffset name = 0;      // the file's record
    NameOffset leader = 0;    // the record of the leader it was compared with
    std::uint64_t stamp = 0;  // its stamp then
  };

  void note_pair(const Entry& leader, const Waiting& follower);
  void put_pair(NameOffset name, NameOffset leader, std::uint64_t stamp);
  bool keep_leader(Entry& entry, platform::FileHandle& file);
  void close_kept(Entry& entry, platform::FileHandle& out);
  void leave(Entry& entry, State ended);

  std::mutex mutex_;
  Entry entries_[kLeaders];
  Pair pairs_[kPairSlots];
  std::size_t pairs_used_ = 0;
  std::size_t kept_ = 0;        // leaders kept
  std::uint64_t keepings_ = 0;  // leaders ever kept
};

}  // namespace mirvale
