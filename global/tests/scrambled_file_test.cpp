#include "base/scrambled_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <numeric>
#include <vector>

#include "file_size_limit.h"
#include "test_dir.h"

namespace kiv {
namespace {

std::vector<std::uint8_t> Pattern(std::size_t n) {
  std::vector<std::uint8_t> b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 37 + 11);
  return b;
}

std::vector<std::uint8_t> ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(ScrambledFile, GoldenBytesForKnownBlockAndKey) {
  // 9 bytes: payload 3..6 = 10 20 30 40; checksum 100 = 0x0064 at 7..8.
  std::vector<std::uint8_t> b = {0, 0, 0, 10, 20, 30, 40, 0, 0};
  ScrambleRecord(b, 4, 1);
  // +1 to every byte from 3; the block 3..6 (i = 6, i - 2 = 4) swaps its outer pair only.
  const std::vector<std::uint8_t> expected = {0xEA, 0xFD, 1, 41, 21, 31, 11, 0x65, 0x01};
  EXPECT_EQ(b, expected);  // (4 + 1 - 539) mod 65536 = 0xFDEA
  ASSERT_TRUE(UnscrambleRecord(b));
  EXPECT_EQ(std::vector<std::uint8_t>(b.begin() + 3, b.begin() + 7),
            (std::vector<std::uint8_t>{10, 20, 30, 40}));
}

TEST(ScrambledFile, RoundTripsAtManySizesAndBlocks) {
  for (std::size_t n : {5u, 6u, 7u, 8u, 9u, 63u, 64u, 65u, 1000u, 4096u}) {
    for (std::uint32_t d = 4; d <= n + 3; d += (n > 100 ? 252 : 4)) {
      for (std::uint8_t k : {0, 1, 128, 254}) {
        auto plain = Pattern(n);
        auto b = plain;
        ScrambleRecord(b, d, k);
        ASSERT_TRUE(UnscrambleRecord(b)) << n << " d=" << d << " k=" << int(k);
        ASSERT_TRUE(std::equal(plain.begin() + 3, plain.end() - 2, b.begin() + 3)) << n << " d=" << d;
      }
    }
  }
}

TEST(ScrambledFile, FileRoundTripAndRefusals) {
  TestDir dir;
  auto file = dir.path() / "LoginInfo.dat";
  for (std::size_t n : {5u, 6u, 100u, 70000u}) {
    auto data = Pattern(n);
    ASSERT_TRUE(RecastDatatoFile(data, file)) << n;
    std::vector<std::uint8_t> buffer(n);
    auto size = RestoreFiletoData(buffer, file);
    ASSERT_TRUE(size) << n;
    EXPECT_EQ(*size, n);
    EXPECT_TRUE(std::equal(data.begin() + 3, data.end() - 2, buffer.begin() + 3)) << n;
  }

  // A 5-byte file has no payload and verifies with checksum 0.
  ASSERT_TRUE(RecastDatatoFile(Pattern(5), file));
  std::vector<std::uint8_t> small(5);
  EXPECT_TRUE(RestoreFiletoData(small, file));
  EXPECT_EQ(small[3] | small[4] << 8, 0);

  // A flipped payload byte does not verify.
  ASSERT_TRUE(RecastDatatoFile(Pattern(64), file));
  auto bytes = ReadAll(file);
  bytes[10] ^= 0x01;
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::vector<std::uint8_t> buffer(64);
  EXPECT_FALSE(RestoreFiletoData(buffer, file));

  EXPECT_FALSE(RecastDatatoFile(Pattern(4), file));                     // too short to hold the format
  EXPECT_FALSE(RestoreFiletoData(buffer, dir.path() / "missing.dat"));  // missing
  ASSERT_TRUE(RecastDatatoFile(Pattern(100), file));
  EXPECT_FALSE(RestoreFiletoData(buffer, file));  // larger than the buffer
}

TEST(ScrambledFile, ZeroBlockSizeIsInvalid) {
  // k = 0 and a stored word of (0 - 539) mod 65536 decode to d = 0.
  std::vector<std::uint8_t> b = {0xE5, 0xFD, 0, 0, 0};
  EXPECT_FALSE(UnscrambleRecord(b));
}

TEST(ScrambledFile, FailedWriteKeepsTheOldFile) {
  TestDir dir;
  const auto file = dir.path() / "LoginInfo.dat";
  const std::vector<std::uint8_t> old_list = Pattern(64);
  ASSERT_TRUE(RecastDatatoFile(old_list, file));
  {
    FileSizeLimit full(32);
    EXPECT_FALSE(RecastDatatoFile(Pattern(4096), file));
  }
  std::vector<std::uint8_t> back(4096);
  const auto size = RestoreFiletoData(back, file);
  ASSERT_TRUE(size.has_value());
  ASSERT_EQ(*size, old_list.size());
  EXPECT_TRUE(std::equal(old_list.begin() + 3, old_list.end() - 2, back.begin() + 3));
}

}  // namespace
}  // namespace kiv
