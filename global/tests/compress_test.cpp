#include "base/compress.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/lzrw.h"
#include "base/wire.h"

namespace kiv {
namespace {

using ByteVector = std::vector<std::uint8_t>;

ByteVector Repeat(std::size_t n, std::uint8_t byte) { return ByteVector(n, byte); }

ByteVector Random(std::size_t n, std::uint32_t seed) {
  ByteVector out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
  return out;
}

// Words, spaces and line breaks: matches at many distances, few runs.
ByteVector Text(std::size_t n) {
  static const char* const kWords[] = {"room ", "friend ",  "message ", "the ",    "microphone ",
                                       "gift ", "online\n", "chat ",    "server ", "transport "};
  ByteVector out;
  std::uint32_t seed = 7;
  while (out.size() < n) {
    const char* w = kWords[(seed = seed * 1664525u + 1013904223u) >> 28 & 7];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(n);
  return out;
}

// Runs, text and noise side by side, so every item kind occurs in one block.
ByteVector Mixed(std::size_t n) {
  ByteVector out;
  std::uint32_t seed = 99;
  while (out.size() < n) {
    seed = seed * 1664525u + 1013904223u;
    const std::size_t len = 1 + (seed >> 20) % 300;
    switch (seed >> 30) {
      case 0:
        out.insert(out.end(), len * 3, static_cast<std::uint8_t>(seed >> 8));
        break;
      case 1: {
        const auto t = Text(len);
        out.insert(out.end(), t.begin(), t.end());
        break;
      }
      default: {
        const auto r = Random(len, seed);
        out.insert(out.end(), r.begin(), r.end());
      }
    }
  }
  out.resize(n);
  return out;
}

ByteVector CompressBlock(const ByteVector& input) {
  ByteVector out(LZRW::CompressionRoom(input.size()));
  out.resize(LZRW::Compression(input.data(), out.data(), input.size()));
  return out;
}

std::optional<ByteVector> DecompressBlock(const ByteVector& block, std::size_t capacity = LZRW::kBlockSize) {
  ByteVector out(capacity);
  const auto n = LZRW::Decompression(block.data(), out.data(), block.size(), capacity);
  if (!n) return std::nullopt;
  out.resize(*n);
  return out;
}

TEST(Lzrw, EncodesRunsCopiesAndLiteralsAsPublished) {
  struct Case {
    const char* name;
    ByteVector input;
    ByteVector block;
  };
  const Case cases[] = {
      {"16 equal bytes are one run item", Repeat(16, 'a'), {64, 0x80, 0x00, 0x00, 0x00, 0x00, 'a'}},
      // A literal, then a copy of 14 bytes at distance 1: (1 << 4) + (14 - 3).
      {"15 equal bytes are no run", Repeat(15, 'a'), {64, 0x40, 0x00, 'a', 0x00, 0x1B}},
      {"runs stop at 4095", Repeat(4096, 'z'), {64, 0x80, 0x00, 0x00, 0x0F, 0xEF, 'z', 'z'}},
      {"a short input is stored", {'a', 'b', 'c'}, {128, 'a', 'b', 'c'}},
      {"an empty input is stored", {}, {128}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CompressBlock(c.input), c.block);
    EXPECT_EQ(DecompressBlock(c.block), c.input);
  }
}

TEST(Lzrw, StoresIncompressibleBlocksOneByteLonger) {
  for (std::size_t n : {std::size_t{1}, std::size_t{100}, LZRW::kBlockSize}) {
    const auto input = Random(n, static_cast<std::uint32_t>(n));
    const auto block = CompressBlock(input);
    ASSERT_EQ(block.size(), n + 1) << n;
    EXPECT_EQ(block[0], LZRW::kFlagStored);
    EXPECT_TRUE(std::equal(input.begin(), input.end(), block.begin() + 1));
  }
  ByteVector too_big(LZRW::kBlockSize + 1);
  ByteVector out(LZRW::CompressionRoom(too_big.size()));
  EXPECT_EQ(LZRW::Compression(too_big.data(), out.data(), too_big.size()), 0u);
}

TEST(Lzrw, DecompressionRefusesMalformedBlocks) {
  struct Case {
    const char* name;
    ByteVector block;
    std::size_t capacity;
  };
  const Case cases[] = {
      {"empty block", {}, 100},
      {"unknown flag", {0x41, 0x00, 0x00, 'a'}, 100},
      {"compressed block without its control word", {64, 0x00}, 100},
      {"copy from before the start", {64, 0x40, 0x00, 'a', 0x00, 0x2B}, 100},
      {"copy item cut short", {64, 0x80, 0x00, 0x00}, 100},
      {"run item cut short", {64, 0x80, 0x00, 0x00, 0x00, 0x00}, 100},
      {"control word without items",
       {64,  0x00, 0x00, 'a', 'a', 'a', 'a', 'a', 'a',  'a', 'a',
        'a', 'a',  'a',  'a', 'a', 'a', 'a', 'a', 0x00, 0x00},
       100},
      {"run larger than the room", {64, 0x80, 0x00, 0x00, 0x0F, 0xEF, 'z'}, 4094},
      {"copy larger than the room", {64, 0x40, 0x00, 'a', 0x00, 0x1B}, 14},
      {"literal past the room", {64, 0x00, 0x00, 'a', 'b'}, 1},
      {"stored block larger than the room", {128, 'a', 'b', 'c'}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ByteVector out(c.capacity);
    EXPECT_FALSE(LZRW::Decompression(c.block.data(), out.data(), c.block.size(), c.capacity).has_value());
  }
  // The same items fit with exactly enough room.
  EXPECT_EQ(DecompressBlock({64, 0x80, 0x00, 0x00, 0x0F, 0xEF, 'z'}, 4095), Repeat(4095, 'z'));
  EXPECT_EQ(DecompressBlock({64, 0x40, 0x00, 'a', 0x00, 0x1B}, 15), Repeat(15, 'a'));
}

TEST(Lzrw, ContainerSplitsAtBlockSize) {
  const auto input = Text(2 * LZRW::kBlockSize + 10);
  ByteVector packed;
  ASSERT_TRUE(LZRW::CompressStream(input, packed));
  ASSERT_GE(packed.size(), 8u);
  EXPECT_EQ(std::string(packed.begin(), packed.begin() + 4), "LZRW");
  EXPECT_EQ(LoadU32(packed.data() + 4), packed.size() - 8);
  // Walk the blocks: each decodes to a full piece except the last.
  std::vector<std::size_t> pieces;
  for (std::size_t pos = 8; pos < packed.size();) {
    const std::uint32_t length = LoadU32(packed.data() + pos);
    const auto piece =
        DecompressBlock(ByteVector(packed.begin() + pos + 4, packed.begin() + pos + 4 + length));
    ASSERT_TRUE(piece);
    pieces.push_back(piece->size());
    pos += 4 + length;
  }
  EXPECT_EQ(pieces, (std::vector<std::size_t>{LZRW::kBlockSize, LZRW::kBlockSize, 10}));
}

TEST(Lzrw, DeCompressStreamRefusesBadContainers) {
  ByteVector good;
  ASSERT_TRUE(LZRW::CompressStream(Text(40000), good));
  auto with = [&](auto change) {
    ByteVector v = good;
    change(v);
    return v;
  };
  // A block that holds more than one piece: two runs of 4095 bytes in a row, nine times.
  ByteVector oversized = {64, 0xFF, 0x80};
  for (int i = 0; i < 9; ++i) oversized.insert(oversized.end(), {0x00, 0x0F, 0xEF, 'q'});
  ByteVector big_container = {'L', 'Z', 'R', 'W', 0, 0, 0, 0, 0, 0, 0, 0};
  StoreU32(big_container.data() + 4, static_cast<std::uint32_t>(4 + oversized.size()));
  StoreU32(big_container.data() + 8, static_cast<std::uint32_t>(oversized.size()));
  big_container.insert(big_container.end(), oversized.begin(), oversized.end());

  struct Case {
    const char* name;
    ByteVector data;
    std::size_t limit;
    LZRW::StreamError error;
  };
  const Case cases[] = {
      {"no magic", with([](ByteVector& v) { v[0] = 'X'; }), 1 << 20, LZRW::StreamError::kWrongFileType},
      {"three bytes", {'L', 'Z', 'R'}, 1 << 20, LZRW::StreamError::kWrongFileType},
      {"no total", {'L', 'Z', 'R', 'W', 0}, 1 << 20, LZRW::StreamError::kTruncated},
      {"cut inside a block", with([](ByteVector& v) { v.resize(v.size() - 1); }), 1 << 20,
       LZRW::StreamError::kTruncated},
      {"total beyond the data",
       with([](ByteVector& v) { StoreU32(v.data() + 4, LoadU32(v.data() + 4) + 50); }), 1 << 20,
       LZRW::StreamError::kTruncated},
      {"block longer than the total", with([](ByteVector& v) { StoreU32(v.data() + 4, 20); }), 1 << 20,
       LZRW::StreamError::kMalformed},
      {"block length of zero",
       {'L', 'Z', 'R', 'W', 4, 0, 0, 0, 0, 0, 0, 0},
       1 << 20,
       LZRW::StreamError::kMalformed},
      {"damaged block", with([](ByteVector& v) { v[12] = 7; }), 1 << 20, LZRW::StreamError::kMalformed},
      {"block inflating past one piece", big_container, 1 << 20, LZRW::StreamError::kMalformed},
      {"content over the limit", good, 39999, LZRW::StreamError::kTooLarge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ByteVector out = {1, 2, 3};
    EXPECT_EQ(LZRW::DeCompressStream(c.data, out, c.limit), c.error);
    EXPECT_EQ(out, (ByteVector{1, 2, 3}));  // left as it was
  }
  EXPECT_STREQ(LZRW::StreamErrorText(LZRW::StreamError::kWrongFileType), "Wrong file type");
  ByteVector out;
  EXPECT_EQ(LZRW::DeCompressStream(good, out, 40000), LZRW::StreamError::kNone);
  EXPECT_EQ(out, Text(40000));
}

TEST(CompressData, RoundTripsBothMethodsAtBlockBoundaries) {
  const std::size_t sizes[] = {0, 1, 15, 16, 17, 4095, 4096, 32782, 32783, 32784, 65566, 100000};
  for (std::uint8_t method : {kMethodLzrw, kMethodZlib}) {
    for (std::size_t n : sizes) {
      for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE("method " + std::to_string(method) + ", size " + std::to_string(n) + ", kind " +
                     std::to_string(kind));
        const ByteVector input = kind == 0 ? Text(n) : kind == 1 ? Mixed(n) : Random(n, 5);
        // Exactly the documented room, so a write beyond it trips AddressSanitizer.
        ByteVector buffer(std::max(CompressDataBound(static_cast<std::uint32_t>(n), method), n));
        std::copy(input.begin(), input.end(), buffer.begin());
        std::uint32_t length = static_cast<std::uint32_t>(n);
        ASSERT_TRUE(CompressData(buffer.data(), length, method));
        if (kind == 0 && n >= 4096) {
          EXPECT_LT(length, n / 2);
        }

        const auto size = DeCompressedSize(buffer.data(), length, method);
        ASSERT_EQ(size, n);
        ByteVector exact(std::max<std::size_t>(length, n));
        std::copy(buffer.begin(), buffer.begin() + length, exact.begin());
        ASSERT_TRUE(DeCompressData(exact.data(), length, method));
        ASSERT_EQ(length, n);
        EXPECT_TRUE(std::equal(input.begin(), input.end(), exact.begin()));
      }
    }
  }
}

TEST(CompressData, WritesAZlibStreamAtLevelNine) {
  const auto input = Text(5000);
  ByteVector buffer(CompressDataBound(5000, kMethodZlib));
  std::copy(input.begin(), input.end(), buffer.begin());
  std::uint32_t length = 5000;
  ASSERT_TRUE(CompressData(std::span(buffer), length, kMethodZlib));
  EXPECT_EQ(buffer[0], 0x78);
  EXPECT_EQ(buffer[1], 0xDA);  // maximum compression
  // zlib itself reads it back.
  ByteVector plain(5000);
  uLongf plain_size = plain.size();
  ASSERT_EQ(uncompress(plain.data(), &plain_size, buffer.data(), length), Z_OK);
  EXPECT_EQ(plain, input);
  // Method values other than 1 all mean zlib.
  std::uint32_t again = length;
  ByteVector copy = buffer;
  ASSERT_TRUE(DeCompressData(std::span(copy), again, 7));
  EXPECT_EQ(ByteVector(copy.begin(), copy.begin() + again), input);
}

TEST(CompressData, SizeAwareFormsRefuseWithoutTouchingTheBuffer) {
  const auto input = Text(20000);
  ByteVector packed_lzrw, packed_zlib;
  for (auto [method, packed] : {std::pair{kMethodLzrw, &packed_lzrw}, std::pair{kMethodZlib, &packed_zlib}}) {
    packed->assign(CompressDataBound(20000, method), 0);
    std::copy(input.begin(), input.end(), packed->begin());
    std::uint32_t length = 20000;
    ASSERT_TRUE(CompressData(std::span(*packed), length, method));
    packed->resize(length);
  }
  struct Case {
    const char* name;
    std::uint8_t method;
    ByteVector data;
    std::size_t buffer_size;
    std::uint32_t length;
  };
  const Case cases[] = {
      {"lzrw result too large for the buffer", kMethodLzrw, packed_lzrw, 19999, 0},
      {"zlib result too large for the buffer", kMethodZlib, packed_zlib, 19999, 0},
      {"zlib stream cut short", kMethodZlib, ByteVector(packed_zlib.begin(), packed_zlib.end() - 5), 30000,
       0},
      {"zlib stream damaged", kMethodZlib,
       [&] {
         auto v = packed_zlib;
         v[20] ^= 0x55;
         return v;
       }(),
       30000, 0},
      {"zlib header wrong", kMethodZlib,
       [&] {
         auto v = packed_zlib;
         v[0] = 0x12;
         return v;
       }(),
       30000, 0},
      {"empty zlib input", kMethodZlib, {}, 100, 0},
      {"lzrw magic missing", kMethodLzrw, input, 30000, 0},
      {"length beyond the buffer", kMethodZlib, packed_zlib, 30000, 40000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ByteVector buffer(std::max(c.buffer_size, c.data.size()), 0xEE);
    buffer.resize(c.buffer_size);
    std::copy(c.data.begin(), c.data.begin() + std::min(c.data.size(), buffer.size()), buffer.begin());
    const ByteVector before = buffer;
    std::uint32_t length = c.length ? c.length : static_cast<std::uint32_t>(c.data.size());
    const std::uint32_t length_before = length;
    std::string error;
    EXPECT_FALSE(DeCompressData(std::span(buffer), length, c.method, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(length, length_before);
    EXPECT_EQ(buffer, before);
  }
  // Compression that does not fit is refused the same way.
  const auto noise = Random(1000, 3);
  ByteVector buffer = noise;
  std::uint32_t length = 1000;
  EXPECT_FALSE(CompressData(std::span(buffer), length, kMethodLzrw));
  EXPECT_EQ(length, 1000u);
  EXPECT_EQ(buffer, noise);
}

TEST(CompressData, ConcurrentCompressionsDoNotDisturbEachOther) {
  std::vector<ByteVector> inputs;
  std::vector<ByteVector> expected;
  for (int i = 0; i < 4; ++i) {
    inputs.push_back(i % 2 ? Mixed(70000 + 1000 * i) : Text(70000 + 1000 * i));
    expected.emplace_back();
    LZRW::CompressStream(inputs.back(), expected.back());
  }
  std::vector<int> mismatches(inputs.size(), 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < inputs.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        ByteVector packed;
        LZRW::CompressStream(inputs[t], packed);
        ByteVector plain;
        if (packed != expected[t] ||
            LZRW::DeCompressStream(packed, plain, 1 << 20) != LZRW::StreamError::kNone ||
            plain != inputs[t]) {
          ++mismatches[t];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, std::vector<int>(inputs.size(), 0));
}

class Bundle : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::path(::testing::TempDir()) /
           ("kiv_bundle_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static void Write(const std::filesystem::path& path, const ByteVector& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  static ByteVector Read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return ByteVector(std::istreambuf_iterator<char>(in), {});
  }
  static ByteVector Deflate(const ByteVector& plain) {
    uLongf size = compressBound(plain.size());
    ByteVector out(size);
    compress2(out.data(), &size, plain.data(), plain.size(), 9);
    out.resize(size);
    return out;
  }
  static ByteVector Entry(const ByteVector& bytes, const std::string& name) {
    ByteVector e(44, 0);
    StoreU32(e.data(), static_cast<std::uint32_t>(bytes.size()));
    e[4] = static_cast<std::uint8_t>(name.size());
    std::memcpy(e.data() + 5, name.data(), name.size());
    e.insert(e.end(), bytes.begin(), bytes.end());
    return e;
  }
  std::filesystem::path dir_;
};

TEST_F(Bundle, RoundTripsAFileWithTheDocumentedLayout) {
  const auto content = Mixed(150000);
  Write(dir_ / "setup.bin", content);
  ASSERT_TRUE(CompressFiles(dir_ / "out.pak", dir_ / "setup.bin", "x"));

  // The bundle is a bare zlib stream of the label entry and the file entry.
  const auto packed = Read(dir_ / "out.pak");
  ByteVector plain(content.size() + 88);
  uLongf plain_size = plain.size();
  ASSERT_EQ(uncompress(plain.data(), &plain_size, packed.data(), packed.size()), Z_OK);
  ASSERT_EQ(plain_size, content.size() + 88);
  EXPECT_EQ(LoadU32(plain.data()), 0u);
  EXPECT_EQ(std::string(plain.begin() + 4, plain.begin() + 6), "\x01x");
  EXPECT_EQ(LoadU32(plain.data() + 44), content.size());
  EXPECT_EQ(std::string(plain.begin() + 48, plain.begin() + 58), "\x09setup.bin");
  EXPECT_TRUE(std::equal(content.begin(), content.end(), plain.begin() + 88));

  Write(dir_ / "target.bin", {1, 2, 3});
  std::filesystem::permissions(dir_ / "target.bin", std::filesystem::perms::owner_all);
  std::string error;
  ASSERT_TRUE(DeCompressFiles(dir_ / "out.pak", dir_ / "target.bin", &error)) << error;
  EXPECT_EQ(Read(dir_ / "target.bin"), content);
  // The replaced file keeps its permissions.
  EXPECT_EQ(std::filesystem::status(dir_ / "target.bin").permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
  // Only the bundle and the two files remain: no temporary files are left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 3);
}

TEST_F(Bundle, StoresLongAndChineseNamesCutAtTheField) {
  const std::string long_name(60, 'n');
  Write(dir_ / long_name, {9});
  ASSERT_TRUE(CompressFiles(dir_ / "b.pak", dir_ / long_name, "升级包"));
  const auto packed = Read(dir_ / "b.pak");
  ByteVector plain(89);
  uLongf plain_size = plain.size();
  ASSERT_EQ(uncompress(plain.data(), &plain_size, packed.data(), packed.size()), Z_OK);
  ASSERT_EQ(plain_size, 89u);
  EXPECT_EQ(std::string(plain.begin() + 4, plain.begin() + 11), "\x06\xC9\xFD\xBC\xB6\xB0\xFC");  // GBK
  EXPECT_EQ(plain[48], 39);
  EXPECT_EQ(std::string(plain.begin() + 49, plain.begin() + 88), std::string(39, 'n'));
  ASSERT_TRUE(DeCompressFiles(dir_ / "b.pak", dir_ / "t"));
  EXPECT_EQ(Read(dir_ / "t"), ByteVector{9});
}

TEST_F(Bundle, ReadsBundlesThatInflateFarBeyondThirtyFold) {
  // 3 MB of zeros pack about 1000 to 1; the content streams out without being held in memory.
  Write(dir_ / "zeros.bin", ByteVector(3 << 20, 0));
  ASSERT_TRUE(CompressFiles(dir_ / "b.pak", dir_ / "zeros.bin", "x"));
  EXPECT_LT(std::filesystem::file_size(dir_ / "b.pak"), (3u << 20) / 500);
  ASSERT_TRUE(DeCompressFiles(dir_ / "b.pak", dir_ / "t"));
  EXPECT_EQ(Read(dir_ / "t"), ByteVector(3 << 20, 0));
}

TEST_F(Bundle, ReadsTheLastOfSeveralFileEntries) {
  ByteVector plain = Entry({}, "label");
  for (const auto& e : {Entry({1, 1}, "a"), Entry({}, "b"), Entry({2, 2, 2}, "c")})
    plain.insert(plain.end(), e.begin(), e.end());
  Write(dir_ / "b.pak", Deflate(plain));
  ASSERT_TRUE(DeCompressFiles(dir_ / "b.pak", dir_ / "t"));
  EXPECT_EQ(Read(dir_ / "t"), (ByteVector{2, 2, 2}));
}

TEST_F(Bundle, RefusesDamagedBundlesAndLeavesTheTargetAlone) {
  const auto good = Deflate([&] {
    auto p = Entry({}, "x");
    const auto f = Entry(Text(3000), "f");
    p.insert(p.end(), f.begin(), f.end());
    return p;
  }());
  const auto cut_entry = [&] {
    auto p = Entry({}, "x");
    auto f = Entry(Text(3000), "f");
    f.resize(f.size() - 1);
    p.insert(p.end(), f.begin(), f.end());
    return Deflate(p);
  }();
  const auto label_only = Deflate(Entry({}, "x"));
  const auto short_tail = [&] {
    auto p = Entry({}, "x");
    const auto f = Entry({5}, "f");
    p.insert(p.end(), f.begin(), f.end());
    p.insert(p.end(), 10, 0);
    return Deflate(p);
  }();
  struct Case {
    const char* name;
    ByteVector bundle;
  };
  const Case cases[] = {
      {"zlib stream cut short", ByteVector(good.begin(), good.end() - 10)},
      {"entry longer than the content", cut_entry},
      {"no file entry", label_only},
      {"bytes after the last entry", short_tail},
      {"not zlib at all", {'h', 'e', 'l', 'l', 'o'}},
      {"empty file", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Write(dir_ / "b.pak", c.bundle);
    Write(dir_ / "t", {7, 7});
    std::string error;
    EXPECT_FALSE(DeCompressFiles(dir_ / "b.pak", dir_ / "t", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(Read(dir_ / "t"), (ByteVector{7, 7}));
  }
  EXPECT_FALSE(DeCompressFiles(dir_ / "missing.pak", dir_ / "t"));
  EXPECT_FALSE(CompressFiles(dir_ / "b.pak", dir_ / "missing.bin", "x"));
  // The good bundle passes the same checks.
  Write(dir_ / "b.pak", good);
  ASSERT_TRUE(DeCompressFiles(dir_ / "b.pak", dir_ / "t"));
  EXPECT_EQ(Read(dir_ / "t"), Text(3000));
}

}  // namespace
}  // namespace kiv
