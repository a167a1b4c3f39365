// Throughput of MD5Update on 64 KiB buffers, the size the file digest reads,
// measured side by side with OpenSSL's MD5 in one process.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <openssl/md5.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "digest/md5.h"
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

// Aborts the run when the two engines disagree, so that a fast wrong engine
// cannot be mistaken for a fast one.
void check_same_digest() {
  const std::vector<unsigned char>& bytes = chunk();
  unsigned char ours[16], theirs[16];
  mirvale::MD5_CTX context;
  mirvale::MD5Init(&context);
  mirvale::MD5Update(&context, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  mirvale::MD5Final(ours, &context);
  MD5(bytes.data(), bytes.size(), theirs);
  if (std::memcmp(ours, theirs, 16) != 0) {
    std::fputs("md5_bench: digests differ from OpenSSL's\n", stderr);
    std::exit(1);
  }
}

}  // namespace

BENCHMARK(BM_MirvaleMd5Update);
BENCHMARK(BM_OpenSslMd5Update);

int main(int argc, char** argv) {
  check_same_digest();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
