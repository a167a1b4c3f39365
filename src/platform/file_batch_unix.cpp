// Batches of opens and reads through io_uring, driven by the raw system
// calls: one ring per batch owner, used by one thread at a time, with its
// queues mapped once. A batch is submitted whole and waited for whole, so
// no request outlives the call that made it.
#include <fcntl.h>
#include <linux/io_uring.h>
#include <linux/openat2.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/file_batch.h"
#include "platform/system_calls.h"
#include "platform/unix_support.h"

namespace mirvale::platform {

namespace {

// Submission entries: a read and a close for each file of a batch.
constexpr unsigned kEntries = 2 * FileBatch::kMaxFiles;
// The result of a request not answered: no close or open answers 1.
constexpr long kPending = 1;

unsigned load_acquire(const unsigned* at) {
  return std::atomic_ref<const unsigned>(*at).load(std::memory_order_acquire);
}

void store_release(unsigned* at, unsigned value) {
  std::atomic_ref<unsigned>(*at).store(value, std::memory_order_release);
}

// True when the ring offers every operation a batch uses; below tells
// whether it offers openat2 too.
bool offers_operations(int ring_fd, bool& below) {
  constexpr unsigned kOps = 256;
  alignas(io_uring_probe) unsigned char
      bytes[sizeof(io_uring_probe) + kOps * sizeof(io_uring_probe_op)];
  std::memset(bytes, 0, sizeof bytes);
  auto* probe = reinterpret_cast<io_uring_probe*>(bytes);
  if (::syscall(__NR_io_uring_register, ring_fd, IORING_REGISTER_PROBE, probe, kOps) < 0)
    return false;
  for (unsigned op : {IORING_OP_OPENAT, IORING_OP_READ, IORING_OP_CLOSE}) {
    if (op > probe->last_op || !(probe->ops[op].flags & IO_URING_OP_SUPPORTED)) return false;
  }
  below = IORING_OP_OPENAT2 <= probe->last_op &&
          (probe->ops[IORING_OP_OPENAT2].flags & IO_URING_OP_SUPPORTED);
  return true;
}

}  // namespace

struct FileBatch::Ring {
  int fd = -1;
  void* queues = MAP_FAILED;  // both rings, in one mapping
  std::size_t queue_bytes = 0;
  io_uring_sqe* entries = static_cast<io_uring_sqe*>(MAP_FAILED);
  std::size_t entry_bytes = 0;
  unsigned* sq_head = nullptr;
  unsigned* sq_tail = nullptr;
  unsigned* sq_array = nullptr;
  unsigned sq_mask = 0;
  unsigned* cq_head = nullptr;
  unsigned* cq_tail = nullptr;
  io_uring_cqe* completions = nullptr;
  unsigned cq_mask = 0;
  unsigned tail = 0;                   // the submission tail, published by submit
  bool below = false;                  // openat2 is offered
  open_how how[FileBatch::kMaxFiles];  // what the openat2 requests point at

  ~Ring() {
    if (entries != MAP_FAILED) ::munmap(entries, entry_bytes);
    if (queues != MAP_FAILED) ::munmap(queues, queue_bytes);
    if (fd >= 0) ::close(fd);
  }

  bool set_up();
  io_uring_sqe* next_entry();
  bool submit_and_wait(unsigned count, long* results, unsigned result_count);
};

bool FileBatch::Ring::set_up() {
  io_uring_params p;
  std::memset(&p, 0, sizeof p);
  fd = static_cast<int>(::syscall(__NR_io_uring_setup, kEntries, &p));
  if (fd < 0) return false;  // ENOSYS, EPERM, EINVAL: the single calls do instead
  // One mapping for both rings (5.4) and no completion ever dropped (5.5).
  const unsigned needed = IORING_FEAT_SINGLE_MMAP | IORING_FEAT_NODROP;
  if ((p.features & needed) != needed || p.sq_entries < kEntries || p.cq_entries < kEntries ||
      !offers_operations(fd, below))
    return false;
  const std::size_t sq_bytes = p.sq_off.array + p.sq_entries * sizeof(unsigned);
  const std::size_t cq_bytes = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
  queue_bytes = sq_bytes > cq_bytes ? sq_bytes : cq_bytes;
  entry_bytes = p.sq_entries * sizeof(io_uring_sqe);
  queues = ::mmap(nullptr, queue_bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd,
                  IORING_OFF_SQ_RING);
  void* mapped = ::mmap(nullptr, entry_bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd,
                        IORING_OFF_SQES);
  entries = static_cast<io_uring_sqe*>(mapped);
  if (queues == MAP_FAILED || mapped == MAP_FAILED) return false;
  char* base = static_cast<char*>(queues);
  sq_head = reinterpret_cast<unsigned*>(base + p.sq_off.head);
  sq_tail = reinterpret_cast<unsigned*>(base + p.sq_off.tail);
  sq_array = reinterpret_cast<unsigned*>(base + p.sq_off.array);
  sq_mask = *reinterpret_cast<unsigned*>(base + p.sq_off.ring_mask);
  cq_head = reinterpret_cast<unsigned*>(base + p.cq_off.head);
  cq_tail = reinterpret_cast<unsigned*>(base + p.cq_off.tail);
  completions = reinterpret_cast<io_uring_cqe*>(base + p.cq_off.cqes);
  cq_mask = *reinterpret_cast<unsigned*>(base + p.cq_off.ring_mask);
  tail = *sq_tail;
  return true;
}

// The next submission entry, zeroed. A batch never holds more than kEntries,
// and the ring is empty between batches.
io_uring_sqe* FileBatch::Ring::next_entry() {
  const unsigned at = tail & sq_mask;
  sq_array[at] = at;
  io_uring_sqe* entry = &entries[at];
  std::memset(entry, 0, sizeof *entry);
  ++tail;
  return entry;
}

// Submits the count entries made since the last call and waits for their
// completions, storing each result at the index its user_data names. The
// kernel may take fewer entries than offered (it stops at one it refuses,
// completing that one with the error); the rest go with the next call.
// False only if the ring itself fails, when nothing more may be used of it.
bool FileBatch::Ring::submit_and_wait(unsigned count, long* results, unsigned result_count) {
  store_release(sq_tail, tail);
  unsigned got = 0;
  while (got < count) {
    const unsigned pending = tail - load_acquire(sq_head);
    const long entered =
        system_calls().io_uring_enter(fd, pending, count - got, IORING_ENTER_GETEVENTS);
    if (entered < 0 && errno != EINTR && errno != EAGAIN && errno != EBUSY) return false;
    unsigned head = *cq_head;
    const unsigned end = load_acquire(cq_tail);
    for (; head != end; ++head, ++got) {
      const io_uring_cqe& done = completions[head & cq_mask];
      if (done.user_data < result_count) results[done.user_data] = done.res;
    }
    store_release(cq_head, head);
  }
  return true;
}

FileBatch::FileBatch() = default;
FileBatch::~FileBatch() = default;

bool FileBatch::use_ring() {
  if (kPlainCallsOnly) return false;
  if (ring_) return true;
  ring_.reset(new (std::nothrow) Ring);
  if (ring_ && !ring_->set_up()) ring_.reset();
  return ringed();
}

void FileBatch::open_one(Open& open) {
  if (open.below) {
    open.status = open_regular_below(open.dir, open.name, open.file, open.size);
  } else if (open.sized) {
    open.status = open_sized_file_at(open.dir, open.name, open.size, open.file);
  } else {
    open.status = open_regular_file_at(open.dir, open.name, open.file, open.size);
  }
}

void FileBatch::open_all(Open* opens, unsigned count) {
  long results[kMaxFiles];
  if (ring_) {
    unsigned entered = 0;
    for (unsigned i = 0; i < count; ++i) {
      results[i] = -EINVAL;
      if (opens[i].below && !ring_->below) continue;  // opened singly below
      io_uring_sqe* entry = ring_->next_entry();
      entry->fd = opens[i].dir.fd;
      entry->addr = reinterpret_cast<std::uintptr_t>(opens[i].name);
      entry->user_data = i;
      ++entered;
      if (!opens[i].below) {
        entry->opcode = IORING_OP_OPENAT;
        entry->open_flags = kReadFlags | O_CLOEXEC;
        continue;
      }
      // No link is followed at any depth, as open_regular_below opens.
      open_how& how = ring_->how[i];
      std::memset(&how, 0, sizeof how);
      how.flags = kReadFlags | O_CLOEXEC;
      how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
      entry->opcode = IORING_OP_OPENAT2;
      entry->len = sizeof how;
      entry->off = reinterpret_cast<std::uintptr_t>(&how);
    }
    if (!ring_->submit_and_wait(entered, results, count)) {
      // Every file is opened again below: what the ring opened before it
      // failed is closed first.
      for (unsigned i = 0; i < count; ++i) {
        if (results[i] >= 0) FileHandle(static_cast<int>(results[i])).close();
      }
      ring_.reset();
    }
  }
  for (unsigned i = 0; i < count; ++i) {
    Open& open = opens[i];
    // Anything the ring could not open is tried again by the single calls,
    // which tell the failures apart as every other open does.
    if (!ring_ || results[i] < 0) {
      open_one(open);
      continue;
    }
    open.file = FileHandle(static_cast<int>(results[i]));
    if (!open.sized) open.size = kAnySize;
    open.status = keep_if_regular(OpenStatus::opened, open.file, open.size);
  }
}

void FileBatch::read_and_close_all(Read* reads, unsigned count) {
  long results[2 * kMaxFiles];
  int fds[kMaxFiles];
  if (ring_) {
    for (unsigned i = 0; i < count; ++i) {
      fds[i] = reads[i].file->release();
      io_uring_sqe* read = ring_->next_entry();
      read->opcode = IORING_OP_READ;
      read->fd = fds[i];
      read->addr = reinterpret_cast<std::uintptr_t>(reads[i].buffer);
      read->len = static_cast<unsigned>(reads[i].size);
      read->off = 0;
      // A hard link closes the file after its read however the read went.
      read->flags = IOSQE_IO_HARDLINK;
      read->user_data = 2 * i;
      io_uring_sqe* close = ring_->next_entry();
      close->opcode = IORING_OP_CLOSE;
      close->fd = fds[i];
      close->user_data = 2 * i + 1;
      results[2 * i] = -EINVAL;
      results[2 * i + 1] = kPending;
    }
    const bool ring_ok = ring_->submit_and_wait(2 * count, results, 2 * count);
    for (unsigned i = 0; i < count; ++i) {
      reads[i].got = results[2 * i] < 0 ? -1 : results[2 * i];
      // A close refused or cancelled before it ran left the descriptor open.
      // One the failed ring never answered may yet run: its descriptor is
      // left alone rather than closed twice.
      const long closed = results[2 * i + 1];
      if (closed == -ECANCELED || closed == -EINVAL) ::close(fds[i]);
    }
    if (!ring_ok) ring_.reset();
    return;
  }
  for (unsigned i = 0; i < count; ++i) {
    reads[i].got = read_at(*reads[i].file, 0, reads[i].buffer, reads[i].size);
    reads[i].file->close();
  }
}

}  // namespace mirvale::platform
