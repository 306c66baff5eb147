#include "base/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace kiv {
namespace {

std::string Full(std::string_view text) {
  auto s = TMd5Digest::Digest(text.data(), text.size());
  return TMd5Digest::rHex(s[0]) + TMd5Digest::rHex(s[1]) + TMd5Digest::rHex(s[2]) + TMd5Digest::rHex(s[3]);
}

TEST(Md5, Rfc1321TestSuite) {
  struct {
    const char* text;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Full(c.text), c.digest) << c.text;
    if (*c.text) {
      EXPECT_EQ(TMd5Digest::Md5(c.text, 1), c.digest) << c.text;
    }
  }
}

TEST(Md5, SelectionsOfAbc) {
  // 90015098 3cd24fb0 d6963f7d 28e17f72
  struct {
    int kind;
    const char* result;
  } cases[] = {
      {1, "900150983cd24fb0d6963f7d28e17f72"},
      {2, "3cd24fb0d6963f7d"},
      {3, "3cd24fb028e17f72"},
      {4, "d6963f7d28e17f72"},
      {5, "9001509828e17f72"},
      {6, "90015098d6963f7d"},
      {0, ""},
      {7, ""},
      {255, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TMd5Digest::Md5("abc", static_cast<std::uint8_t>(c.kind)), c.result) << c.kind;
}

TEST(Md5, EmptyTextGivesEmptyForKindOneAndPartsOtherwise) {
  // d41d8cd9 8f00b204 e9800998 ecf8427e
  EXPECT_EQ(TMd5Digest::Md5("", 1), "");
  EXPECT_EQ(TMd5Digest::Md5("", 2), "8f00b204e9800998");
  EXPECT_EQ(TMd5Digest::Md5("", 3), "8f00b204ecf8427e");
  EXPECT_EQ(TMd5Digest::Md5("", 4), "e9800998ecf8427e");
  EXPECT_EQ(TMd5Digest::Md5("", 5), "d41d8cd9ecf8427e");
  EXPECT_EQ(TMd5Digest::Md5("", 6), "d41d8cd9e9800998");
}

TEST(Md5, IncrementalEqualsOneShotAcrossBlockBoundaries) {
  std::string data(1000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31 + 7);
  for (std::size_t split : {0u, 1u, 55u, 56u, 63u, 64u, 65u, 119u, 120u, 999u}) {
    Md5Context context;
    context.Update(data.data(), split);
    context.Update(data.data() + split, data.size() - split);
    EXPECT_EQ(context.Finish(), TMd5Digest::Digest(data.data(), data.size())) << split;
  }
}

}  // namespace
}  // namespace kiv
