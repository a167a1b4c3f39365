// Insertion into the digest tree: down the unbalanced tree by digest order,
// keeping each passed record's bal, then to the end of an equal digest's chain.
#include "index/digest_tree.h"

namespace mirvale {

namespace {

// Adds step (+1 or -1) to a bal counter, wrapping as the file's 32 bits do.
std::int32_t step_bal(std::int32_t bal, int step) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(bal) +
                                   static_cast<std::uint32_t>(step));
}

}  // namespace

bool insert_digest(DigestTree& tree, const Md5Digest& digest, NameOffset name_offset) {
  TreeRecord fresh;
  fresh.digest = digest;
  fresh.name_offset = name_offset;
  std::uint32_t end;
  if (!tree.end_of_file(end)) return false;
  if (tree.root_ == 0) {
    tree.root_ = kTreeHeaderSize;
    return tree.write_record(kTreeHeaderSize, fresh) && tree.write_header();
  }
  // Every path from the root visits each record at most once; a longer one
  // means the links of a damaged file form a cycle.
  std::uint64_t steps_left = (end - kTreeHeaderSize) / kTreeRecordSize + 1;
  std::uint32_t chain_head = 0;  // the tree record of the digest, once met
  std::uint32_t offset = tree.root_;
  TreeRecord work;
  for (;;) {
    if (steps_left-- == 0 || !tree.read_for_descent(offset, digest, chain_head != 0, work))
      return false;
    const std::uint32_t parent = offset;
    const auto order = digest <=> work.digest;
    if (order == 0) {
      if (chain_head == 0) chain_head = parent;
      if (work.equal != 0) {
        // The chain's records are passed unchanged, so its cached tail may
        // be read directly; an uncached chain is walked.
        std::uint32_t tail = parent == chain_head ? tree.cached_tail(chain_head) : 0;
        offset = tail != 0 ? tail : work.equal;
        continue;
      }
      work.equal = end;
      if (!tree.write_record(end, fresh) || !tree.rewrite_links(parent, work)) return false;
      tree.remember_tail(chain_head, end);
      break;
    }
    // A record of a chain never has a digest other than its head's.
    if (chain_head != 0) return false;
    std::uint32_t& link = order < 0 ? work.left : work.right;
    if (link == 0) {
      link = end;
      if (!tree.write_record(end, fresh) || !tree.rewrite_links(parent, work)) return false;
      break;
    }
    offset = link;
    work.bal = step_bal(work.bal, order < 0 ? -1 : 1);
    if (!tree.rewrite_links(parent, work)) return false;
  }
  return tree.write_header();
}

}  // namespace mirvale
