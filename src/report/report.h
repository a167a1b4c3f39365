// The duplicate report: an in-order walk of the digest tree that prints every
// group of files with equal digests and equal content on the console and in
// the log. Each chain's files are compared byte for byte before it is
// printed, but for the pairs the twin board trusts (confirm.h); a group is
// printed once two of its paths are read back, and a chain's class whole
// or not at all.
#pragma once

#include <cstddef>
#include <cstdint>

#include "action/reclaim.h"
#include "index/digest_tree.h"
#include "platform/console.h"
#include "platform/file.h"
#include "report/confirm.h"
#include "report/json_report.h"
#include "scan/digest_queue.h"
#include "scan/name_store.h"
#include "scan/scan_path.h"
#include "types.h"

namespace mirvale {

// What the report reads and where it prints: the run's modules and buffers.
struct ReportParts {
  DigestTree& tree;
  NameStore& names;
  ScanPath& path;
  IoBuffer& io;
  platform::Console& console;
  const platform::FileHandle& log;
  DigestQueue& queue;          // its workers look at chains ahead of the report
  Confirmation& confirmation;  // opens and compares the files of a chain
  JsonReport* json;            // where the groups go instead of the console, if anywhere
  Reclaim* reclaim;            // acts on each group's copies as they are printed, if anywhere
};

class Report {
 public:
  static constexpr std::uint32_t kStackEntries = 20000;
  // Positions of a chain that can be marked as placed in a class or
  // unreadable; later positions are compared again instead.
  static constexpr std::uint64_t kMarkedPositions = std::uint64_t{1} << 20;

  // Sets the queue's workers to look at chains with the confirmation.
  explicit Report(const ReportParts& parts);

  // Prints every class of two or more files of equal digest and equal
  // content, in ascending digest order, on the console and in the log; ends
  // early when the tree is too deep for the stack, one of its records cannot
  // be read, or no descriptor is free for a file. The log's lines are
  // gathered and written in blocks, the last when the report ends.
  void report_duplicates();

  // "Stack Full!" ended the report before every group was printed.
  bool stack_full() const { return stack_full_; }
  // No descriptor was free to open a file; the scan path names it.
  bool out_of_descriptors() const { return out_of_descriptors_; }
  // A write to the log failed or was short.
  bool log_failed() const { return log_failed_; }

 private:
  // The first position of a chain not yet placed in a class, if any.
  static constexpr std::uint64_t kNoPosition = ~std::uint64_t{0};

  static DigestQueue::Outcome check_chain(const void* confirmation, DigestQueue::Task& task,
                                          IoBuffer& buffer, platform::FileBatch& batch);
  void walk_tree();
  void push(std::uint32_t& count, std::uint32_t offset);
  void queue_group(std::uint32_t top);
  void print_oldest();
  void print_kept_group(std::uint32_t head, const char* paths, std::size_t size);
  // The head of a class being gathered.
  struct ClassLead {
    OpenedFile file;                       // open, once found
    NameOffset name = 0;                   // its name-store record
    std::uint64_t position = kNoPosition;  // its position on the chain
    std::uint64_t members = 0;             // files found equal to it
  };

  void print_group(std::uint32_t head);
  void print_classes(std::uint32_t head);
  std::uint64_t gather_class(std::uint32_t head, std::uint64_t first, ClassLead& lead);
  std::uint64_t drop_class(ClassLead& lead, std::uint64_t position);
  void print_class(std::uint32_t head, const ClassLead& lead);
  bool heads_a_class(std::uint32_t head, std::uint64_t position, const OpenedFile& file);
  platform::OpenStatus open_file(NameOffset name, OpenedFile& out);
  void clear_mark(std::uint64_t position);
  bool marked(std::uint64_t position) const;
  void mark(std::uint64_t position);
  bool class_marked(std::uint64_t position) const;
  void set_class_mark(std::uint64_t position, bool on);
  void begin_group(std::uint32_t head, const OpenedFile* lead);
  void add_name(NameOffset name);
  void add_path(const char* path, std::size_t length);
  void print_heading();
  void print_path(const char* path, std::size_t length);
  void emit_line(size_t size);
  void write_console(const void* bytes, size_t size);
  void emit_file(std::string_view path);

  DigestTree& tree_;
  NameStore& names_;
  ScanPath& path_;
  IoBuffer& io_;
  platform::Console& console_;
  DigestQueue& queue_;
  Confirmation& confirmation_;
  JsonReport* json_;                                  // gets the groups, when not null
  Reclaim* reclaim_;                                  // gets each group's files, when not null
  platform::BlockWriter log_writer_;                  // the log's lines not yet written
  std::uint64_t marks_[kMarkedPositions / 64];        // chain positions placed or unreadable
  std::uint64_t marks_cleared_ = 0;                   // marks_ holds this chain's below this
  std::uint64_t class_marks_[kMarkedPositions / 64];  // positions of the class being gathered
  std::uint32_t group_head_ = 0;                      // the chain of the group being printed
  const OpenedFile* group_lead_ = nullptr;            // its first file, open, when known
  std::uint64_t group_paths_ = 0;                     // its paths in hand
  char held_path_[ScanPath::kCapacity];               // its first path, until a second
  std::size_t held_length_ = 0;                       // bytes of held_path_
  std::uint32_t stack_offset_[kStackEntries];         // record offset per entry
  std::uint8_t stack_state_[kStackEntries];           // 1, 2 or 0 per entry
  std::uint32_t stack_right_[kStackEntries];          // the entry's right link, once read
  std::uint32_t stack_next_[kStackEntries];           // the entry's next on its chain, once read
  NameOffset stack_name_[kStackEntries];              // the entry's name-store record, once read
  TreeRecord traversal_record_;                       // the record of the top entry
  TreeRecord chain_record_;                           // the record of the chain walk
  bool stack_full_ = false;
  bool out_of_descriptors_ = false;
  bool log_failed_ = false;
};

}  // namespace mirvale
