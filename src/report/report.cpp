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

Report::Report(const ReportParts& parts)
    : tree_(parts.tree),
      names_(parts.names),
      path_(parts.path),
      io_(parts.io),
      console_(parts.console),
      queue_(parts.queue),
      confirmation_(parts.confirmation),
      json_(parts.json),
      reclaim_(parts.reclaim),
      log_writer_(parts.log) {
  queue_.set_chain_check(&check_chain, &confirmation_);
}

// A worker's look at a chain, in the queue's terms: the chain's paths stay
// with the task when they all fit.
DigestQueue::Outcome Report::check_chain(const void* confirmation, DigestQueue::Task& task,
                                         IoBuffer& buffer, platform::FileBatch& batch) {
  ChainPaths paths{task.chain_paths, DigestQueue::kChainPathBytes};
  const Confirmation::Verdict verdict =
      static_cast<const Confirmation*>(confirmation)
          ->check_chain(task.chain, task.chain_name, task.chain_next, buffer, paths, batch);
  task.chain_paths_length = paths.whole ? static_cast<std::uint16_t>(paths.used) : 0;
  switch (verdict) {
    case Confirmation::Verdict::one_class:
      return DigestQueue::Outcome::one_class;
    case Confirmation::Verdict::out_of_descriptors:
      return DigestQueue::Outcome::out_of_descriptors;
    case Confirmation::Verdict::mixed:
      break;
  }
  return DigestQueue::Outcome::mixed;
}

void Report::report_duplicates() {
  stack_full_ = false;
  out_of_descriptors_ = false;
  log_failed_ = false;
  log_writer_.discard();
  queue_.begin_checks();
  walk_tree();
  // The groups still being checked come before anything that ended the walk.
  while (!out_of_descriptors_ && !queue_.empty()) print_oldest();
  queue_.abandon();
  if (reclaim_ != nullptr) reclaim_->end_group();
  if (stack_full_ && !out_of_descriptors_ && json_ == nullptr)
    write_console(kStackFull.data(), kStackFull.size());
  if (!log_failed_ && !log_writer_.flush()) log_failed_ = true;
}

// The in-order walk from the root, queueing each group at its head.
void Report::walk_tree() {
  // Offset 0 is the header: an empty tree has no record to visit.
  if (tree_.root() == 0) return;
  std::uint32_t count = 0;
  push(count, tree_.root());
  while (!out_of_descriptors_) {
    if (count == kStackEntries) {
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
        stack_next_[top] = traversal_record_.equal;
        stack_name_[top] = traversal_record_.name_offset;
        if (traversal_record_.left != 0) push(count, traversal_record_.left);
        break;
      case kVisit:
        stack_state_[top] = kLeave;
        if (stack_next_[top] != 0) queue_group(top);
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

// Queues the chain headed at the record of stack entry top for the workers to
// look at, with what the walk read of it, first printing the groups ahead of
// it whose look is done, or enough of them to make room.
void Report::queue_group(std::uint32_t top) {
  while (!out_of_descriptors_ && queue_.oldest_ready()) print_oldest();
  if (!out_of_descriptors_ && queue_.full()) {
    if (reclaim_ != nullptr) reclaim_->flush();
    queue_.wait_for_room();
    do {
      print_oldest();  // waits for it, if the workers finished out of order
    } while (!out_of_descriptors_ && queue_.oldest_ready());
  }
  if (!out_of_descriptors_)
    queue_.push_check(stack_offset_[top], stack_name_[top], stack_next_[top]);
}

// Prints the oldest queued chain once it has been looked at: at once when
// its files are all one content, else class by class.
void Report::print_oldest() {
  // Copies held back for a batch are begun before the report waits for a look.
  if (reclaim_ != nullptr && !queue_.oldest_ready()) reclaim_->flush();
  const DigestQueue::Task& task = queue_.oldest();
  const std::uint32_t head = task.chain;
  if (task.outcome != DigestQueue::Outcome::one_class) {
    queue_.pop();
    print_classes(head);
  } else if (task.chain_paths_length > 0) {
    print_kept_group(head, task.chain_paths, task.chain_paths_length);
    queue_.pop();
  } else {
    queue_.pop();
    print_group(head);
  }
}

// Prints each of the paths kept by the look at a chain headed at head as
// one group.
void Report::print_kept_group(std::uint32_t head, const char* paths, std::size_t size) {
  begin_group(head, nullptr);
  for (std::size_t at = 0; at < size;) {
    const std::size_t length = std::strlen(paths + at);
    add_path(paths + at, length);
    at += length + 1;
  }
}

// Prints the path of every record on the chain headed by the record at head,
// in chain order, as one group. A path that cannot be read back gets no
// line; a chain record that cannot be read ends the group.
void Report::print_group(std::uint32_t head) {
  begin_group(head, nullptr);
  for (std::uint32_t offset = head; offset != 0;) {
    if (!tree_.read_record(offset, chain_record_)) return;
    offset = next_in_chain(chain_record_, offset);
    add_name(chain_record_.name_offset);
  }
}

// Splits the chain headed at head into classes of identical content and
// prints each of two or more files as a group. The first readable file heads
// the first class; each later one joins the first class whose head it
// equals, or heads a new one. A class is gathered whole, then printed,
// before the next one's head is looked for, so each pass compares the files
// not yet placed with one head: at most about files times classes
// comparisons.
void Report::print_classes(std::uint32_t head) {
  marks_cleared_ = 0;
  std::uint64_t first = 0;
  while (first != kNoPosition && !out_of_descriptors_) {
    ClassLead lead;
    first = gather_class(head, first, lead);
    if (lead.members > 0 && !out_of_descriptors_) print_class(head, lead);
  }
}

// Finds the class head at or after position first and marks the files
// equal to it, and returns the first position after it that is in no class
// yet, or kNoPosition. When the head cannot be read to the end, its class is
// given up: its files are placed again from the position after it.
std::uint64_t Report::gather_class(std::uint32_t head, std::uint64_t first, ClassLead& lead) {
  std::uint64_t next = kNoPosition;
  std::uint64_t position = 0;
  for (std::uint32_t offset = head; offset != 0; ++position) {
    if (!tree_.read_record(offset, chain_record_)) break;
    offset = next_in_chain(chain_record_, offset);
    clear_mark(position);
    set_class_mark(position, false);
    if (position < first || marked(position)) continue;
    OpenedFile file;
    const platform::OpenStatus status = open_file(chain_record_.name_offset, file);
    if (status == platform::OpenStatus::out_of_descriptors) return drop_class(lead, position);
    if (status != platform::OpenStatus::opened) {
      mark(position);  // unreadable: in no class
    } else if (!lead.file.handle.valid()) {
      if (!heads_a_class(head, position, file)) continue;
      mark(position);
      lead = {std::move(file), chain_record_.name_offset, position, 0};
    } else {
      const Comparison comparison = compare_files(lead.file, file, io_);
      if (comparison == Comparison::first_unreadable) return drop_class(lead, position);
      if (comparison == Comparison::different && next == kNoPosition) next = position;
      if (comparison == Comparison::second_unreadable) mark(position);
      if (comparison != Comparison::same) continue;
      mark(position);
      set_class_mark(position, true);
      ++lead.members;
    }
  }
  return next;
}

// Gives up the class of lead, gathered up to position: its head is in no
// class, the files found equal to it are placed again from the position
// after it (or, out of descriptors, never). Returns that position.
std::uint64_t Report::drop_class(ClassLead& lead, std::uint64_t position) {
  const std::uint64_t end = position < kMarkedPositions ? position : kMarkedPositions;
  for (std::uint64_t at = lead.position + 1; lead.position != kNoPosition && at < end; ++at) {
    if (!class_marked(at)) continue;
    set_class_mark(at, false);
    marks_[at / 64] &= ~(std::uint64_t{1} << (at % 64));
  }
  lead.members = 0;
  if (out_of_descriptors_ || lead.position == kNoPosition) return kNoPosition;
  return lead.position + 1;
}

// Prints the class of lead that gather_class found: its head and the files
// marked as equal to it, and past the marks, the files equal to it now.
void Report::print_class(std::uint32_t head, const ClassLead& lead) {
  begin_group(head, &lead.file);
  add_name(lead.name);
  std::uint64_t position = 0;
  for (std::uint32_t offset = head; offset != 0; ++position) {
    if (!tree_.read_record(offset, chain_record_)) break;
    offset = next_in_chain(chain_record_, offset);
    if (position <= lead.position) continue;
    if (position < kMarkedPositions) {
      if (!class_marked(position)) continue;
      set_class_mark(position, false);
    } else {
      OpenedFile file;
      if (open_file(chain_record_.name_offset, file) != platform::OpenStatus::opened ||
          compare_files(lead.file, file, io_) != Comparison::same)
        continue;
    }
    add_name(chain_record_.name_offset);
  }
}

// Whether the file at an unmarked position, open as file, heads a class. A
// marked position's class is known; past them, the file heads one unless it
// equals a file before it, which then placed it in an earlier class.
bool Report::heads_a_class(std::uint32_t head, std::uint64_t position, const OpenedFile& file) {
  if (position < kMarkedPositions) return true;
  TreeRecord record;
  std::uint32_t offset = head;
  for (std::uint64_t earlier = 0; earlier < position && offset != 0; ++earlier) {
    if (!tree_.read_record(offset, record)) return true;
    offset = next_in_chain(record, offset);
    OpenedFile other;
    if (open_file(record.name_offset, other) != platform::OpenStatus::opened) continue;
    if (compare_files(other, file, io_) == Comparison::same) return false;
  }
  return !out_of_descriptors_;
}

// Opens the file whose path is stored at name, its path left in the scan
// path. Workers may hold descriptors for chains queued later: after a
// shortage the open is tried again once they are done, and a second one
// ends the report.
platform::OpenStatus Report::open_file(NameOffset name, OpenedFile& out) {
  platform::OpenStatus status = confirmation_.open_file(name, path_.data(), out);
  if (status == platform::OpenStatus::out_of_descriptors) {
    queue_.wait_for_all();
    status = confirmation_.open_file(name, path_.data(), out);
  }
  path_.set_length(std::strlen(path_.c_str()));
  if (status == platform::OpenStatus::out_of_descriptors) out_of_descriptors_ = true;
  return status;
}

bool Report::marked(std::uint64_t position) const {
  return position < kMarkedPositions && (marks_[position / 64] >> (position % 64) & 1u) != 0;
}

// Clears the marks left by an earlier chain for position and those that
// share its word, the first time a pass over this chain meets it: every
// pass meets the positions in order from the first.
void Report::clear_mark(std::uint64_t position) {
  if (position < marks_cleared_ || position >= kMarkedPositions) return;
  marks_[position / 64] = 0;
  marks_cleared_ = (position / 64 + 1) * 64;
}

void Report::mark(std::uint64_t position) {
  if (position < kMarkedPositions) marks_[position / 64] |= std::uint64_t{1} << (position % 64);
}

bool Report::class_marked(std::uint64_t position) const {
  return position < kMarkedPositions && (class_marks_[position / 64] >> (position % 64) & 1u) != 0;
}

void Report::set_class_mark(std::uint64_t position, bool on) {
  if (position >= kMarkedPositions) return;
  const std::uint64_t bit = std::uint64_t{1} << (position % 64);
  if (on) {
    class_marks_[position / 64] |= bit;
  } else {
    class_marks_[position / 64] &= ~bit;
  }
}

// Starts the group of the chain headed at head, whose first file is lead
// when it is open. Its heading is printed once two of its paths are in
// hand, the first held until then, so that no group shows one path.
void Report::begin_group(std::uint32_t head, const OpenedFile* lead) {
  group_head_ = head;
  group_lead_ = lead;
  group_paths_ = 0;
}

// Adds the file whose path is stored at name to the group; a path that
// cannot be read back gets no line.
void Report::add_name(NameOffset name) {
  if (!names_.read_name(name)) return;
  add_path(path_.c_str(), path_.length());
}

void Report::add_path(const char* path, std::size_t length) {
  if (length > ScanPath::kMaxLength) length = ScanPath::kMaxLength;
  if (group_paths_++ == 0) {
    std::memcpy(held_path_, path, length);
    held_length_ = length;
    return;
  }
  if (group_paths_ == 2) {
    print_heading();
    print_path(held_path_, held_length_);
  }
  print_path(path, length);
}

void Report::print_path(const char* path, std::size_t length) {
  std::memcpy(io_.bytes, path, length);
  std::memcpy(io_.bytes + length, kLineEnd.data(), kLineEnd.size());
  emit_line(length + kLineEnd.size());
  emit_file({path, length});
}

// Prints the heading of the group begun last. The JSON document learns the
// group's digest from its chain's head record and its size from its first
// file, opened for it when it is not open.
void Report::print_heading() {
  if (reclaim_ != nullptr) reclaim_->begin_group();
  std::memcpy(io_.bytes, kHeading.data(), kHeading.size());
  emit_line(kHeading.size());
  if (json_ == nullptr) return;
  TreeRecord record{};
  tree_.read_record(group_head_, record);
  const OpenedFile* lead = group_lead_;
  OpenedFile first;
  char path[ScanPath::kCapacity];  // not the scan path, which may hold the group's next path
  if (lead == nullptr &&
      confirmation_.open_file(record.name_offset, path, first) == platform::OpenStatus::opened)
    lead = &first;
  json_->begin_group(record.digest, lead != nullptr ? lead->size : 0, lead != nullptr);
}

// Hands a file of the group just printed to the JSON document and to the
// action, in that order, so that what the action does joins the file's object.
void Report::emit_file(std::string_view path) {
  if (json_ != nullptr) json_->file(path);
  if (reclaim_ != nullptr) reclaim_->file(path);
}

// While copies are acted on, the console's text takes its place among their lines.
void Report::write_console(const void* bytes, size_t size) {
  if (reclaim_ != nullptr)
    reclaim_->print(bytes, size);
  else
    console_.write(bytes, size);
}

// Hands the first size bytes of the I/O buffer to the console and to the
// log's block. After a failed or short block write the log gets nothing
// more, so that it holds a prefix of the report.
void Report::emit_line(size_t size) {
  if (json_ == nullptr) write_console(io_.bytes, size);
  if (!log_failed_ && !log_writer_.put(io_.bytes, size)) log_failed_ = true;
}

}  // namespace mirvale
