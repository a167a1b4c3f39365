// Directory listing: every entry of one directory with its name and a
// directory flag. Links, FIFOs, sockets and devices are never delivered.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirvale::platform {

constexpr std::uint8_t kAttributeDirectory = 0x10;  // the entry is a directory
constexpr std::uint8_t kAttributeNormal = 0x80;     // a plain file

struct ListingEntry {
  const char* name;         // the entry's own name, zero-terminated, at most 255 bytes
  size_t name_length;       // bytes before the terminator
  std::uint8_t attributes;  // kAttributeDirectory or kAttributeNormal
};

// One open directory listing. Listings of a walk are chained through their
// parents, which lets a listing refuse a directory that is its own ancestor and
// lets deep walks borrow descriptors from listings further up the chain.
class Listing {
 public:
  Listing() = default;
  Listing(const Listing&) = delete;
  Listing& operator=(const Listing&) = delete;
  ~Listing() { close_listing(); }

  // Opens the listing of the directory named by pattern, a directory path
  // followed by the separator. Fails when it cannot be opened or listed, when
  // it is one of parent's ancestors (or parent itself), or when it lies on a
  // kernel pseudo-filesystem. parent is the listing of the directory above, or
  // null for the start directory.
  bool open_listing(const char* pattern, Listing* parent);
  // The next entry, or false at the end of the listing or on any failure.
  // "." and ".." are delivered like other names. The entry stays valid until
  // the next call or close_listing.
  bool next_entry(ListingEntry& entry);
  // Releases the listing; safe to call twice.
  void close_listing();

  // A listing may give up its descriptor while it waits for a deep subtree to
  // be walked; it must then be resumed, with the pattern it was opened with,
  // before next_entry. A listing that cannot be resumed ends.
  bool suspended() const { return suspended_; }
  bool resume(const char* pattern);

 private:
  bool refuses_directory(int fd);
  int open_borrowing(const char* pattern);
  bool adopt(int fd);
  void keep_a_descriptor_spare();
  bool suspend();
  static bool free_a_descriptor(Listing* parent);

  void* stream_ = nullptr;     // the open DIR stream, null when closed or suspended
  Listing* parent_ = nullptr;  // listing of the directory above, or null
  std::uint64_t device_ = 0;   // identity of the listed directory
  std::uint64_t inode_ = 0;
  long position_ = 0;  // where a suspended listing goes on
  bool suspended_ = false;
};

}  // namespace mirvale::platform
