// The digest tree file: a 4-byte header and 36-byte records forming a binary
// search tree of digests, with a chain of records behind each repeated digest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/console.h"
#include "platform/file.h"
#include "types.h"

namespace mirvale {

constexpr std::uint32_t kTreeHeaderSize = 4;
constexpr std::uint32_t kTreeRecordSize = 36;
// Slots of the in-memory cache of chain tails; memory stays fixed whatever
// the number of files, and a chain whose slot was taken is walked instead.
constexpr std::size_t kChainTailSlots = 4096;
// Bytes at the start of the tree file that are kept in memory, the head. The
// records there are the first ones inserted, which are the ones nearest the
// root and so met by almost every insertion; reading and rewriting them costs
// no system call, and they go to the file in one write at the end of the
// scan. Memory stays fixed: only this much of the file is held.
constexpr std::size_t kTreeHeadSize = 4 + 36 * 116508;  // 4 MiB less 12 bytes
static_assert((kTreeHeadSize - kTreeHeaderSize) % kTreeRecordSize == 0,
              "a record lies wholly in the head or wholly past it");
// Bytes at the end of the tree file past the head that are gathered in
// memory before they are written, the tail: every insertion appends a record
// there, and a new record's parent is often a recent one.
constexpr std::size_t kTreeTailSize = 1820 * kTreeRecordSize;

struct TreeRecord {
  std::uint32_t left = 0;      // subtree of smaller digests; 0 = none
  std::uint32_t right = 0;     // subtree of larger digests; 0 = none
  std::uint32_t equal = 0;     // next record with the same digest; 0 = end of chain
  std::int32_t bal = 0;        // path-balance counter, shown by the dump only
  Md5Digest digest{};          // the file's digest
  NameOffset name_offset = 0;  // where the file's path is in the name store
};

// The 36 bytes of a record as they stand in the file, little-endian.
void encode_record(const TreeRecord& record, unsigned char out[kTreeRecordSize]);
void decode_record(const unsigned char in[kTreeRecordSize], TreeRecord& record);

class DigestTree {
 public:
  // Allocates the head and the tail, once; false when there is no memory for them.
  bool allocate();
  // Creates the tree file new, holding an empty tree. False when it cannot be
  // created, also when anything already has the name, or when the head and
  // the tail cannot be allocated.
  bool open_tree(const char* file_name);
  // Opens an existing tree file read-only for listing, never creating or
  // changing it; a file shorter than the header is an empty tree. False when
  // it cannot be opened or read, or is no regular file.
  bool open_existing_tree(const char* file_name);
  // Reads the record at offset; false when it cannot be read whole.
  bool read_record(std::uint32_t offset, TreeRecord& record);
  // Reads the record at offset once the tree has been written back and no
  // longer changes; changes nothing itself, so threads may read at once.
  // False when it cannot be read whole.
  bool read_written_record(std::uint32_t offset, TreeRecord& record) const;
  // Writes the record at offset; false on failure.
  bool write_record(std::uint32_t offset, const TreeRecord& record);
  // Writes root to offset 0; false on failure.
  bool write_header();
  // Writes the head to the file when it has changed; false on failure.
  bool write_back();
  // Writes the head back and closes the file; -1 when either fails.
  int close_tree();
  // Lists every record in file order on console. False when the file's length
  // is not a header and whole records, at most 2^32 bytes, or is not known.
  bool dump_tree(platform::Console& console);

  std::uint32_t root() const { return root_; }
  void set_root(std::uint32_t root) { root_ = root; }
  bool is_open() const { return handle_.valid(); }

 private:
  friend bool insert_digest(DigestTree& tree, const Md5Digest& digest, NameOffset name_offset);

  // Where the chain headed by head ended at its last insertion; a record
  // offset, or 0 when not known.
  struct ChainTail {
    std::uint32_t head = 0;  // offset of the chain's head, a tree record; 0 = slot free
    std::uint32_t tail = 0;  // offset of the chain's last record
  };

  // Makes the head, the cache of chain tails and the known end of the file
  // forget all.
  void forget_file_state();
  // How many of size bytes at offset lie in the head's part of the file.
  std::size_t head_part(std::uint64_t offset, std::size_t size) const;
  // Reads size bytes at offset, from the head or the tail where they lie in
  // their parts; false when they are not all in the file.
  bool read_bytes(std::uint64_t offset, unsigned char* out, std::size_t size);
  // Writes size bytes at offset, into the head or the tail where they lie in
  // their parts; false when the file's write fails.
  bool write_bytes(std::uint64_t offset, const unsigned char* in, std::size_t size);
  // Writes size bytes at offset, past the head: into the tail when they lie
  // in it or are appended at the end; false when a write fails.
  bool write_past_head(std::uint64_t offset, const unsigned char* in, std::size_t size);
  // True when size bytes at offset lie wholly in the tail.
  bool in_tail(std::uint64_t offset, std::size_t size) const {
    return offset >= tail_start_ && offset + size <= tail_start_ + tail_used_;
  }
  // True when size bytes at offset share any byte with the tail.
  bool meets_tail(std::uint64_t offset, std::size_t size) const {
    return tail_used_ > 0 && offset < tail_start_ + tail_used_ && offset + size > tail_start_;
  }
  // Writes the tail to the file and empties it; false when the write fails.
  bool flush_tail();
  // The offset of the next record to be created: the end of the file. False
  // when it cannot be learnt or does not fit 32 bits.
  bool end_of_file(std::uint32_t& offset);
  // The last known record of the chain headed by head, or 0.
  std::uint32_t cached_tail(std::uint32_t head) const;
  // Notes tail as the last record of the chain headed by head.
  void remember_tail(std::uint32_t head, std::uint32_t tail);

  platform::FileHandle handle_;            // the open tree file
  std::unique_ptr<unsigned char[]> head_;  // kTreeHeadSize bytes, once the first tree is opened
  std::size_t head_limit_ = 0;  // the head stands for the file below this: kTreeHeadSize or 0
  std::size_t head_end_ = 0;    // the head holds the file's first head_end_ bytes
  bool head_changed_ = false;   // the head holds bytes the file does not have yet
  std::unique_ptr<unsigned char[]> tail_;  // kTreeTailSize bytes, with the head
  std::uint64_t tail_start_ = 0;           // the file offset of the tail's first byte
  std::size_t tail_used_ = 0;              // the tail holds the file's last tail_used_ bytes
  std::uint32_t root_ = 0;                 // header value, kept in memory for the run
  std::uint64_t end_ = 0;                  // the file's size, as this module has written it
  bool end_known_ = false;                 // false after a failed write: ask the system
  std::array<ChainTail, kChainTailSlots> chain_tails_{};  // direct-mapped by head
};

// Adds a file's digest and name offset to the tree: a new record at the end
// of the file, linked as a child or at the end of its digest's chain. False
// when a read, write or positioning failed, or the file has no room left
// below 2^32; the tree must then not be used further.
bool insert_digest(DigestTree& tree, const Md5Digest& digest, NameOffset name_offset);

}  // namespace mirvale
