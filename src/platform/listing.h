// Directory access by descriptor: opening a directory relative to the one
// that listed it, its identity, and reading its entries, each with its name,
// a directory flag and a position to go on from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/file.h"

namespace mirvale::platform {

constexpr std::uint8_t kAttributeDirectory = 0x10;  // the entry is a directory
constexpr std::uint8_t kAttributeNormal = 0x80;     // a plain file

struct ListingEntry {
  const char* name;         // the entry's own name, zero-terminated, at most 255 bytes
  size_t name_length;       // bytes before the terminator
  std::uint8_t attributes;  // kAttributeDirectory or kAttributeNormal
  std::uint64_t inode;      // the inode number the listing gives for the entry
  std::int64_t position;    // where reading the same descriptor goes on after the entry
};

// What makes a directory itself, whatever path leads to it.
struct DirectoryIdentity {
  std::uint64_t device = 0;  // filesystem the directory lies on
  std::uint64_t inode = 0;   // its inode number there
  bool operator==(const DirectoryIdentity&) const = default;
};

// Opens the directory named by pattern, a directory path followed by the
// separator, for listing. Links in the path are followed: it is the path the
// user gave.
OpenStatus open_directory(const char* pattern, FileHandle& out);
// Opens the subdirectory name of dir for listing; a link is never followed.
OpenStatus open_directory_at(const FileHandle& dir, const char* name, FileHandle& out);
// The identity of the open directory dir; false when it cannot be learnt.
bool directory_identity(const FileHandle& dir, DirectoryIdentity& identity);
// True when dir lies on a filesystem whose files are kernel interfaces, not
// stored data (procfs, sysfs and the like).
bool on_pseudo_filesystem(const FileHandle& dir);
// The identities of the directories above dir, found by going up through
// "..", nearest first, up to the root: into out, at most capacity of them.
// Returns how many; going up stops early where a parent cannot be looked at.
std::size_t directory_ancestors(const FileHandle& dir, DirectoryIdentity* out,
                                std::size_t capacity);

// Reads the entries of one open directory at a time through one buffer, which
// the directories of a walk share. Links, FIFOs, sockets and devices are never
// delivered; "." and ".." are delivered like other names.
class EntryReader {
 public:
  static constexpr std::size_t kBufferSize = 32768;
  // Bytes kept of the blocks of directories whose reading a subdirectory
  // interrupts: room for two levels' whole blocks, and for a deep tree's
  // small ones at every level.
  static constexpr std::size_t kKeptSize = 2 * kBufferSize;

  EntryReader() = default;
  EntryReader(const EntryReader&) = delete;
  EntryReader& operator=(const EntryReader&) = delete;

  // Reads dir from position: 0 for its first entry, or the position of an
  // entry read from this same open descriptor to go on after that entry.
  // dir must stay open while it is read.
  void start(const FileHandle& dir, std::int64_t position);
  // Reads a directory just opened, and so at its first entry, from there.
  void begin(const FileHandle& dir);
  // The next file or directory, or false at the end of the listing or on any
  // failure. The entry stays valid until the next call or start.
  bool next_entry(ListingEntry& entry);
  // Reads dir from its first entry up to and including the entry called name
  // with the given inode number, so that next_entry goes on after it. False,
  // with nothing more to read, when the directory holds no such entry.
  bool skip_past(const FileHandle& dir, std::string_view name, std::uint64_t inode);
  // Keeps what is left unread of the block being read, on top of what is
  // kept already, so that resume_kept can go on from it without a seek: on
  // ext4 a seek in a hashed directory makes its next read rebuild the
  // directory's index from the entry sought, once for each subdirectory.
  // False, keeping nothing, when there is no room for it.
  bool keep_rest();
  // Goes on reading dir from what keep_rest kept last, then from where the
  // descriptor stands; dir must be the directory read when it was kept, on
  // the same descriptor, not read nor positioned since.
  void resume_kept(const FileHandle& dir);
  // Forgets what keep_rest kept last.
  void drop_kept();
  // Forgets all that is kept.
  void forget_kept() { kept_used_ = 0; }
  // Reads nothing more: next_entry ends at once.
  void stop() {
    dir_ = nullptr;
    size_ = 0;
    at_ = 0;
    ended_ = true;
  }

 private:
  bool fill();
  const void* next_raw();

  const FileHandle* dir_ = nullptr;  // the directory being read
  std::size_t size_ = 0;             // bytes of entries in the buffer
  std::size_t at_ = 0;               // the next entry's place in the buffer
  bool ended_ = true;                // the directory has no more entries
  std::size_t kept_used_ = 0;        // bytes in kept_
  alignas(8) unsigned char buffer_[kBufferSize];
  // What keep_rest kept, oldest first: each block's bytes, then their count
  // and whether the directory ended with them.
  alignas(8) unsigned char kept_[kKeptSize];
};

}  // namespace mirvale::platform
