// A small plug-in for the host's tests, built several times with different definitions:
//   FIXTURE_NAME          the name it reports
//   FIXTURE_VERSION       the version it reports at first
//   FIXTURE_AUTO_START    its auto-start flag
//   FIXTURE_START_RESULT  what StartPlugin answers
//   FIXTURE_STOP_RESULT   what StopPlugin answers
//   FIXTURE_STOP_THROWS   StopPlugin throws
//   FIXTURE_HANDLERS      it reports transport handlers; a message "free:<name>" makes its data
//                         handler free that plug-in
//   FIXTURE_HANDLERS_THROW  its data handler throws on a message that begins with "boom", its
//                         disconnect handler on every lost peer (after reporting them)
//   FIXTURE_NO_INFO       it does not export GetPluginInfo
// It tells the test what happens to it by sending the main program (the test) local message
// kFixtureReport with a text "<name>:<event>".
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "plugin/plugin_manager.h"
#include "plugin_fixture/test_plugin.h"

#ifndef FIXTURE_VERSION
#define FIXTURE_VERSION 1000
#endif
#ifndef FIXTURE_AUTO_START
#define FIXTURE_AUTO_START 0
#endif
#ifndef FIXTURE_START_RESULT
#define FIXTURE_START_RESULT 1
#endif
#ifndef FIXTURE_STOP_RESULT
#define FIXTURE_STOP_RESULT 1
#endif

namespace {

std::int32_t reported_version = FIXTURE_VERSION;

void Report(const std::string& event) {
  if (kiv::PluginManager == nullptr) return;
  std::string text = std::string(FIXTURE_NAME) + ":" + event;
  kiv::PluginManager->ExeDealMessage(kiv::kFixtureReport, text.data(),
                                     static_cast<std::uint32_t>(text.size()));
}

[[maybe_unused]] void OnData(std::uint16_t remote, const void* data, std::uint32_t size) {
  std::string head(static_cast<const char*>(data), size);
  Report("data:" + std::to_string(remote) + ":" + head);
  if (head.starts_with("free:") && kiv::PluginManager != nullptr)
    kiv::PluginManager->FreePlugin(head.substr(5));
#ifdef FIXTURE_HANDLERS_THROW
  if (head.starts_with("boom")) throw std::runtime_error("the plug-in could not take the message");
#endif
}

[[maybe_unused]] void OnLost(std::uint16_t remote, std::uint8_t reason) {
  Report("lost:" + std::to_string(remote) + ":" + std::to_string(reason));
#ifdef FIXTURE_HANDLERS_THROW
  throw std::runtime_error("the plug-in could not take the lost peer");
#endif
}

}  // namespace

extern "C" {

#ifndef FIXTURE_NO_INFO
void GetPluginInfo(kiv::TPluginInfo* info) {
  info->name.SetText(FIXTURE_NAME);
  info->caption.SetText("测试插件");
  info->kind = kiv::kPluginKindOther;
  info->auto_start = FIXTURE_AUTO_START;
  info->version = reported_version;
#ifdef FIXTURE_HANDLERS
  info->on_data = &OnData;
  info->on_disconnect = &OnLost;
#endif
  info->active_graphic.SetText(FIXTURE_NAME "Active");
  info->inactive_graphic.SetText(FIXTURE_NAME "InActive");
}
#endif

std::uint32_t StartPlugin() {
  Report("start");
  return FIXTURE_START_RESULT;
}

std::uint32_t StopPlugin() {
  Report("stop");
#ifdef FIXTURE_STOP_THROWS
  throw std::runtime_error("the plug-in could not stop");
#endif
  return FIXTURE_STOP_RESULT;
}

void DealMessage(std::uint32_t code, void* data, std::uint32_t size) {
  if (code == kiv::kFixtureSetVersion && size == sizeof reported_version) {
    std::memcpy(&reported_version, data, sizeof reported_version);
    return;
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(code));
  Report("msg:" + std::string(hex) + ":" + std::to_string(size));
}

}  // extern "C"
