// The emoticon table as the shared runtime sees it: hot keys and their pictures, read from the
// emoticon plug-in through its exports.
//
// libGlobal.so imports the exports from "Plugins/KivEmote.so" beside itself the first time a
// conversion needs them (the plug-in links libGlobal.so, so the file cannot be a link-time
// dependency). Without that file, or without the exports, the table is empty and every conversion
// leaves its text alone. Main thread only.
#pragma once

#include <QString>
#include <QStringList>
#include <filesystem>
#include <optional>

#include "emote/emote_exports.h"

namespace kiv {

// The three imported functions; null members where the plug-in file or the export is missing.
struct TEmoteImport {
  TGetHotKeyListProc GetHotKeyList = nullptr;
  TGetImagePathByHotKeyProc GetImagePathByHotKey = nullptr;
  TRunEmoFileProc RunEmoFile = nullptr;

  bool Complete() const { return GetHotKeyList && GetImagePathByHotKey && RunEmoFile; }

  // The process's import from "Plugins/KivEmote.so" in libGlobal.so's folder, made once.
  static const TEmoteImport& Get();
  // An import from the given file (loaded and kept loaded); empty when it does not load.
  static TEmoteImport Load(const std::filesystem::path& plugin_file);
};

// One snapshot of the table for one conversion.
class TEmoteTable {
 public:
  // An empty table: nothing converts.
  TEmoteTable() = default;
  // The current table of the imported plug-in.
  static TEmoteTable Current();
  // The table of `import` (tests hand in their own).
  static TEmoteTable From(const TEmoteImport& import);

  struct Picture {
    QString path;
    bool custom = false;
  };
  struct Match {
    qsizetype position = -1;
    qsizetype length = 0;
    QString hot_key;
  };

  // The hot keys that convert: every one but the last six of the list, without the empty ones.
  const QStringList& HotKeys() const { return hot_keys_; }
  bool empty() const { return hot_keys_.isEmpty(); }
  // The picture of a hot key; nothing when the plug-in does not know it.
  std::optional<Picture> Lookup(const QString& hot_key) const;
  // The first hot key in `text` at or after `from`: the earliest position; at one position the hot
  // key that comes first in the list. Hot keys match exactly (letter case and all).
  std::optional<Match> FindNext(const QString& text, qsizetype from) const;
  // Whether `text` holds any hot key.
  bool Contains(const QString& text) const { return FindNext(text, 0).has_value(); }

 private:
  QStringList hot_keys_;
  TGetImagePathByHotKeyProc lookup_ = nullptr;
};

// How many entries at the end of the plug-in's list never convert.
inline constexpr int kUnconvertedTailEntries = 6;

}  // namespace kiv
