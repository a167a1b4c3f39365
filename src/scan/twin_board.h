// The twin board: large files of one size met while one of them is being
// digested, or kept open once digested. The first a worker begins leads: it
// is digested, and stands on the board while it is, and once digested its
// file may be kept open there for copies met later. One of its size begun
// meanwhile, or while it is kept, follows it: it is
// compared with the leader byte for byte instead of being digested, and
// takes the leader's digest once there is one, so that a pair of copies
// costs one digest and one comparison, not two digests and a comparison in
// the report. The board keeps the pairs so compared for the report, which
// need not compare them again while each file of a pair keeps the stamp it
// had when they were compared (platform::file_stamp). Everything is in fixed
// memory: a file that finds no room is digested, and confirmed, as any other.
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
    digest_it,  // it differs, could not wait or its leader has no digest
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

  // A large file of size bytes, open as file, with its name-store record,
  // arrives: it follows the standing or kept leader of its size (entry is then the
  // leader's, and leader a second descriptor for the leader's file), or
  // leads when none stands and there is room (entry is its own). file must
  // stay open until the leader ends.
  Role arrive(std::uint64_t size, const platform::FileHandle& file, NameOffset name, int& entry,
              platform::FileHandle& leader);
  // A follower of entry has been compared with its leader: equal or not.
  // When it is digested, digest holds the leader's digest; when it waits,
  // leader_ended hands task back.
  Settled settle(int entry, bool equal, const Waiting& follower, Md5Digest& digest);
  // The leader of entry has ended, with digest when it was digested, else
  // null. The followers that wait on it are left in waiting, their count
  // returned: each takes the digest, or is to be digested on its own when
  // there is none. Given keep, its file, a digested leader's file is kept
  // open for the copies met later, taken from keep; when kKept are kept
  // already, the one kept longest makes room and its file is left in keep.
  // Whatever keep holds on return is the caller's to close.
  std::size_t leader_ended(int entry, const Md5Digest* digest, Waiting* waiting,
                           platform::FileHandle* keep);
  // Closes the files of every kept leader, which no later file follows; the
  // count closed.
  std::size_t let_go();

  // For the report, once the scan is over: the leader that name was
  // compared with (itself for a leader) and the file's stamp then, or false
  // when it was in no pair.
  bool compared_with(NameOffset name, NameOffset& leader, std::uint64_t& stamp) const;

 private:
  struct Entry {
    bool used = false;
    bool ended = false;                          // the leader's digest has ended
    bool digested = false;                       // ended with digest
    bool begun = false;                          // stamp is the leader's stamp at its start
    std::uint64_t size = 0;                      // the leader's size
    const platform::FileHandle* file = nullptr;  // the leader's file, while standing or kept
    platform::FileHandle kept;                   // its file, once kept
    std::uint64_t stamp = 0;                     // see begun
    std::uint64_t kept_at = 0;  // 0, or its turn among those kept (stamp held at its end)
    NameOffset name = 0;        // the leader's record
    unsigned comparing = 0;     // followers being compared
    std::size_t waiting = 0;    // followers in wait
    Waiting wait[kFollowers];
    Md5Digest digest{};
  };

  struct Pair {
    bool used = false;
    NameOffset name = 0;
    NameOffset leader = 0;
    std::uint64_t stamp = 0;
  };

  void note_pair(NameOffset leader, const Waiting& follower);
  void put_pair(NameOffset name, NameOffset leader, std::uint64_t stamp);
  void keep_leader(Entry& entry, platform::FileHandle& file);
  void release_if_done(Entry& entry);

  std::mutex mutex_;
  Entry entries_[kLeaders];
  Pair pairs_[kPairSlots];
  std::size_t pairs_used_ = 0;
  std::size_t kept_ = 0;        // leaders kept
  std::uint64_t keepings_ = 0;  // leaders ever kept
};

}  // namespace mirvale
