// KivEmote's exports: the plug-in interface and the emoticon table.
#include <cstring>

#include "emote/emote_exports.h"
#include "emote_manager.h"
#include "plugin/plugin_exports.h"

using kiv::emote::Manager;

namespace {

void Describe(kiv::TPluginInfo& info) {
  info.name.SetText("KivEmote");
  info.caption.SetText("表情插件");
  info.kind = kiv::kPluginKindOther;
  info.auto_start = 1;
  info.version = 1000;
}

bool Start() {
  Manager().CreateForm();
  return true;
}

void Stop() { Manager().FreeForm(); }

void Deal(std::uint32_t code, void* data, std::uint32_t size) { Manager().DealMessage(code, data, size); }

}  // namespace

KIV_PLUGIN_EXPORTS(Describe, Start, Stop, Deal)

// The emoticon table, looked up by name (global/emote/emote_table) by whoever shows emoticons.
extern "C" {

__attribute__((visibility("default"))) QStringList* GetHotKeyList() {
  return new QStringList(Manager().HotKeys());
}

__attribute__((visibility("default"))) void GetImagePathByHotKey(char* path, std::uint32_t capacity,
                                                                 const char* hot_key, std::uint8_t* custom) {
  if (custom) *custom = 0;
  if (!path || capacity == 0) return;
  path[0] = '\0';
  if (!hot_key) return;
  std::string found;
  bool is_custom = false;
  if (!Manager().ImagePath(hot_key, found, is_custom) || found.size() >= capacity) return;
  std::memcpy(path, found.c_str(), found.size() + 1);
  if (custom) *custom = is_custom ? 1 : 0;
}

__attribute__((visibility("default"))) void RunEmoFile(const char* file_name) {
  if (file_name) Manager().RunEmoFile(std::filesystem::u8path(file_name));
}
}
