// The digest of one open file's whole content, read a buffer at a time, and
// the one loop that reads a file of known size to its end.
#pragma once

#include <atomic>

#include "digest/md5.h"
#include "platform/file.h"
#include "types.h"

namespace mirvale {

// Reads the next chunk of a file read from its start, read bytes of it so
// far, into buffer (capacity bytes): the count, or -1 when a read fails or
// the file holds more than size, the size found before it was opened (it
// has changed since, or is no regular file). ended is set once the file's
// end is in: at a read of nothing, or at a short read once size bytes are
// in, since a regular file reads short only at its end.
long read_chunk(const platform::FileHandle& file, void* buffer, std::size_t capacity,
                std::uint64_t size, std::uint64_t& read, bool& ended);

class FileDigest {
 public:
  explicit FileDigest(IoBuffer& io) : io_(io) {}

  static constexpr std::uint64_t kSizeUnknown = ~std::uint64_t{0};

  // Digests the file from its current position to its end. True when it was
  // read to its end; false when file is not open, a read fails or stop is
  // seen set between two reads, and result() is then all zero. A file read
  // from its start whose size is known is read for no more than that: it
  // ends at a read that falls short once size bytes are in, since a regular
  // file reads short only at its end, and one that holds more bytes than
  // size has changed since, or is no regular file, and is unreadable.
  bool digest_file(const platform::FileHandle& file, std::uint64_t size = kSizeUnknown,
                   const std::atomic<bool>* stop = nullptr);
  // The last digest; overwritten by the next digest_file.
  const Md5Digest& result() const { return file_digest_result_; }

 private:
  IoBuffer& io_;
  MD5_CTX file_digest_context_{};   // zero between calls
  Md5Digest file_digest_result_{};  // the last digest
};

}  // namespace mirvale
