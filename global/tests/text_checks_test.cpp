#include "base/text_checks.h"

#include <gtest/gtest.h>

#include "base/gbk.h"
#include "base/md5.h"

namespace kiv {
namespace {

TEST(CheckInputString, RefusesForbiddenBytesEvenInsideGbkCharacters) {
  struct {
    std::string text;
    bool accepted;
  } cases[] = {
      {"小明", true}, {"Nick？", true},     // full-width question mark A3 BF is fine
      {"a/b", false}, {"a\u3000b", false},  // full-width space A1 A1
      {"x>y", false}, {"50%", false},      {"\"q\"", false}, {"a,b", false}, {"", true},
  };
  for (const auto& c : cases) EXPECT_EQ(CheckInputString(c.text), c.accepted) << c.text;

  // Characters whose second GBK byte is ^ { or } are refused by the bytewise test.
  for (const char* gbk : {"\x81\x5E", "\x81\x7B", "\x81\x7D"}) {
    std::string utf8 = GbkToUtf8(gbk);
    ASSERT_EQ(Utf8ToGbk(utf8), gbk);
    EXPECT_FALSE(CheckInputString(utf8)) << utf8;
  }
}

TEST(CheckInputString2, RefusesForbiddenWords) {
  EXPECT_TRUE(CheckInputString2("大家好"));
  EXPECT_FALSE(CheckInputString2("what the fuck"));
  EXPECT_FALSE(CheckInputString2("sexy"));
  EXPECT_FALSE(CheckInputString2("你个傻逼啊"));
  EXPECT_FALSE(CheckInputString2("Sussex"));  // bytewise: any occurrence counts
  EXPECT_TRUE(CheckInputString2("SEX"));      // and letter case matters
}

TEST(CheckInputisNum, FiltersKeys) {
  struct {
    char key;
    bool passes;
  } cases[] = {{'0', true}, {'9', true},  {8, true},    {3, true},   {22, true},
               {24, true},  {'A', false}, {' ', false}, {'-', false}};
  for (auto c : cases) {
    char key = c.key;
    EXPECT_EQ(CheckInputisNum(key), c.passes) << int(c.key);
    EXPECT_EQ(key, c.passes ? c.key : 0);
  }
}

TEST(TextCleanup, CheckStrAndCheckStr2) {
  EXPECT_EQ(CheckStr2(" 1\t2 \r\n3 "), "123");
  EXPECT_EQ(CheckStr("it's 100%;\r\n"), "it\\'s 100\\%\\;\\#13\\#10");
  EXPECT_EQ(CheckStr("a*b#c$d&e`f"), "a\\*b\\#c\\$d\\&e\\`f");
}

TEST(GetStr, SplitsLikeTheFieldReader) {
  struct {
    int index;
    std::string text;
    char separator;
    std::string field;
  } cases[] = {
      {1, "a::b", ':', "b"},  // the empty field between the colons is dropped
      {2, "a:b", ':', ""},    // fewer fields
      {0, "a:b", ':', "a"},
      {1, "x,'a,b',c", ',', "'a,b'"},  // quoted parts are not split; quotes stay
      {2, "x,\"a,b\",c", ',', "c"},
      {1, "one\r\ntwo|three", '|', "two"},  // CR and LF end fields too
      {0, "\r\n\r\nfirst", ':', "first"},
      {0, "", ':', ""},
      {3, "a:b:c:水晶", ':', "水晶"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(GetStr(static_cast<std::uint8_t>(c.index), c.text, c.separator), c.field)
        << c.text << " #" << c.index;
}

TEST(MD5Function, DigestsTheGbkBytes) {
  EXPECT_EQ(MD5("abc", 1), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(MD5("abc", 4), "d6963f7d28e17f72");
  // Chinese text is digested as GBK, as the servers do.
  EXPECT_EQ(MD5("水晶", 1), TMd5Digest::Md5(Utf8ToGbk("水晶"), 1));
}

}  // namespace
}  // namespace kiv
