// Opens and first reads of several files at once. Where the kernel offers a
// submission ring, the opens of a batch go to it with one system call and
// its reads and closes with another; each file opened is still checked on
// its descriptor, one call each, so that nothing but a regular file is ever
// read. Where there is no ring (an old kernel, a sandbox that refuses it, a
// build under ThreadSanitizer), the same work is done with the single calls
// of file.h, with the same results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/file.h"

namespace mirvale::platform {

class FileBatch {
 public:
  // The most files one call takes.
  static constexpr unsigned kMaxFiles = 16;

  struct Open {
    DirectoryRef dir;            // where the file lies
    const char* name = nullptr;  // its name there
    // In: the size just found when sized, as open_sized_file_at takes it.
    // Out, once opened: the size found on the descriptor.
    std::uint64_t size = 0;
    bool sized = false;  // else opened as open_regular_file_at does
    bool below = false;  // name is a path below dir, opened as open_regular_below does
    OpenStatus status = OpenStatus::failed;  // out
    FileHandle file;                         // out: the file, when opened
  };

  struct Read {
    FileHandle* file = nullptr;  // an open file; closed, and the handle invalid, on return
    void* buffer = nullptr;      // where its first bytes go
    std::size_t size = 0;        // bytes of buffer
    long got = -1;               // out: bytes read from the file's start, or -1 on error
  };

  // Without a ring until use_ring sets one up.
  FileBatch();
  ~FileBatch();
  FileBatch(const FileBatch&) = delete;
  FileBatch& operator=(const FileBatch&) = delete;

  // Sets up a ring, which holds a descriptor of its own until the batch
  // ends; false when the kernel refuses it or the build is under
  // ThreadSanitizer, and the single calls go on.
  bool use_ring();
  // True when batches go through a ring.
  bool ringed() const { return ring_ != nullptr; }

  // Opens count files (at most kMaxFiles), each with the checks of
  // open_sized_file_at, open_regular_file_at or open_regular_below.
  void open_all(Open* opens, unsigned count);
  // Opens one file so, with the single calls.
  static void open_one(Open& open);
  // Reads the first bytes of count open files (at most kMaxFiles) and
  // closes them. A read may come back short of both the buffer and the
  // file's end where a file system reads short; the caller that knows the
  // size it expects reads such a file again.
  void read_and_close_all(Read* reads, unsigned count);

 private:
  struct Ring;
  std::unique_ptr<Ring> ring_;
};

}  // namespace mirvale::platform
