// Global_Declare: what every module of the client agrees on.
//
// - the message envelope (a u32 code at the head of every application message) and the registry of
//   code groups;
// - the brand rows: product names, web addresses and login servers, chosen once by `SetAppType`;
// - the permission table, the room kinds, the room greetings and cheers;
// - the version stamps of local files and a few records shared by several modules.
//
// Threads: `SetAppType` runs once on the main thread before any window exists; afterwards every
// variable here is read-only and may be read from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "declare/short_string.h"

namespace kiv {

// ---------------------------------------------------------------------------------------------------
// Message envelope and group registry

// Every application message opens with its u32 code; the body follows at this offset.
inline constexpr std::size_t kMessageBodyOffset = 4;

constexpr std::uint16_t MessageGroup(std::uint32_t code) { return static_cast<std::uint16_t>(code >> 16); }
constexpr std::uint16_t MessageNumber(std::uint32_t code) {
  return static_cast<std::uint16_t>(code & 0xFFFF);
}
constexpr std::uint32_t MessageCode(std::uint16_t group, std::uint16_t number) {
  return (static_cast<std::uint32_t>(group) << 16) | number;
}

// The code at the head of a message; nothing when the message is shorter than a code.
std::optional<std::uint32_t> ReadMessageCode(const void* data, std::size_t size);

// Code groups. Each code belongs to one module, which alone handles it; every other module ignores it.
inline constexpr std::uint16_t kGroupClient = 0x0001;     // between clients, relayed or sent by a server
inline constexpr std::uint16_t kGroupLogin = 0x0003;      // login and user service (login and home server)
inline constexpr std::uint16_t kGroupRoom = 0x0005;       // lobby and room servers, room members
inline constexpr std::uint16_t kGroupUpdate = 0x0006;     // updater and update server
inline constexpr std::uint16_t kGroupLocal = 0x0007;      // local plug-in messages, never on the network
inline constexpr std::uint16_t kGroupMoney = 0x0008;      // currency (home server)
inline constexpr std::uint16_t kGroupTransport = 0x0009;  // the transport's own probe and termination

// True for the groups above (0x0002 and 0x0004 are not used).
constexpr bool IsKnownMessageGroup(std::uint16_t group) {
  return group == kGroupClient || group == kGroupLogin || (group >= kGroupRoom && group <= kGroupTransport);
}

// ---------------------------------------------------------------------------------------------------
// Brand rows

// The number of brand rows; `SetAppType` accepts 0 .. kBrandRowCount - 1.
inline constexpr std::uint8_t kBrandRowCount = 4;

extern std::uint8_t APPTYPE;        // the brand number given to SetAppType
extern std::string APPNAME;         // product name
extern std::string MONEYNAME;       // currency name
extern std::string SKINNAME;        // default skin
extern std::string SKINIMAGENAME;   // graphics archive in "skins/"
extern std::string UPDATEFILENAME;  // the updater program, in the application folder
extern std::string HOMEPAGE;        // vendor web site; every address below is HOMEPAGE + a path
extern std::string CHATROOMPAGE;
extern std::string HELPPAGE;
extern std::string PAYURL;         // top-up page
extern std::string MOEYRECORDURL;  // transaction records
extern std::string REGPAGE;        // registration
extern std::string UPLOADURL;
extern std::string SOFTURL;  // installer download
extern std::string PRESENTIMGURL;
extern std::string STAMPIMGURL;
extern std::string SKINIMGURL;
extern std::string MALLIMGURL;
extern std::string TOP10URL;
extern std::string MALLURL;        // mall
extern std::string QUESTIONURL;    // customer service
extern std::int32_t MAXFACECOUNT;  // highest built-in face index
extern std::string MainFormCaption;
extern std::string LoginFormCaption;
extern std::string ExeName;          // the client program file
extern std::int32_t CURRENTVERSION;  // this client's version
extern std::string LOGINSERVERIP1;   // login server host names, one drawn at random
extern std::string LOGINSERVERIP2;
extern std::string LOGINSERVERIP3;
extern std::string LOGINSERVERADD;  // fallback numeric address when the name does not resolve
extern std::uint16_t LOGINSERVERPORT;
extern bool P2PShowDebug;  // the room plug-in shows its relay diagnostics

// Chooses the brand: stores `brand` in APPTYPE, clears P2PShowDebug and, for a known row, fills every
// brand variable from that row (variables the row leaves unset become empty), then applies the
// deployment setting of "DBConfig.ini" in the application folder (below). An unknown number sets
// only APPTYPE and P2PShowDebug. Called once, before any window is created.
void SetAppType(std::uint8_t brand);
// The same with the deployment setting read from `config_file`.
void SetAppType(std::uint8_t brand, const std::filesystem::path& config_file);

// Deployment setting. An installation points the client at other servers without rebuilding by
// writing, in "DBConfig.ini" beside the program (GBK INI file; comments only on lines of their own):
//
//   [Server]
//   LoginServer=127.0.0.1
//   LoginPort=9009
//   HomePage=http://127.0.0.1:8080
//
// LoginServer (host name or IPv4 address) replaces LOGINSERVERIP1..3 and LOGINSERVERADD, LoginPort
// replaces LOGINSERVERPORT, HomePage replaces HOMEPAGE and every web address is rebuilt from it.
// Missing keys, an empty value, or a port outside 1 .. 65535 leave the brand row's value.
inline constexpr std::string_view kDeploymentSection = "Server";
struct TDeploymentSetting {
  std::string login_server;      // empty: keep the row's
  std::uint16_t login_port = 0;  // 0: keep the row's
  std::string home_page;         // empty: keep the row's; never ends with "/"
};
TDeploymentSetting ReadDeploymentSetting(const std::filesystem::path& config_file);

// ---------------------------------------------------------------------------------------------------
// Permissions

enum class TPermitType : std::uint8_t {
  UserType,  // not a permission: the row's user type
  Chat,
  Order,
  PrivateChat,
  EnterFullRoom,
  EnterCloseRoom,
  EnterLockRoom,
  EnterRoomChat,
  AutoSpeak,
  WatchHideChat,
  HideChatPopup,
  HideChat,
  KickOut,
  UnKickOut,
  BroadCast,
  HideEnterRoom,
  Present,
  AddFriend,
  AddMoney,
  Mall,
  Bank,
  Modify,
  Effect,
  CustomFace,
  LockPC,
  Abate,
};
inline constexpr std::size_t kPermitTypeCount = 26;
inline constexpr std::size_t kPermitRowCount = 12;

// One row per user type: byte UserType holds the type, every other byte is 1 when permitted.
using TPermitRow = std::array<std::uint8_t, kPermitTypeCount>;
using TPermitArray = std::array<TPermitRow, kPermitRowCount>;

// The permission table; it holds the defaults from load time and is refilled by the global manager.
extern TPermitArray PermitArray;
// The table as the service defines it. Rows in storage order: user types 20 (guest, nothing
// permitted), 0, 1, 3, 4, 5, 7, 8, 6, 13, 14, 15. Types without a row have no permission at all.
TPermitArray DefaultPermitArray();
// Whether `user_type` has `permit` in `table`: the last row for that type decides; false when no row
// matches or `permit` is UserType.
bool CheckPermitIn(const TPermitArray& table, std::uint8_t user_type, TPermitType permit);

// ---------------------------------------------------------------------------------------------------
// Rooms: kinds, greetings, cheers (UTF-8)

// Names of room kinds 1 .. 11, indexed by kind - 1.
extern const std::array<std::string_view, 11> RoomTypeName;

// Greetings shown when a member enters a room; "%d" stands for the member's name. A member record
// carries the index of its greeting.
extern const std::array<std::string_view, 43> EenterArr;

// A ready-made cheer of the room's input window: the menu caption (at most 20 GBK bytes), the line it
// sends (at most 255 GBK bytes) and the colour it is sent in.
struct TAcclaim {
  std::int32_t color;  // Windows colour value: red in the low byte, then green, then blue
  std::string_view name;
  std::string_view text;
};
inline constexpr std::size_t kAcclaimNameSize = 20;
inline constexpr std::size_t kAcclaimTextSize = 255;
extern const std::array<TAcclaim, 12> AcclaimArr;

constexpr std::int32_t RgbColor(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
  return static_cast<std::int32_t>(red | (green << 8) | (blue << 16));
}

// ---------------------------------------------------------------------------------------------------
// Version stamps written at the head of local files and checked on load

inline constexpr std::int32_t FriendFileVersion = 20053;  // friend list cache
inline constexpr std::int32_t GroupFileVersion = 20052;
inline constexpr std::int32_t SetupFileVersion = 20052;
inline constexpr std::int32_t RoomFileVersion = 20056;  // the user's room groups

// ---------------------------------------------------------------------------------------------------
// Shared records (in memory; text is UTF-8). Field names of TPresent and TStamp are the key names of
// their catalogue files.

// One gift of the gift catalogue.
struct TPresent {
  std::int32_t ID = 0;
  std::string Name;
  std::string ImageName;
  std::int32_t Price = 0;  // in MONEYNAME
  std::uint8_t Type = 0;   // the gift page 0 .. 3 it is shown on
};

// One stamp of the stamp catalogue.
struct TStamp {
  std::int32_t ID = 0;
  std::string Name;
  std::string ImageName;
  std::int32_t Price = 0;
  std::uint8_t Type = 0;
  std::uint8_t Send = 0;
  std::int32_t Time = 0;
};

// One mall item (declared for the mall catalogue).
struct TMallProps {
  std::int32_t ID = 0;
  std::string Name;
  std::string ImageName;
};

// Kinds of chat operation.
inline constexpr std::uint8_t kOperateVoice = 1;
inline constexpr std::uint8_t kOperateVideo = 2;
inline constexpr std::uint8_t kOperateFile = 3;
inline constexpr std::uint8_t kOperateNudge = 4;

// One pending chat operation, kept by the chat plug-in.
struct TOperateInfo {
  std::uint32_t operate_id = 0;  // numbered per chat window
  std::uint8_t kind = 0;         // kOperateVoice .. kOperateNudge
  std::uint8_t step = 0;
  ShortString<255> file_name;
  std::uint32_t value = 0;  // the file size for a file transfer
  std::uint8_t role = 0;    // local only
};

}  // namespace kiv
