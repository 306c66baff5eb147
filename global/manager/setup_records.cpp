#include "manager/setup_records.h"

#include <algorithm>

#include "base/gbk.h"
#include "declare/declare.h"

namespace kiv {
namespace {

constexpr const char* kDefaultSoundFiles[kSetupSoundCount] = {
    "Sounds/Sound1.wav", "Sounds/Sound2.wav", "Sounds/Sound3.wav", "Sounds/Sound4.wav",
    "Sounds/Sound5.wav", "Sounds/Sound6.wav", "Sounds/knock.wav",
};

}  // namespace

std::optional<std::string> StoreSetupPath(const std::filesystem::path& app_folder,
                                          const std::filesystem::path& path) {
  const std::filesystem::path folder = app_folder.lexically_normal();
  const std::filesystem::path target = path.lexically_normal();
  std::string text = target.generic_string();
  if (target.is_absolute() && !folder.empty()) {
    const std::filesystem::path inside = target.lexically_relative(folder);
    if (!inside.empty() && *inside.begin() != "..") text = inside.generic_string();
  }
  const std::string gbk = Utf8ToGbk(text);
  if (gbk.size() > 255 || GbkToUtf8(gbk) != text) return std::nullopt;
  return text;
}

std::filesystem::path ResolveSetupPath(const std::filesystem::path& app_folder, std::string_view stored) {
  std::string text(stored);
  std::replace(text.begin(), text.end(), '\\', '/');
  const std::filesystem::path path(text);
  if (path.empty() || path.is_absolute()) return path;
  return (app_folder / path).lexically_normal();
}

void SetSetupDefaults(TSetupInfo& setup, std::uint32_t user_code) {
  setup.UserCode = user_code;
  setup.AutoRun = 0;
  setup.FriendOnlineHint = 1;
  setup.OnlyShowOnline = 0;
  setup.AutoPopupMessage = 0;
  setup.UseHotKey = 1;
  setup.HotKey = kHotKeyAlt | 'Z';
  setup.SoundOn = 1;
  for (std::size_t i = 0; i < kSetupSoundCount; ++i) setup.Sounds[i].SetText(kDefaultSoundFiles[i]);
  setup.ReceiveFolder.SetText(std::to_string(user_code) + "/接受到的文件");
  setup.SaveHistory = 1;
  setup.FontName.SetText("宋体");
  setup.FontSize = 9;
  setup.FontColor = 0;
  setup.FontStyle = 0;
  setup.EnterSend = 1;
  setup.SmallFace = 0;
  setup.FriendOfflineHint = 0;
  setup.AutoHideMain = 1;
  setup.Signature.SetText("");
  setup.UseCustomPhoto = 0;
  setup.ShowCustomPhotos = 1;
  setup.VideoWidth = 176;
  setup.VideoHeight = 144;
  setup.RefuseRoomInvite = 0;
  setup.AutoOpenLobby = 1;
  setup.Reserved2384 = 0;
  setup.Reserved2387 = 0;
  setup.Reserved2388 = 0;
  setup.Reserved2390 = 0;
  setup.Reserved2646 = 0;
}

void SetSystemDefaults(TSystemInfo& system) {
  system.SkinName.SetText(SKINNAME);
  system.SkinHue = 0;
  system.SkinSaturation = 0;
  system.SkinGlow = 1;
  system.SkinBorders = 1;
  system.UseProxy = 0;
  system.ProxyHost.SetText("");
  system.ProxyPort = 0;
  system.ProxyAuth = 0;
  system.ProxyUser.SetText("");
  system.ProxyPassword.SetText("");
  system.LoginServerAddress.SetText("");
  system.MainTop = -1;
  system.MainLeft = -1;
  system.MainWidth = -1;
  system.MainHeight = -1;
  system.VideoDevice = 0;
  system.AudioOutput = 0;
  system.AudioInput = 0;
  system.AudioQuality = kAudioQualityHigh;
  system.LocalPortBase = 9522;
}

}  // namespace kiv
