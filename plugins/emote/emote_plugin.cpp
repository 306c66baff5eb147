// KivEmote's exports: the plug-in interface and the emoticon table.
#include <cstring>

#include "emote/emote_exports.h"
#include "emote_manager.h"
#include "plugin/plugin_api.h"

using kiv::emote::Manager;

extern "C" {

__attribute__((visibility("default"))) void GetPluginInfo(kiv::TPluginInfo* info) {
  if (!info) return;
  std::memset(info, 0, sizeof *info);
  info->name.SetText("KivEmote");
  info->caption.SetText("表情插件");
  info->kind = kiv::kPluginKindOther;
  info->auto_start = 1;
  info->version = 1000;
}

__attribute__((visibility("default"))) std::uint32_t StartPlugin() {
  Manager().CreateForm();
  return 1;
}

__attribute__((visibility("default"))) std::uint32_t StopPlugin() {
  Manager().FreeForm();
  return 1;
}

__attribute__((visibility("default"))) void DealMessage(std::uint32_t code, void* data, std::uint32_t size) {
  Manager().DealMessage(code, data, size);
}

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
