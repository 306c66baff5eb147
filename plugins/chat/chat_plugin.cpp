// KivChat: the one-to-one chat plug-in. Its exports create and free the one manager and hand it
// the transport callbacks and the local messages; each catches and drops its own failures.
#include <memory>

#include "chat_manager.h"
#include "manager/global_manager.h"
#include "plugin/plugin_api.h"

namespace {

std::unique_ptr<kiv::chat::TManager> manager;

void OnDataRecive(std::uint16_t remote, const void* data, std::uint32_t size) {
  try {
    if (manager && data) manager->OnDataRecive(remote, static_cast<const std::uint8_t*>(data), size);
  } catch (...) {
  }
}

void OnDisconnect(std::uint16_t remote, std::uint8_t) {
  try {
    if (manager) manager->OnDisconnect(remote);
  } catch (...) {
  }
}

}  // namespace

extern "C" {

void GetPluginInfo(kiv::TPluginInfo* info) {
  *info = kiv::TPluginInfo{};
  info->name.SetText("KivChat");
  info->caption.SetText("聊天管理插件");
  info->kind = kiv::kPluginKindOther;
  info->auto_start = 1;
  info->version = 1000;
  info->on_data = &OnDataRecive;
  info->on_disconnect = &OnDisconnect;
}

std::uint32_t StartPlugin() {
  try {
    if (!kiv::GlobalManager || !kiv::GlobalManager->Me) return 0;
    if (!manager) {
      manager = std::make_unique<kiv::chat::TManager>();
      kiv::chat::Manager = manager.get();
    }
    return 1;
  } catch (...) {
    return 0;
  }
}

std::uint32_t StopPlugin() {
  try {
    manager.reset();
    kiv::chat::Manager = nullptr;
  } catch (...) {
  }
  return 1;
}

void DealMessage(std::uint32_t code, void* data, std::uint32_t size) {
  try {
    if (manager) manager->DealMessage(code, data, size);
  } catch (...) {
  }
}

}  // extern "C"
