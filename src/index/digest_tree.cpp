// The digest tree file's record format and the DigestTree module: opening,
// record reads and writes, the header, the end of the file and the listing.
#include "index/digest_tree.h"

#include <cstring>

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

bool DigestTree::open_tree(const char* file_name) {
  forget_file_state();
  handle_ = platform::open_working_file(file_name);
  if (!handle_.valid()) return false;
  end_known_ = true;  // a new file is empty
  if (!write_header()) {
    handle_.close();
    return false;
  }
  window_ = platform::map_file(handle_, kTreeWindowSize);
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
  if (const unsigned char* in = mapped(offset, kTreeRecordSize)) {
    decode_record(in, record);
    return true;
  }
  unsigned char bytes[kTreeRecordSize];
  if (platform::read_at(handle_, offset, bytes, sizeof bytes) != kTreeRecordSize) return false;
  decode_record(bytes, record);
  return true;
}

bool DigestTree::write_record(std::uint32_t offset, const TreeRecord& record) {
  if (unsigned char* out = mapped(offset, kTreeRecordSize)) {
    encode_record(record, out);
    return true;
  }
  unsigned char bytes[kTreeRecordSize];
  encode_record(record, bytes);
  if (!platform::write_at(handle_, offset, bytes, sizeof bytes)) {
    end_known_ = false;
    return false;
  }
  if (std::uint64_t{offset} + kTreeRecordSize > end_)
    end_ = std::uint64_t{offset} + kTreeRecordSize;
  return true;
}

bool DigestTree::write_header() {
  if (unsigned char* out = mapped(0, kTreeHeaderSize)) {
    put_u32(out, root_);
    return true;
  }
  unsigned char header[kTreeHeaderSize];
  put_u32(header, root_);
  if (!platform::write_at(handle_, 0, header, sizeof header)) {
    end_known_ = false;
    return false;
  }
  if (end_ < kTreeHeaderSize) end_ = kTreeHeaderSize;
  return true;
}

int DigestTree::close_tree() {
  forget_file_state();
  return handle_.close();
}

bool DigestTree::dump_tree(platform::Console& console) {
  console.write("pos     - bal: left     <- equal    -> right\n");
  unsigned char bytes[kTreeRecordSize];
  TreeRecord record;
  // A 64-bit position, so that the last 32-bit offset does not wrap round to the start.
  for (std::uint64_t pos = kTreeHeaderSize; pos <= UINT32_MAX; pos += kTreeRecordSize) {
    if (platform::read_at(handle_, pos, bytes, sizeof bytes) != kTreeRecordSize) break;
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
  window_.unmap();
  root_ = 0;
  end_ = 0;
  end_known_ = false;
  chain_tails_.fill(ChainTail{});
}

unsigned char* DigestTree::mapped(std::uint64_t offset, std::size_t size) {
  // Pages past the end of the file must never be touched; end_ is what this
  // module wrote, and only it writes the file.
  if (!end_known_ || offset + size > end_ || offset + size > window_.size()) return nullptr;
  return window_.data() + offset;
}

bool DigestTree::end_of_file(std::uint32_t& offset) {
  if (!end_known_) {
    if (!platform::file_size(handle_, end_)) return false;
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
