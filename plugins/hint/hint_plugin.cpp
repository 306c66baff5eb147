// KivHint: the notice plug-in. It takes THintInfo notices from the main program and the plug-ins
// (0x70001 one notice, 0x70003 a notice that waited for the sign-in) and shows the pending ones
// again on 0x70002.
#include <memory>

#include "hint_notices.h"
#include "plugin/plugin_exports.h"
#include "plugin/plugin_manager.h"

namespace {

constexpr std::uint32_t kShowNotice = 0x70001;
constexpr std::uint32_t kShowPending = 0x70002;
constexpr std::uint32_t kShowEarlyNotice = 0x70003;

std::unique_ptr<kiv::THintNotices> notices;

void Describe(kiv::TPluginInfo& info) {
  info.name.SetText("KivHint");
  info.caption.SetText("消息提示插件");
  info.kind = kiv::kPluginKindOther;
  info.auto_start = 0;
  info.version = 1000;
}

bool Start() {
  if (!notices) notices = std::make_unique<kiv::THintNotices>();
  return true;
}

void Stop() { notices.reset(); }

void Deal(std::uint32_t code, void* data, std::uint32_t size) {
  if (code == kShowNotice || code == kShowEarlyNotice) {
    if (data == nullptr || size < sizeof(kiv::THintInfo)) return;
    const auto* info = static_cast<const kiv::THintInfo*>(data);
    // The picture is ours whatever happens to the notice.
    std::unique_ptr<QImage> picture(info->picture);
    if (notices) notices->Add(*info);
  } else if (code == kShowPending) {
    if (notices) notices->ShowPending();
  }
}

}  // namespace

KIV_PLUGIN_EXPORTS(Describe, Start, Stop, Deal)
