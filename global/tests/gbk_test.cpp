#include "base/gbk.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

TEST(Gbk, RoundTripsChineseAndAscii) {
  const std::string utf8 = "Kivora娱乐 水晶 天空一声巨响";
  std::string gbk = Utf8ToGbk(utf8);
  EXPECT_EQ(gbk.substr(0, 6), "Kivora");
  EXPECT_EQ(static_cast<unsigned char>(gbk[6]), 0xD3);  // 娱 = D3 E9
  EXPECT_EQ(static_cast<unsigned char>(gbk[7]), 0xE9);
  EXPECT_EQ(GbkToUtf8(gbk), utf8);
}

TEST(Gbk, InvalidBytesBecomeReplacementCharacter) {
  struct Case {
    std::string gbk;
    std::string utf8;
  } cases[] = {
      {"a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b"},                            // 0xFF never starts a character
      {"a\x81", "a\xEF\xBF\xBD"},       // a lead byte cut off at the end
      {"\x81\x20x", "\xEF\xBF\xBD x"},  // a lead byte with a trail byte out of range
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(GbkToUtf8(c.gbk), c.utf8) << c.gbk;
}

TEST(Gbk, CharactersOutsideGbkAndBadUtf8BecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToGbk("a😀b"), "a?b");
  EXPECT_EQ(Utf8ToGbk("a\xC3"), "a?");    // truncated sequence
  EXPECT_EQ(Utf8ToGbk("\xFFok"), "?ok");  // a byte that starts nothing
}

TEST(Gbk, TruncationNeverSplitsATwoByteCharacter) {
  std::string gbk = Utf8ToGbk("ab水晶");  // a b | CB AE | BE A7
  ASSERT_EQ(gbk.size(), 6u);
  EXPECT_EQ(GbkPrefixLength(gbk, 6), 6u);
  EXPECT_EQ(GbkPrefixLength(gbk, 5), 4u);
  EXPECT_EQ(GbkPrefixLength(gbk, 3), 2u);
  EXPECT_EQ(GbkPrefixLength(gbk, 0), 0u);
  // A second byte that looks like a lead byte does not shift the reading frame.
  std::string pairs = "\xB0\xA1\xB0\xA1";  // 啊啊
  EXPECT_EQ(GbkPrefixLength(pairs, 3), 2u);
}

TEST(Gbk, WithoutAConverterOnlyAsciiPasses) {
  EXPECT_TRUE(GbkConversionAvailable());
  // UTF-8 bytes must never pass into a GBK record as if they were GBK.
  EXPECT_EQ(detail::Utf8ToGbkWith("NO-SUCH-CHARSET", "Kiv币 水晶!"),
            "Kiv? ?"
            "?!");  // split: "??!" would read as a trigraph
  EXPECT_EQ(detail::GbkToUtf8With("NO-SUCH-CHARSET", Utf8ToGbk("Kiv币!")), "Kiv\xEF\xBF\xBD!");
  EXPECT_EQ(detail::Utf8ToGbkWith("NO-SUCH-CHARSET", "\xE6\xB0"), "?");  // a cut sequence at the end
  // The same entry points with the real converter.
  EXPECT_EQ(detail::Utf8ToGbkWith("GBK", "水晶"), Utf8ToGbk("水晶"));
  EXPECT_EQ(detail::GbkToUtf8With("GBK", Utf8ToGbk("水晶")), "水晶");
}

}  // namespace
}  // namespace kiv
