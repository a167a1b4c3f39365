// The file digest: agreement with coreutils' md5sum over many file sizes,
// bytes that a text mode would translate, and files that cannot be read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "digest/file_digest.h"
#include "platform/file_batch.h"
#include "platform/listing.h"
#include "platform/system_calls.h"
#include "test_support.h"

namespace mirvale {
namespace {

constexpr const char* kEmptyDigest = "d41d8cd98f00b204e9800998ecf8427e";
constexpr const char* kZeroDigest = "00000000000000000000000000000000";

class FileDigestTest : public ::testing::Test {
 protected:
  struct Outcome {
    bool readable;
    std::string digest;
  };

  // Opens file as the walk does, relative to the directory that holds it, and digests it.
  Outcome digest(const std::string& file) {
    const size_t slash = file.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : file.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
    platform::FileHandle directory, opened;
    EXPECT_EQ(platform::open_directory(dir.c_str(), directory), platform::OpenStatus::opened);
    std::uint64_t size = 0;
    if (platform::regular_file_size_at(directory, name.c_str(), size))
      platform::open_sized_file_at(directory, name.c_str(), size, opened);
    bool readable = digest_.digest_file(opened, size);
    return {readable, test::hex(digest_.result().data(), 16)};
  }

  std::string write_random(const std::string& name, size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random_());
    test::write_file(dir_ / name, bytes);
    return dir_ / name;
  }

  test::TempDir dir_;
  std::unique_ptr<IoBuffer> io_ = std::make_unique<IoBuffer>();
  FileDigest digest_{*io_};
  std::mt19937 random_{20240607};
};

TEST_F(FileDigestTest, AgreesWithMd5sumForFilesOfManySizes) {
  std::vector<size_t> sizes = {0,      1,      55,     56,     63,      64,           65,
                               127,    128,    4095,   4096,   65535,   65536,        65537,
                               131071, 131072, 131073, 196608, 1 << 20, (1 << 20) + 1};
  std::uniform_int_distribution<size_t> any_size(0, 3 << 20);
  for (int i = 0; i < 12; i++) sizes.push_back(any_size(random_));
  for (size_t size : sizes) {
    const std::string file = write_random("f" + std::to_string(size), size);
    Outcome outcome = digest(file);
    EXPECT_TRUE(outcome.readable) << size;
    EXPECT_EQ(outcome.digest, test::md5sum_of(file)) << size;
  }
}

TEST_F(FileDigestTest, EmptyFileGivesDigestOfEmptyMessage) {
  test::write_file(dir_ / "empty", "");
  Outcome outcome = digest(dir_ / "empty");
  EXPECT_TRUE(outcome.readable);
  EXPECT_EQ(outcome.digest, kEmptyDigest);
}

TEST_F(FileDigestTest, CarriageReturnAndControlZAreContent) {
  const std::string file = dir_ / "text";
  const char text[] =
      "line\r\nmore\r\x1a"
      " after the end mark\n\0\x1a\r";
  test::write_file(file, std::string(text, sizeof text - 1));
  Outcome outcome = digest(file);
  EXPECT_TRUE(outcome.readable);
  EXPECT_EQ(outcome.digest, test::md5sum_of(file));
}

TEST_F(FileDigestTest, WhatIsNotARegularFileIsUnreadable) {
  const std::string readable = write_random("readable", 100);
  ASSERT_EQ(::symlink(readable.c_str(), (dir_ / "link").c_str()), 0);
  test::make_dir(dir_ / "directory");
  struct Case {
    const char* what;
    std::string path;
  };
  const Case cases[] = {
      {"missing path", dir_ / "missing"}, {"empty path", ""},
      {"directory", dir_ / "directory"},  {"device", "/dev/null"},
      {"link to a file", dir_ / "link"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(digest(readable).readable);
    Outcome outcome = digest(c.path);
    EXPECT_FALSE(outcome.readable) << c.what;
    EXPECT_EQ(outcome.digest, kZeroDigest) << c.what;
  }
}

TEST_F(FileDigestTest, FifoIsUnreadableAtOnce) {
  // Without a writer, a blocking open would wait for good and a non-blocking
  // one reads as an empty file.
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  Outcome outcome = digest(dir_ / "fifo");
  EXPECT_FALSE(outcome.readable);
  EXPECT_EQ(outcome.digest, kZeroDigest);
}

TEST_F(FileDigestTest, EntrySwappedAfterItsSizeWasFoundIsRefusedOnItsDescriptor) {
  // The size was found on a regular file; what the name holds at the open is
  // a FIFO, a device, or a regular file of another size.
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  write_random("grown", 101);
  const std::pair<std::string, std::string> cases[] = {
      {dir_.path() + "/", "fifo"}, {"/dev/", "null"}, {dir_.path() + "/", "grown"}};
  for (const auto& [dir, name] : cases) {
    platform::FileHandle directory, opened;
    ASSERT_EQ(platform::open_directory(dir.c_str(), directory), platform::OpenStatus::opened);
    const std::uint64_t size = name == "grown" ? 100 : 0;
    EXPECT_EQ(platform::open_sized_file_at(directory, name.c_str(), size, opened),
              platform::OpenStatus::failed)
        << name;
    EXPECT_FALSE(opened.valid()) << name;
    // Opened first, its size not known yet: only the regular file is kept.
    std::uint64_t found = 0;
    const platform::OpenStatus status =
        platform::open_regular_file_at(directory, name.c_str(), opened, found);
    EXPECT_EQ(status, name == "grown" ? platform::OpenStatus::opened : platform::OpenStatus::failed)
        << name;
    EXPECT_EQ(opened.valid() ? found : 0, name == "grown" ? 101u : 0u) << name;
  }
}

// A ring that takes one entry and answers it, then fails.
int ring_entries = 0;
long enter_once_then_fail(int ring, unsigned submit, unsigned, unsigned flags) {
  if (ring_entries++ > 0) {
    errno = EIO;
    return -1;
  }
  return ::syscall(__NR_io_uring_enter, ring, submit > 0 ? 1u : 0u, 1u, flags, nullptr, 0);
}

TEST_F(FileDigestTest, BatchOpensAndReadsAsTheSingleCallsDo) {
  // The same cases in one batch, through the ring where the kernel offers
  // one, through one that fails after its first open, and with the single
  // calls, and no descriptor left open after.
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  write_random("grown", 101);
  ASSERT_EQ(::mkdir((dir_ / "sub").c_str(), 0700), 0);
  test::write_file(dir_ / "sub/file", "abc");
  ASSERT_EQ(::symlink("sub", (dir_ / "link").c_str()), 0);
  platform::FileHandle dir, dev;
  ASSERT_EQ(platform::open_directory((dir_.path() + "/").c_str(), dir),
            platform::OpenStatus::opened);
  ASSERT_EQ(platform::open_directory("/dev/", dev), platform::OpenStatus::opened);
  using platform::OpenStatus;
  const struct {
    const platform::FileHandle& dir;
    const char* name;
    std::uint64_t size;  // the size found before, for a sized open
    bool sized, below;
    OpenStatus status;
  } cases[] = {
      {dir, "fifo", 0, true, false, OpenStatus::failed},
      {dir, "fifo", 0, false, false, OpenStatus::failed},
      {dev, "null", 0, false, false, OpenStatus::failed},
      {dir, "grown", 100, true, false, OpenStatus::failed},
      {dir, "missing", 0, false, false, OpenStatus::failed},
      {dir, "link/file", 0, false, true, OpenStatus::failed},
      {dir, "grown", 0, false, false, OpenStatus::opened},
      {dir, "sub/file", 0, false, true, OpenStatus::opened},
  };
  constexpr unsigned kCount = std::size(cases);
  const std::size_t descriptors = test::list_dir("/proc/self/fd").size();
  platform::SystemCalls& calls = platform::system_calls();
  const platform::SystemCalls real = calls;
  for (const char* way : {"ring", "failing ring", "single calls"}) {
    platform::FileBatch batch;
    if (way[0] != 's' && !batch.use_ring()) continue;
    SCOPED_TRACE(way);
    ring_entries = 0;
    if (way[0] == 'f') calls.io_uring_enter = enter_once_then_fail;
    platform::FileBatch::Open opens[kCount];
    for (unsigned i = 0; i < kCount; ++i) {
      opens[i].dir = cases[i].dir;
      opens[i].name = cases[i].name;
      opens[i].size = cases[i].size;
      opens[i].sized = cases[i].sized;
      opens[i].below = cases[i].below;
    }
    batch.open_all(opens, kCount);
    calls = real;
    EXPECT_EQ(ring_entries, way[0] == 'f' ? 2 : ring_entries);
    for (unsigned i = 0; i < kCount; ++i)
      EXPECT_EQ(opens[i].status, cases[i].status) << cases[i].name;
    char bytes[2][200];
    platform::FileBatch::Read reads[] = {{&opens[kCount - 2].file, bytes[0], sizeof bytes[0]},
                                         {&opens[kCount - 1].file, bytes[1], sizeof bytes[1]}};
    batch.read_and_close_all(reads, 2);
    EXPECT_EQ(opens[kCount - 2].size, 101u);
    EXPECT_EQ(reads[0].got, 101);
    EXPECT_EQ(std::string(bytes[1], static_cast<std::size_t>(reads[1].got)), "abc");
    EXPECT_FALSE(opens[kCount - 1].file.valid());
  }
  EXPECT_EQ(test::list_dir("/proc/self/fd").size(), descriptors);
}

TEST_F(FileDigestTest, FileWhoseReadFailsIsUnreadable) {
  // This process's own memory file is regular, and reading at offset 0, which
  // is never mapped, fails.
  const char* failing = "/proc/self/mem";
  int fd = ::open(failing, O_RDONLY);
  char byte;
  bool read_fails = fd >= 0 && ::read(fd, &byte, 1) < 0;
  if (fd >= 0) ::close(fd);
  if (!read_fails) GTEST_SKIP() << failing << " cannot be opened or reads";

  Outcome outcome = digest(failing);
  EXPECT_FALSE(outcome.readable);
  EXPECT_EQ(outcome.digest, kZeroDigest);
  test::write_file(dir_ / "empty", "");
  EXPECT_EQ(digest(dir_ / "empty").digest, kEmptyDigest);
}

TEST_F(FileDigestTest, EachCallOverwritesTheResult) {
  const std::string a = write_random("a", 70000);
  const std::string b = write_random("b", 3);
  const std::string sequence[] = {a, dir_ / "missing", b, a, dir_ / "missing", b};
  for (const std::string& file : sequence) {
    const std::string expected = test::exists(file) ? test::md5sum_of(file) : kZeroDigest;
    EXPECT_EQ(digest(file).digest, expected) << file;
  }
}

}  // namespace
}  // namespace mirvale
