// Insertion into the digest tree file: one digest over and over (one long
// chain, its tail reached through the cache) and a million random digests.
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <string>

#include "index/digest_tree.h"

namespace {

// A tree file path in $TMPDIR (or /tmp), removed before and after use.
std::string scratch_tree_path() {
  const char* base = std::getenv("TMPDIR");
  return std::string(base && *base ? base : "/tmp") + "/mirvale-insert-bench-" +
         std::to_string(::getpid()) + ".ST";
}

// Inserts count digests from next() into a fresh tree per iteration.
template <typename NextDigest>
void insert_many(benchmark::State& state, NextDigest next) {
  const std::string path = scratch_tree_path();
  const auto count = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    ::unlink(path.c_str());
    mirvale::DigestTree tree;
    if (!tree.open_tree(path.c_str())) {
      state.SkipWithError("cannot create the tree file");
      return;
    }
    state.ResumeTiming();
    for (std::uint32_t i = 0; i < count; ++i) {
      if (!mirvale::insert_digest(tree, next(), i)) {
        state.SkipWithError("insertion failed");
        break;
      }
    }
    state.PauseTiming();
    tree.close_tree();
    state.ResumeTiming();
  }
  ::unlink(path.c_str());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * count);
}

void BM_InsertSameDigest(benchmark::State& state) {
  mirvale::Md5Digest digest{};
  digest.fill(0x5A);
  insert_many(state, [&] { return digest; });
}
BENCHMARK(BM_InsertSameDigest)->Arg(50000)->Unit(benchmark::kMillisecond);

void BM_InsertRandomDigests(benchmark::State& state) {
  std::mt19937_64 random(12345);
  insert_many(state, [&] {
    mirvale::Md5Digest digest;
    for (size_t i = 0; i < digest.size(); i += 8) {
      std::uint64_t bits = random();
      for (size_t j = 0; j < 8; ++j) digest[i + j] = static_cast<std::uint8_t>(bits >> (8 * j));
    }
    return digest;
  });
}
BENCHMARK(BM_InsertRandomDigests)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
