// Insertion into the digest tree: the eight-file example tree byte for byte,
// the tree's shape, chains and bal counters, damaged and failing files, and
// many random digests checked against a plain in-memory tree.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "eight_file_tree.h"
#include "index/digest_tree.h"
#include "index/insert_queue.h"
#include "test_support.h"
#include "tree_file_helpers.h"

namespace mirvale {
namespace {

using test::le32_at;
using test::record_at;

class Insert : public test::TreeFileTest {
 protected:
  void SetUp() override { ASSERT_TRUE(tree_.open_tree(path_.c_str())); }
  void insert(const Md5Digest& d, NameOffset n) { ASSERT_TRUE(insert_digest(tree_, d, n)); }
};

Md5Digest digest_ending(std::uint8_t last, std::uint8_t fill = 0x55) {
  Md5Digest d;
  d.fill(fill);
  d[15] = last;
  return d;
}

// Digest number i of an ascending sequence.
Md5Digest ascending(std::uint32_t i) {
  Md5Digest d{};
  d[0] = static_cast<std::uint8_t>(i >> 8);
  d[1] = static_cast<std::uint8_t>(i);
  return d;
}

TEST_F(Insert, EightFileExampleGivesItsFileAndListingByteForByte) {
  for (size_t i = 0; i < test::eight_file::kFiles.size(); ++i) {
    insert(test::eight_file::digest(i), test::eight_file::kFiles[i].name_offset);
    std::string b = bytes();
    EXPECT_EQ(b.size(), 4 + 36 * (i + 1));
    EXPECT_EQ(le32_at(b, 0), 4u);
  }
  EXPECT_EQ(bytes(), test::eight_file::file_bytes());
  test::CapturedConsole out;
  tree_.dump_tree(out.console());
  EXPECT_EQ(out.text(), test::eight_file::listing());
}

TEST_F(Insert, FirstDigestBecomesTheRootAtOffsetFour) {
  Md5Digest d = digest_ending(1);
  insert(d, 77);
  EXPECT_EQ(tree_.root(), 4u);
  std::string b = bytes();
  ASSERT_EQ(b.size(), 40u);
  EXPECT_EQ(le32_at(b, 0), 4u);
  EXPECT_EQ(b.substr(4, 16), std::string(16, '\0'));
  EXPECT_EQ(b.compare(20, 16, reinterpret_cast<const char*>(d.data()), 16), 0);
  EXPECT_EQ(le32_at(b, 36), 77u);
}

TEST_F(Insert, EqualDigestGoesToEndOfChain) {
  Md5Digest d = digest_ending(9);
  for (NameOffset n : {0u, 10u, 20u, 30u}) insert(d, n);
  TreeRecord root = record(4);
  EXPECT_EQ(root.equal, 40u);
  EXPECT_EQ(root.bal, 0);
  EXPECT_EQ(root.left, 0u);
  EXPECT_EQ(root.right, 0u);
  EXPECT_EQ(record(40).equal, 76u);
  EXPECT_EQ(record(76).equal, 112u);
  TreeRecord last = record(112);
  EXPECT_EQ(last.equal, 0u);
  EXPECT_EQ(last.name_offset, 30u);
  EXPECT_EQ(bytes().size(), 4u + 4 * 36);
}

TEST_F(Insert, DigestBytesCompareUnsigned) {
  struct Case {
    Md5Digest stored;
    Md5Digest inserted;
    bool goes_left;
  };
  const Case cases[] = {
      {digest_ending(0x80), digest_ending(0x7F), true},
      {digest_ending(0x7F), digest_ending(0x80), false},
      {digest_ending(0x00), digest_ending(0xFF), false},
      {digest_ending(0x01, 0x80), digest_ending(0x01, 0x7F), true},
      {digest_ending(0x00, 0x7F), digest_ending(0x00, 0x80), false},
  };
  for (const Case& c : cases) {
    tree_.close_tree();
    test::remove_tree(path_);
    ASSERT_TRUE(tree_.open_tree(path_.c_str()));
    insert(c.stored, 0);
    insert(c.inserted, 1);
    TreeRecord root = record(4);
    EXPECT_EQ(root.left, c.goes_left ? 40u : 0u);
    EXPECT_EQ(root.right, c.goes_left ? 0u : 40u);
    EXPECT_EQ(root.equal, 0u);
  }
}

TEST_F(Insert, AscendingDigestsBuildARightSpine) {
  constexpr std::uint32_t n = 12;
  for (std::uint32_t i = 0; i < n; ++i) insert(ascending(i * 37 + 5), i);
  for (std::uint32_t k = 0; k < n; ++k) {
    SCOPED_TRACE(k);
    TreeRecord r = record(record_at(k));
    EXPECT_EQ(r.right, k + 1 < n ? record_at(k + 1) : 0u);
    EXPECT_EQ(r.left, 0u);
    // The records more than one level below this one.
    EXPECT_EQ(r.bal, static_cast<std::int32_t>(k + 2 < n ? n - k - 2 : 0));
  }
}

TEST_F(Insert, HeaderIsRewrittenAfterEveryInsertion) {
  const Md5Digest digests[] = {digest_ending(5), digest_ending(5), digest_ending(2),
                               digest_ending(9), digest_ending(5)};
  NameOffset n = 0;
  for (const Md5Digest& d : digests) {
    // Spoil the header on disk; the root kept in memory must be written back.
    if (n > 0) {
      std::string b = bytes();
      b.replace(0, 4, "\xEE\xEE\xEE\xEE");
      test::write_file(path_, b);
    }
    insert(d, n++);
    EXPECT_EQ(le32_at(bytes(), 0), 4u) << "after insertion " << n;
  }
}

TEST_F(Insert, FailsWhenTheTreeIsNotOpen) {
  tree_.close_tree();
  EXPECT_FALSE(insert_digest(tree_, digest_ending(1), 0));
  DigestTree never_opened;
  EXPECT_FALSE(insert_digest(never_opened, digest_ending(1), 0));
  test::make_dir(dir_ / "dir");
  DigestTree failed;
  EXPECT_FALSE(failed.open_tree((dir_ / "dir").c_str()));
  EXPECT_FALSE(insert_digest(failed, digest_ending(1), 0));
}

// A tree file laid out by hand: root 4, then the records.
std::string hand_made(const std::vector<TreeRecord>& records, std::uint32_t root = 4) {
  std::string out;
  test::eight_file::put32_le(out, root);
  for (const TreeRecord& r : records) {
    unsigned char bytes[kTreeRecordSize];
    encode_record(r, bytes);
    out.append(reinterpret_cast<const char*>(bytes), sizeof bytes);
  }
  return out;
}

TEST_F(Insert, FailsOnDamagedFilesInsteadOfLooping) {
  TreeRecord self_right;
  self_right.right = 4;
  TreeRecord self_equal;
  self_equal.digest = digest_ending(3);
  self_equal.equal = 4;
  TreeRecord to_nowhere;
  to_nowhere.left = 4 + 36 * 50;
  to_nowhere.digest = digest_ending(0x55);
  TreeRecord two_cycle_a;
  two_cycle_a.right = 40;
  two_cycle_a.digest = digest_ending(1, 0);
  TreeRecord two_cycle_b;
  two_cycle_b.left = 4;
  two_cycle_b.digest = digest_ending(9, 0xFF);
  struct Case {
    const char* what;
    std::vector<TreeRecord> records;
    std::uint32_t root;
    Md5Digest inserted;
  };
  const std::vector<Case> cases = {
      {"right link to itself", {self_right}, 4, digest_ending(7)},
      {"chain link to itself", {self_equal}, 4, digest_ending(3)},
      {"link past the end", {to_nowhere}, 4, digest_ending(0, 0)},
      {"root past the end", {}, 40, digest_ending(7)},
      {"two records linking to each other", {two_cycle_a, two_cycle_b}, 4, digest_ending(5, 0x80)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::lay_out_tree(tree_, path_, c.root, c.records);
    EXPECT_FALSE(insert_digest(tree_, c.inserted, 99));
  }
}

TEST_F(Insert, NewRecordMustLieBelowFourGibibytes) {
  constexpr std::uint64_t kLastFit = 4 + 36ull * 119304646;  // 2^32 - 36
  static_assert(kLastFit + 36 == 1ull << 32);
  // Root 4, all zero, and a last record that makes the file kLastFit bytes
  // long: what lies between is a hole.
  test::lay_out_tree(tree_, path_, 4, {TreeRecord{}});
  ASSERT_TRUE(tree_.write_record(static_cast<std::uint32_t>(kLastFit - 36), TreeRecord{}));
  Md5Digest d = digest_ending(1);
  EXPECT_TRUE(insert_digest(tree_, d, 5));
  EXPECT_EQ(record(4).right, static_cast<std::uint32_t>(kLastFit));
  EXPECT_EQ(record(static_cast<std::uint32_t>(kLastFit)).digest, d);
  // The file is now 2^32 bytes: the next record's offset does not fit.
  EXPECT_FALSE(insert_digest(tree_, digest_ending(2), 6));
  EXPECT_EQ(record(static_cast<std::uint32_t>(kLastFit)).right, 0u);
  tree_.close_tree();
  struct stat st;
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), 1ull << 32);
}

// Records appended past the head are gathered in the tail, and a tail that
// cannot be written fails the insertion that finds it full.
TEST_F(Insert, FailsWhenTheTailPastTheHeadCannotBeWritten) {
  // Root 4 and a last record that fills the head: what lies between is a hole.
  test::lay_out_tree(tree_, path_, 4, {TreeRecord{}});
  ASSERT_TRUE(tree_.write_record(static_cast<std::uint32_t>(kTreeHeadSize - 36), TreeRecord{}));
  for (std::uint32_t i = 0; i < 3; ++i) insert(ascending(i + 1), i);
  {
    test::FileSizeLimit limit(kTreeHeadSize + 36 * 3 + 20);
    bool inserted = true;
    const std::uint32_t tail_records = kTreeTailSize / kTreeRecordSize;
    for (std::uint32_t i = 0; i <= tail_records && inserted; ++i)
      inserted = insert_digest(tree_, ascending(10 + i), 3 + i);
    EXPECT_FALSE(inserted) << "the tail filled and could not be written";
  }
}

// The tree as the plain algorithm builds it, without any cache: records in
// creation order, links as file offsets.
class ModelTree {
 public:
  void insert(const Md5Digest& d, NameOffset n) {
    TreeRecord fresh;
    fresh.digest = d;
    fresh.name_offset = n;
    std::uint32_t end = record_at(records_.size());
    records_.push_back(fresh);
    if (root_ == 0) {
      root_ = end;
      return;
    }
    std::uint32_t offset = root_;
    for (;;) {
      TreeRecord& r = at(offset);
      std::uint32_t* link = d < r.digest ? &r.left : d > r.digest ? &r.right : &r.equal;
      if (*link == 0) {
        *link = end;
        return;
      }
      if (link != &r.equal) r.bal += link == &r.right ? 1 : -1;
      offset = *link;
    }
  }
  std::string bytes() const { return hand_made(records_, root_); }

 private:
  TreeRecord& at(std::uint32_t offset) { return records_.at((offset - 4) / 36); }
  std::vector<TreeRecord> records_;
  std::uint32_t root_ = 0;
};

// The records of a tree file, decoded by the test itself.
struct FileTree {
  explicit FileTree(const std::string& b) : root(le32_at(b, 0)) {
    for (size_t at = 4; at + 36 <= b.size(); at += 36) {
      TreeRecord r;
      r.left = le32_at(b, at);
      r.right = le32_at(b, at + 4);
      r.equal = le32_at(b, at + 8);
      r.bal = static_cast<std::int32_t>(le32_at(b, at + 12));
      std::memcpy(r.digest.data(), b.data() + at + 16, 16);
      r.name_offset = le32_at(b, at + 32);
      records.push_back(r);
    }
  }
  const TreeRecord& at(std::uint32_t offset) const { return records.at((offset - 4) / 36); }
  std::uint32_t root;
  std::vector<TreeRecord> records;
};

// Checks the subtree at offset: digest order within (low, high), each chain
// and each bal; returns its number of records, chain records included.
size_t check_subtree(const FileTree& t, std::uint32_t offset, const Md5Digest* low,
                     const Md5Digest* high, std::vector<Md5Digest>& in_order,
                     std::map<Md5Digest, std::vector<NameOffset>>& chains) {
  if (offset == 0) return 0;
  const TreeRecord& r = t.at(offset);
  if (low) {
    EXPECT_LT(*low, r.digest);
  }
  if (high) {
    EXPECT_GT(*high, r.digest);
  }
  size_t left = check_subtree(t, r.left, low, &r.digest, in_order, chains);
  in_order.push_back(r.digest);
  std::vector<NameOffset>& chain = chains[r.digest];
  EXPECT_TRUE(chain.empty()) << "a digest heads one chain only";
  size_t chain_length = 0;
  for (std::uint32_t c = offset; c != 0; c = t.at(c).equal) {
    const TreeRecord& link = t.at(c);
    EXPECT_EQ(link.digest, r.digest);
    if (c != offset) {
      EXPECT_EQ(link.left | link.right, 0u);
      EXPECT_EQ(link.bal, 0);
    }
    chain.push_back(link.name_offset);
    ++chain_length;
  }
  size_t right = check_subtree(t, r.right, &r.digest, high, in_order, chains);
  auto less_one = [](size_t n) { return n > 0 ? static_cast<std::int32_t>(n - 1) : 0; };
  EXPECT_EQ(r.bal, less_one(right) - less_one(left)) << "bal of record at " << offset;
  return left + chain_length + right;
}

TEST_F(Insert, RandomDigestsWithRepeatsMatchThePlainTree) {
  std::mt19937 random(20240611);
  // More repeated digests than the chain-tail cache has slots, with bytes
  // drawn from a small set so that many digests share long prefixes.
  const size_t kDistinct = 2 * kChainTailSlots + 500;
  const size_t kInsertions = 5 * kDistinct;
  const std::uint8_t byte_values[] = {0x00, 0x01, 0x7F, 0x80, 0xFE, 0xFF};
  std::vector<Md5Digest> pool(kDistinct);
  for (Md5Digest& d : pool)
    for (std::uint8_t& b : d) b = byte_values[random() % std::size(byte_values)];
  std::geometric_distribution<size_t> skew(0.002);
  ModelTree model;
  std::vector<Md5Digest> inserted;
  for (size_t i = 0; i < kInsertions; ++i) {
    // Half uniform, half skewed towards a few digests with long chains.
    size_t pick = i % 2 ? random() % kDistinct : std::min(skew(random), kDistinct - 1);
    insert(pool[pick], static_cast<NameOffset>(i));
    model.insert(pool[pick], static_cast<NameOffset>(i));
    inserted.push_back(pool[pick]);
    if (i % 1999 == 0 || i < 64) {
      ASSERT_EQ(bytes(), model.bytes()) << "after insertion " << i;
    }
  }
  std::string b = bytes();
  ASSERT_EQ(b, model.bytes());

  FileTree t(b);
  ASSERT_EQ(t.records.size(), kInsertions);
  std::vector<Md5Digest> in_order;
  std::map<Md5Digest, std::vector<NameOffset>> chains;
  EXPECT_EQ(check_subtree(t, t.root, nullptr, nullptr, in_order, chains), kInsertions);
  EXPECT_TRUE(std::is_sorted(in_order.begin(), in_order.end()));
  std::map<Md5Digest, std::vector<NameOffset>> expected_chains;
  for (size_t i = 0; i < inserted.size(); ++i)
    expected_chains[inserted[i]].push_back(static_cast<NameOffset>(i));
  EXPECT_EQ(chains, expected_chains) << "each chain holds its digest's files in insertion order";
}

// The head of the file is rewritten in memory until the tree outgrows it,
// then the leads of the first records, and the rest with writes: once written
// back, the file holds the plain tree's bytes, also past the head and past
// the leads, when insertion goes on after a write-back, and after the tree
// is closed. Digests share their first bytes, so that a lead often ties.
TEST_F(Insert, FileHoldsThePlainTreeOnceWrittenBackAlsoPastTheHeadAndTheLeads) {
  constexpr size_t kHeadRecords = (kTreeHeadSize - kTreeHeaderSize) / kTreeRecordSize;
  std::mt19937 random(7);
  std::vector<Md5Digest> pool(kHeadRecords / 2);
  for (Md5Digest& d : pool) {
    for (std::uint8_t& b : d) b = static_cast<std::uint8_t>(random());
    d[0] = d[1] = d[2] = 0;
    d[3] &= 7;
  }
  ModelTree model;
  for (size_t i = 0; i < kTreeLeadRecords + 64; ++i) {
    const Md5Digest& d = pool[random() % pool.size()];
    insert(d, static_cast<NameOffset>(i));
    model.insert(d, static_cast<NameOffset>(i));
    for (size_t edge : {kHeadRecords, kTreeLeadRecords}) {
      if (i + 2 >= edge && i <= edge + 1) {
        ASSERT_EQ(bytes(), model.bytes()) << "after insertion " << i;
      }
    }
  }
  tree_.close_tree();
  EXPECT_EQ(bytes(), model.bytes());
}

// Handed over to the inserting thread, digests go into the tree in the order
// handed over, through many turns of its ring, also once insertions are
// planned down the leads (digests that tie on their leads, with chains
// inside and past the leads), and a failed insertion fails the finish and
// every later hand-over.
TEST_F(Insert, QueueInsertsOnItsThreadInTheOrderHandedOver) {
  std::mt19937 random(11);
  ModelTree model;
  {
    InsertQueue queue(tree_);
    ASSERT_TRUE(queue.start());
    for (NameOffset i = 0; i < kTreeLeadRecords + 20000; ++i) {
      Md5Digest d = digest_ending(static_cast<std::uint8_t>(random() % 97),
                                  static_cast<std::uint8_t>(random() % 251));
      if (i % 3 == 0) d[0] = static_cast<std::uint8_t>(random());
      ASSERT_TRUE(queue.push(d, i));
      model.insert(d, i);
    }
    EXPECT_TRUE(queue.finish());
  }
  EXPECT_EQ(bytes(), model.bytes());
  tree_.close_tree();
  InsertQueue queue(tree_);
  ASSERT_TRUE(queue.start());
  queue.push(digest_ending(1), 0);
  EXPECT_FALSE(queue.finish());
  EXPECT_FALSE(queue.push(digest_ending(2), 1));
}

// A tree file is never opened again, to go on with it: the open is refused
// and the file kept; once it is gone a new tree starts from nothing.
TEST_F(Insert, ClosedTreeIsNotReopenedAndANewOneStartsAfresh) {
  for (std::uint32_t i = 0; i < 3; ++i) insert(digest_ending(4), i);
  tree_.close_tree();
  const std::string kept = bytes();
  EXPECT_FALSE(tree_.open_tree(path_.c_str()));
  EXPECT_EQ(bytes(), kept);
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  ASSERT_TRUE(tree_.open_tree(path_.c_str()));
  insert(digest_ending(4), 3);
  insert(digest_ending(4), 4);
  ModelTree model;
  for (std::uint32_t i = 3; i < 5; ++i) model.insert(digest_ending(4), i);
  EXPECT_EQ(bytes(), model.bytes());
}

}  // namespace
}  // namespace mirvale
