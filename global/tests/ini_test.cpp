#include "base/ini.h"

#include <gtest/gtest.h>

#include <fstream>

#include "base/gbk.h"
#include "test_dir.h"

namespace kiv {
namespace {

TEST(Ini, ReadsLikeTheProfileRoutines) {
  IniFile ini = IniFile::Parse(Utf8ToGbk(
      "; comment\r\n[Server]\r\nLocalDebug = 1\r\nHost=\"kivora.example\" \r\nPort=0x2331\r\nHost=second\r\n"
      "[礼物]\r\n名称=玫瑰\r\nPrice=12abc\r\nRate=2.5\r\nnoequals\r\n"));
  EXPECT_EQ(ini.Get("server", "LOCALDEBUG"), "1");
  EXPECT_EQ(ini.Get("Server", "Host"), "kivora.example");  // quotes stripped, first key wins
  EXPECT_EQ(ini.GetInt("Server", "Port"), 0x2331);
  EXPECT_EQ(ini.Get("礼物", "名称"), "玫瑰");
  EXPECT_EQ(ini.GetInt("礼物", "Price"), 12);
  EXPECT_DOUBLE_EQ(ini.GetDouble("礼物", "Rate"), 2.5);
  EXPECT_EQ(ini.GetInt("礼物", "名称", -1), -1);
  EXPECT_EQ(ini.Get("Missing", "x", "dflt"), "dflt");
  EXPECT_EQ(ini.Sections(), (std::vector<std::string>{"Server", "礼物"}));
  EXPECT_EQ(ini.Keys("礼物"), (std::vector<std::string>{"名称", "Price", "Rate"}));
}

TEST(Ini, WritesGbkAndKeepsOtherEntries) {
  TestDir dir;
  auto file = dir.path() / "DBConfig.ini";
  EXPECT_EQ(GetIniStr(file, "A", "k"), "");  // missing file
  ASSERT_TRUE(SetIniStr(file, "A", "k", "水晶"));
  ASSERT_TRUE(SetIniint(file, "B", "n", -7));
  ASSERT_TRUE(SetIniStr(file, "a", "K", "冰激凌"));  // same key, other letter case: replaced
  EXPECT_EQ(GetIniStr(file, "A", "k"), "冰激凌");
  EXPECT_EQ(GetIniint(file, "B", "n"), -7);
  std::ifstream in(file, std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(raw.find(Utf8ToGbk("冰激凌")), std::string::npos);
}

}  // namespace
}  // namespace kiv
