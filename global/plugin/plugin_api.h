// The plug-in interface: what a plug-in file exports and the records that cross between a plug-in
// and its host. Every plug-in includes this header.
//
// A plug-in is a shared library "Plugins/<name>.so" that links libGlobal.so and exports, with C
// linkage, the four functions declared below. The host loads it with dlopen (RTLD_NOW | RTLD_LOCAL),
// asks it about itself with GetPluginInfo and then addresses it by the name it reported, compared
// without regard to letter case. The host reaches plug-ins, and plug-ins reach the host and each
// other, only on the main thread.
//
// The records are packed and keep their field order; pointer fields are as wide as a pointer (8 bytes
// on 64-bit builds), so TPluginInfo is 106 bytes and THintInfo 790 bytes there (98 and 782 on 32-bit).
#pragma once

#include <cstddef>
#include <cstdint>

#include "declare/short_string.h"

class QImage;

namespace kiv {

// A plug-in's transport handlers, called by the message fan-out for every received message and
// every lost peer. `data` belongs to the transport and is valid only during the call.
using TOnDataRecive = void (*)(std::uint16_t remote, const void* data, std::uint32_t size);
using TOnDisConnect = void (*)(std::uint16_t remote, std::uint8_t reason);

// Plug-in kinds.
inline constexpr std::uint8_t kPluginKindPage = 0;  // owns a page of the main window
inline constexpr std::uint8_t kPluginKindOther = 3;

#pragma pack(push, 1)

// What a plug-in reports about itself.
struct TPluginInfo {
  PackedShortString<20> name;              // the key the host and every caller address the plug-in by
  PackedShortString<20> caption;           // human-readable title
  std::uint8_t kind;                       // kPluginKindPage or kPluginKindOther; kept by the host
  std::uint8_t auto_start;                 // 1: started by StartAllPlugin
  std::int32_t version;                    // compared by CheckPluginVersion
  TOnDataRecive on_data;                   // or nullptr
  TOnDisConnect on_disconnect;             // or nullptr
  PackedShortString<20> active_graphic;    // picture of the plug-in's button when selected
  PackedShortString<20> inactive_graphic;  // picture when not selected
};

// A notice for the hint service ("KivHint", codes 0x70001 and 0x70003).
struct THintInfo {
  std::uint8_t kind;  // 1 server message or level-up, 2 profile-change result, 3 friend online,
                      // 4 friend offline, others chosen by the sending plug-in
  PackedShortString<255> title;
  PackedShortString<255> text;
  PackedShortString<255> sound;      // sound file to play; empty for none
  QImage* picture;                   // owned by the receiver afterwards (it deletes it), or nullptr
  std::uint32_t tag;                 // handed back to the click action: the friend's user code in friend
                                     // notices, 5 in server messages, 0 otherwise
  std::uint8_t flag;                 // 1 in the main program's notices, 0 in the plug-ins'
  void (*click)(std::uint32_t tag);  // called with the tag when the user clicks the notice, or nullptr
};

#pragma pack(pop)

inline constexpr std::size_t kPointerSize = sizeof(void*);

static_assert(offsetof(TPluginInfo, name) == 0);
static_assert(offsetof(TPluginInfo, caption) == 21);
static_assert(offsetof(TPluginInfo, kind) == 42);
static_assert(offsetof(TPluginInfo, auto_start) == 43);
static_assert(offsetof(TPluginInfo, version) == 44);
static_assert(offsetof(TPluginInfo, on_data) == 48);
static_assert(offsetof(TPluginInfo, on_disconnect) == 48 + kPointerSize);
static_assert(offsetof(TPluginInfo, active_graphic) == 48 + 2 * kPointerSize);
static_assert(offsetof(TPluginInfo, inactive_graphic) == 69 + 2 * kPointerSize);
static_assert(sizeof(TPluginInfo) == 90 + 2 * kPointerSize);

static_assert(offsetof(THintInfo, kind) == 0);
static_assert(offsetof(THintInfo, title) == 1);
static_assert(offsetof(THintInfo, text) == 257);
static_assert(offsetof(THintInfo, sound) == 513);
static_assert(offsetof(THintInfo, picture) == 769);
static_assert(offsetof(THintInfo, tag) == 769 + kPointerSize);
static_assert(offsetof(THintInfo, flag) == 773 + kPointerSize);
static_assert(offsetof(THintInfo, click) == 774 + kPointerSize);
static_assert(sizeof(THintInfo) == 774 + 2 * kPointerSize);

// The exports of a plug-in file, as the host calls them.
using TGetPluginInfoProc = void (*)(TPluginInfo* info);
using TStartPluginProc = std::uint32_t (*)();
using TStopPluginProc = std::uint32_t (*)();
using TDealMessageProc = void (*)(std::uint32_t code, void* data, std::uint32_t size);

// Names of the exports.
inline constexpr const char* kGetPluginInfoExport = "GetPluginInfo";
inline constexpr const char* kStartPluginExport = "StartPlugin";
inline constexpr const char* kStopPluginExport = "StopPlugin";
inline constexpr const char* kDealMessageExport = "DealMessage";

// Local messages the main program handles (sent with PluginManager->ExeDealMessage).
inline constexpr std::uint32_t kMsgOpenSetupPage1 = 0x70015;
inline constexpr std::uint32_t kMsgFlashNoticeIcon = 0x70016;
inline constexpr std::uint32_t kMsgRedrawTrayIcon = 0x70018;
inline constexpr std::uint32_t kMsgOpenPayPage = 0x70020;
inline constexpr std::uint32_t kMsgLowerMainWindow = 0x70021;
inline constexpr std::uint32_t kMsgBalanceChanged = 0x70022;  // 12 bytes: code, user code, new balance
inline constexpr std::uint32_t kMsgOpenSetupPage0 = 0x70023;
inline constexpr std::uint32_t kMsgOpenServicePage = 0x70024;
inline constexpr std::uint32_t kMsgOpenMallPage = 0x70025;
inline constexpr std::uint32_t kMsgRequestOwnProfile = 0x70026;

// Sent by the main program to every plug-in once the user has signed in (no data, size 0).
inline constexpr std::uint32_t kMsgSignedIn = 0x100;

}  // namespace kiv

// What a plug-in file defines. The host finds them by name; a file without GetPluginInfo, or without
// any of the others, is not a plug-in.
extern "C" {
// Fills every field of `info`. Called once at load and again by ReloadPluginInfo.
void GetPluginInfo(kiv::TPluginInfo* info);
// Creates the plug-in's objects, or brings its window to the front when they exist. 1 = success.
std::uint32_t StartPlugin();
// Frees the plug-in's objects; harmless when not started. 1 = success.
std::uint32_t StopPlugin();
// Handles one local message; `data` belongs to the caller and is valid only during the call.
void DealMessage(std::uint32_t code, void* data, std::uint32_t size);
}
