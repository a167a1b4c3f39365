// The lane engine against the one-stream engine: every kernel the processor
// runs, stream lengths around block and padding edges, spans of odd sizes,
// lanes refilled as their streams end, and streams dropped midway.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "digest/md5.h"
#include "digest/md5_lanes.h"
#include "test_support.h"

namespace mirvale {
namespace {

std::string one_stream_hex(const unsigned char* bytes, size_t size) {
  MD5_CTX context;
  MD5Init(&context);
  MD5Update(&context, bytes, static_cast<std::uint32_t>(size));
  unsigned char digest[16];
  MD5Final(digest, &context);
  return test::hex(digest, 16);
}

std::string lane_hex(const Md5Digest& digest) {
  return test::hex(digest.data(), 16);
}

std::vector<Md5Kernel> kernels_of_this_processor() {
  std::vector<Md5Kernel> kernels;
  for (int k = 0; k <= static_cast<int>(widest_md5_kernel()); k++)
    kernels.push_back(static_cast<Md5Kernel>(k));
  return kernels;
}

// Digests streams through md5 as a worker does: a lane takes the next stream
// when its last one ends and is fed spans of span_sizes[(lane + n) % size]
// bytes through a buffer of its own, scribbled over as soon as run() hands it
// back. Even streams end with their last bytes, odd ones with an empty span.
std::vector<std::string> digest_streams(Md5Lanes& md5, const std::vector<std::string>& streams,
                                        const std::vector<size_t>& span_sizes) {
  struct Slot {
    size_t stream, at, spans;           // which stream, bytes fed, spans fed
    bool ended;                         // the last span is fed
    std::vector<unsigned char> buffer;  // the span lent to the lane
  };
  size_t widest_span = 0;
  for (const std::string& stream : streams) widest_span = std::max(widest_span, stream.size());
  widest_span = std::min(widest_span, *std::max_element(span_sizes.begin(), span_sizes.end()));
  std::vector<Slot> slots(md5.lanes());
  std::vector<std::string> digests(streams.size());
  size_t next_stream = 0;
  auto feed = [&](int lane) {
    Slot& slot = slots[lane];
    const std::string& stream = streams[slot.stream];
    const size_t size =
        std::min(span_sizes[(lane + slot.spans++) % span_sizes.size()], stream.size() - slot.at);
    std::fill(slot.buffer.begin(), slot.buffer.end(), 0xA5);
    std::memcpy(slot.buffer.data(), stream.data() + slot.at, size);
    slot.at += size;
    slot.ended = slot.at == stream.size() && (slot.stream % 2 == 0 || size == 0);
    md5.feed(lane, slot.buffer.data(), size, slot.ended);
  };
  auto begin = [&](int lane) {
    if (next_stream == streams.size()) return;
    slots[lane] = {next_stream++, 0, 0, false, std::vector<unsigned char>(widest_span)};
    md5.start(lane);
    feed(lane);
  };
  for (int lane = 0; lane < md5.lanes(); lane++) begin(lane);
  while (Md5Lanes::LaneMask ready = md5.run()) {
    for (; ready != 0; ready &= ready - 1) {
      const int lane = std::countr_zero(ready);
      if (!slots[lane].ended) {
        feed(lane);
      } else {
        digests[slots[lane].stream] = lane_hex(md5.digest(lane));
        begin(lane);
      }
    }
  }
  return digests;
}

TEST(Md5Lanes, EveryKernelAgreesWithOneStreamEngine) {
  std::vector<size_t> lengths;
  for (size_t length = 0; length <= 130; length++) lengths.push_back(length);
  for (size_t blocks = 2; blocks <= 40; blocks++)
    for (size_t length : {64 * blocks - 9, 64 * blocks - 8, 64 * blocks - 1, 64 * blocks + 1})
      lengths.push_back(length);
  std::mt19937 random(20240611);
  for (int i = 0; i < 24; i++) lengths.push_back(random() % 70000);
  lengths.push_back((1 << 20) + 3);
  std::shuffle(lengths.begin() + 60, lengths.end(), random);  // long streams among short ones

  std::vector<std::string> streams, expected;
  for (size_t length : lengths) {
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    expected.push_back(
        one_stream_hex(reinterpret_cast<const unsigned char*>(bytes.data()), length));
    streams.push_back(std::move(bytes));
  }
  const std::vector<std::vector<size_t>> schedules = {
      {SIZE_MAX}, {1, 63, 64, 65, 127}, {7, 4096, 13, 16384}, {55, 56, 120, 9, 65536}};
  for (Md5Kernel kernel : kernels_of_this_processor()) {
    Md5Lanes md5(kernel);
    ASSERT_EQ(md5.kernel(), kernel);
    for (const std::vector<size_t>& schedule : schedules) {
      const std::vector<std::string> digests = digest_streams(md5, streams, schedule);
      for (size_t i = 0; i < streams.size(); i++)
        ASSERT_EQ(digests[i], expected[i]) << "kernel " << static_cast<int>(kernel) << ", length "
                                           << streams[i].size() << ", first span " << schedule[0];
    }
  }
}

TEST(Md5Lanes, NewStreamOnBusyLaneStartsFromNothing) {
  const std::string held(100, 'h');
  const auto* bytes = reinterpret_cast<const unsigned char*>(held.data());
  const unsigned char abc[] = {'a', 'b', 'c'};
  for (Md5Kernel kernel : kernels_of_this_processor()) {
    Md5Lanes md5(kernel);
    for (bool drop_first : {false, true}) {
      md5.start(1);
      md5.feed(1, bytes, held.size(), false);  // one block compressed, 36 bytes held
      md5.start(2);
      md5.feed(2, bytes, held.size(), true);
      ASSERT_EQ(md5.run(), Md5Lanes::LaneMask{0b10});
      if (drop_first) md5.drop(1);
      md5.start(1);
      md5.feed(1, abc, 3, true);
      ASSERT_EQ(md5.run(), Md5Lanes::LaneMask{0b110});
      EXPECT_EQ(lane_hex(md5.digest(1)), "900150983cd24fb0d6963f7d28e17f72");
      EXPECT_EQ(lane_hex(md5.digest(2)), one_stream_hex(bytes, held.size()));
      EXPECT_EQ(md5.run(), Md5Lanes::LaneMask{0});
    }
  }
}

TEST(Md5Lanes, BitCountPast2To32Bits) {
  if (MIRVALE_SANITIZE)
    GTEST_SKIP() << "512 MiB through every lane take about 20 s under the sanitizers; the plain "
                    "build runs this case";
  // 2^29 + 1 zero bytes in one lane, whose digest md5sum gives: the bit count
  // needs its high word.
  // Read-only anonymous memory reads as zeros without being allocated.
  const size_t size = (size_t{1} << 29) + 1;
  void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  Md5Lanes md5;
  md5.start(0);
  md5.feed(0, static_cast<const unsigned char*>(mapped), size, true);
  ASSERT_EQ(md5.run(), Md5Lanes::LaneMask{1});
  EXPECT_EQ(lane_hex(md5.digest(0)), "ea3b62c6b93cb3625a1fd76777985f5a");
  ::munmap(mapped, size);
}

}  // namespace
}  // namespace mirvale
