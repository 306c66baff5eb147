#include "user/user.h"

#include <gtest/gtest.h>

#include <set>

#include "base/gbk.h"
#include "declare/declare.h"

namespace kiv {
namespace {

TEST(UserCode, ReadsBackWhateverTheDraw) {
  TUser user;
  EXPECT_EQ(user.UserCode(), 0u);  // a new user has no code
  for (std::uint32_t code :
       {0u, 1u, 2u, 8855u, 8856u, 10001u, 123456789u, 0x7FFFFFFFu, 0xFFFFDD67u, 0xFFFFFFFEu, 0xFFFFFFFFu}) {
    for (int round = 0; round < 20; ++round) {
      user.SetUserCode(code);
      ASSERT_EQ(user.UserCode(), code) << code;
      // Part A is r + 1 with r in 0 .. code - 1.
      EXPECT_GE(user.code_part_a(), 1u);
      if (code > 0) {
        EXPECT_LE(user.code_part_a(), code);
      }
    }
  }
  user.SetUserCode(0);
  EXPECT_EQ(user.code_part_a(), 1u);
  EXPECT_EQ(user.code_part_b(), 8855u);
}

TEST(UserCode, PartsAreDrawnAfreshOnEveryAssignment) {
  TFriend user;
  std::set<std::uint32_t> parts;
  for (int i = 0; i < 50; ++i) {
    user.SetUserCode(1000000);
    parts.insert(user.code_part_a());
  }
  EXPECT_GT(parts.size(), 40u);  // 50 draws out of a million values
  // The code never shows in plain form inside the object.
  EXPECT_NE(user.code_part_a(), 1000000u);
  EXPECT_NE(user.code_part_b(), 1000000u);
}

TEST(Money, ReadsBackAndIsRedrawnOnEveryAssignment) {
  TMe me;
  EXPECT_EQ(me.GetMoney(), 0u);
  EXPECT_EQ(me.UserCode(), 0u);
  for (std::uint32_t amount : {0u, 1u, 822u, 823u, 5000u, 0xFFFFFCC9u, 0xFFFFFFFFu}) {
    me.SetMoney(amount);
    EXPECT_EQ(me.GetMoney(), amount) << amount;
  }
  me.SetMoney(5000000);
  std::uint32_t first_a = me.money_part_a(), first_b = me.money_part_b();
  int same = 0;
  for (int i = 0; i < 10; ++i) {
    me.SetMoney(5000000);
    EXPECT_EQ(me.GetMoney(), 5000000u);
    same += me.money_part_a() == first_a && me.money_part_b() == first_b;
  }
  EXPECT_LE(same, 1);
  me.SetMoney(0);
  EXPECT_EQ(me.money_part_a(), 1u);
  EXPECT_EQ(me.money_part_b(), 822u);
}

TEST(UserType, LabelsFollowTheTypeAndTheBrand) {
  struct Case {
    std::uint8_t type;
    const char* row2;   // with brand row 2
    const char* other;  // with any other row
  };
  const Case cases[] = {
      {0, "普通", "普通"},     {1, "会员", "会员"},    {3, "客服", "客服"},    {4, "巡警", "巡警"},
      {5, "高管", "巡管"},     {6, "贵宾", "贵宾"},    {7, "大亨", "大亨"},    {8, "富豪", "富豪"},
      {9, "销售", "销售"},     {12, "销售", "销售"},   {15, "销售", "销售"},   {20, "游客", "游客"},
      {2, nullptr, nullptr},   {16, nullptr, nullptr}, {19, nullptr, nullptr}, {21, nullptr, nullptr},
      {255, nullptr, nullptr},
  };
  const std::filesystem::path no_config = "/nonexistent/DBConfig.ini";
  for (std::uint8_t row : {0, 1, 2, 3}) {
    SetAppType(row, no_config);
    for (const Case& c : cases) {
      TUser user;
      user.user_type = c.type;
      std::string label = "unchanged";
      user.GetUserType(label);
      const char* expected = row == 2 ? c.row2 : c.other;
      EXPECT_EQ(label, expected ? expected : "unchanged") << "row " << int(row) << " type " << int(c.type);
    }
  }
  SetAppType(1, no_config);
}

TEST(ShortStringFields, CutAtTheFieldWidthWithoutSplittingACharacter) {
  TUser user;
  user.nickname = std::string(45, 'n');
  EXPECT_EQ(user.nickname.str(), std::string(40, 'n'));

  // 39 single bytes and then a two-byte character: only the single bytes fit 40.
  user.nickname = std::string(39, 'a') + "好";
  EXPECT_EQ(user.nickname.str(), std::string(39, 'a'));
  // 38 + 2 fits exactly.
  user.nickname = std::string(38, 'a') + "好";
  EXPECT_EQ(user.nickname.gbk().size(), 40u);

  // Twenty-one Chinese characters are 42 GBK bytes; twenty remain.
  std::string long_name;
  for (int i = 0; i < 21; ++i) long_name += "字";
  user.nickname = long_name;
  EXPECT_EQ(user.nickname.gbk().size(), 40u);
  EXPECT_EQ(user.nickname.str(), long_name.substr(0, 20 * 3));

  // A record field read as GBK bytes is cut the same way, and a cut lead byte is dropped.
  TFriend pal;
  pal.signature.SetGbk(std::string(19, 'x') + Utf8ToGbk("签名"));
  EXPECT_EQ(pal.signature.str(), std::string(19, 'x'));
  pal.server_ip = "192.168.100.200:9009";
  EXPECT_EQ(pal.server_ip.str(), "192.168.100.200");

  // The introduction keeps real line breaks.
  user.introduction = "第一行\r\n第二行";
  EXPECT_EQ(user.introduction, "第一行\r\n第二行");
}

TEST(UserObjects, StartZeroOrEmpty) {
  TMe me;
  EXPECT_TRUE(me.password.empty());
  EXPECT_TRUE(me.nickname.empty());
  EXPECT_TRUE(me.own_ip.empty());
  EXPECT_EQ(me.face, 0);
  EXPECT_EQ(me.state, kStateOffline);
  EXPECT_EQ(me.local_port, 0);
  EXPECT_EQ(me.profile_extra, 0);
  TFriend pal;
  EXPECT_EQ(pal.UserCode(), 0u);
  EXPECT_EQ(pal.group_id, 0u);
  EXPECT_EQ(pal.remote, 0u);
  EXPECT_EQ(pal.profile_loaded, 0);
}

}  // namespace
}  // namespace kiv
