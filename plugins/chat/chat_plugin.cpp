// KivChat: the one-to-one chat plug-in. Its exports create and free the one manager and hand it
// the transport callbacks and the local messages; each catches and drops its own failures.
#include <memory>

#include "chat_manager.h"
#include "manager/global_manager.h"
#include "plugin/plugin_exports.h"

namespace {

std::unique_ptr<kiv::chat::TManager> manager;

void OnDataRecive(std::uint16_t remote, const void* data, std::uint32_t size) {
  kiv::plugin_exports::Guarded([&] {
    if (manager && data) manager->OnDataRecive(remote, static_cast<const std::uint8_t*>(data), size);
  });
}

void OnDisconnect(std::uint16_t remote, std::uint8_t) {
  kiv::plugin_exports::Guarded([&] {
    if (manager) manager->OnDisconnect(remote);
  });
}

void Describe(kiv::TPluginInfo& info) {
  info.name.SetText("KivChat");
  info.caption.SetText("聊天管理插件");
  info.kind = kiv::kPluginKindOther;
  info.auto_start = 1;
  info.version = 1000;
  info.on_data = &OnDataRecive;
  info.on_disconnect = &OnDisconnect;
}

bool Start() {
  if (!kiv::GlobalManager || !kiv::GlobalManager->Me) return false;
  if (!manager) {
    manager = std::make_unique<kiv::chat::TManager>();
    kiv::chat::Manager = manager.get();
  }
  return true;
}

void Stop() {
  manager.reset();
  kiv::chat::Manager = nullptr;
}

void Deal(std::uint32_t code, void* data, std::uint32_t size) {
  if (manager) manager->DealMessage(code, data, size);
}

}  // namespace

KIV_PLUGIN_EXPORTS(Describe, Start, Stop, Deal)
