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
// Slots of the in-memory cache of chain tails, two for each set of heads;
// memory stays fixed whatever the number of files, and a chain whose slot was
// taken is walked instead. Of two chains, the longer keeps its slot: a tree
// of many short chains beside a few long ones (files of a few bytes, empty
// files) would otherwise walk the long ones again and again.
constexpr std::size_t kChainTailSlots = 4096;
// Memory the tree keeps, allocated once; it stays the same whatever the
// number of files. It first holds the file's first kTreeHeadSize bytes, the
// head: the records there are the first ones inserted, the ones nearest the
// root and so met by almost every insertion, and rewriting them costs no
// system call. Once the tree outgrows the head, the head goes to the file
// and the memory holds instead the first kTreeLeadSize bytes of each of the
// first kTreeLeadRecords records, their leads: links, bal and the digest's
// first bytes, all that a descent needs but when those bytes tie. The rest
// of each record goes to the file as it is created, and the leads go over
// the records' first bytes in one pass at write-back, after which the
// memory holds the head again, for the report's reads.
constexpr std::size_t kTreeMemory = 4 * 1024 * 1024 - 4;
constexpr std::size_t kTreeLeadSize = 20;
constexpr std::size_t kTreeLeadRecords = kTreeMemory / kTreeLeadSize;
static_assert(kTreeLeadRecords * kTreeLeadSize == kTreeMemory);
constexpr std::size_t kTreeHeadSize =
    kTreeHeaderSize + (kTreeMemory - kTreeHeaderSize) / kTreeRecordSize * kTreeRecordSize;
// Bytes at the end of the tree file past the head that are gathered in
// memory before they are written, the tail: every insertion appends a record
// there, and a new record's parent is often a recent one.
constexpr std::size_t kTreeTailSize = 1820 * kTreeRecordSize;

// What is left of an insertion once the thread that queues it has taken it
// down the leads (see InsertQueue): the leads it passed are updated, and
// what remains lies past them, in the file.
struct InsertPlan {
  enum class Kind : std::uint8_t {
    whole,    // nothing done yet: the whole insertion
    record,   // linked as a child already: write the new record
    first,    // linked as the first of at's chain already: write it, and note it as the tail
    descend,  // go on down from at, a record past the leads
    chain,    // append to the chain of at, a record in the leads, whose next record is first
  };
  Kind kind = Kind::whole;
  std::uint32_t at = 0;
  std::uint32_t first = 0;
  std::uint32_t record = 0;  // where the new record goes: the end of the file
};

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
  // Allocates the memory and the tail, once; false when there is no memory for them.
  bool allocate();
  // Creates the tree file new, holding an empty tree. False when it cannot be
  // created, also when anything already has the name, or when the memory and
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
  // Writes the record at offset, which must be a record's, 4 + 36 k; false
  // on failure or at any other offset.
  bool write_record(std::uint32_t offset, const TreeRecord& record);
  // Writes root to offset 0, held in memory until the next write-back;
  // false on failure.
  bool write_header();
  // Writes to the file all that memory holds for it (the tail, the leads and
  // the header) and keeps its head for reading; false when a write fails.
  bool write_back();
  // Writes back and closes the file; -1 when either fails.
  int close_tree();
  // Lists every record in file order on console. False when the file's length
  // is not a header and whole records, at most 2^32 bytes, or is not known.
  bool dump_tree(platform::Console& console);

  std::uint32_t root() const { return root_; }
  // Sets the root that the next write-back writes, for a tree laid out
  // record by record rather than by insertion.
  void set_root(std::uint32_t root) { root_ = root; }

  // Readies the tree for insertions planned on another thread than the one
  // that applies them, when every lead is in memory; false while leads are
  // still to come. next_record is the offset of the next record either way,
  // 0 when it cannot be learnt.
  // No insertion may be under way. From then on, until the next write-back,
  // the planning thread alone touches the leads of the records in the tree
  // proper (by plan_insertion) and the applying thread everything else.
  bool begin_planning(std::uint32_t& next_record);

 private:
  friend bool insert_digest(DigestTree& tree, const Md5Digest& digest, NameOffset name_offset);
  friend bool plan_insertion(DigestTree& tree, const Md5Digest& digest, std::uint32_t record,
                             InsertPlan& plan);
  friend bool apply_insertion(DigestTree& tree, const Md5Digest& digest, NameOffset name_offset,
                              const InsertPlan& plan);
  friend bool insert_from(DigestTree& tree, const TreeRecord& fresh, std::uint32_t end,
                          std::uint32_t offset, std::uint32_t chain_head, std::uint32_t members);

  // Where the chain headed by head ended at its last insertion; a record
  // offset, or 0 when not known.
  struct ChainTail {
    std::uint32_t head = 0;    // offset of the chain's head, a tree record; 0 = slot free
    std::uint32_t tail = 0;    // offset of the chain's last record
    std::uint32_t length = 0;  // records after the head, the tail the last
  };

  // Makes the memory, the tail, the cache of chain tails and the known end
  // of the file forget all.
  void forget_file_state();
  // How many of size bytes at offset lie in the head's part of the file.
  std::size_t head_part(std::uint64_t offset, std::size_t size) const;
  // Makes memory hold the leads of the records instead of the head: writes
  // the head back, then keeps the leads of its records and reads those of
  // the records past it from the file. False when a write or read fails.
  bool hold_leads();
  // The lead of record index, in memory.
  unsigned char* lead(std::size_t index) { return memory_.get() + index * kTreeLeadSize; }
  const unsigned char* lead(std::size_t index) const {
    return memory_.get() + index * kTreeLeadSize;
  }
  // Reads what insertion needs of the record at offset to place digest: its
  // links and bal, and its digest as far as it orders digest. When the first
  // bytes of a lead equal digest's, the rest is read too, unless on_chain,
  // where the digests are taken as equal. False when it cannot be read, or
  // offset is no record's.
  bool read_for_descent(std::uint32_t offset, const Md5Digest& digest, bool on_chain,
                        TreeRecord& work);
  // True when offset is a record's whose lead is in memory.
  bool is_lead(std::uint32_t offset) const;
  // Reads what the lead of record index holds of work, its digest's first
  // bytes over digest; true when those tie with digest's.
  bool decode_lead(std::size_t index, const Md5Digest& digest, TreeRecord& work) const;
  // read_for_descent for a planned insertion: the record at offset has its
  // lead in memory, and its rest, read on a tie, is in the file.
  bool read_lead(std::uint32_t offset, const Md5Digest& digest, TreeRecord& work) const;
  // Rewrites the links and bal of the lead of the record at offset.
  void set_lead_links(std::uint32_t offset, const TreeRecord& record);
  // Rewrites the links and bal of the record at offset, a record read by
  // read_for_descent; false when the write fails.
  bool rewrite_links(std::uint32_t offset, const TreeRecord& record);
  // Reads size bytes at offset as the file will hold them once written back;
  // false when they are not all in the file.
  bool read_bytes(std::uint64_t offset, unsigned char* out, std::size_t size);
  // Reads size bytes at offset past the head from the tail and the file,
  // which may yet lack leads and the header; false when they are not all there.
  bool read_unsettled(std::uint64_t offset, unsigned char* out, std::size_t size);
  // Writes size bytes at offset into the head, which holds them.
  bool write_head(std::uint64_t offset, const unsigned char* in, std::size_t size);
  // Writes the head to the file when it has changed; false on failure.
  bool write_head_back();
  // Writes size bytes at offset past the head: into the tail when they lie
  // in it or are appended at the end, else to the file; false when a write fails.
  bool write_unsettled(std::uint64_t offset, const unsigned char* in, std::size_t size);
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
  // Writes the leads over the records' first bytes in the file, a tail's
  // worth of records at a time; false when a read or write fails.
  bool write_leads();
  // Makes memory hold the file's head again, read from the file, instead of leads.
  void hold_head();
  // The offset of the next record to be created: the end of the file. False
  // when it cannot be learnt or does not fit 32 bits.
  bool end_of_file(std::uint32_t& offset);
  // The last known record of the chain headed by head, or null.
  const ChainTail* cached_tail(std::uint32_t head) const;
  // Notes tail as the last record of the chain headed by head, the length-th after it.
  void remember_tail(std::uint32_t head, std::uint32_t tail, std::uint32_t length);

  platform::FileHandle handle_;              // the open tree file
  std::unique_ptr<unsigned char[]> memory_;  // kTreeMemory bytes: the head or the leads
  std::size_t head_limit_ = 0;  // the head stands for the file below this: kTreeHeadSize or 0
  std::size_t head_end_ = 0;    // the head holds the file's first head_end_ bytes
  bool head_changed_ = false;   // the head holds bytes the file does not have yet
  bool holds_leads_ = false;    // memory_ holds leads, not the head; the file's own may be stale
  std::size_t leads_ = 0;       // with leads: memory_ holds those of the first leads_ records
  bool leads_changed_ = false;  // with leads: some are not in the file yet
  bool root_changed_ = false;   // with leads: root_ is not in the file yet
  std::unique_ptr<unsigned char[]> tail_;  // kTreeTailSize bytes, with the memory
  std::uint64_t tail_start_ = 0;           // the file offset of the tail's first byte
  std::size_t tail_used_ = 0;              // the tail holds the file's last tail_used_ bytes
  std::uint32_t root_ = 0;                 // header value, kept in memory for the run
  std::uint64_t end_ = 0;                  // the file's size, as this module has written it
  bool end_known_ = false;                 // false after a failed write: ask the system
  std::array<ChainTail, kChainTailSlots> chain_tails_{};  // sets of two, by head
};

// Adds a file's digest and name offset to the tree: a new record at the end
// of the file, linked as a child or at the end of its digest's chain. False
// when a read, write or positioning failed, or the file has no room left
// below 2^32; the tree must then not be used further.
bool insert_digest(DigestTree& tree, const Md5Digest& digest, NameOffset name_offset);
// The same in two halves, once the tree has begun planning: plan_insertion
// takes an insertion, whose new record goes at record, down the leads;
// apply_insertion does the rest, or the whole of an insertion not planned.
// False on a failure as above.
bool plan_insertion(DigestTree& tree, const Md5Digest& digest, std::uint32_t record,
                    InsertPlan& plan);
bool apply_insertion(DigestTree& tree, const Md5Digest& digest, NameOffset name_offset,
                     const InsertPlan& plan);

}  // namespace mirvale
