#include "udp/global_udp.h"

#include <exception>
#include <string>
#include <vector>

#include "base/log.h"
#include "plugin/plugin_manager.h"
#include "udp_interface.h"

namespace kiv {

TOnDataRecive ExeOnDataRecive = nullptr;
TOnDisConnect ExeOnDisConnect = nullptr;

namespace {

// The plug-ins a message goes round, last loaded first.
std::vector<const TPluginItem*> PluginsLastFirst() {
  std::vector<const TPluginItem*> plugins;
  if (PluginManager == nullptr) return plugins;
  const auto& items = PluginManager->Items();
  plugins.reserve(items.size());
  for (auto it = items.rbegin(); it != items.rend(); ++it) plugins.push_back(it->get());
  return plugins;
}

bool StillLoaded(const TPluginItem* plug) {
  if (PluginManager == nullptr) return false;
  for (const auto& item : PluginManager->Items()) {
    if (item.get() == plug) return true;
  }
  return false;
}

// Hands one event to the main program's handler and then to the plug-ins' handlers of the same
// kind (`handler_of` picks it from a plug-in's record). A handler may load or free plug-ins while
// the event goes round: the walk visits the plug-ins that were loaded when the event arrived, and
// of those only the ones still loaded at their turn, so none is called after it was unloaded and
// none twice. The handler is read at each plug-in's turn, as a plug-in may have been asked about
// itself again meanwhile.
template <typename Handler, typename HandlerOf, typename... Args>
void FanOut(const char* event, Handler main, HandlerOf handler_of, Args... args) {
  try {
    if (main != nullptr) main(args...);
    for (const TPluginItem* plug : PluginsLastFirst()) {
      if (!StillLoaded(plug)) continue;
      if (Handler handler = handler_of(plug->info); handler != nullptr) handler(args...);
    }
  } catch (const std::exception& error) {
    // The rest of the handlers do not see this event; the next one goes round as usual.
    LogError(std::string("a ") + event + " handler failed: " + error.what());
  } catch (...) {
    LogError(std::string("a ") + event + " handler failed");
  }
}

}  // namespace

bool StartUDP(std::uint16_t port) {
  if (UDPStart(port, 0, &MsgOnDataRecive, &MsgOnDisConnect)) return true;
  // The transport keeps an engine that failed to start and would answer a later start with true;
  // stop it so that the next call starts afresh.
  UDPStop();
  return false;
}

void MsgOnDataRecive(std::uint16_t remote, const void* data, std::uint32_t size) {
  FanOut(
      "message", ExeOnDataRecive, [](const TPluginInfo& info) { return info.on_data; }, remote, data, size);
}

void MsgOnDisConnect(std::uint16_t remote, std::uint8_t reason) {
  FanOut(
      "peer-lost", ExeOnDisConnect, [](const TPluginInfo& info) { return info.on_disconnect; }, remote,
      reason);
}

}  // namespace kiv
