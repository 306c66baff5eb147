#include "declare/declare.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>

#include "base/files.h"
#include "base/gbk.h"
#include "test_dir.h"

namespace kiv {
namespace {

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool IsDottedIpv4(std::string_view text) {
  int dots = 0, digits = 0;
  for (char c : text) {
    if (c == '.') {
      if (digits == 0) return false;
      ++dots;
      digits = 0;
    } else if (c >= '0' && c <= '9') {
      if (++digits > 3) return false;
    } else {
      return false;
    }
  }
  return dots == 3 && digits > 0;
}

// A configuration file that does not exist: the brand row alone decides.
const std::filesystem::path kNoConfig = "/nonexistent/kivora/DBConfig.ini";

TEST(MessageEnvelope, SplitsCodesAndReadsThemSafely) {
  EXPECT_EQ(MessageGroup(0x50075), 0x0005);
  EXPECT_EQ(MessageNumber(0x50075), 0x0075);
  EXPECT_EQ(MessageCode(kGroupLocal, 0x0022), 0x70022u);
  const std::uint8_t message[] = {0x01, 0x00, 0x03, 0x00, 0xAA};
  EXPECT_EQ(ReadMessageCode(message, sizeof message), 0x30001u);
  EXPECT_EQ(ReadMessageCode(message, 3), std::nullopt);
  EXPECT_EQ(ReadMessageCode(nullptr, 8), std::nullopt);
  for (std::uint16_t group : {1, 3, 5, 6, 7, 8, 9}) EXPECT_TRUE(IsKnownMessageGroup(group)) << group;
  for (std::uint16_t group : {0, 2, 4, 10, 0xFFFF}) EXPECT_FALSE(IsKnownMessageGroup(group)) << group;
}

struct BrandCase {
  std::uint8_t row;
  const char* app_name;
  const char* money_name;
  const char* skin_name;
  const char* skin_image_name;
  const char* soft_path;  // nullptr: not set
  bool skin_image_url;
  const char* main_caption;
  const char* login_caption;
  const char* exe_name;
  std::int32_t version;
};

const BrandCase kBrands[] = {
    {0, "Kivora", "Kiv币", "天空", "SkinImage.dat", nullptr, true, "Kivora娱乐", "登陆Kivora娱乐", "Kivora",
     201027},
    {1, "Kivora", "Kiv币", "水晶", "SkinImage.dat", "/download/KivoraSetup.exe", true, "Kivora娱乐",
     "登陆Kivora娱乐", "Kivora", 201102},
    {2, "Pelo", "Pelo币", "冰激凌", "PeloSkinImage.dat", "/PeloSetup.exe", true, "Pelo娱乐", "登陆Pelo娱乐",
     "Pelo", 12},
    {3, "Tamu", "Tamu币", "Tamu", "", "/PeloSetup.exe", false, "Tamu娱乐", "登陆Tamu", "Tamu", 1},
};

TEST(BrandRows, EachRowFillsItsValues) {
  std::set<std::string> sites;
  for (const BrandCase& c : kBrands) {
    SCOPED_TRACE(static_cast<int>(c.row));
    P2PShowDebug = true;
    // What the row leaves unset keeps its value from before.
    const std::string skin_image_before = SKINIMAGENAME, soft_before = SOFTURL, skin_url_before = SKINIMGURL;
    SetAppType(c.row, kNoConfig);
    EXPECT_EQ(APPTYPE, c.row);
    EXPECT_FALSE(P2PShowDebug);
    EXPECT_EQ(APPNAME, c.app_name);
    EXPECT_EQ(MONEYNAME, c.money_name);
    EXPECT_EQ(SKINNAME, c.skin_name);
    EXPECT_EQ(SKINIMAGENAME, *c.skin_image_name ? std::string(c.skin_image_name) : skin_image_before);
    EXPECT_EQ(UPDATEFILENAME, "KivUpdate");
    EXPECT_EQ(MainFormCaption, c.main_caption);
    EXPECT_EQ(LoginFormCaption, c.login_caption);
    EXPECT_EQ(ExeName, c.exe_name);
    EXPECT_EQ(CURRENTVERSION, c.version);
    EXPECT_EQ(MAXFACECOUNT, 183);
    EXPECT_EQ(LOGINSERVERPORT, 9009);

    ASSERT_TRUE(StartsWith(HOMEPAGE, "http://")) << HOMEPAGE;
    EXPECT_NE(HOMEPAGE.back(), '/');
    sites.insert(HOMEPAGE);
    const std::pair<const std::string*, const char*> addresses[] = {
        {&CHATROOMPAGE, "/chatroom.php"}, {&HELPPAGE, "/help.php"},
        {&PAYURL, "/pay/add.php"},        {&MOEYRECORDURL, "/goto.php?kind=2"},
        {&REGPAGE, "/register.php"},      {&UPLOADURL, "/upload/index.php?size="},
        {&PRESENTIMGURL, "/present/"},    {&STAMPIMGURL, "/stamp/"},
        {&MALLIMGURL, "/mall/image/"},    {&TOP10URL, "/TOP10"},
        {&MALLURL, "/goto.php?kind=1"},   {&QUESTIONURL, "/goto.php?kind=3"},
    };
    for (const auto& [variable, path] : addresses) EXPECT_EQ(*variable, HOMEPAGE + path);
    EXPECT_EQ(SOFTURL, c.soft_path ? HOMEPAGE + c.soft_path : soft_before);
    EXPECT_EQ(SKINIMGURL, c.skin_image_url ? HOMEPAGE + "/skins/" : skin_url_before);

    // Login servers: three names tried at random and a numeric fallback, of the row's shape.
    const std::string names[] = {LOGINSERVERIP1, LOGINSERVERIP2, LOGINSERVERIP3};
    for (const std::string& name : names) EXPECT_FALSE(name.empty());
    switch (c.row) {
      case 0:
        EXPECT_FALSE(IsDottedIpv4(LOGINSERVERIP1));
        EXPECT_TRUE(names[0] == names[1] && names[1] == names[2]);
        EXPECT_EQ(LOGINSERVERADD, LOGINSERVERIP1);
        break;
      case 1:
        for (const std::string& name : names) EXPECT_FALSE(IsDottedIpv4(name)) << name;
        EXPECT_EQ((std::set<std::string>{names[0], names[1], names[2]}).size(), 3u);
        EXPECT_TRUE(IsDottedIpv4(LOGINSERVERADD)) << LOGINSERVERADD;
        break;
      default:
        EXPECT_TRUE(IsDottedIpv4(LOGINSERVERIP1)) << LOGINSERVERIP1;
        EXPECT_TRUE(names[0] == names[1] && names[1] == names[2]);
        EXPECT_EQ(LOGINSERVERADD, LOGINSERVERIP1);
    }
  }
  EXPECT_EQ(sites.size(), 3u);  // rows 0 and 1 share a site, rows 2 and 3 have their own
}

TEST(BrandRows, RowsShareOneSiteOnlyWhereTheyShouldAndUnsetValuesKeepTheirLastValue) {
  SetAppType(0, kNoConfig);
  std::string site0 = HOMEPAGE;
  SetAppType(1, kNoConfig);
  EXPECT_EQ(HOMEPAGE, site0);
  EXPECT_EQ(MALLURL, HOMEPAGE + "/goto.php?kind=1");
  const std::string site1_skins = SKINIMGURL;
  const std::string site1_soft = SOFTURL;
  // Row 3 sets neither the graphics archive nor the skin address: they keep row 1's values.
  SetAppType(3, kNoConfig);
  EXPECT_EQ(SKINIMAGENAME, "SkinImage.dat");
  EXPECT_EQ(SKINIMGURL, site1_skins);
  EXPECT_TRUE(SOFTURL.ends_with("/PeloSetup.exe"));
  EXPECT_NE(HOMEPAGE, site0);
  // Row 0 sets no installer address: row 3's stays.
  SetAppType(0, kNoConfig);
  EXPECT_TRUE(SOFTURL.ends_with("/PeloSetup.exe")) << SOFTURL;
  EXPECT_NE(SOFTURL, site1_soft);
}

TEST(BrandRows, UnknownNumberSetsOnlyTheBrandNumber) {
  SetAppType(2, kNoConfig);
  P2PShowDebug = true;
  SetAppType(7, kNoConfig);
  EXPECT_EQ(APPTYPE, 7);
  EXPECT_FALSE(P2PShowDebug);
  EXPECT_EQ(APPNAME, "Pelo");
  EXPECT_EQ(CURRENTVERSION, 12);
}

class DeploymentSetting : public ::testing::Test {
 protected:
  void Write(std::string_view utf8) { std::ofstream(config_, std::ios::binary) << Utf8ToGbk(utf8); }
  TestDir dir_;
  std::filesystem::path config_ = dir_.path() / "DBConfig.ini";
};

TEST_F(DeploymentSetting, PointsTheClientAtAnotherLoginServerAndSite) {
  Write(
      "[DebugInfo]\r\nLocalDebug=1\r\n[server]\r\nloginserver = 127.0.0.1 \r\nLoginPort=19009\r\n"
      "HomePage=http://127.0.0.1:8080/\r\n");
  SetAppType(1, config_);
  EXPECT_EQ(LOGINSERVERIP1, "127.0.0.1");
  EXPECT_EQ(LOGINSERVERIP2, "127.0.0.1");
  EXPECT_EQ(LOGINSERVERIP3, "127.0.0.1");
  EXPECT_EQ(LOGINSERVERADD, "127.0.0.1");
  EXPECT_EQ(LOGINSERVERPORT, 19009);
  EXPECT_EQ(HOMEPAGE, "http://127.0.0.1:8080");
  EXPECT_EQ(MALLURL, "http://127.0.0.1:8080/goto.php?kind=1");
  EXPECT_EQ(SOFTURL, "http://127.0.0.1:8080/download/KivoraSetup.exe");
  EXPECT_EQ(APPNAME, "Kivora");  // everything else still comes from the row
}

TEST_F(DeploymentSetting, BadOrMissingValuesKeepTheRow) {
  SetAppType(1, kNoConfig);
  const std::string row_server = LOGINSERVERIP2, row_site = HOMEPAGE;
  for (const char* text :
       {"", "[Server]\r\nLoginServer=\r\nLoginPort=0\r\n", "[Server]\r\nLoginPort=70000\r\n",
        "[Server]\r\nLoginPort=-5\r\nHomePage=  \r\n", "[Other]\r\nLoginServer=10.0.0.1\r\n"}) {
    SCOPED_TRACE(text);
    Write(text);
    SetAppType(1, config_);
    EXPECT_EQ(LOGINSERVERIP2, row_server);
    EXPECT_EQ(LOGINSERVERPORT, 9009);
    EXPECT_EQ(HOMEPAGE, row_site);
  }
  // A port alone is honoured.
  Write("[Server]\r\nLoginPort=9109\r\n");
  SetAppType(1, config_);
  EXPECT_EQ(LOGINSERVERPORT, 9109);
  EXPECT_EQ(LOGINSERVERIP2, row_server);
}

TEST(ApplicationFolder, IsTheFolderOfTheRunningProgram) {
  // The test programs are built into the test folder.
  EXPECT_EQ(std::filesystem::canonical(ApplicationFolder()), std::filesystem::canonical(KIV_TEST_DIR));
}

// The permission table as the service publishes it: one line per permission, one column per row in
// storage order (user types 20, 0, 1, 3, 4, 5, 7, 8, 6, 13, 14, 15); X = permitted.
const std::uint8_t kColumns[kPermitRowCount] = {20, 0, 1, 3, 4, 5, 7, 8, 6, 13, 14, 15};
const std::pair<TPermitType, const char*> kPublished[] = {
    {TPermitType::Chat, ".XXX.XXXXXXX"},           {TPermitType::Order, ".XXX.XXXXXXX"},
    {TPermitType::PrivateChat, ".XX...XXXXXX"},    {TPermitType::EnterFullRoom, "..XXXXXXXXXX"},
    {TPermitType::EnterCloseRoom, "...XXX......"}, {TPermitType::EnterLockRoom, "...XXX......"},
    {TPermitType::EnterRoomChat, "..XX.XXXXXXX"},  {TPermitType::AutoSpeak, "...X.XXXXXXX"},
    {TPermitType::WatchHideChat, "...XXXXXX..."},  {TPermitType::HideChatPopup, "...XXXXXX..."},
    {TPermitType::HideChat, "......XXX..."},       {TPermitType::KickOut, ".....X......"},
    {TPermitType::UnKickOut, "...X.XXXX..."},      {TPermitType::BroadCast, ".XXX.XXXX..."},
    {TPermitType::HideEnterRoom, "....XX......"},  {TPermitType::Present, ".XXX..XXX..."},
    {TPermitType::AddFriend, ".XXX..XXXXXX"},      {TPermitType::AddMoney, "..X...XXX..."},
    {TPermitType::Mall, ".XX...XXX..."},           {TPermitType::Bank, ".XXX..XXXXXX"},
    {TPermitType::Modify, ".XX...XXX..."},         {TPermitType::Effect, "..X...XXX..."},
    {TPermitType::CustomFace, "..X...XXX..."},     {TPermitType::LockPC, "..X...XXX..."},
    {TPermitType::Abate, "..X...XXX..."},
};

TEST(Permissions, TableMatchesThePublishedOneByteForByte) {
  const TPermitArray table = DefaultPermitArray();
  EXPECT_EQ(PermitArray, table);  // usable before the global manager refills it
  for (std::size_t row = 0; row < kPermitRowCount; ++row) {
    EXPECT_EQ(table[row][0], kColumns[row]) << row;
    for (const auto& [permit, marks] : kPublished) {
      EXPECT_EQ(table[row][static_cast<std::size_t>(permit)], marks[row] == 'X' ? 1 : 0)
          << "row " << row << " permission " << static_cast<int>(permit);
    }
  }
}

TEST(Permissions, CheckFollowsTheRowOfTheUserType) {
  const TPermitArray table = DefaultPermitArray();
  struct Case {
    std::uint8_t user_type;
    TPermitType permit;
    bool expected;
  };
  const Case cases[] = {
      {20, TPermitType::Chat, false},         {1, TPermitType::CustomFace, true},
      {2, TPermitType::Chat, false},          {0, TPermitType::Chat, true},
      {0, TPermitType::EnterFullRoom, false}, {5, TPermitType::KickOut, true},
      {3, TPermitType::KickOut, false},       {4, TPermitType::HideEnterRoom, true},
      {4, TPermitType::Chat, false},          {6, TPermitType::Abate, true},
      {13, TPermitType::Bank, true},          {15, TPermitType::Mall, false},
      {9, TPermitType::Chat, false},          {12, TPermitType::AddFriend, false},
      {255, TPermitType::Chat, false},        {1, TPermitType::UserType, false},
      {20, TPermitType::UserType, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckPermitIn(table, c.user_type, c.permit), c.expected)
        << "type " << int(c.user_type) << " permission " << static_cast<int>(c.permit);
  }
  // Types 2 and 9 to 12 have no row: nothing at all.
  for (std::uint8_t type : {2, 9, 10, 11, 12}) {
    for (std::size_t p = 0; p < kPermitTypeCount; ++p) {
      EXPECT_FALSE(CheckPermitIn(table, type, static_cast<TPermitType>(p))) << int(type) << " " << p;
    }
  }
  // With two rows for one type, the last decides.
  TPermitArray edited = table;
  edited[11][0] = 13;
  edited[11][static_cast<std::size_t>(TPermitType::Bank)] = 0;
  EXPECT_FALSE(CheckPermitIn(edited, 13, TPermitType::Bank));
}

TEST(RoomTables, KindsAndGreetings) {
  EXPECT_EQ(RoomTypeName[0], "小型");
  EXPECT_EQ(RoomTypeName[2], "天籁1麦");
  EXPECT_EQ(RoomTypeName[10], "大型大屏");

  EXPECT_EQ(EenterArr[0], "%d进入聊天室...");
  EXPECT_EQ(EenterArr[20], "%d从天而降傻傻的笑道：我想要一个海洋之心...");
  EXPECT_EQ(EenterArr[21], "%d呼啸而来，潇洒的出来，\"叭\"地一下滑倒在地。");
  EXPECT_EQ(EenterArr[22], "%d汹涌而来，边跑边叫：都给我出来啊！");
  EXPECT_EQ(EenterArr[39], "%d踩着猫步优雅的走进房间，对大家唱：我是中国人。");
  for (std::size_t i : {40, 41, 42}) EXPECT_EQ(EenterArr[i], "%d捂着被打肿的一边脸的进来...");
  for (std::size_t i = 0; i < EenterArr.size(); ++i) {
    EXPECT_NE(EenterArr[i].find("%d"), std::string_view::npos) << i;
    EXPECT_EQ(GbkToUtf8(Utf8ToGbk(EenterArr[i])), EenterArr[i]) << i;  // representable in GBK
  }
  // Only the last three repeat.
  EXPECT_EQ(std::set<std::string_view>(EenterArr.begin(), EenterArr.end()).size(), 41u);
}

TEST(RoomTables, CheersFitTheirFields) {
  const std::pair<const char*, std::int32_t> expected[] = {
      {"加油", RgbColor(206, 0, 0)},    {"亲亲", RgbColor(0, 128, 192)},  {"狂啵", RgbColor(0, 0, 160)},
      {"签名", RgbColor(128, 0, 128)},  {"喝彩", RgbColor(0, 128, 0)},    {"太棒了", RgbColor(213, 202, 6)},
      {"偶像", RgbColor(255, 128, 0)},  {"囍", RgbColor(255, 0, 0)},      {"感动", RgbColor(255, 128, 128)},
      {"献花1", RgbColor(255, 68, 68)}, {"献花2", RgbColor(14, 177, 27)}, {"献花3", RgbColor(128, 128, 192)},
  };
  EXPECT_EQ(RgbColor(0x12, 0x34, 0x56), 0x563412);
  EXPECT_EQ(
      AcclaimArr[0].text,
      "加油加油！嘿修嘿修！为你加油，嘿修嘿修！超级汽油，狂加，送给每位给人间带来欢乐的人！你唱的真好哦！"
      "(((((((((啪啪))))))))瑰花★☆ぷ╰☆╮满天星★☆╮ぷ");
  std::set<std::string_view> texts;
  for (std::size_t i = 0; i < AcclaimArr.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(AcclaimArr[i].name, expected[i].first);
    EXPECT_EQ(AcclaimArr[i].color, expected[i].second);
    std::string name = Utf8ToGbk(AcclaimArr[i].name), text = Utf8ToGbk(AcclaimArr[i].text);
    EXPECT_LE(name.size(), kAcclaimNameSize);
    EXPECT_LE(text.size(), kAcclaimTextSize);
    EXPECT_GE(text.size(), 100u);
    EXPECT_EQ(GbkToUtf8(text), AcclaimArr[i].text);  // nothing lost on the way to GBK
    texts.insert(AcclaimArr[i].text);
  }
  EXPECT_EQ(texts.size(), AcclaimArr.size());
}

TEST(PackedShortStrings, NeverReadPastTheirWidthNorSplitACharacter) {
  PackedShortString<20> field;
  std::memset(&field, 'z', sizeof field);
  field.length = 200;  // a length byte from a plug-in is not trusted
  EXPECT_EQ(field.Gbk(), std::string(20, 'z'));
  field.SetText(std::string(19, 'a') + "插件");
  EXPECT_EQ(field.length, 19);
  EXPECT_EQ(field.Text(), std::string(19, 'a'));
  EXPECT_EQ(field.chars[19], 0);  // the tail is cleared
  field.SetText("插件");
  EXPECT_EQ(field.Gbk(), Utf8ToGbk("插件"));
  field.SetText("");
  EXPECT_EQ(field.length, 0);
}

TEST(SharedRecords, StartEmptyAndOperationFileNameFitsItsField) {
  TOperateInfo operation;
  EXPECT_EQ(operation.kind, 0);
  EXPECT_TRUE(operation.file_name.empty());
  operation.file_name = std::string(300, 'a');
  EXPECT_EQ(operation.file_name.gbk().size(), 255u);
  EXPECT_EQ(FriendFileVersion, 20053);
  EXPECT_EQ(RoomFileVersion, 20056);
}

}  // namespace
}  // namespace kiv
