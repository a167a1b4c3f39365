// The digest tree file's record format and the DigestTree module: opening,
// the head kept in memory, record reads and writes, the header, the end of
// the file and the listing.
#include "index/digest_tree.h"

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

}  // namespace

void encode_record(const TreeRecord& record, unsigned char out[kTreeRecordSize]) {
  put_u32(out + kLeftAt, record.left);
  put_u32(out + kRightAt, record.right);
  put_u32(out + kEqualAt, record.equal);
  put_u32(out + kBalAt, static_cast<std::uint32_t>(record.bal));
  std::memcpy(out + kDigestAt, record.digest.data(), record.digest.size());
  put_u32(out + kNameOffsetAt, record.name_offset);
}

void decode_record(const unsigned char in[kTreeRecordSize], TreeRecord& record) {
  record.left = get_u32(in + kLeftAt);
  record.right = get_u32(in + kRightAt);
  record.equal = get_u32(in + kEqualAt);
  record.bal = static_cast<std::int32_t>(get_u32(in + kBalAt));
  std::memcpy(record.digest.data(), in + kDigestAt, record.digest.size());
  record.name_offset = get_u32(in + kNameOffsetAt);
}

bool DigestTree::allocate() {
  if (!head_) head_.reset(new (std::nothrow) unsigned char[kTreeHeadSize]);
  if (!tail_) tail_.reset(new (std::nothrow) unsigned char[kTreeTailSize]);
  return head_ && tail_;
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
  // Bytes still in the tail are not in the file yet.
  if (meets_tail(offset, sizeof bytes)) return false;
  const std::size_t in_head = head_part(offset, sizeof bytes);
  if (in_head > 0) {
    if (offset + in_head > head_end_) return false;  // past the end of the file
    std::memcpy(bytes, head_.get() + offset, in_head);
  }
  const std::size_t rest = sizeof bytes - in_head;
  if (rest > 0 && platform::read_at(handle_, offset + in_head, bytes + in_head, rest) !=
                      static_cast<long>(rest))
    return false;
  decode_record(bytes, record);
  return true;
}

bool DigestTree::write_record(std::uint32_t offset, const TreeRecord& record) {
  unsigned char bytes[kTreeRecordSize];
  encode_record(record, bytes);
  return write_bytes(offset, bytes, sizeof bytes);
}

bool DigestTree::write_header() {
  unsigned char header[kTreeHeaderSize];
  put_u32(header, root_);
  return write_bytes(0, header, sizeof header);
}

bool DigestTree::write_back() {
  if (!flush_tail()) return false;
  if (!head_changed_) return true;
  if (!platform::write_at(handle_, 0, head_.get(), head_end_)) {
    end_known_ = false;
    return false;
  }
  head_changed_ = false;
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
  tail_start_ = 0;
  tail_used_ = 0;
  root_ = 0;
  end_ = 0;
  end_known_ = false;
  chain_tails_.fill(ChainTail{});
}

std::size_t DigestTree::head_part(std::uint64_t offset, std::size_t size) const {
  if (offset >= head_limit_) return 0;
  const std::uint64_t room = head_limit_ - offset;
  return room < size ? static_cast<std::size_t>(room) : size;
}

bool DigestTree::read_bytes(std::uint64_t offset, unsigned char* out, std::size_t size) {
  const std::size_t in_head = head_part(offset, size);
  if (in_head > 0) {
    if (offset + in_head > head_end_) return false;  // past the end of the file
    std::memcpy(out, head_.get() + offset, in_head);
  }
  if (in_head == size) return true;
  const std::size_t rest = size - in_head;
  offset += in_head;
  if (in_tail(offset, rest)) {
    std::memcpy(out + in_head, tail_.get() + (offset - tail_start_), rest);
    return true;
  }
  if (meets_tail(offset, rest) && !flush_tail()) return false;
  return platform::read_at(handle_, offset, out + in_head, rest) == static_cast<long>(rest);
}

bool DigestTree::write_bytes(std::uint64_t offset, const unsigned char* in, std::size_t size) {
  const std::size_t in_head = head_part(offset, size);
  // Bytes the file gains between its old end and the written ones read as zeros.
  const std::size_t reached = in_head < size ? head_limit_ : offset + in_head;
  if (reached > head_end_) {
    std::memset(head_.get() + head_end_, 0, reached - head_end_);
    head_end_ = reached;
    head_changed_ = true;
  }
  if (in_head > 0) {
    std::memcpy(head_.get() + offset, in, in_head);
    head_changed_ = true;
  }
  if (in_head < size && !write_past_head(offset + in_head, in + in_head, size - in_head)) {
    end_known_ = false;
    return false;
  }
  if (offset + size > end_) end_ = offset + size;
  return true;
}

bool DigestTree::write_past_head(std::uint64_t offset, const unsigned char* in, std::size_t size) {
  if (in_tail(offset, size)) {
    std::memcpy(tail_.get() + (offset - tail_start_), in, size);
    return true;
  }
  if (meets_tail(offset, size) && !flush_tail()) return false;
  const bool appended = end_known_ && offset == end_ && size <= kTreeTailSize;
  if (!appended) return platform::write_at(handle_, offset, in, size);
  if (tail_used_ + size > kTreeTailSize && !flush_tail()) return false;
  if (tail_used_ == 0) tail_start_ = offset;
  std::memcpy(tail_.get() + tail_used_, in, size);
  tail_used_ += size;
  return true;
}

bool DigestTree::flush_tail() {
  const std::size_t size = tail_used_;
  tail_used_ = 0;
  if (size == 0 || platform::write_at(handle_, tail_start_, tail_.get(), size)) return true;
  end_known_ = false;
  return false;
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

std::uint32_t DigestTree::cached_tail(std::uint32_t head) const {
  const ChainTail& slot = chain_tails_[(head / kTreeRecordSize) % kChainTailSlots];
  return slot.head == head ? slot.tail : 0;
}

void DigestTree::remember_tail(std::uint32_t head, std::uint32_t tail) {
  chain_tails_[(head / kTreeRecordSize) % kChainTailSlots] = ChainTail{head, tail};
}

}  // namespace mirvale
