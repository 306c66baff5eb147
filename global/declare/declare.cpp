#include "declare/declare.h"

#include <initializer_list>

#include "base/files.h"
#include "base/ini.h"
#include "base/wire.h"

namespace kiv {

// ---------------------------------------------------------------------------------------------------
// Message envelope

std::optional<std::uint32_t> ReadMessageCode(const void* data, std::size_t size) {
  if (data == nullptr || size < kMessageBodyOffset) return std::nullopt;
  return LoadU32(static_cast<const std::uint8_t*>(data));
}

// ---------------------------------------------------------------------------------------------------
// Brand rows

std::uint8_t APPTYPE = 0;
std::string APPNAME;
std::string MONEYNAME;
std::string SKINNAME;
std::string SKINIMAGENAME;
std::string UPDATEFILENAME;
std::string HOMEPAGE;
std::string CHATROOMPAGE;
std::string HELPPAGE;
std::string PAYURL;
std::string MOEYRECORDURL;
std::string REGPAGE;
std::string UPLOADURL;
std::string SOFTURL;
std::string PRESENTIMGURL;
std::string STAMPIMGURL;
std::string SKINIMGURL;
std::string MALLIMGURL;
std::string TOP10URL;
std::string MALLURL;
std::string QUESTIONURL;
std::int32_t MAXFACECOUNT = 0;
std::string MainFormCaption;
std::string LoginFormCaption;
std::string ExeName;
std::int32_t CURRENTVERSION = 0;
std::string LOGINSERVERIP1;
std::string LOGINSERVERIP2;
std::string LOGINSERVERIP3;
std::string LOGINSERVERADD;
std::uint16_t LOGINSERVERPORT = 0;
bool P2PShowDebug = false;

namespace {

// One brand. An empty path means the row leaves that address unset. Host names and addresses are
// this deployment's; DBConfig.ini can replace them (see declare.h).
struct BrandRow {
  std::string_view app_name;
  std::string_view money_name;
  std::string_view skin_name;
  std::string_view skin_image_name;
  std::string_view exe_name;
  std::string_view main_caption;
  std::string_view login_caption;
  std::int32_t version;
  std::string_view home_page;
  std::string_view login_server[3];
  std::string_view login_fallback;
  std::string_view soft_path;        // installer download, below the site
  std::string_view skin_image_path;  // skin pictures, below the site
};

constexpr BrandRow kBrandRows[kBrandRowCount] = {
    {.app_name = "Kivora",
     .money_name = "Kiv币",
     .skin_name = "天空",
     .skin_image_name = "SkinImage.dat",
     .exe_name = "Kivora",
     .main_caption = "Kivora娱乐",
     .login_caption = "登陆Kivora娱乐",
     .version = 201027,
     .home_page = "http://www.kivora.example",
     .login_server = {"login.kivora.example", "login.kivora.example", "login.kivora.example"},
     .login_fallback = "login.kivora.example",
     .soft_path = "",
     .skin_image_path = "/skins/"},
    {.app_name = "Kivora",
     .money_name = "Kiv币",
     .skin_name = "水晶",
     .skin_image_name = "SkinImage.dat",
     .exe_name = "Kivora",
     .main_caption = "Kivora娱乐",
     .login_caption = "登陆Kivora娱乐",
     .version = 201102,
     .home_page = "http://www.kivora.example",
     .login_server = {"login1.kivora.example", "login2.kivora.example", "login3.kivora.example"},
     .login_fallback = "203.0.113.21",
     .soft_path = "/download/KivoraSetup.exe",
     .skin_image_path = "/skins/"},
    {.app_name = "Pelo",
     .money_name = "Pelo币",
     .skin_name = "冰激凌",
     .skin_image_name = "PeloSkinImage.dat",
     .exe_name = "Pelo",
     .main_caption = "Pelo娱乐",
     .login_caption = "登陆Pelo娱乐",
     .version = 12,
     .home_page = "http://www.pelo.example",
     .login_server = {"203.0.113.32", "203.0.113.32", "203.0.113.32"},
     .login_fallback = "203.0.113.32",
     .soft_path = "/PeloSetup.exe",
     .skin_image_path = "/skins/"},
    {.app_name = "Tamu",
     .money_name = "Tamu币",
     .skin_name = "Tamu",
     .skin_image_name = "",  // not set
     .exe_name = "Tamu",
     .main_caption = "Tamu娱乐",
     .login_caption = "登陆Tamu",
     .version = 1,
     .home_page = "http://www.tamu.example",
     .login_server = {"203.0.113.43", "203.0.113.43", "203.0.113.43"},
     .login_fallback = "203.0.113.43",
     .soft_path = "/PeloSetup.exe",
     .skin_image_path = ""},  // not set
};

// HOMEPAGE + path, or empty when the row leaves the address unset.
std::string SiteUrl(std::string_view path) {
  return path.empty() ? std::string() : HOMEPAGE + std::string(path);
}

void FillBrandRow(const BrandRow& row, const TDeploymentSetting& setting) {
  APPNAME = row.app_name;
  MONEYNAME = row.money_name;
  SKINNAME = row.skin_name;
  // A value a row leaves unset keeps what an earlier SetAppType gave it (empty at start).
  if (!row.skin_image_name.empty()) SKINIMAGENAME = row.skin_image_name;
  UPDATEFILENAME = "KivUpdate";
  HOMEPAGE = setting.home_page.empty() ? std::string(row.home_page) : setting.home_page;
  CHATROOMPAGE = SiteUrl("/chatroom.php");
  HELPPAGE = SiteUrl("/help.php");
  PAYURL = SiteUrl("/pay/add.php");
  MOEYRECORDURL = SiteUrl("/goto.php?kind=2");
  REGPAGE = SiteUrl("/register.php");
  UPLOADURL = SiteUrl("/upload/index.php?size=");
  if (!row.soft_path.empty()) SOFTURL = SiteUrl(row.soft_path);
  PRESENTIMGURL = SiteUrl("/present/");
  STAMPIMGURL = SiteUrl("/stamp/");
  if (!row.skin_image_path.empty()) SKINIMGURL = SiteUrl(row.skin_image_path);
  MALLIMGURL = SiteUrl("/mall/image/");
  TOP10URL = SiteUrl("/TOP10");
  MALLURL = SiteUrl("/goto.php?kind=1");
  QUESTIONURL = SiteUrl("/goto.php?kind=3");
  MAXFACECOUNT = 183;
  MainFormCaption = row.main_caption;
  LoginFormCaption = row.login_caption;
  ExeName = row.exe_name;
  CURRENTVERSION = row.version;
  if (setting.login_server.empty()) {
    LOGINSERVERIP1 = row.login_server[0];
    LOGINSERVERIP2 = row.login_server[1];
    LOGINSERVERIP3 = row.login_server[2];
    LOGINSERVERADD = row.login_fallback;
  } else {
    LOGINSERVERIP1 = LOGINSERVERIP2 = LOGINSERVERIP3 = LOGINSERVERADD = setting.login_server;
  }
  LOGINSERVERPORT = setting.login_port != 0 ? setting.login_port : 9009;
}

std::string Trimmed(std::string_view text) {
  const char* blanks = " \t\r\n";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(blanks);
  return std::string(text.substr(first, last - first + 1));
}

}  // namespace

TDeploymentSetting ReadDeploymentSetting(const std::filesystem::path& config_file) {
  TDeploymentSetting setting;
  IniFile ini = IniFile::Load(config_file);
  setting.login_server = Trimmed(ini.Get(kDeploymentSection, "LoginServer"));
  long long port = ini.GetInt(kDeploymentSection, "LoginPort", 0);
  if (port >= 1 && port <= 65535) setting.login_port = static_cast<std::uint16_t>(port);
  setting.home_page = Trimmed(ini.Get(kDeploymentSection, "HomePage"));
  while (!setting.home_page.empty() && setting.home_page.back() == '/') setting.home_page.pop_back();
  return setting;
}

void SetAppType(std::uint8_t brand, const std::filesystem::path& config_file) {
  APPTYPE = brand;
  P2PShowDebug = false;
  if (brand >= kBrandRowCount) return;
  FillBrandRow(kBrandRows[brand], ReadDeploymentSetting(config_file));
}

void SetAppType(std::uint8_t brand) { SetAppType(brand, ApplicationFolder() / "DBConfig.ini"); }

// ---------------------------------------------------------------------------------------------------
// Permissions

namespace {

using P = TPermitType;

struct PermitRowDefinition {
  std::uint8_t user_type;
  std::initializer_list<TPermitType> permits;
};

// The types that share the full set of a paying member (7, 8, 6) and the sales accounts (13 .. 15).
constexpr std::initializer_list<TPermitType> kRichPermits = {
    P::Chat,          P::Order,         P::PrivateChat, P::EnterFullRoom, P::EnterRoomChat, P::AutoSpeak,
    P::WatchHideChat, P::HideChatPopup, P::HideChat,    P::UnKickOut,     P::BroadCast,     P::Present,
    P::AddFriend,     P::AddMoney,      P::Mall,        P::Bank,          P::Modify,        P::Effect,
    P::CustomFace,    P::LockPC,        P::Abate};
constexpr std::initializer_list<TPermitType> kSalesPermits = {
    P::Chat,          P::Order,     P::PrivateChat, P::EnterFullRoom,
    P::EnterRoomChat, P::AutoSpeak, P::AddFriend,   P::Bank};

}  // namespace

TPermitArray DefaultPermitArray() {
  const PermitRowDefinition rows[kPermitRowCount] = {
      {20, {}},
      {0,
       {P::Chat, P::Order, P::PrivateChat, P::BroadCast, P::Present, P::AddFriend, P::Mall, P::Bank,
        P::Modify}},
      {1,
       {P::Chat, P::Order, P::PrivateChat, P::EnterFullRoom, P::EnterRoomChat, P::BroadCast, P::Present,
        P::AddFriend, P::AddMoney, P::Mall, P::Bank, P::Modify, P::Effect, P::CustomFace, P::LockPC,
        P::Abate}},
      {3,
       {P::Chat, P::Order, P::EnterFullRoom, P::EnterCloseRoom, P::EnterLockRoom, P::EnterRoomChat,
        P::AutoSpeak, P::WatchHideChat, P::HideChatPopup, P::UnKickOut, P::BroadCast, P::Present,
        P::AddFriend, P::Bank}},
      {4,
       {P::EnterFullRoom, P::EnterCloseRoom, P::EnterLockRoom, P::WatchHideChat, P::HideChatPopup,
        P::HideEnterRoom}},
      {5,
       {P::Chat, P::Order, P::EnterFullRoom, P::EnterCloseRoom, P::EnterLockRoom, P::EnterRoomChat,
        P::AutoSpeak, P::WatchHideChat, P::HideChatPopup, P::KickOut, P::UnKickOut, P::BroadCast,
        P::HideEnterRoom}},
      {7, kRichPermits},
      {8, kRichPermits},
      {6, kRichPermits},
      {13, kSalesPermits},
      {14, kSalesPermits},
      {15, kSalesPermits},
  };
  TPermitArray table{};
  for (std::size_t i = 0; i < kPermitRowCount; ++i) {
    table[i][static_cast<std::size_t>(P::UserType)] = rows[i].user_type;
    for (TPermitType permit : rows[i].permits) table[i][static_cast<std::size_t>(permit)] = 1;
  }
  return table;
}

TPermitArray PermitArray = DefaultPermitArray();

bool CheckPermitIn(const TPermitArray& table, std::uint8_t user_type, TPermitType permit) {
  auto index = static_cast<std::size_t>(permit);
  if (permit == P::UserType || index >= kPermitTypeCount) return false;
  const TPermitRow* match = nullptr;
  for (const TPermitRow& row : table) {
    if (row[static_cast<std::size_t>(P::UserType)] == user_type) match = &row;
  }
  return match != nullptr && (*match)[index] != 0;
}

// ---------------------------------------------------------------------------------------------------
// Rooms

const std::array<std::string_view, 11> RoomTypeName = {
    "小型",    "大型2麦", "天籁1麦", "天籁2麦", "大型3麦",  "大型4麦",
    "大型5麦", "大型6麦", "文字",    "影视",    "大型大屏",
};

const std::array<std::string_view, 43> EenterArr = {
    "%d进入聊天室...",
    "天空一声巨响，%d华丽登场...",
    "%d探头探脑，鬼鬼祟祟的溜了进来...",
    "%d挺着大肚腩，笑眯眯的走进来...",
    "%d满头大汗慌慌张张的冲进来...",
    "%d屁颠屁颠的蹦进来...",
    "%d带着一群保镖，气势汹汹的闯进来...",
    "%d悄悄地来了,挥一挥衣袖,带来一群MM...",
    "%d前来报到...",
    "%d风风火火走进来喊道：师兄，师傅又被妖精抓走了。",
    "%d从天而降，脸安全着地。。。",
    "%d牵着一头猪走进来，脸上洋溢着幸福的笑容。",
    "%d进来大喊：等我有钱了,咱买二根棒棒糖,一根你看着我吃 ,另一根我吃给你看。",
    "%d走进来说：你在是花，牛都不拉粪了。",
    "%d打酱油路过来了...",
    "%d念叨：长的丑，我贴墙走...",
    "%d进来卖唱，大家欢迎不？",
    "%d急急忙忙的跑了进来大喊道：小二，来壶热水泡帅哥（美女）...",
    "%d慌慌张张地跑进房间...",
    "%d悠哉悠哉的进来...",
    "%d从天而降傻傻的笑道：我想要一个海洋之心...",
    "%d呼啸而来，潇洒的出来，\"叭\"地一下滑倒在地。",
    "%d汹涌而来，边跑边叫：都给我出来啊！",
    "%d优雅般的出来，一展折扇...",
    "%d一步一滑地进来房间...",
    "%d蹦蹦跳跳的蹦进来...",
    "%d风风火火的进来...",
    "%d偷偷溜进房间，大吼一声：打劫了，把你们的MM和帅帅全交出来！",
    "%d悠悠的蹩进房间...",
    "%d从天上而降...",
    "%d手拿大砍刀怒气冲冲的进来...",
    "%d手持酒杯摇摇晃晃的进来...",
    "%d心花怒放走进房间...",
    "%d手拿着金币迷茫的进入房间...",
    "%d一身喜服羞羞答答的进到房间...",
    "%d醉醺醺的进来说：还有酒吗？",
    "%d遮挡着红脸；羞答答的走进房间...",
    "%d踩着猫步优雅的走进房间，对着大家深鞠一躬...",
    "%d一脸庄重的进来房间，严肃的对大家说道：不要哭！",
    "%d踩着猫步优雅的走进房间，对大家唱：我是中国人。",
    "%d捂着被打肿的一边脸的进来...",
    "%d捂着被打肿的一边脸的进来...",
    "%d捂着被打肿的一边脸的进来...",
};

const std::array<TAcclaim, 12> AcclaimArr = {{
    {RgbColor(206, 0, 0), "加油",
     "加油加油！嘿修嘿修！为你加油，嘿修嘿修！超级汽油，狂加，送给每位给人间带来欢乐的人！你唱的真好哦！((((("
     "((((啪啪))))))))瑰花★☆ぷ╰☆╮满天星★☆╮ぷ"},
    {RgbColor(0, 128, 192), "亲亲",
     "亲亲亲亲！啵啵啵！送你一个甜甜的大亲亲，唱得太动听啦，耳朵都要怀孕了！掌声响起来，(((((((((啪啪啪))))))"
     "))★☆亲一个☆★"},
    {RgbColor(0, 0, 160), "狂啵",
     "狂啵狂啵！啵啵啵啵啵！隔着屏幕也要狂啵你一下，今晚的麦就是你的舞台，大家一起来狂啵！(((((啪啪啪啪)))))"
     "◆◇狂啵不停◇◆"},
    {RgbColor(128, 0, 128), "签名",
     "签名签名！求签名！偶像请在我的小本本上签个名吧，我要把它裱起来挂在墙上珍藏一辈子！(((((((((啪啪))))))))"
     "※签名留念※"},
    {RgbColor(0, 128, 0), "喝彩",
     "喝彩喝彩！好！再来一个！再来一个！全场起立为你喝彩，掌声雷动经久不息，这才叫实力！(((((((((啪啪啪))))))"
     "))○●好样的●○"},
    {RgbColor(213, 202, 6), "太棒了",
     "太棒了太棒了！简直完美！这声音这气场，全场都被你征服了！为你竖起两个大拇指，必须点赞！(((((((((啪啪))))"
     "))))★★★★★"},
    {RgbColor(255, 128, 0), "偶像",
     "偶像偶像！我的偶像！从今天起我就是你的忠实粉丝，每晚准时来听你唱歌，风雨无阻！(((((((((啪啪))))))))"
     "☆偶像万岁☆"},
    {RgbColor(255, 0, 0), "囍",
     "囍囍囍！恭喜恭喜！祝新人百年好合、永结同心，早生贵子，甜甜蜜蜜幸福到永远！(((((((((啪啪))))))))"
     "囍◎喜糖分给大家◎囍"},
    {RgbColor(255, 128, 128), "感动",
     "感动感动！听得我眼泪都要掉下来了，这首歌唱到了心里最柔软的地方，久久不能平静！谢谢你！(((((((((啪啪))))"
     "))))～感动～"},
    {RgbColor(255, 68, 68), "献花1",
     "献花献花！一束鲜花送给你，愿你天天开心，笑容比花还灿烂，歌声越来越动听！(((((((((啪啪))))))))@>->-- "
     "鲜花一束 --<-<@"},
    {RgbColor(14, 177, 27), "献花2",
     "献花献花！满满一篮鲜花送到麦上，红的黄的紫的都为你盛开，花香飘满整个房间！(((((((((啪啪))))))))@}->->--"
     " 献给最棒的你"},
    {RgbColor(128, 128, 192), "献花3",
     "献花献花！九十九朵玫瑰献给今晚最闪亮的你，祝你好运常伴、笑口常开、天天都有好心情！(((((((((啪啪))))))))"
     "@}-,-'-- 玫瑰送你"},
}};

}  // namespace kiv
