// The scan phase: the two passes over the walk's files, the feeding of the
// digest queue and the folding of its tasks into the digest tree, in order.
#include "scan/scan.h"

#include <optional>

namespace mirvale {

Scan::Failure Scan::run(ScanRoots& roots, const ScanRequest& request) {
  request_ = &request;
  counts_ = {};
  for (std::size_t i = 0; i < roots.count(); ++i) count_sizes(roots[i]);
  failure_ = Failure::none;
  for (std::size_t i = 0; i < roots.count() && failure_ == Failure::none; ++i) list_files(roots[i]);
  queue_.let_go_twins();
  // The tree is the caller's again only once every insertion is done.
  if (!inserts_.finish() && failure_ == Failure::none) failure_ = Failure::digest_tree;
  return failure_;
}

// Counts the size of every file below root in the census, or marks the
// census incomplete when the walk cannot be finished; the listing pass
// meets the same failure, if it lasts, and reports it.
void Scan::count_sizes(const ScanRoot& root) {
  failure_ = Failure::none;
  walk_files(root, false, [this] {
    ++counts_.files_found;
    queue_file(DigestQueue::Job::count_size, 0);
  });
  if (failure_ != Failure::none) census_.mark_incomplete();
}

// Prints and stores each file below root as it is met and queues it to be
// digested. The scan path holds the root's path again afterwards, but after
// a shortage of descriptors, when it names what could not be opened.
void Scan::list_files(ScanRoot& root) {
  root.first_name = names_.next_name_offset();
  walk_files(root, true, [this] { list_file(); });
  // A directory the walk opened by its path is kept as the walk listed it.
  if (!root.handle.valid()) root.handle = walk_.take_start_directory();
  if (failure_ != Failure::out_of_descriptors) path_.cut(root.length);
}

void Scan::list_file() {
  if (request_->print_files) console_.write_line(path_.view());
  const std::optional<NameOffset> offset = names_.append_name(path_);
  if (!offset) {
    failure_ = Failure::name_store;
    return;
  }
  ++counts_.files_listed;
  queue_file(DigestQueue::Job::digest, *offset);
}

void Scan::report_too_long() {
  ++counts_.too_long;
  const ScanEvents& events = request_->events;
  if (events.too_long != nullptr) events.too_long(events.context, path_.view(), walk_.entry_name());
}

// One pass of the walk below root, handle_file called with each file's path
// in the scan path; the listing pass reports the entries too long to hold.
// Everything queued is folded before it returns, or dropped after a failure.
template <typename HandleFile>
void Scan::walk_files(const ScanRoot& root, bool listing, HandleFile handle_file) {
  path_.assign({root.path, root.length});
  if (!walk_.start(root.handle, request_->filter)) {
    failure_ = Failure::start_path;
    return;
  }
  while (failure_ == Failure::none) {
    const DirectoryWalk::Step step = walk_.next();
    if (step == DirectoryWalk::Step::end) break;
    if (step == DirectoryWalk::Step::short_of_descriptors) {
      answer_shortage();
    } else if (step == DirectoryWalk::Step::too_long) {
      if (listing) report_too_long();
    } else {
      handle_file();
    }
  }
  drain();
  if (failure_ != Failure::none) queue_.abandon();
  walk_.finish();
}

// The walk has given up every listing it may: what is left is lent to
// queued files, held by workers or kept on the twin board, and folding the
// queue and letting the board go frees it all.
void Scan::answer_shortage() {
  const bool let_go = queue_.let_go_twins();
  if (!queue_.empty()) {
    drain();
    return;
  }
  if (let_go) return;
  failure_ = Failure::out_of_descriptors;
  walk_.show_unopened();
}

// Queues job for the file named by the scan path, once the queue has room.
void Scan::queue_file(DigestQueue::Job job, NameOffset offset) {
  const std::size_t length = path_.length();
  fold_ready();
  if (failure_ == Failure::none && !queue_.has_room(length)) make_room(length);
  if (failure_ != Failure::none) return;
  const std::uint32_t lease = walk_.lend();
  queue_.push(job, walk_.lent(lease), lease, path_.view(), walk_.name_at(), offset);
}

// Folds tasks until one for a path of path_length bytes fits; a full queue
// is first left to the workers for a quarter of its tasks.
void Scan::make_room(std::size_t path_length) {
  if (queue_.full()) queue_.wait_for_room();
  do {
    fold_oldest();  // waits for it, if the workers finished out of order
  } while (failure_ == Failure::none && (!queue_.has_room(path_length) || queue_.oldest_ready()));
}

void Scan::fold_ready() {
  while (failure_ == Failure::none && queue_.oldest_ready()) fold_oldest();
}

void Scan::drain() {
  while (failure_ == Failure::none && !queue_.empty()) fold_oldest();
}

// Indexes the oldest task once it is worked out, releases its directory and
// drops it. After a failure nothing queued is looked at again.
void Scan::fold_oldest() {
  DigestQueue::Task& task = queue_.oldest();
  if (task.outcome == DigestQueue::Outcome::out_of_descriptors) redo(task);
  if (failure_ == Failure::none && task.outcome == DigestQueue::Outcome::digested &&
      !inserts_.push(task.digest, task.name_offset))
    failure_ = Failure::digest_tree;
  if (failure_ != Failure::none) return;
  if (task.outcome == DigestQueue::Outcome::digested) counts_.bytes_digested += task.size;
  walk_.release(task.lease);
  queue_.pop();
  const ScanEvents& events = request_->events;
  if (events.progress != nullptr) events.progress(events.context, counts_);
}

// Works a file out again on the walk's thread after it found no descriptor
// free: once no worker holds a file, then after each listing the walk can
// give up. When none is left, the scan stops with the file's path.
void Scan::redo(DigestQueue::Task& task) {
  queue_.wait_for_all();
  queue_.let_go_twins();
  queue_.redo(task);
  while (task.outcome == DigestQueue::Outcome::out_of_descriptors && walk_.give_up_a_descriptor())
    queue_.redo(task);
  if (task.outcome != DigestQueue::Outcome::out_of_descriptors) return;
  failure_ = Failure::out_of_descriptors;
  path_.assign(queue_.path(task));
}

}  // namespace mirvale
