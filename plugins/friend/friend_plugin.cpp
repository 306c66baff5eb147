// KivFriend: the friends plug-in. Its exports create and free the one manager and hand it the
// transport callbacks and the local messages; each catches and drops its own failures.
#include <memory>

#include "friend_manager.h"
#include "plugin/plugin_exports.h"
#include "plugin/plugin_manager.h"

namespace {

std::unique_ptr<kiv::friends::TManager> manager;

void OnDataRecive(std::uint16_t remote, const void* data, std::uint32_t size) {
  kiv::plugin_exports::Guarded([&] {
    if (manager && data) manager->OnDataRecive(remote, static_cast<const std::uint8_t*>(data), size);
  });
}

void OnDisConnect(std::uint16_t remote, std::uint8_t) {
  kiv::plugin_exports::Guarded([&] {
    if (manager) manager->OnDisConnect(remote);
  });
}

void Describe(kiv::TPluginInfo& info) {
  info.name.SetText("KivFriend");
  info.caption.SetText("我的好友");
  info.kind = kiv::kPluginKindPage;
  info.auto_start = 1;
  info.version = 1000;
  info.on_data = &OnDataRecive;
  info.on_disconnect = &OnDisConnect;
  info.active_graphic.SetText("FriendActive");
  info.inactive_graphic.SetText("FriendInActive");
}

bool Start() {
  if (!kiv::GlobalManager || !kiv::GlobalManager->Me) return false;
  if (!manager) {
    manager = std::make_unique<kiv::friends::TManager>();
    kiv::friends::Manager = manager.get();
  }
  manager->BringToFront();
  return true;
}

void Stop() {
  kiv::friends::Manager = nullptr;
  manager.reset();
}

void Deal(std::uint32_t code, void* data, std::uint32_t size) {
  if (manager) manager->DealMessage(code, data, size);
}

}  // namespace

KIV_PLUGIN_EXPORTS(Describe, Start, Stop, Deal)
