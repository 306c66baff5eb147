// The four exports of a plug-in file, written once.
//
// A plug-in's own code fills in four handlers and names them in one line of exactly one of its
// source files:
//
//   KIV_PLUGIN_EXPORTS(Describe, Start, Stop, Deal)
//
//   void Describe(kiv::TPluginInfo& info);               // info arrives zeroed
//   bool Start();                                        // true = success
//   void Stop();
//   void Deal(std::uint32_t code, void* data, std::uint32_t size);
//
// The macro defines GetPluginInfo, StartPlugin, StopPlugin and DealMessage with C linkage and default
// visibility. No exception leaves an export: a throwing Start reports failure, a throwing Stop or
// Deal is dropped (StopPlugin still reports success, as the host expects of a plug-in whose objects
// are gone), and a throwing Describe leaves the record zeroed, which the host refuses.
#pragma once

#include <cstdint>

#include "plugin/plugin_api.h"

namespace kiv::plugin_exports {

template <typename Describe>
void GetInfo(TPluginInfo* info, Describe describe) noexcept {
  if (info == nullptr) return;
  *info = TPluginInfo{};
  try {
    describe(*info);
  } catch (...) {
    *info = TPluginInfo{};
  }
}

template <typename Start>
std::uint32_t StartGuarded(Start start) noexcept {
  try {
    return start() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

template <typename Stop>
std::uint32_t StopGuarded(Stop stop) noexcept {
  try {
    stop();
  } catch (...) {
  }
  return 1;
}

template <typename Deal>
void DealGuarded(Deal deal, std::uint32_t code, void* data, std::uint32_t size) noexcept {
  try {
    deal(code, data, size);
  } catch (...) {
  }
}

// Runs a transport callback's body; an exception from it is dropped, as for every export.
template <typename Body>
void Guarded(Body body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

}  // namespace kiv::plugin_exports

#define KIV_PLUGIN_EXPORTS(describe, start, stop, deal)                                   \
  extern "C" {                                                                            \
  __attribute__((visibility("default"))) void GetPluginInfo(kiv::TPluginInfo* info) {     \
    kiv::plugin_exports::GetInfo(info, describe);                                         \
  }                                                                                       \
  __attribute__((visibility("default"))) std::uint32_t StartPlugin() {                    \
    return kiv::plugin_exports::StartGuarded(start);                                      \
  }                                                                                       \
  __attribute__((visibility("default"))) std::uint32_t StopPlugin() {                     \
    return kiv::plugin_exports::StopGuarded(stop);                                        \
  }                                                                                       \
  __attribute__((visibility("default"))) void DealMessage(std::uint32_t code, void* data, \
                                                          std::uint32_t size) {           \
    kiv::plugin_exports::DealGuarded(deal, code, data, size);                             \
  }                                                                                       \
  }
