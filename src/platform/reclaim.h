// What acting on a duplicate needs of the system: the facts of an open file,
// a directory opened below a start directory without following links, a
// hard link put in a name's place, a name removed, blocks shared by the
// kernel's dedupe, and a directory's real path.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/file.h"

namespace mirvale::platform {

// What is known of an open file, read off its descriptor.
struct FileFacts {
  std::uint64_t device = 0;    // the filesystem it lies on
  std::uint64_t inode = 0;     // its inode number there
  std::uint64_t size = 0;      // bytes
  std::int64_t change_s = 0;   // status-change time, seconds
  std::int64_t change_ns = 0;  // and nanoseconds
  std::uint32_t mode = 0;      // type and permission bits
  std::uint32_t owner = 0;     // user id
  std::uint32_t group = 0;     // group id
  std::uint64_t links = 0;     // names the file has
  bool regular = false;        // a regular file

  bool same_file(const FileFacts& o) const { return device == o.device && inode == o.inode; }
  // The same file, unchanged: any write, truncation, rename or link moves the change time.
  bool unchanged(const FileFacts& o) const {
    return same_file(o) && size == o.size && change_s == o.change_s && change_ns == o.change_ns;
  }
};

// The facts of the open file; false when they cannot be learnt.
bool file_facts(const FileHandle& file, FileFacts& facts);
// Opens the regular file at relative below top as open_regular_below does,
// no link followed at any depth, and learns its facts with the one look
// that checks it is a regular file.
OpenStatus open_file_below(DirectoryRef top, const char* relative, FileHandle& out,
                           FileFacts& facts);

// Opens the directory at the first length bytes of relative, names joined
// by '/' below top, with no link followed at any depth; length 0 lends top
// itself (out stays invalid, dir is top). The directory is for *at calls only.
OpenStatus open_directory_below(DirectoryRef top, const char* relative, std::size_t length,
                                FileHandle& out);

// Whether name in dir is, without following a link, the file of facts.
bool name_holds(DirectoryRef dir, const char* name, const FileFacts& facts);
// The same, and the file still has the size and status-change time of facts.
bool name_holds_unchanged(DirectoryRef dir, const char* name, const FileFacts& facts);

// How a change to a name went.
enum class NameChange {
  done,      // made
  changed,   // the name no longer held the file checked: nothing changed
  failed,    // the system refused: nothing changed; errno tells why
  stranded,  // the name held another file, which stays under the temporary name
};

// Puts a hard link to kept in place of name in dir, which must hold copy:
// the link is made under temporary (a new name in dir), then exchanged with
// name in one step, and the old file's name removed once it is seen to be
// copy; were it anything else, the exchange is undone. name never stops
// existing. temporary must be at most 255 bytes.
NameChange link_in_place(const FileHandle& kept, DirectoryRef dir, const char* name,
                         const FileFacts& copy, const char* temporary);
// Removes name from dir, which must hold copy: the name is first moved to
// temporary (a new name in dir), and removed there once it is seen to hold
// copy; were it anything else, it is moved back, unless name was taken again
// meanwhile.
NameChange remove_name(DirectoryRef dir, const char* name, const FileFacts& copy,
                       const char* temporary);

// How a request to share blocks went.
enum class Sharing {
  shared,       // the kernel compared the ranges and shares them now
  differs,      // the kernel found the ranges differ: nothing shared
  unsupported,  // the filesystem (or a pair on two of them) cannot share blocks
  failed,       // refused for another reason; errno tells why
};

// Asks the kernel to share bytes [offset, offset + length) of copy with the
// same bytes of kept, comparing them under lock first (FIDEDUPERANGE, never
// a clone); shared receives the bytes it shared, possibly fewer than asked.
Sharing share_blocks(const FileHandle& kept, const FileHandle& copy, std::uint64_t offset,
                     std::uint64_t length, std::uint64_t& shared);

// Whether bytes [offset, offset + length) of copy already lie in the very
// blocks on disk that hold the same bytes of kept, as after an earlier
// dedupe: sharing them again would free nothing. False where that cannot be
// told (a hole, data not yet placed, more pieces than one look takes).
bool blocks_already_shared(const FileHandle& kept, const FileHandle& copy, std::uint64_t offset,
                           std::uint64_t length);

// The absolute path of the directory at path, links and dots resolved,
// into out (capacity bytes); false when it is not a directory or does not fit.
bool real_directory_path(const char* path, char* out, std::size_t capacity);

// 64 bits from the system's random source, for names that must not clash.
std::uint64_t random_bits();

}  // namespace mirvale::platform
