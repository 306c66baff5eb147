// A stand-in for the chat plug-in in the friends tests: it reports the name "KivChat" and appends
// every local message it gets to "chat_probe.txt" in the application folder, one line per
// message: the code in hex and, when the data holds one, the 32-bit user code.
#include <cstdio>
#include <cstring>
#include <fstream>

#include "manager/global_manager.h"
#include "plugin/plugin_manager.h"

extern "C" {

void GetPluginInfo(kiv::TPluginInfo* info) {
  *info = kiv::TPluginInfo{};
  info->name.SetText("KivChat");
  info->caption.SetText("聊天");
  info->kind = kiv::kPluginKindOther;
  info->auto_start = 0;
  info->version = 1000;
}

std::uint32_t StartPlugin() { return 1; }
std::uint32_t StopPlugin() { return 1; }

void DealMessage(std::uint32_t code, void* data, std::uint32_t size) {
  if (!kiv::GlobalManager) return;
  std::uint32_t user = 0;
  if (data && size >= sizeof user) std::memcpy(&user, data, sizeof user);
  char line[32];
  std::snprintf(line, sizeof line, "%x %u\n", static_cast<unsigned>(code), static_cast<unsigned>(user));
  std::ofstream(kiv::GlobalManager->AppPath + "chat_probe.txt", std::ios::app) << line;
}

}  // extern "C"
