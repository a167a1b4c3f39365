// The digest tree file's record format and the DigestTree module: opening,
// the leads and the head kept in memory, record reads and writes, the
// header, the end of the file and the listing.
#include "index/digest_tree.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace mirvale {

namespace {

// Field positions within a record, in file order.
constexpr std::size_t kLeftAt = 0;
constexpr std::size_t kRightAt = 4;
constexpr std::size_t kEqualAt = 8;
constexpr std::size_t kBalAt = 12;
constexpr std::size_t kDigestAt = 16;
constexpr std::size_t kNameOffsetAt = 32;
static_assert(kDigestAt + sizeof(Md5Digest) == kNameOffsetAt);
static_assert(kNameOffsetAt + sizeof(NameOffset) == kTreeRecordSize);
static_assert(sizeof(Md5Digest) == 16 && sizeof(NameOffset) == 4);

// Bytes of a lead that hold the digest's first bytes, and of a record that
// hold its links and bal.
constexpr std::size_t kLeadDigestSize = kTreeLeadSize - kDigestAt;
constexpr std::size_t kLinksSize = kDigestAt;
static_assert(kLeadDigestSize > 0 && kLeadDigestSize < sizeof(Md5Digest));
// Records read or written at a time when the leads pass to or from the file.
constexpr std::size_t kLeadChunk = kTreeTailSize / kTreeRecordSize;

// The bytes the listing shows between brackets: digest and name offset.
constexpr int kListedTextSize = static_cast<int>(kTreeRecordSize - kDigestAt);

void put_u32(unsigned char* out, std::uint32_t value) {
  out[0] = static_cast<unsigned char>(value);
  out[1] = static_cast<unsigned char>(value >> 8);
  out[2] = static_cast<unsigned char>(value >> 16);
  out[3] = static_cast<unsigned char>(value >> 24);
}

std::uint32_t get_u32(const unsigned char* in) {
  return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
         static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
}

void encode_links(const TreeRecord& record, unsigned char out[kLinksSize]) {
  put_u32(out + kLeftAt, record.left);
  put_u32(out + kRightAt, record.right);
  put_u32(out + kEqualAt, record.equal);
  put_u32(out + kBalAt, static_cast<std::uint32_t>(record.bal));
}

void decode_links(const unsigned char in[kLinksSize], TreeRecord& record) {
  record.left = get_u32(in + kLeftAt);
  record.right = get_u32(in + kRightAt);
  record.equal = get_u32(in + kEqualAt);
  record.bal = static_cast<std::int32_t>(get_u32(in + kBalAt));
}

// The part of the bytes [from, from + size) that falls in [at, at + length):
// copies it from source (which holds the bytes from at on) into out (which
// holds those from from on).
void copy_overlap(std::uint64_t from, std::size_t size, std::uint64_t at, std::size_t length,
                  const unsigned char* source, unsigned char* out) {
  const std::uint64_t first = std::max(from, at);
  const std::uint64_t last = std::min(from + size, at + length);
  if (first < last) std::memcpy(out + (first - from), source + (first - at), last - first);
}

// Whether offset is where a record starts: 4 + 36 k.
bool is_record_offset(std::uint64_t offset) {
  return offset >= kTreeHeaderSize && (offset - kTreeHeaderSize) % kTreeRecordSize == 0;
}

std::size_t record_index(std::uint64_t offset) {
  return static_cast<std::size_t>((offset - kTreeHeaderSize) / kTreeRecordSize);
}

}  // namespace

void encode_record(const TreeRecord& record, unsigned char out[kTreeRecordSize]) {
  encode_links(record, out);
  std::memcpy(out + kDigestAt, record.digest.data(), record.digest.size());
  put_u32(out + kNameOffsetAt, record.name_offset);
}

void decode_record(const unsigned char in[kTreeRecordSize], TreeRecord& record) {
  decode_links(in, record);
  std::memcpy(record.digest.data(), in + kDigestAt, record.digest.size());
  record.name_offset = get_u32(in + kNameOffsetAt);
}

bool DigestTree::allocate() {
  if (!memory_) memory_.reset(new (std::nothrow) unsigned char[kTreeMemory]);
  if (!tail_) tail_.reset(new (std::nothrow) unsigned char[kTreeTailSize]);
  return memory_ && tail_;
}

bool DigestTree::open_tree(const char* file_name) {
  forget_file_state();
  if (!allocate()) return false;
  handle_ = platform::open_working_file(file_name);
  if (!handle_.valid()) return false;
  // The file is new and empty; its header goes to it at once, so that an
  // interrupted run leaves it behind.
  head_limit_ = kTreeHeadSize;
  end_known_ = true;
  if (!write_header() || !write_back()) {
    handle_.close();
    forget_file_state();
    return false;
  }
  return true;
}

bool DigestTree::open_existing_tree(const char* file_name) {
  forget_file_state();
  handle_ = platform::open_existing_file(file_name);
  if (!handle_.valid()) return false;
  unsigned char header[kTreeHeaderSize];
  long got = platform::read_at(handle_, 0, header, sizeof header);
  if (got < 0) {
    handle_.close();
    return false;
  }
  root_ = got == kTreeHeaderSize ? get_u32(header) : 0;
  return true;
}

bool DigestTree::read_record(std::uint32_t offset, TreeRecord& record) {
  unsigned char bytes[kTreeRecordSize];
  if (!read_bytes(offset, bytes, sizeof bytes)) return false;
  decode_record(bytes, record);
  return true;
}

bool DigestTree::read_written_record(std::uint32_t offset, TreeRecord& record) const {
  unsigned char bytes[kTreeRecordSize];
  // Bytes still in the tail or in leads are not in the file yet.
  if (holds_leads_ || meets_tail(offset, sizeof bytes)) return false;
  const std::size_t in_head = head_part(offset, sizeof bytes);
  if (in_head > 0) {
    if (offset + in_head > head_end_) return false;  // past the end of the file
    std::memcpy(bytes, memory_.get() + offset, in_head);
  }
  const std::size_t rest = sizeof bytes - in_head;
  if (rest > 0 && platform::read_at(handle_, offset + in_head, bytes + in_head, rest) !=
                      static_cast<long>(rest))
    return false;
  decode_record(bytes, record);
  return true;
}

bool DigestTree::write_record(std::uint32_t offset, const TreeRecord& record) {
  if (!is_record_offset(offset)) return false;
  unsigned char bytes[kTreeRecordSize];
  encode_record(record, bytes);
  if (!holds_leads_) {
    if (offset + sizeof bytes <= head_limit_) return write_head(offset, bytes, sizeof bytes);
    // The tree outgrows the head: from now on memory holds leads.
    if (!hold_leads()) return false;
  }
  if (!write_unsettled(offset, bytes, sizeof bytes)) return false;
  const std::size_t index = record_index(offset);
  // The records that the write passes over are holes, all zero as the file
  // reads them.
  const std::size_t reached = std::min(index + 1, kTreeLeadRecords);
  if (reached > leads_) {
    std::memset(lead(leads_), 0, (reached - leads_) * kTreeLeadSize);
    leads_ = reached;
    leads_changed_ = true;
  }
  if (index < leads_) {
    std::memcpy(lead(index), bytes, kTreeLeadSize);
    leads_changed_ = true;
  }
  return true;
}

bool DigestTree::write_header() {
  if (holds_leads_) {
    root_changed_ = true;
    return true;
  }
  unsigned char header[kTreeHeaderSize];
  put_u32(header, root_);
  if (kTreeHeaderSize <= head_limit_) return write_head(0, header, sizeof header);
  return write_unsettled(0, header, sizeof header);
}

bool DigestTree::write_back() {
  if (!flush_tail()) return false;
  if (!holds_leads_) return write_head_back();
  if (leads_changed_ && !write_leads()) {
    end_known_ = false;
    return false;
  }
  leads_changed_ = false;
  if (root_changed_) {
    unsigned char header[kTreeHeaderSize];
    put_u32(header, root_);
    if (!platform::write_at(handle_, 0, header, sizeof header)) {
      end_known_ = false;
      return false;
    }
    root_changed_ = false;
  }
  hold_head();
  return true;
}

int DigestTree::close_tree() {
  const bool written = write_back();
  forget_file_state();
  const int closed = handle_.close();
  return written ? closed : -1;
}

bool DigestTree::dump_tree(platform::Console& console) {
  console.write("pos     - bal: left     <- equal    -> right\n");
  unsigned char bytes[kTreeRecordSize];
  TreeRecord record;
  // A 64-bit position, so that the last 32-bit offset does not wrap round to the start.
  for (std::uint64_t pos = kTreeHeaderSize; pos <= UINT32_MAX; pos += kTreeRecordSize) {
    if (!read_bytes(pos, bytes, sizeof bytes)) break;
    decode_record(bytes, record);
    // The text stops at the first zero byte or at the record's end, whichever comes first.
    console.print("%8.08X-% 3.3d: %8.08X <- %8.08X -> %8.08X  [%.*s]\n", static_cast<unsigned>(pos),
                  static_cast<int>(record.bal), record.left, record.equal, record.right,
                  kListedTextSize, reinterpret_cast<const char*>(bytes + kDigestAt));
  }
  // Every record listed, and nothing left over: records past 2^32 bytes
  // could never be linked.
  std::uint64_t size;
  return platform::file_size(handle_, size) && size >= kTreeHeaderSize &&
         size <= std::uint64_t{1} << 32 && (size - kTreeHeaderSize) % kTreeRecordSize == 0;
}

void DigestTree::forget_file_state() {
  head_limit_ = 0;
  head_end_ = 0;
  head_changed_ = false;
  holds_leads_ = false;
  leads_ = 0;
  leads_changed_ = false;
  root_changed_ = false;
  tail_start_ = 0;
  tail_used_ = 0;
  root_ = 0;
  end_ = 0;
  end_known_ = false;
  chain_tails_.fill(ChainTail{});
}

std::size_t DigestTree::head_part(std::uint64_t offset, std::size_t size) const {
  if (holds_leads_ || offset >= head_limit_) return 0;
  const std::uint64_t room = head_limit_ - offset;
  return room < size ? static_cast<std::size_t>(room) : size;
}

bool DigestTree::hold_leads() {
  if (holds_leads_) return true;
  std::uint64_t size;
  if (head_limit_ == 0 || !write_back() || !platform::file_size(handle_, size)) return false;
  const std::uint64_t records =
      size < kTreeHeaderSize ? 0 : (size - kTreeHeaderSize) / kTreeRecordSize;
  const auto leads = static_cast<std::size_t>(std::min<std::uint64_t>(records, kTreeLeadRecords));
  // The head's records give up all but their leads, in place: lead k lies
  // below record k, so no record is overwritten before it is moved.
  const std::size_t in_head = head_end_ < kTreeHeaderSize ? 0 : record_index(head_end_);
  std::size_t index = 0;
  for (; index < std::min(leads, in_head); ++index)
    std::memmove(lead(index), memory_.get() + kTreeHeaderSize + index * kTreeRecordSize,
                 kTreeLeadSize);
  holds_leads_ = true;
  head_end_ = 0;
  leads_ = index;
  end_ = size;
  end_known_ = true;
  // Those past the head are read back from the file.
  for (; index < leads; index += kLeadChunk) {
    const std::size_t count = std::min(kLeadChunk, leads - index);
    const std::size_t bytes = count * kTreeRecordSize;
    if (platform::read_at(handle_, kTreeHeaderSize + index * kTreeRecordSize, tail_.get(), bytes) !=
        static_cast<long>(bytes))
      return false;
    for (std::size_t i = 0; i < count; ++i)
      std::memcpy(lead(index + i), tail_.get() + i * kTreeRecordSize, kTreeLeadSize);
    leads_ = index + count;
  }
  return true;
}

bool DigestTree::read_for_descent(std::uint32_t offset, const Md5Digest& digest, bool on_chain,
                                  TreeRecord& work) {
  if (!is_record_offset(offset)) return false;
  const std::size_t index = record_index(offset);
  if (!holds_leads_ || index >= leads_) return read_record(offset, work);
  if (!decode_lead(index, digest, work) || on_chain) return true;
  // The first bytes tie: the rest of the digest decides.
  unsigned char rest[kTreeRecordSize - kTreeLeadSize];
  if (!read_unsettled(offset + kTreeLeadSize, rest, sizeof rest)) return false;
  std::memcpy(work.digest.data() + kLeadDigestSize, rest, sizeof(Md5Digest) - kLeadDigestSize);
  work.name_offset = get_u32(rest + (kNameOffsetAt - kTreeLeadSize));
  return true;
}

bool DigestTree::decode_lead(std::size_t index, const Md5Digest& digest, TreeRecord& work) const {
  const unsigned char* in = lead(index);
  decode_links(in, work);
  work.digest = digest;
  std::memcpy(work.digest.data(), in + kDigestAt, kLeadDigestSize);
  return std::memcmp(in + kDigestAt, digest.data(), kLeadDigestSize) == 0;
}

bool DigestTree::is_lead(std::uint32_t offset) const {
  return holds_leads_ && is_record_offset(offset) && record_index(offset) < leads_;
}

bool DigestTree::read_lead(std::uint32_t offset, const Md5Digest& digest, TreeRecord& work) const {
  if (!decode_lead(record_index(offset), digest, work)) return true;
  constexpr std::size_t kRest = sizeof(Md5Digest) - kLeadDigestSize;
  return platform::read_at(handle_, offset + kTreeLeadSize, work.digest.data() + kLeadDigestSize,
                           kRest) == static_cast<long>(kRest);
}

void DigestTree::set_lead_links(std::uint32_t offset, const TreeRecord& record) {
  encode_links(record, lead(record_index(offset)));
}

bool DigestTree::begin_planning(std::uint32_t& next_record) {
  next_record = 0;
  if (!end_of_file(next_record) || !holds_leads_ || leads_ < kTreeLeadRecords) return false;
  // The leads' records leave the tail, so that a tie reads their rest from
  // the file; the leads themselves go back at the write-back.
  if (!flush_tail()) return false;
  leads_changed_ = true;
  return true;
}

bool DigestTree::rewrite_links(std::uint32_t offset, const TreeRecord& record) {
  unsigned char bytes[kLinksSize];
  encode_links(record, bytes);
  const std::size_t index = record_index(offset);
  if (!holds_leads_ && offset + kTreeRecordSize <= head_limit_)
    return write_head(offset, bytes, sizeof bytes);
  if (!holds_leads_ || index >= leads_) return write_unsettled(offset, bytes, sizeof bytes);
  std::memcpy(lead(index), bytes, sizeof bytes);
  leads_changed_ = true;
  return true;
}

bool DigestTree::read_bytes(std::uint64_t offset, unsigned char* out, std::size_t size) {
  const std::size_t in_head = head_part(offset, size);
  if (in_head > 0) {
    if (offset + in_head > head_end_) return false;  // past the end of the file
    std::memcpy(out, memory_.get() + offset, in_head);
  }
  if (in_head < size && !read_unsettled(offset + in_head, out + in_head, size - in_head))
    return false;
  if (!holds_leads_) return true;
  // The header and the leads, as they will be written back.
  unsigned char header[kTreeHeaderSize];
  put_u32(header, root_);
  copy_overlap(offset, size, 0, sizeof header, header, out);
  for (std::size_t index = offset < kTreeHeaderSize ? 0 : record_index(offset); index < leads_;
       ++index) {
    const std::uint64_t at = kTreeHeaderSize + std::uint64_t{index} * kTreeRecordSize;
    if (at >= offset + size) break;
    copy_overlap(offset, size, at, kTreeLeadSize, lead(index), out);
  }
  return true;
}

bool DigestTree::read_unsettled(std::uint64_t offset, unsigned char* out, std::size_t size) {
  if (in_tail(offset, size)) {
    std::memcpy(out, tail_.get() + (offset - tail_start_), size);
    return true;
  }
  if (meets_tail(offset, size) && !flush_tail()) return false;
  return platform::read_at(handle_, offset, out, size) == static_cast<long>(size);
}

bool DigestTree::write_head(std::uint64_t offset, const unsigned char* in, std::size_t size) {
  // Bytes the file gains between its old end and the written ones read as zeros.
  if (offset > head_end_) std::memset(memory_.get() + head_end_, 0, offset - head_end_);
  std::memcpy(memory_.get() + offset, in, size);
  head_end_ = std::max<std::size_t>(head_end_, offset + size);
  head_changed_ = true;
  end_ = std::max<std::uint64_t>(end_, offset + size);
  return true;
}

bool DigestTree::write_head_back() {
  if (!head_changed_) return true;
  if (!platform::write_at(handle_, 0, memory_.get(), head_end_)) {
    end_known_ = false;
    return false;
  }
  head_changed_ = false;
  return true;
}

bool DigestTree::write_unsettled(std::uint64_t offset, const unsigned char* in, std::size_t size) {
  bool written = true;
  if (in_tail(offset, size)) {
    std::memcpy(tail_.get() + (offset - tail_start_), in, size);
  } else if (meets_tail(offset, size) && !flush_tail()) {
    written = false;
  } else if (end_known_ && offset == end_ && size <= kTreeTailSize) {
    // Appended: the tail gathers it, once it holds the bytes just before.
    const bool follows = tail_used_ == 0 || tail_start_ + tail_used_ == offset;
    if ((!follows || tail_used_ + size > kTreeTailSize) && !flush_tail()) return false;
    if (tail_used_ == 0) tail_start_ = offset;
    std::memcpy(tail_.get() + tail_used_, in, size);
    tail_used_ += size;
  } else {
    written = platform::write_at(handle_, offset, in, size);
  }
  if (!written) {
    end_known_ = false;
    return false;
  }
  end_ = std::max<std::uint64_t>(end_, offset + size);
  return true;
}

bool DigestTree::flush_tail() {
  const std::size_t size = tail_used_;
  tail_used_ = 0;
  if (size == 0 || platform::write_at(handle_, tail_start_, tail_.get(), size)) return true;
  end_known_ = false;
  return false;
}

bool DigestTree::write_leads() {
  for (std::size_t first = 0; first < leads_; first += kLeadChunk) {
    const std::size_t count = std::min(kLeadChunk, leads_ - first);
    const std::size_t size = count * kTreeRecordSize;
    const std::uint64_t at = kTreeHeaderSize + std::uint64_t{first} * kTreeRecordSize;
    if (platform::read_at(handle_, at, tail_.get(), size) != static_cast<long>(size)) return false;
    for (std::size_t i = 0; i < count; ++i)
      std::memcpy(tail_.get() + i * kTreeRecordSize, lead(first + i), kTreeLeadSize);
    if (!platform::write_at(handle_, at, tail_.get(), size)) return false;
  }
  return true;
}

void DigestTree::hold_head() {
  holds_leads_ = false;
  leads_ = 0;
  const long got = platform::read_at(handle_, 0, memory_.get(), kTreeHeadSize);
  head_end_ = got > 0 ? static_cast<std::size_t>(got) : 0;
  // Unread, the file is read past the head alone.
  if (got < 0) head_limit_ = 0;
}

bool DigestTree::end_of_file(std::uint32_t& offset) {
  if (!end_known_) {
    // The file holds every byte past the head; the head may be ahead of it.
    if (!platform::file_size(handle_, end_)) return false;
    if (end_ < head_end_) end_ = head_end_;
    end_known_ = true;
  }
  if (end_ > UINT32_MAX) return false;
  offset = static_cast<std::uint32_t>(end_);
  return true;
}

namespace {
std::size_t chain_set(std::uint32_t head) {
  return (head / kTreeRecordSize) % (kChainTailSlots / 2) * 2;
}
}  // namespace

const DigestTree::ChainTail* DigestTree::cached_tail(std::uint32_t head) const {
  const ChainTail* set = &chain_tails_[chain_set(head)];
  if (set[0].head == head) return &set[0];
  return set[1].head == head ? &set[1] : nullptr;
}

void DigestTree::remember_tail(std::uint32_t head, std::uint32_t tail, std::uint32_t length) {
  ChainTail* set = &chain_tails_[chain_set(head)];
  ChainTail* slot = set[1].head == head ? &set[1] : &set[0];
  // A chain not cached takes the slot of the shorter of the two, or a free one.
  if (slot->head != head && set[1].length < set[0].length) slot = &set[1];
  *slot = ChainTail{head, tail, length};
}

}  // namespace mirvale
