// File access by descriptor: the opens the tool uses, whole reads and writes,
// positioned record I/O, deletion. Every call retries EINTR and short transfers.
#pragma once

#include <cstddef>
#include <cstdint>

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

 private:
  int fd_ = -1;
};

// A shared read-write mapping of the first bytes of a file: a store into it is
// a store into the file, seen at once by every later read of the file and
// kept when the file is closed. The mapping may reach past the end of the
// file, but touching a page that lies wholly past the end raises SIGBUS, so a
// user touches only bytes it knows the file holds. Empty when the file cannot
// be mapped (some filesystems cannot); the user then reads and writes instead.
class FileMapping {
 public:
  FileMapping() = default;
  FileMapping(FileMapping&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  FileMapping& operator=(FileMapping&& other) noexcept;
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;
  ~FileMapping() { unmap(); }

  unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  void unmap();

 private:
  friend FileMapping map_file(const FileHandle& file, std::size_t size);
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

// Maps the first size bytes of a file opened read-write.
FileMapping map_file(const FileHandle& file, std::size_t size);

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

// Read-only open of the file name in the open directory dir, to digest it:
// never creates, never follows a link, never blocks; fails unless the file is
// a regular file.
OpenStatus open_regular_file_at(const FileHandle& dir, const char* name, FileHandle& out);

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

// Deletes a file by name. True when the name is gone: deleted, or there was
// nothing of that name.
bool remove_file(const char* name);

}  // namespace mirvale::platform
