// The user's setup record and the installation's system record, byte for byte as they are stored.
//
// Both records are packed and little-endian and are written to their files exactly as they are in
// memory: "<application folder><user code>/SetupInfo.dat" (2648 bytes) and
// "<application folder>Datas/SystemInfo.dat" (452 bytes). Fields that are not named here belong to the
// record all the same: they are read, kept and written back unchanged.
//
// Threads: owned by the global manager and used on the main thread only.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "declare/short_string.h"

namespace kiv {

static_assert(std::endian::native == std::endian::little, "the records are stored as they are in memory");

#pragma pack(push, 1)

// The sounds of the setup record, in their stored order.
enum TSetupSound : std::uint8_t {
  kSoundMoneyIncrease,  // "金币增加"
  kSoundMoneyDecrease,  // "金币减少"
  kSoundFriendOnline,   // "好友上线"
  kSoundFriendOffline,  // "好友离线"
  kSoundSystemMessage,  // "系统消息"
  kSoundUserMessage,    // "客户消息"
  kSoundFriendNudge,    // "好友提醒"
};
inline constexpr std::size_t kSetupSoundCount = 7;

// Message font style bits.
inline constexpr std::uint8_t kFontBold = 1;
inline constexpr std::uint8_t kFontItalic = 2;
inline constexpr std::uint8_t kFontUnderline = 4;
inline constexpr std::uint8_t kFontStrikeOut = 8;

// Hot-key modifier bits (the key code is the low byte).
inline constexpr std::uint16_t kHotKeyShift = 0x2000;
inline constexpr std::uint16_t kHotKeyCtrl = 0x4000;
inline constexpr std::uint16_t kHotKeyAlt = 0x8000;

// The user's settings: 2648 bytes.
struct TSetupInfo {
  std::uint32_t UserCode;         // owner of the record
  std::uint8_t AutoRun;           // "系统启动自动运行"
  std::uint8_t FriendOnlineHint;  // "好友上线通知"
  std::uint8_t OnlyShowOnline;    // "只显示在线好友"
  std::uint8_t AutoPopupMessage;  // "自动弹出消息"
  std::uint8_t UseHotKey;         // "使用呼出热键"
  std::uint8_t Reserved9;
  std::uint16_t HotKey;                             // key code | kHotKey* modifiers
  std::uint8_t SoundOn;                             // "打开声音"
  PackedShortString<255> Sounds[kSetupSoundCount];  // indexed by TSetupSound
  PackedShortString<255> ReceiveFolder;             // folder for received files
  std::uint8_t SaveHistory;                         // "自动保存消息历史纪录"
  PackedShortString<40> FontName;                   // message font
  std::uint8_t Reserved2103;
  std::int32_t FontSize;
  std::int32_t FontColor;          // Windows colour: red in the low byte
  std::uint8_t FontStyle;          // kFont* bits
  std::uint8_t EnterSend;          // "回车发送"
  std::uint8_t SmallFace;          // friend list rows of 26 instead of 34 pixels
  std::uint8_t FriendOfflineHint;  // "好友下线通知"
  std::uint8_t AutoHideMain;       // "主窗口自动隐藏"
  PackedShortString<255> Signature;
  std::uint8_t UseCustomPhoto;    // "使用自定义头像"
  std::uint8_t ShowCustomPhotos;  // "好友列表中显示自定义头像"
  std::uint8_t Reserved2375;
  std::int32_t VideoWidth;
  std::int32_t VideoHeight;
  std::uint8_t Reserved2384;
  std::uint8_t RefuseRoomInvite;  // "拒绝好友聊天室邀请"
  std::uint8_t Reserved2386;
  std::uint8_t Reserved2387;
  std::uint8_t Reserved2388;
  std::uint8_t AutoOpenLobby;  // "登录后自动弹出聊天室窗口"
  std::uint8_t Reserved2390;
  std::uint8_t Reserved2391[255];
  std::uint8_t Reserved2646;
  std::uint8_t Reserved2647;
};

// Audio quality of the system record.
inline constexpr std::uint8_t kAudioQualityNormal = 1;  // "普通音质"
inline constexpr std::uint8_t kAudioQualityHigh = 2;    // "高阶音质"

// The installation's settings: 452 bytes.
struct TSystemInfo {
  PackedShortString<20> SkinName;
  std::uint8_t Reserved21[256];
  std::int32_t SkinHue;         // 0 .. 360
  std::int32_t SkinSaturation;  // -100 .. 100
  std::uint8_t SkinGlow;        // "动画特效"
  std::uint8_t SkinBorders;     // "阴影边框"
  std::uint8_t UseProxy;        // SOCKS5
  PackedShortString<20> ProxyHost;
  std::uint16_t ProxyPort;
  std::uint8_t ProxyAuth;
  PackedShortString<40> ProxyUser;
  PackedShortString<40> ProxyPassword;
  PackedShortString<20> LoginServerAddress;  // the last one used
  std::uint16_t LoginServerPort;             // LOGINSERVERPORT, stored at every load
  std::int32_t MainTop;                      // main window placement; -1 = not stored
  std::int32_t MainLeft;
  std::int32_t MainWidth;
  std::int32_t MainHeight;
  std::int32_t ClientVersion;  // CURRENTVERSION, stored at every load
  std::int32_t VideoDevice;
  std::int32_t AudioOutput;
  std::int32_t AudioInput;
  std::uint8_t AudioQuality;  // kAudioQuality*
  std::uint16_t LocalPortBase;
};

#pragma pack(pop)

inline constexpr std::size_t kSetupInfoSize = 2648;
inline constexpr std::size_t kSystemInfoSize = 452;
static_assert(sizeof(TSetupInfo) == kSetupInfoSize);
static_assert(sizeof(TSystemInfo) == kSystemInfoSize);
static_assert(offsetof(TSetupInfo, HotKey) == 10 && offsetof(TSetupInfo, Sounds) == 13);
static_assert(offsetof(TSetupInfo, ReceiveFolder) == 1805 && offsetof(TSetupInfo, FontName) == 2062);
static_assert(offsetof(TSetupInfo, FontSize) == 2104 && offsetof(TSetupInfo, Signature) == 2117);
static_assert(offsetof(TSetupInfo, UseCustomPhoto) == 2373 && offsetof(TSetupInfo, VideoWidth) == 2376);
static_assert(offsetof(TSetupInfo, RefuseRoomInvite) == 2385 && offsetof(TSetupInfo, AutoOpenLobby) == 2389);
static_assert(offsetof(TSetupInfo, Reserved2646) == 2646);
static_assert(offsetof(TSystemInfo, SkinHue) == 277 && offsetof(TSystemInfo, ProxyHost) == 288);
static_assert(offsetof(TSystemInfo, ProxyPort) == 309 && offsetof(TSystemInfo, ProxyUser) == 312);
static_assert(offsetof(TSystemInfo, LoginServerAddress) == 394 && offsetof(TSystemInfo, MainTop) == 417);
static_assert(offsetof(TSystemInfo, ClientVersion) == 433 && offsetof(TSystemInfo, AudioQuality) == 449);
static_assert(offsetof(TSystemInfo, LocalPortBase) == 450);

// Sets every listed field of the setup record to its default for `user_code`, and bytes 2384, 2387,
// 2388, 2390 and 2646 to 0; every other byte stays as it is. Texts are UTF-8; the default sound files
// and the received-files folder are stored relative to the application folder (StoreSetupPath).
void SetSetupDefaults(TSetupInfo& setup, std::uint32_t user_code);

// Paths in the setup record's string[255] fields (sound files, the received-files folder). A path
// inside the application folder is stored relative to it ("Sounds/Sound1.wav", "80001/接受到的文件"),
// so a long folder name or one with characters outside GBK does not break it and the installation
// can move. Any other path is stored as it is. Nothing when the text to store does not fit the field
// in GBK (too long, or a character GBK lacks): the caller keeps the old value.
std::optional<std::string> StoreSetupPath(const std::filesystem::path& app_folder,
                                          const std::filesystem::path& path);
// The path a stored text means: absolute texts (as earlier versions stored them) are used as they
// are, relative ones are resolved against the application folder; "\" separators read as "/".
std::filesystem::path ResolveSetupPath(const std::filesystem::path& app_folder, std::string_view stored);

// Sets every listed field of the system record to its default; bytes 21 .. 276 stay as they are.
void SetSystemDefaults(TSystemInfo& system);

}  // namespace kiv
