// The duplicate report: the in-order walk of the digest tree with its fixed
// stack, and the printing of one group along its chain.
#include "report/report.h"

#include <cstring>
#include <string_view>

namespace mirvale {

namespace {

constexpr std::uint8_t kEnterLeft = 1;  // the left subtree has not been entered
constexpr std::uint8_t kVisit = 2;      // the left subtree is done
constexpr std::uint8_t kLeave = 0;      // visited, right subtree entered

constexpr std::string_view kHeading = "============== Duplicate File List =============\r\n";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kStackFull = "Stack Full!\n";

static_assert(ScanPath::kMaxLength + kLineEnd.size() <= kIoBufferSize, "a path line fits");
static_assert(kHeading.size() <= kIoBufferSize, "the heading fits");

}  // namespace

void Report::report_duplicates() {
  stack_full_ = false;
  log_failed_ = false;
  log_writer_.discard();
  walk_tree();
  if (!log_failed_ && !log_writer_.flush()) log_failed_ = true;
}

// The in-order walk from the root, printing each group at its head.
void Report::walk_tree() {
  // Offset 0 is the header: an empty tree has no record to visit.
  if (tree_.root() == 0) return;
  std::uint32_t count = 0;
  push(count, tree_.root());
  for (;;) {
    if (count == kStackEntries) {
      console_.write(kStackFull);
      stack_full_ = true;
      return;
    }
    if (count == 0) return;
    const std::uint32_t top = count - 1;
    switch (stack_state_[top]) {
      case kEnterLeft:
        // The record is read once, on entry; its links stay with the entry
        // for the visit.
        if (!tree_.read_record(stack_offset_[top], traversal_record_)) return;
        stack_state_[top] = kVisit;
        stack_right_[top] = traversal_record_.right;
        stack_grouped_[top] = traversal_record_.equal != 0;
        if (traversal_record_.left != 0) push(count, traversal_record_.left);
        break;
      case kVisit:
        stack_state_[top] = kLeave;
        if (stack_grouped_[top]) print_group(stack_offset_[top]);
        if (stack_right_[top] != 0) push(count, stack_right_[top]);
        break;
      default:
        --count;
        break;
    }
  }
}

// Puts an entry for the record at offset on the stack, its left subtree not
// yet entered; the caller has checked that there is room.
void Report::push(std::uint32_t& count, std::uint32_t offset) {
  stack_offset_[count] = offset;
  stack_state_[count] = kEnterLeft;
  ++count;
}

// Prints the heading and the path of every record on the chain headed by the
// record at head, in chain order. A path that cannot be read back gets no
// line; a chain record that cannot be read ends the group.
void Report::print_group(std::uint32_t head) {
  std::memcpy(io_.bytes, kHeading.data(), kHeading.size());
  emit_line(kHeading.size());
  std::uint32_t offset = head;
  while (offset != 0) {
    if (!tree_.read_record(offset, chain_record_)) return;
    // Records lie in the file in order of creation and a chain grows at its
    // end, so a link that does not lead further on is damage, not a chain.
    offset = chain_record_.equal > offset ? chain_record_.equal : 0;
    if (!names_.read_name(chain_record_.name_offset)) continue;
    const size_t length =
        path_.length() < ScanPath::kMaxLength ? path_.length() : ScanPath::kMaxLength;
    std::memcpy(io_.bytes, path_.c_str(), length);
    std::memcpy(io_.bytes + length, kLineEnd.data(), kLineEnd.size());
    emit_line(length + kLineEnd.size());
  }
}

// Hands the first size bytes of the I/O buffer to the console and to the
// log's block. After a failed or short block write the log gets nothing
// more, so that it holds a prefix of the report.
void Report::emit_line(size_t size) {
  console_.write(io_.bytes, size);
  if (!log_failed_ && !log_writer_.put(io_.bytes, size)) log_failed_ = true;
}

}  // namespace mirvale
