// The update records, the packing rule, the streaming inflater and the signed manifest.
#include <gtest/gtest.h>

#include <random>

#include "base/compress.h"
#include "update_protocol.h"

namespace kiv::update {
namespace {

Bytes RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

TEST(UpdateRecords, RequestAndPieceLayoutsAreByteExact) {
  Bytes request = BuildRequest("201103");
  ASSERT_EQ(request.size(), 36u);
  EXPECT_EQ(LoadU32(request.data()), 0x00060000u);
  EXPECT_EQ(request[4], 6);
  EXPECT_EQ(std::string(request.begin() + 5, request.begin() + 11), "201103");
  EXPECT_EQ(request[25], 0);
  EXPECT_EQ(ParseRequest(request), "201103");

  Bytes body{1, 2, 3};
  Bytes piece;
  ASSERT_TRUE(BuildPiece({true, "a\\b.txt", 77, body}, piece));
  ASSERT_EQ(piece.size(), 59u);
  EXPECT_EQ(LoadU32(piece.data()), 0x00060001u);
  EXPECT_EQ(piece[4], 1);
  EXPECT_EQ(piece[5], 7);
  EXPECT_EQ(LoadU32(piece.data() + 48), 77u);
  EXPECT_EQ(LoadU32(piece.data() + 52), 3u);
  auto parsed = ParsePiece(piece, nullptr);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->name, "a\\b.txt");
  EXPECT_EQ(Bytes(parsed->bytes.begin(), parsed->bytes.end()), body);
}

TEST(UpdateRecords, LengthsBeyondTheMessageAreRefused) {
  Bytes piece;
  ASSERT_TRUE(BuildPiece({false, "f", 10, Bytes(10, 7)}, piece));
  Bytes bad_m = piece;
  StoreU32(bad_m.data() + 52, 11);
  Bytes bad_name = piece;
  bad_name[5] = 43;
  Bytes announcement = BuildAnnouncement({1, 3, "说明"});
  Bytes bad_n = announcement;
  StoreU32(bad_n.data() + 32, 100);
  std::string error;
  EXPECT_FALSE(ParsePiece(bad_m, &error));
  EXPECT_FALSE(ParsePiece(bad_name, &error));
  EXPECT_FALSE(ParsePiece(std::span(piece).first(55), &error));
  EXPECT_FALSE(ParseAnnouncement(bad_n, &error));
  auto good = ParseAnnouncement(announcement, &error);
  ASSERT_TRUE(good);
  EXPECT_EQ(good->description, "说明");
  EXPECT_EQ(good->file_count, 3u);
}

TEST(UpdatePacking, PacksWhenSmallerAndAlwaysWhenContentBeginsWithTheMagic) {
  const Bytes text(50000, 'k');
  const Bytes noise = RandomBytes(3000, 1);
  Bytes magic_noise = RandomBytes(3000, 2);
  StoreU32(magic_noise.data(), kPackedMagic);
  struct Case {
    const Bytes& content;
    bool packed;
  } cases[] = {{text, true}, {noise, false}, {magic_noise, true}, {Bytes{}, false}};
  for (const Case& c : cases) {
    Bytes sent = PackForSending(c.content);
    EXPECT_EQ(StartsWithPackedMagic(sent), c.packed);
    if (!c.packed) {
      EXPECT_EQ(sent, c.content);
      continue;
    }
    EXPECT_EQ(LoadU32(sent.data() + 4), c.content.size());
    // Fed a few bytes at a time, the stream gives back exactly the content.
    ZlibInflateStream inflater(c.content.size());
    Bytes out;
    for (std::size_t at = kPackedHeadSize; at < sent.size(); at += 7) {
      ASSERT_TRUE(inflater.Feed(std::span(sent).subspan(at, std::min<std::size_t>(7, sent.size() - at)),
                                [&](std::span<const std::uint8_t> b) {
                                  out.insert(out.end(), b.begin(), b.end());
                                  return true;
                                }));
    }
    EXPECT_TRUE(inflater.Finished());
    EXPECT_EQ(out, c.content);
  }
}

TEST(UpdatePacking, InflaterRefusesMoreThanItsLimitAndTrailingBytes) {
  Bytes sent = PackForSending(Bytes(1 << 20, 0));
  auto sink = [](std::span<const std::uint8_t>) { return true; };
  ZlibInflateStream small(1000);
  EXPECT_FALSE(small.Feed(std::span(sent).subspan(kPackedHeadSize), sink));
  ZlibInflateStream exact(1 << 20);
  Bytes with_tail(sent.begin() + kPackedHeadSize, sent.end());
  with_tail.push_back(0);
  EXPECT_FALSE(exact.Feed(with_tail, sink));
}

TEST(UpdateManifest, VerifiesOnlyWithTheSignersKeyAndUntouched) {
  TKeyPair pair = GenerateKeyPair();
  TKeyPair other = GenerateKeyPair();
  TManifest m{"201103", {{"a\\b.so", 12, {}}, {"c d.txt", 0, {}}}};
  m.files[0].sha256[0] = 0xAB;
  const std::string text = SignManifest(m, pair.secret_key);
  std::string error;
  auto back = VerifyManifest(text, pair.public_key, &error);
  ASSERT_TRUE(back) << error;
  EXPECT_EQ(back->target, "201103");
  ASSERT_EQ(back->files.size(), 2u);
  EXPECT_EQ(back->files[1].name, "c d.txt");
  EXPECT_EQ(back->files[0].sha256, m.files[0].sha256);
  EXPECT_FALSE(VerifyManifest(text, other.public_key, &error));
  std::string tampered = text;
  tampered[tampered.find("12")] = '9';
  EXPECT_FALSE(VerifyManifest(tampered, pair.public_key, &error));
  EXPECT_FALSE(VerifyManifest(text.substr(0, text.find("signature")), pair.public_key, &error));
}

}  // namespace
}  // namespace kiv::update
