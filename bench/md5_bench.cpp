// Throughput of MD5Update on 64 KiB buffers, the size the file digest reads,
// measured side by side with OpenSSL's MD5 in one process; and of many
// independent buffers digested one after another by the one-stream engine
// and side by side by each lane kernel the processor runs.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <openssl/md5.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "digest/md5.h"
#include "digest/md5_lanes.h"
#include "types.h"

namespace {

std::vector<unsigned char> random_bytes(size_t size) {
  std::vector<unsigned char> bytes(size);
  std::uint32_t x = 0x9e3779b9;
  for (unsigned char& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<unsigned char>(x);
  }
  return bytes;
}

const std::vector<unsigned char>& chunk() {
  static const std::vector<unsigned char> bytes = random_bytes(mirvale::kIoBufferSize);
  return bytes;
}

void BM_MirvaleMd5Update(benchmark::State& state) {
  const std::vector<unsigned char>& bytes = chunk();
  mirvale::MD5_CTX context;
  mirvale::MD5Init(&context);
  for (auto _ : state) {
    mirvale::MD5Update(&context, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    benchmark::DoNotOptimize(context.state);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(bytes.size()));
}

void BM_OpenSslMd5Update(benchmark::State& state) {
  const std::vector<unsigned char>& bytes = chunk();
  MD5_CTX context;
  MD5_Init(&context);
  for (auto _ : state) {
    MD5_Update(&context, bytes.data(), bytes.size());
    benchmark::DoNotOptimize(context.A);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(bytes.size()));
}

// Many independent buffers of one workload, slices of one block of random
// bytes. All but the first two workloads stay in the processor's caches from
// one iteration to the next, as a worker's buffers are when it hashes what it
// has just read; long buffers stream from memory at full speed as well, many
// short ones do not.
struct Workload {
  const char* name;  // as the benchmark names show it
  size_t min_size;   // smallest buffer
  size_t max_size;   // largest buffer
  size_t total;      // bytes of all buffers together
};
constexpr Workload kWorkloads[] = {
    {"16x1MiB", 1 << 20, 1 << 20, 16 << 20},
    {"4KiB-uncached", 4096, 4096, 16 << 20},
    {"4KiB", 4096, 4096, 512 << 10},
    {"0-8KiB", 0, 8192, 512 << 10},
    {"0-64B", 0, 64, 512 << 10},
};

struct Buffer {
  const unsigned char* bytes;  // the buffer's first byte
  size_t size;                 // its length
};

// The buffers of workload w, made once: random sizes in its range, laid end to end.
const std::vector<Buffer>& buffers_of(size_t w) {
  static std::vector<unsigned char> pool = random_bytes(16 << 20);
  static std::vector<Buffer> buffers[std::size(kWorkloads)];
  const Workload& workload = kWorkloads[w];
  std::uint32_t x = 12345;
  if (!buffers[w].empty()) return buffers[w];
  for (size_t at = 0; at < workload.total;) {
    x = x * 1664525 + 1013904223;
    size_t size = workload.min_size + (x >> 8) % (workload.max_size - workload.min_size + 1);
    size = std::min(size, workload.total - at);
    buffers[w].push_back({pool.data() + at, size});
    at += size;
  }
  return buffers[w];
}

// Digests every buffer with MD5Init, MD5Update and MD5Final.
void digest_one_by_one(const std::vector<Buffer>& buffers, std::vector<mirvale::Md5Digest>& out) {
  for (size_t i = 0; i < buffers.size(); i++) {
    mirvale::MD5_CTX context;
    mirvale::MD5Init(&context);
    mirvale::MD5Update(&context, buffers[i].bytes, static_cast<std::uint32_t>(buffers[i].size));
    mirvale::MD5Final(out[i].data(), &context);
  }
}

// Digests every buffer through the lanes as a worker does: a lane takes the
// next buffer when its last one is done, and gets it in spans of at most
// 16 KiB, the chunks a worker would read.
void digest_in_lanes(mirvale::Md5Lanes& md5, const std::vector<Buffer>& buffers,
                     std::vector<mirvale::Md5Digest>& out) {
  constexpr size_t kSpan = 16384;
  struct Slot {
    size_t buffer, at;  // which buffer, bytes fed
  } slots[16];
  size_t next = 0;
  auto feed = [&](int lane) {
    Slot& slot = slots[lane];
    const Buffer& buffer = buffers[slot.buffer];
    const size_t size = std::min(kSpan, buffer.size - slot.at);
    md5.feed(lane, buffer.bytes + slot.at, size, slot.at + size == buffer.size);
    slot.at += size;
  };
  auto begin = [&](int lane) {
    if (next == buffers.size()) return;
    slots[lane] = {next++, 0};
    md5.start(lane);
    feed(lane);
  };
  for (int lane = 0; lane < md5.lanes(); lane++) begin(lane);
  while (mirvale::Md5Lanes::LaneMask ready = md5.run()) {
    for (; ready != 0; ready &= ready - 1) {
      const int lane = std::countr_zero(ready);
      if (slots[lane].at < buffers[slots[lane].buffer].size) {
        feed(lane);
      } else {
        out[slots[lane].buffer] = md5.digest(lane);
        begin(lane);
      }
    }
  }
}

void BM_OneStream(benchmark::State& state, size_t w) {
  const std::vector<Buffer>& buffers = buffers_of(w);
  std::vector<mirvale::Md5Digest> out(buffers.size());
  for (auto _ : state) {
    digest_one_by_one(buffers, out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kWorkloads[w].total));
}

void BM_Lanes(benchmark::State& state, size_t w, mirvale::Md5Kernel kernel) {
  const std::vector<Buffer>& buffers = buffers_of(w);
  std::vector<mirvale::Md5Digest> out(buffers.size());
  mirvale::Md5Lanes md5(kernel);
  for (auto _ : state) {
    digest_in_lanes(md5, buffers, out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kWorkloads[w].total));
}

const char* const kKernelNames[] = {"portable", "avx2", "avx512"};

// Registers the workloads for the one-stream engine and every kernel the processor runs.
void register_many_buffers() {
  for (size_t w = 0; w < std::size(kWorkloads); w++) {
    const std::string workload = kWorkloads[w].name;
    benchmark::RegisterBenchmark(("OneStream/" + workload).c_str(), BM_OneStream, w);
    for (int k = 0; k <= static_cast<int>(mirvale::widest_md5_kernel()); k++)
      benchmark::RegisterBenchmark(
          (std::string("Lanes/") + kKernelNames[k] + "/" + workload).c_str(), BM_Lanes, w,
          static_cast<mirvale::Md5Kernel>(k));
  }
}

// Aborts the run when the two engines disagree, or a lane kernel with the
// one-stream engine, so that a fast wrong engine cannot be mistaken for a
// fast one.
void check_same_digest() {
  const std::vector<unsigned char>& bytes = chunk();
  unsigned char ours[16], theirs[16];
  mirvale::MD5_CTX context;
  mirvale::MD5Init(&context);
  mirvale::MD5Update(&context, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  mirvale::MD5Final(ours, &context);
  MD5(bytes.data(), bytes.size(), theirs);
  bool same = std::memcmp(ours, theirs, 16) == 0;
  for (size_t w = 0; w < std::size(kWorkloads); w++) {
    const std::vector<Buffer>& buffers = buffers_of(w);
    std::vector<mirvale::Md5Digest> expected(buffers.size()), got(buffers.size());
    digest_one_by_one(buffers, expected);
    for (int k = 0; k <= static_cast<int>(mirvale::widest_md5_kernel()); k++) {
      mirvale::Md5Lanes md5(static_cast<mirvale::Md5Kernel>(k));
      digest_in_lanes(md5, buffers, got);
      same = same && got == expected;
    }
  }
  if (!same) {
    std::fputs("md5_bench: digests differ\n", stderr);
    std::exit(1);
  }
}

}  // namespace

BENCHMARK(BM_MirvaleMd5Update);
BENCHMARK(BM_OpenSslMd5Update);

int main(int argc, char** argv) {
  check_same_digest();
  register_many_buffers();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
