// Byte-for-byte confirmation of duplicate groups: the files of a digest's
// chain opened again below the directory they were found in and compared, each read to
// its end and a byte past it, so that two files of one digest but different
// content are never a group. A chain whose files the scan compared on the
// twin board, each still under the stamp it had then, is opened but not
// read again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/digest_tree.h"
#include "platform/file.h"
#include "platform/file_batch.h"
#include "scan/descriptor_budget.h"
#include "scan/file_compare.h"
#include "scan/name_store.h"
#include "scan/scan_roots.h"
#include "scan/twin_board.h"
#include "types.h"

namespace mirvale {

// The next record of a chain after the one at offset, or 0 at its end.
// Records lie in the file in order of creation and a chain grows at its end,
// so a link that does not lead further on is damage, not a chain.
inline std::uint32_t next_in_chain(const TreeRecord& record, std::uint32_t offset) {
  return record.equal > offset ? record.equal : 0;
}

// Where a look at a chain keeps the paths it reads, each ended by a zero
// byte, while they fit: a chain of one content is then printed without
// reading them again.
struct ChainPaths {
  char* bytes = nullptr;     // room for capacity bytes
  std::size_t capacity = 0;  // bytes of room
  std::size_t used = 0;      // bytes of the paths kept
  bool whole = true;         // every path read was kept

  void keep(const char* path, std::size_t length);
};

// Opens the files of the tree's chains and compares them. Once begun it
// changes nothing, so workers and the report may use it at once.
class Confirmation {
 public:
  // What a look at a whole chain found.
  enum class Verdict : std::uint8_t {
    one_class,           // every file opened and has the content of the first
    mixed,               // some file differs from the first or cannot be read
    out_of_descriptors,  // no descriptor was free to open a file
  };

  // Every file is opened with a descriptor from budget; the pairs of files
  // the scan compared on twins are not compared again.
  Confirmation(const DigestTree& tree, const NameStore& names, DescriptorBudget& budget,
               const TwinBoard& twins)
      : tree_(tree), names_(names), budget_(budget), twins_(twins) {}
  Confirmation(const Confirmation&) = delete;
  Confirmation& operator=(const Confirmation&) = delete;

  // Every stored path is the path of one of roots, the separator and names
  // below that directory, open in roots; roots tells which by the path's
  // record. The tree and the names must be written back before, and roots
  // must stay open until end.
  void begin(const ScanRoots& roots);
  void end() { roots_ = nullptr; }

  // Reads the record at offset; false when it cannot be read.
  bool read_record(std::uint32_t offset, TreeRecord& record) const {
    return tree_.read_written_record(offset, record);
  }
  // Opens the regular file whose path is stored at name, without following
  // a link; the path is left in path, ScanPath::kCapacity bytes.
  platform::OpenStatus open_file(NameOffset name, char* path, OpenedFile& out) const;
  // Whether every file of the chain headed at head, whose record names the
  // file at name and is followed by next, has one content; the paths it
  // opens go to paths. Files are opened and read with batch.
  Verdict check_chain(std::uint32_t head, NameOffset name, std::uint32_t next, IoBuffer& buffer,
                      ChainPaths& paths, platform::FileBatch& batch) const;

 private:
  // A look at a chain, a round of files at a time.
  struct ChainRound {
    IoBuffer& buffer;             // file bytes, then the round's paths
    ChainPaths& paths;            // the paths of the files opened
    platform::FileBatch& batch;   // how they are opened and read
    TreeRecord record{};          // the record of next
    std::uint32_t next = 0;       // the next file to open, 0 at the chain's end
    bool broken = false;          // a record could not be read
    bool head_known = false;      // the head has been opened
    std::uint64_t head_size = 0;  // the head's size
    OpenedFile head_file{};       // the head, open, when larger than a slot

    char* path(unsigned i);  // where file i of a round has its path
  };

  // Reads the path of name into path, ScanPath::kCapacity bytes, and returns
  // where its part below its directory begins, that directory in dir; null
  // when it cannot be read or there are no directories.
  const char* name_below(NameOffset name, char* path, platform::DirectoryRef& dir) const;
  // Reads the path of name into path and takes descriptors from the budget
  // for its open (one, and extra_ more while it is under way), made ready in
  // open: opened, or why not.
  platform::OpenStatus prepare_open(NameOffset name, char* path,
                                    platform::FileBatch::Open& open) const;
  // Takes a prepared open's file into out, or gives its descriptor back,
  // and gives back the extra ones.
  platform::OpenStatus adopt(platform::FileBatch::Open& open, OpenedFile& out) const;
  bool compared_in_scan(std::uint32_t head, const TreeRecord& first, ChainPaths& paths) const;
  Verdict check_round(ChainRound& round) const;
  bool same_small(ChainRound& round, OpenedFile* files, unsigned first, unsigned count) const;
  bool same_large(ChainRound& round, OpenedFile* files, unsigned first, unsigned count) const;

  const DigestTree& tree_;
  const NameStore& names_;
  DescriptorBudget& budget_;
  const TwinBoard& twins_;
  const ScanRoots* roots_ = nullptr;  // the directories scanned, during the report phase
  int extra_ = 0;                     // descriptors an open below them holds besides its file
};

}  // namespace mirvale
