// The file digest: one file's content read in IoBuffer-sized chunks through
// the platform layer and fed to the MD5 engine.
#include "digest/file_digest.h"

namespace mirvale {

long read_chunk(const platform::FileHandle& file, void* buffer, std::size_t capacity,
                std::uint64_t size, std::uint64_t& read, bool& ended) {
  const long got = platform::read_some(file, buffer, capacity);
  if (got < 0) return -1;
  read += static_cast<std::uint64_t>(got);
  if (read > size) return -1;
  ended = got == 0 || (read == size && static_cast<std::size_t>(got) < capacity);
  return got;
}

// Digests the rest of file's content; false, with an all-zero result, when it
// is not open, a read fails or it is told to stop.
bool FileDigest::digest_file(const platform::FileHandle& file, std::uint64_t size,
                             const std::atomic<bool>* stop) {
  file_digest_result_.fill(0);
  if (!file.valid()) return false;

  MD5Init(&file_digest_context_);
  long got = 0;
  std::uint64_t read = 0;
  bool ended = false;
  while (!ended && (got = read_chunk(file, io_.bytes, sizeof io_.bytes, size, read, ended)) >= 0) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
      got = -1;
      break;
    }
    MD5Update(&file_digest_context_, io_.bytes, static_cast<std::uint32_t>(got));
  }
  // Final also wipes the context, which must hold zeros between calls.
  MD5Final(file_digest_result_.data(), &file_digest_context_);
  if (got < 0) {
    file_digest_result_.fill(0);
    return false;
  }
  return true;
}

}  // namespace mirvale
