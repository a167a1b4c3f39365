// Insertion into the digest tree: down the unbalanced tree by digest order,
// keeping each passed record's bal, then to the end of an equal digest's
// chain. Once every lead is in memory an insertion may be split in two: its
// way down the leads, planned ahead by one thread, and the rest, applied in
// the file by another.
#include "index/digest_tree.h"

namespace mirvale {

namespace {

// Adds step (+1 or -1) to a bal counter, wrapping as the file's 32 bits do.
std::int32_t step_bal(std::int32_t bal, int step) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(bal) +
                                   static_cast<std::uint32_t>(step));
}

}  // namespace

// Inserts fresh as the record at end, going down from the record at offset;
// chain_head is the tree record of its digest when offset is on its chain,
// after members of its records, else 0.
bool insert_from(DigestTree& tree, const TreeRecord& fresh, std::uint32_t end, std::uint32_t offset,
                 std::uint32_t chain_head, std::uint32_t members) {
  const Md5Digest& digest = fresh.digest;
  // Every path from the root visits each record at most once; a longer one
  // means the links of a damaged file form a cycle.
  std::uint64_t steps_left = (end - kTreeHeaderSize) / kTreeRecordSize + 1;
  TreeRecord work;
  for (;;) {
    if (steps_left-- == 0 || !tree.read_for_descent(offset, digest, chain_head != 0, work))
      return false;
    if (chain_head != 0) ++members;
    const std::uint32_t parent = offset;
    const auto order = digest <=> work.digest;
    if (order == 0) {
      if (chain_head == 0) chain_head = parent;
      if (work.equal != 0) {
        // The chain's records are passed unchanged, so its cached tail may
        // be read directly; an uncached chain is walked.
        const auto* cached = parent == chain_head ? tree.cached_tail(chain_head) : nullptr;
        offset = cached != nullptr ? cached->tail : work.equal;
        if (cached != nullptr) members = cached->length - 1;
        continue;
      }
      work.equal = end;
      if (!tree.write_record(end, fresh) || !tree.rewrite_links(parent, work)) return false;
      tree.remember_tail(chain_head, end, members + 1);
      return true;
    }
    // A record of a chain never has a digest other than its head's.
    if (chain_head != 0) return false;
    std::uint32_t& link = order < 0 ? work.left : work.right;
    if (link == 0) {
      link = end;
      return tree.write_record(end, fresh) && tree.rewrite_links(parent, work);
    }
    offset = link;
    work.bal = step_bal(work.bal, order < 0 ? -1 : 1);
    if (!tree.rewrite_links(parent, work)) return false;
  }
}

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
  return insert_from(tree, fresh, end, tree.root_, 0, 0) && tree.write_header();
}

// Takes an insertion down the leads, from the root, which is one of them,
// as far as they go, updating those it passes; plan says what is left.
// False when a lead's rest cannot be read, or the leads form a cycle.
bool plan_insertion(DigestTree& tree, const Md5Digest& digest, std::uint32_t record,
                    InsertPlan& plan) {
  plan = InsertPlan{};
  plan.record = record;
  std::uint32_t offset = tree.root_;
  TreeRecord work;
  if (!tree.is_lead(offset)) return false;
  for (std::size_t steps = 0; steps < kTreeLeadRecords; ++steps) {
    if (!tree.read_lead(offset, digest, work)) return false;
    const auto order = digest <=> work.digest;
    plan.at = offset;
    if (order == 0) {
      plan.kind = work.equal == 0 ? InsertPlan::Kind::first : InsertPlan::Kind::chain;
      plan.first = work.equal;
      if (work.equal == 0) {
        work.equal = record;
        tree.set_lead_links(offset, work);
      }
      return true;
    }
    std::uint32_t& link = order < 0 ? work.left : work.right;
    if (link == 0) {
      link = record;
      tree.set_lead_links(offset, work);
      plan.kind = InsertPlan::Kind::record;
      return true;
    }
    offset = link;
    work.bal = step_bal(work.bal, order < 0 ? -1 : 1);
    tree.set_lead_links(plan.at, work);
    if (!tree.is_lead(offset)) {
      plan.kind = InsertPlan::Kind::descend;
      plan.at = offset;
      return true;
    }
  }
  return false;
}

// Does what plan_insertion left of an insertion, or the whole of one not
// planned. The new record must go where the plan put it.
bool apply_insertion(DigestTree& tree, const Md5Digest& digest, NameOffset name_offset,
                     const InsertPlan& plan) {
  if (plan.kind == InsertPlan::Kind::whole) return insert_digest(tree, digest, name_offset);
  TreeRecord fresh;
  fresh.digest = digest;
  fresh.name_offset = name_offset;
  std::uint32_t end;
  if (!tree.end_of_file(end) || end != plan.record) return false;
  switch (plan.kind) {
    case InsertPlan::Kind::record:
    case InsertPlan::Kind::first:
      if (!tree.write_record(end, fresh)) return false;
      if (plan.kind == InsertPlan::Kind::first) tree.remember_tail(plan.at, end, 1);
      break;
    case InsertPlan::Kind::descend:
      if (!insert_from(tree, fresh, end, plan.at, 0, 0)) return false;
      break;
    default: {
      const auto* cached = tree.cached_tail(plan.at);
      const std::uint32_t from = cached != nullptr ? cached->tail : plan.first;
      const std::uint32_t before = cached != nullptr ? cached->length - 1 : 0;
      if (!insert_from(tree, fresh, end, from, plan.at, before)) return false;
    }
  }
  return tree.write_header();
}

}  // namespace mirvale
