// KivCatch: screen capture into a chat input (local message 0x70009 from the chat windows).
#include "catch_manager.h"
#include "plugin/plugin_exports.h"

namespace {

void Describe(kiv::TPluginInfo& info) {
  info.name.SetText("KivCatch");
  info.caption.SetText("截屏插件");
  info.kind = kiv::kPluginKindOther;
  info.auto_start = 0;  // nothing to start: the overlay is made per request
  info.version = 1000;
}

bool Start() { return true; }

// The overlay's code goes with the plug-in file, so it must not outlive this call.
void Stop() { kiv::capture::Manager().Stop(); }

void Deal(std::uint32_t code, void* data, std::uint32_t size) {
  kiv::capture::Manager().DealMessage(code, data, size);
}

}  // namespace

KIV_PLUGIN_EXPORTS(Describe, Start, Stop, Deal)
