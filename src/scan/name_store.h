// The name store: every file's path, zero-terminated, back to back in a
// working file, so that the digest tree need keep only a 32-bit offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/file.h"
#include "scan/scan_path.h"
#include "types.h"

namespace mirvale {

class NameStore {
 public:
  // path: where read_name puts what it reads.
  explicit NameStore(ScanPath& path) : path_(path) {}

  // Creates the store empty (working-file mode); false when it cannot.
  bool open(const char* file_name);
  // Writes the records still buffered and closes the store; close's result.
  int close();

  // Appends path and its terminator to the records buffered for the file,
  // writing the buffered ones first when it would not fit after them, and
  // returns the offset where it went; none when that write fails or is short,
  // or the record would not start below 2^32.
  std::optional<NameOffset> append_name(const ScanPath& path);
  // Writes the records still buffered; false when the write fails or is short.
  bool flush_names() { return pending_names_.flush(); }
  // Where the next record goes: the bytes of the records appended so far.
  std::uint64_t next_name_offset() const { return next_name_offset_; }
  // Reads the path stored at offset into the scan path (at most 4095 bytes),
  // writing the records still buffered first; true when it is not empty.
  bool read_name(NameOffset offset);
  // Reads the path stored at offset into out, ScanPath::kCapacity bytes,
  // zero-terminated, and returns its length; for once the records are all
  // written, when it changes nothing and threads may read at once.
  std::size_t read_path(NameOffset offset, char* out) const;

 private:
  ScanPath& path_;
  platform::FileHandle name_store_handle_;
  platform::BlockWriter pending_names_{name_store_handle_};  // records not yet in the file
  std::uint64_t next_name_offset_ = 0;                       // where the next record starts
};

}  // namespace mirvale
