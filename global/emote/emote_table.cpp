#include "emote/emote_table.h"

#include <dlfcn.h>

#include <array>
#include <memory>

namespace kiv {

namespace {

constexpr std::uint32_t kPathCapacity = 4096;

std::filesystem::path SharedLibraryFolder() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void*>(&TEmoteImport::Get), &info) == 0 || !info.dli_fname) return {};
  return std::filesystem::path(info.dli_fname).parent_path();
}

}  // namespace

TEmoteImport TEmoteImport::Load(const std::filesystem::path& plugin_file) {
  TEmoteImport import;
  // The same file the plug-in host loads: dlopen hands back that copy, so both share one table.
  void* module = ::dlopen(plugin_file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) return import;
  import.GetHotKeyList = reinterpret_cast<TGetHotKeyListProc>(::dlsym(module, kGetHotKeyListExport));
  import.GetImagePathByHotKey =
      reinterpret_cast<TGetImagePathByHotKeyProc>(::dlsym(module, kGetImagePathByHotKeyExport));
  import.RunEmoFile = reinterpret_cast<TRunEmoFileProc>(::dlsym(module, kRunEmoFileExport));
  if (!import.Complete()) {
    ::dlclose(module);
    return {};
  }
  // Kept loaded for the life of the process: the imported functions must stay valid.
  return import;
}

const TEmoteImport& TEmoteImport::Get() {
  static const TEmoteImport import = [] {
    const std::filesystem::path folder = SharedLibraryFolder();
    return folder.empty() ? TEmoteImport{} : Load(folder / "Plugins" / "KivEmote.so");
  }();
  return import;
}

TEmoteTable TEmoteTable::Current() { return From(TEmoteImport::Get()); }

TEmoteTable TEmoteTable::From(const TEmoteImport& import) {
  TEmoteTable table;
  if (!import.Complete()) return table;
  std::unique_ptr<QStringList> list(import.GetHotKeyList());
  if (!list) return table;
  const qsizetype convertible = std::max<qsizetype>(0, list->size() - kUnconvertedTailEntries);
  for (qsizetype i = 0; i < convertible; ++i) {
    if (!list->at(i).isEmpty()) table.hot_keys_.append(list->at(i));
  }
  table.lookup_ = import.GetImagePathByHotKey;
  return table;
}

std::optional<TEmoteTable::Picture> TEmoteTable::Lookup(const QString& hot_key) const {
  if (!lookup_ || hot_key.isEmpty()) return std::nullopt;
  std::array<char, kPathCapacity> path{};
  std::uint8_t custom = 0;
  const QByteArray key = hot_key.toUtf8();
  lookup_(path.data(), kPathCapacity, key.constData(), &custom);
  path.back() = '\0';
  if (path[0] == '\0') return std::nullopt;
  return Picture{QString::fromUtf8(path.data()), custom == 1};
}

std::optional<TEmoteTable::Match> TEmoteTable::FindNext(const QString& text, qsizetype from) const {
  if (hot_keys_.isEmpty()) return std::nullopt;
  for (qsizetype at = std::max<qsizetype>(0, from); at < text.size(); ++at) {
    const QStringView rest = QStringView(text).mid(at);
    for (const QString& key : hot_keys_) {
      if (rest.startsWith(key)) return Match{at, key.size(), key};
    }
  }
  return std::nullopt;
}

}  // namespace kiv
