// File access by descriptor: the opens the tool uses, whole reads and writes,
// writes gathered into blocks, positioned record I/O, deletion. Every call
// retries EINTR and short transfers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mirvale::platform {

// A move-only file descriptor that closes itself. Negative means "no file".
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(int fd) : fd_(fd) {}
  FileHandle(FileHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { close(); }

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // Closes the descriptor, invalidating the handle first; returns close's result
  // (0 on success, -1 on failure or when there was nothing to close).
  int close();
  // Gives up the descriptor without closing it, for a close made elsewhere.
  int release();

 private:
  int fd_ = -1;
};

// Creates a new, empty file read-write with mode 0666 (less the umask). Used
// for the working files. Invalid when anything already has the name (a
// file, a directory, a symbolic link, even a dangling one): such a name is
// neither reused nor followed.
FileHandle open_working_file(const char* name);
// Read-only open of an existing file, for the diagnostic dump: never blocks;
// invalid unless the file is a regular file.
FileHandle open_existing_file(const char* name);
// How an open went: a shortage of descriptors is told apart from the other
// failures, since freeing one lets the open be tried again.
enum class OpenStatus { opened, failed, out_of_descriptors };

// The descriptor of an open directory, lent by the FileHandle that owns it to
// work that ends before the handle is closed, on any thread.
struct DirectoryRef {
  DirectoryRef() = default;
  DirectoryRef(const FileHandle& dir) : fd(dir.fd()) {}  // NOLINT: lending is implicit
  int fd = -1;
};

// Read-only open of the file name in dir that regular_file_size_at has just
// found to be a regular file of size bytes: never creates, never follows a
// link, never blocks, and checks on the descriptor that what it opened is a
// regular file of that size still, so that an entry swapped for a FIFO or a
// device meanwhile is refused (failed) and never read.
OpenStatus open_sized_file_at(DirectoryRef dir, const char* name, std::uint64_t size,
                              FileHandle& out);
// The same for a file whose size is not known yet: opens it as above,
// checks on the descriptor that it is a regular file, and learns its size.
OpenStatus open_regular_file_at(DirectoryRef dir, const char* name, FileHandle& out,
                                std::uint64_t& size);
// Read-only open of the regular file at relative, a path below the directory
// top made of names joined by '/', no link followed at any depth and nothing
// blocking; anything but a regular file is refused (failed). size receives
// the size of what was opened.
OpenStatus open_regular_below(DirectoryRef top, const char* relative, FileHandle& out,
                              std::uint64_t& size);
// How many descriptors open_regular_below holds at once below top while it
// opens a file: 1 where the kernel resolves the whole path in one call, 2
// where it must go a directory at a time, holding the directory besides
// the file.
int descriptors_opening_below(DirectoryRef top);
// The size of the file name in dir, a link not followed; false unless it is a
// regular file.
bool regular_file_size_at(DirectoryRef dir, const char* name, std::uint64_t& size);
// A second descriptor for the file open as file, closed on exec: it reads
// the same file whatever has become of the name it was opened by, and where
// the system allows, reads ahead on its own. Invalid when no descriptor is
// free.
FileHandle duplicate(const FileHandle& file);
// A mark of the open file's identity and state: its device and inode, size
// and status-change time, which any write or rename changes, but for a
// write through a shared mapping to a page already written. False when it
// cannot be learnt, and when the file's status changed so lately (within
// the time its file system can tell apart, two seconds where that is not
// known to be finer) that a further change could leave the mark as it is.
bool file_stamp(const FileHandle& file, std::uint64_t& stamp);
// Tells the system that file is about to be read once from start to end, so
// that it reads ahead further.
void advise_sequential(const FileHandle& file);

// Reads up to size bytes at the current position: the count (0 at the end of
// the file), or -1 on error.
long read_some(const FileHandle& file, void* buffer, size_t size);
// Writes all size bytes at the current position; false on error or short write.
bool write_all(const FileHandle& file, const void* data, size_t size);
// Reads up to size bytes at offset, stopping early only at the end of the
// file: the count, or -1 on error. Does not move the current position.
long read_at(const FileHandle& file, std::uint64_t offset, void* buffer, size_t size);
// Writes all size bytes at offset; false on error or short write.
bool write_at(const FileHandle& file, std::uint64_t offset, const void* data, size_t size);
// The file's size in bytes; false when it cannot be learnt.
bool file_size(const FileHandle& file, std::uint64_t& size);

// Bytes bound for the current position of a file, gathered in a buffer of
// their own and written in blocks of up to kBlockSize bytes. A piece handed
// to put is never split between two blocks, so the file holds whole pieces.
class BlockWriter {
 public:
  static constexpr size_t kBlockSize = 65536;

  explicit BlockWriter(const FileHandle& file) : file_(file) {}
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;

  // Adds size bytes, first writing the buffered ones when the piece would not
  // fit after them; false, the piece not added, when that write fails or is
  // short. A piece larger than a block is written at once.
  bool put(const void* data, size_t size) {
    if (used_ + size > kBlockSize && !flush()) return false;
    if (size > kBlockSize) return write_all(file_, data, size);
    std::memcpy(bytes_ + used_, data, size);
    used_ += size;
    return true;
  }
  // Writes the buffered bytes; false on error or short write. The buffer is
  // empty afterwards either way.
  bool flush() {
    const size_t size = used_;
    used_ = 0;
    return size == 0 || write_all(file_, bytes_, size);
  }
  // Forgets the buffered bytes without writing them.
  void discard() { used_ = 0; }

 private:
  const FileHandle& file_;           // the file the blocks go to
  size_t used_ = 0;                  // bytes buffered
  unsigned char bytes_[kBlockSize];  // the block being gathered
};

// Deletes a file by name. True when the name is gone: deleted, or there was
// nothing of that name.
bool remove_file(const char* name);

}  // namespace mirvale::platform
