// The emoticon plug-in's own exports, besides the plug-in interface: the hot-key table that the
// shared runtime's emoticon conversions use, and the package installer.
//
// "Plugins/KivEmote.so" defines them with C linkage; libGlobal.so imports them from that file
// (emote/emote_table.h). Texts and paths are UTF-8. Main thread only.
#pragma once

#include <cstdint>

#include <QStringList>

extern "C" {
// Every emoticon's hot key, in the plug-in's list order (built-in first, then the signed-in user's
// own). The caller owns the list and deletes it.
QStringList* GetHotKeyList();
// The picture of the first emoticon whose hot key equals `hot_key` exactly: its full path, zero
// terminated, into `path` (`capacity` bytes), and `custom` = 1 for a user's own emoticon, else 0.
// `path` is left empty when no emoticon has that hot key, or when the path does not fit.
void GetImagePathByHotKey(char* path, std::uint32_t capacity, const char* hot_key, std::uint8_t* custom);
// Installs the emoticon package `file_name` into the signed-in user's own list and tells the user
// how it went.
void RunEmoFile(const char* file_name);
}

namespace kiv {

using TGetHotKeyListProc = QStringList* (*)();
using TGetImagePathByHotKeyProc = void (*)(char* path, std::uint32_t capacity, const char* hot_key,
                                           std::uint8_t* custom);
using TRunEmoFileProc = void (*)(const char* file_name);

inline constexpr const char* kGetHotKeyListExport = "GetHotKeyList";
inline constexpr const char* kGetImagePathByHotKeyExport = "GetImagePathByHotKey";
inline constexpr const char* kRunEmoFileExport = "RunEmoFile";

// Local messages the plug-in handles (sent with PluginManager->DealMessage("KivEmote", ...)).
// data: the QTextEdit* (as QWidget*) that receives the chosen picture; size 0 shows every tab,
// 1 only the built-in ones.
inline constexpr std::uint32_t kMsgShowEmotePicker = 0x70008;
// data: a zero-terminated file name of a picture already in the emoticon folder; size: its buffer.
inline constexpr std::uint32_t kMsgAddCustomEmote = 0x70009;
// data: a plain text control (QLineEdit*, QPlainTextEdit* or QTextEdit*, as QWidget*) that receives
// the chosen hot key.
inline constexpr std::uint32_t kMsgShowEmotePickerForText = 0x70010;

inline constexpr const char* kEmotePluginName = "KivEmote";

}  // namespace kiv
