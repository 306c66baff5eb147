// The emoticon plug-in's manager: its list (always there, so the exported hot-key table works
// whether or not the picker exists) and its picker window (from StartPlugin to StopPlugin).
//
// The list follows the global manager's application folder and signed-in user: every entry point
// syncs it first, and a reload redraws the picker. Main thread only.
#pragma once

#include <QPointer>
#include <QStringList>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "emote_main.h"
#include "emote_model.h"

namespace kiv::emote {

class TManager {
 public:
  TManager() = default;
  ~TManager();
  TManager(const TManager&) = delete;
  TManager& operator=(const TManager&) = delete;

  // The list, synced with the signed-in user.
  TEmoteModel& Model();

  void CreateForm();
  void FreeForm();
  TKivEmoteForm* Form() const { return form_; }

  // Local messages 0x70008, 0x70009 and 0x70010; others are ignored.
  void DealMessage(std::uint32_t code, void* data, std::uint32_t size);

  // The exports.
  QStringList HotKeys();
  // The full path and custom flag of the first emoticon with exactly this hot key; false when none.
  bool ImagePath(std::string_view hot_key, std::string& path, bool& custom);
  // Installs a package and says how it went in a message box.
  void RunEmoFile(const std::filesystem::path& file);

 private:
  TEmoteModel model_;
  QPointer<TKivEmoteForm> form_;
};

// The plug-in's manager, made at first use.
TManager& Manager();

}  // namespace kiv::emote
