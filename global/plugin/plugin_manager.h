// Global_Plugin: the plug-in host.
//
// `TPluginManager` loads every plug-in file of the application folder's "Plugins" folder, keeps one
// record per plug-in in load order, starts and stops plug-ins and carries local messages: to a
// plug-in by name (`DealMessage`), to all of them (`DealMessageToAll`) and from a plug-in to the main
// program (`ExeDealMessage`). A plug-in is known by the name it reports, compared without regard to
// ASCII letter case.
//
// There is one host per process, `PluginManager`, created by the main program at start-up and freed
// at exit; plug-ins reach it through the same variable. The host has no lock: every operation runs
// on the thread that created it (the main thread), as do the plug-ins' handlers it calls; debug
// builds assert this.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "plugin/plugin_api.h"

namespace kiv {

// The host's record of one loaded plug-in.
struct TPluginItem {
  void* module = nullptr;  // dlopen handle
  TPluginInfo info{};      // the plug-in's last report about itself
  TGetPluginInfoProc GetPluginInfo = nullptr;
  TStartPluginProc StartPlugin = nullptr;
  TStopPluginProc StopPlugin = nullptr;
  TDealMessageProc DealMessage = nullptr;
  std::uint8_t working = 0;  // set by the host's StartPlugin, cleared by its StopPlugin
};

// The main program's handler for local messages plug-ins address to it. Calling it before the main
// program has assigned a handler does nothing.
class TExeDealMessage {
 public:
  using Handler = std::function<void(std::uint32_t code, void* data, std::uint32_t size)>;

  TExeDealMessage& operator=(Handler handler) {
    handler_ = std::move(handler);
    return *this;
  }
  void operator()(std::uint32_t code, void* data, std::uint32_t size) const {
    if (handler_) handler_(code, data, size);
  }
  explicit operator bool() const { return static_cast<bool>(handler_); }

 private:
  Handler handler_;
};

class TPluginManager {
 public:
  // Scans the "Plugins" folder of the running program's folder (FindPlugins); starts nothing.
  TPluginManager();
  // The same for another application folder: plug-ins in `app_folder`/Plugins, the stop log in
  // `app_folder`/1.txt.
  explicit TPluginManager(std::filesystem::path app_folder);
  // Frees every plug-in, last loaded first: each is stopped (its StopPlugin export is called whatever
  // its working flag says) and unloaded. When this is the process's host, `PluginManager` becomes null.
  ~TPluginManager();

  TPluginManager(const TPluginManager&) = delete;
  TPluginManager& operator=(const TPluginManager&) = delete;

  // Loads every "*.so" regular file of the plug-in folder, in name order, except "kivzhuan.so",
  // "kivHorse.so" and "kivHorse2.so" in any letter case (the room lobby loads those on demand).
  // A file that fails to load is skipped.
  void FindPlugins();
  // A second scan; names already registered are refused.
  void Start();
  // Loads one plug-in file and registers it under its reported name. False when the file does not
  // load, lacks an export of the interface, or reports a name already registered (it is unloaded).
  bool LoadPlugin(const std::filesystem::path& file);

  // The plug-in of that name, or nullptr; with several of one name, the last.
  TPluginItem* GetPlug(std::string_view name);
  // Stops, unlists and unloads one plug-in. False for an unknown name, and when its StopPlugin
  // export throws: the plug-in then stays loaded and listed, because its objects may still live.
  bool FreePlugin(std::string_view name);
  // Sets the working flag and calls the plug-in's StartPlugin (again, when already working).
  // True when it answered 1; false for an unknown name.
  bool StartPlugin(std::string_view name);
  // For a working plug-in: clears the flag and calls its StopPlugin; true when it answered 1. True
  // for an unknown or idle plug-in. An exception from the plug-in is logged to "1.txt" with the
  // plug-in's name, and the result is true.
  bool StopPlugin(std::string_view name);
  // The working flag; false for an unknown name.
  bool GetPluginWorking(std::string_view name);
  // True when the plug-in is loaded and reports exactly `version`.
  bool CheckPluginVersion(std::string_view name, std::int32_t version);
  // Hands a local message to the plug-in of that name. False, with no other effect, when unknown.
  bool DealMessage(std::string_view name, std::uint32_t code, void* data, std::uint32_t size);
  // Hands a local message to every loaded plug-in, in load order.
  void DealMessageToAll(std::uint32_t code, void* data, std::uint32_t size);
  // Calls the StartPlugin export of every auto-start plug-in, in load order. Working flags stay as
  // they are, so a later StopPlugin by name does not reach these plug-ins.
  void StartAllPlugin();
  // StopPlugin by name for every plug-in, last loaded first.
  void Stop();
  // Asks every plug-in about itself again and keeps the new report.
  void ReloadPluginInfo();
  // Nothing to do: plug-ins hide their own windows.
  void HideAllPlugin() {}

  // The loaded plug-ins in load order (the message fan-out walks them from the last to the first).
  const std::vector<std::unique_ptr<TPluginItem>>& Items() const { return items_; }
  const std::filesystem::path& PluginFolder() const { return plugin_folder_; }

  // The main program's local message handler; plug-ins call PluginManager->ExeDealMessage(code,
  // data, size) and the host adds nothing.
  TExeDealMessage ExeDealMessage;

 private:
  bool FreeItem(std::size_t index);
  // Asserts that the caller is on the thread that created the host.
  void CheckThread() const;

  std::vector<std::unique_ptr<TPluginItem>> items_;
  std::filesystem::path app_folder_;  // its error log takes the files that do not load
  std::filesystem::path plugin_folder_;
  std::filesystem::path stop_log_;
  std::thread::id owner_ = std::this_thread::get_id();
};

// The process's plug-in host; null until the main program creates it.
extern TPluginManager* PluginManager;

// True for the plug-in files the scan leaves to be loaded on demand.
bool IsOnDemandPluginFile(std::string_view file_name);

}  // namespace kiv
