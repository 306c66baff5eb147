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
  EXPECT_EQ(ini.Get(" Server\t", "\tLocalDebug "), "1");  // names are compared without surrounding blanks
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

std::string ReadRaw(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void WriteRaw(const std::filesystem::path& file, std::string_view text) {
  std::ofstream(file, std::ios::binary) << text;
}

TEST(Ini, SettingAKeyKeepsEveryOtherLine) {
  TestDir dir;
  const auto file = dir.path() / "DBConfig.ini";
  const std::string original = Utf8ToGbk(
      "; written by the installer\r\n"
      "orphan=outside any section\r\n"
      "\r\n"
      "[DebugInfo]\r\n"
      "; 1 announces the last local address\r\n"
      "LocalDebug = 0\r\n"
      "note without equals\r\n"
      "\r\n"
      "[服务器]\r\n"
      "名称=水晶\r\n");
  WriteRaw(file, original);

  struct Case {
    const char* section;
    const char* key;
    const char* value;
    std::string expected;  // the whole file afterwards
  } cases[] = {
      // An existing key: only its line changes; its stored spelling stays.
      {"debuginfo", "LOCALDEBUG", "1",
       Utf8ToGbk("; written by the installer\r\norphan=outside any section\r\n\r\n[DebugInfo]\r\n"
                 "; 1 announces the last local address\r\nLocalDebug=1\r\nnote without equals\r\n\r\n"
                 "[服务器]\r\n名称=水晶\r\n")},
      // A new key goes after the last key of its section.
      {"服务器", "端口", "9009",
       Utf8ToGbk("; written by the installer\r\norphan=outside any section\r\n\r\n[DebugInfo]\r\n"
                 "; 1 announces the last local address\r\nLocalDebug = 0\r\nnote without equals\r\n\r\n"
                 "[服务器]\r\n名称=水晶\r\n端口=9009\r\n")},
      // A new section goes at the end, after a blank line.
      {"Proxy", "Host", "10.0.0.1", original + "\r\n[Proxy]\r\nHost=10.0.0.1\r\n"},
  };
  for (const auto& c : cases) {
    WriteRaw(file, original);
    ASSERT_TRUE(SetIniStr(file, c.section, c.key, c.value)) << c.key;
    EXPECT_EQ(ReadRaw(file), c.expected) << c.key;
    EXPECT_EQ(GetIniStr(file, c.section, c.key), c.value);
  }

  // A file with bare LF line ends and no final line end keeps both.
  WriteRaw(file, "[A]\nk=1\n; tail");
  ASSERT_TRUE(SetIniint(file, "A", "k", 2));
  EXPECT_EQ(ReadRaw(file), "[A]\nk=2\n; tail");
}

TEST(Ini, RefusesTextsThatWouldAddLinesOrCannotBeStored) {
  TestDir dir;
  const auto file = dir.path() / "DBConfig.ini";
  const std::string original = "[Server]\r\nHost=a\r\n";
  WriteRaw(file, original);
  struct Case {
    const char* section;
    const char* key;
    const char* value;
  } refused[] = {
      {"Server", "Host", "b\r\n[Injected]\r\nLocalDebug=1"},
      {"Server", "Host", "b\nc"},
      {"Server", "Ho\rst", "b"},
      {"Ser\nver", "Host", "b"},
      {"Server]x", "Host", "b"},
      {"Server", "", "b"},
      {"Server", "a=b", "c"},
      {"Server", ";Host", "b"},
      {"Server", "[Host", "b"},
      {"Server", "Host", "emoji \xF0\x9F\x98\x80"},  // not in GBK
  };
  for (const auto& c : refused) {
    EXPECT_FALSE(SetIniStr(file, c.section, c.key, c.value)) << c.section << "/" << c.key << "/" << c.value;
  }
  EXPECT_EQ(ReadRaw(file), original);
  EXPECT_EQ(GetIniStr(file, "Injected", "LocalDebug"), "");
}

TEST(Ini, IntegersOutsideTheRangeOfIntReadAsZero) {
  TestDir dir;
  const auto file = dir.path() / "DBConfig.ini";
  WriteRaw(file,
           "\xEF\xBB\xBF[N]\r\nmax=2147483647\r\nmin=-2147483648\r\nover=2147483648\r\nunder=-2147483649\r\n"
           "huge=99999999999999999999999\r\nhex=0x7fffffff\r\nwide=0x100000000\r\n");
  EXPECT_EQ(GetIniint(file, "N", "max"), 2147483647);
  EXPECT_EQ(GetIniint(file, "N", "min"), -2147483647 - 1);
  EXPECT_EQ(GetIniint(file, "N", "over"), 0);
  EXPECT_EQ(GetIniint(file, "N", "under"), 0);
  EXPECT_EQ(GetIniint(file, "N", "huge"), 0);
  EXPECT_EQ(GetIniint(file, "N", "hex"), 0x7fffffff);
  EXPECT_EQ(GetIniint(file, "N", "wide"), 0);
}

}  // namespace
}  // namespace kiv
