#include "plugin/plugin_manager.h"

#include <dlfcn.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <string>
#include <system_error>

#include "base/files.h"
#include "base/log.h"

namespace kiv {

TPluginManager* PluginManager = nullptr;

namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), AsciiLower);
  return out;
}

bool HasPluginExtension(std::string_view file_name) {
  constexpr std::string_view kExtension = ".so";
  return file_name.size() > kExtension.size() &&
         SameText(file_name.substr(file_name.size() - kExtension.size()), kExtension);
}

// Looks up an export of a loaded plug-in file as a function pointer of type `Proc`.
template <typename Proc>
Proc FindExport(void* module, const char* name) {
  void* symbol = dlsym(module, name);
  Proc proc = nullptr;
  static_assert(sizeof proc == sizeof symbol);
  std::memcpy(&proc, &symbol, sizeof proc);
  return proc;
}

}  // namespace

bool IsOnDemandPluginFile(std::string_view file_name) {
  return SameText(file_name, "kivzhuan.so") || SameText(file_name, "kivHorse.so") ||
         SameText(file_name, "kivHorse2.so");
}

void TPluginManager::CheckThread() const {
  assert(std::this_thread::get_id() == owner_ && "the plug-in host is used on the main thread only");
}

TPluginManager::TPluginManager() : TPluginManager(ApplicationFolder()) {}

TPluginManager::TPluginManager(std::filesystem::path app_folder)
    : app_folder_(app_folder), plugin_folder_(app_folder / "Plugins"), stop_log_(app_folder / "1.txt") {
  FindPlugins();
}

TPluginManager::~TPluginManager() {
  for (std::size_t i = items_.size(); i-- > 0;) {
    if (i < items_.size()) FreeItem(i);
  }
  // A plug-in whose stop failed stays mapped: its objects may still be alive.
  items_.clear();
  // Plug-ins and the fan-out reach the host through the variable; it must not outlive the host.
  if (PluginManager == this) PluginManager = nullptr;
}

void TPluginManager::FindPlugins() {
  CheckThread();
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (std::filesystem::directory_iterator it(plugin_folder_, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code type_error;
    if (!it->is_regular_file(type_error)) continue;
    std::string file_name = it->path().filename().string();
    if (!HasPluginExtension(file_name) || IsOnDemandPluginFile(file_name)) continue;
    files.push_back(it->path());
  }
  // Directory order is arbitrary; load order decides which of two plug-ins of one name registers and
  // the order of the message fan-out, so keep it stable.
  std::sort(files.begin(), files.end(), [](const std::filesystem::path& a, const std::filesystem::path& b) {
    std::string name_a = a.filename().string(), name_b = b.filename().string();
    std::string lower_a = LowerAscii(name_a), lower_b = LowerAscii(name_b);
    return lower_a != lower_b ? lower_a < lower_b : name_a < name_b;
  });
  for (const auto& file : files) LoadPlugin(file);
}

void TPluginManager::Start() { FindPlugins(); }

bool TPluginManager::LoadPlugin(const std::filesystem::path& file) {
  CheckThread();
  void* module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* reason = dlerror();
    LogError("plug-in " + file.string() + " not loaded: " + (reason ? reason : "unknown error"), app_folder_);
    return false;
  }
  auto item = std::make_unique<TPluginItem>();
  item->module = module;
  item->GetPluginInfo = FindExport<TGetPluginInfoProc>(module, kGetPluginInfoExport);
  item->StartPlugin = FindExport<TStartPluginProc>(module, kStartPluginExport);
  item->StopPlugin = FindExport<TStopPluginProc>(module, kStopPluginExport);
  item->DealMessage = FindExport<TDealMessageProc>(module, kDealMessageExport);
  bool registered = false;
  if (!item->GetPluginInfo || !item->StartPlugin || !item->StopPlugin || !item->DealMessage) {
    LogError(file.string() + " is not a plug-in: it lacks an export of the plug-in interface", app_folder_);
  } else {
    try {
      TPluginInfo info{};
      item->GetPluginInfo(&info);
      item->info = info;
      if (GetPlug(item->info.name.Text()) == nullptr) {
        items_.push_back(std::move(item));
        registered = true;
      }
    } catch (...) {
      // A plug-in that cannot describe itself is skipped like one that does not load.
    }
  }
  // Unloading a refused file that is already registered (a second scan) only drops the extra
  // reference dlopen took.
  if (!registered) dlclose(module);
  return registered;
}

TPluginItem* TPluginManager::GetPlug(std::string_view name) {
  CheckThread();
  TPluginItem* found = nullptr;
  for (const auto& item : items_) {
    if (SameText(item->info.name.Text(), name)) found = item.get();
  }
  return found;
}

bool TPluginManager::FreeItem(std::size_t index) {
  CheckThread();
  bool result = false;
  try {
    TPluginItem* plug = items_[index].get();
    plug->StopPlugin();
    // The plug-in's stop may have loaded or freed plug-ins: find it again.
    auto it =
        std::find_if(items_.begin(), items_.end(), [plug](const auto& item) { return item.get() == plug; });
    if (it != items_.end()) {
      std::unique_ptr<TPluginItem> item = std::move(*it);
      items_.erase(it);
      dlclose(item->module);
    }
    result = true;
  } catch (...) {
    // The plug-in could not stop; it stays loaded and listed.
  }
  return result;
}

bool TPluginManager::FreePlugin(std::string_view name) {
  TPluginItem* plug = GetPlug(name);
  if (plug == nullptr) return false;
  auto it =
      std::find_if(items_.begin(), items_.end(), [plug](const auto& item) { return item.get() == plug; });
  return FreeItem(static_cast<std::size_t>(it - items_.begin()));
}

bool TPluginManager::StartPlugin(std::string_view name) {
  TPluginItem* plug = GetPlug(name);
  if (plug == nullptr) return false;
  plug->working = 1;
  return plug->StartPlugin() == 1;
}

bool TPluginManager::StopPlugin(std::string_view name) {
  TPluginItem* plug = GetPlug(name);
  if (plug == nullptr || plug->working == 0) return true;
  plug->working = 0;
  std::string logged_name = plug->info.name.Text();
  try {
    return plug->StopPlugin() == 1;
  } catch (...) {
    Log(stop_log_, logged_name);
    return true;
  }
}

bool TPluginManager::GetPluginWorking(std::string_view name) {
  TPluginItem* plug = GetPlug(name);
  return plug != nullptr && plug->working != 0;
}

bool TPluginManager::CheckPluginVersion(std::string_view name, std::int32_t version) {
  TPluginItem* plug = GetPlug(name);
  return plug != nullptr && plug->info.version == version;
}

bool TPluginManager::DealMessage(std::string_view name, std::uint32_t code, void* data, std::uint32_t size) {
  TPluginItem* plug = GetPlug(name);
  if (plug == nullptr) return false;
  plug->DealMessage(code, data, size);
  return true;
}

void TPluginManager::DealMessageToAll(std::uint32_t code, void* data, std::uint32_t size) {
  CheckThread();
  // By index: a handler may load or free plug-ins while the message goes round.
  for (std::size_t i = 0; i < items_.size(); ++i) items_[i]->DealMessage(code, data, size);
}

void TPluginManager::StartAllPlugin() {
  CheckThread();
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (items_[i]->info.auto_start == 1) items_[i]->StartPlugin();
  }
}

void TPluginManager::Stop() {
  CheckThread();
  for (std::size_t i = items_.size(); i-- > 0;) {
    if (i < items_.size()) StopPlugin(items_[i]->info.name.Text());
  }
}

void TPluginManager::ReloadPluginInfo() {
  CheckThread();
  for (std::size_t i = 0; i < items_.size(); ++i) {
    TPluginInfo info{};
    items_[i]->GetPluginInfo(&info);
    items_[i]->info = info;
  }
}

}  // namespace kiv
