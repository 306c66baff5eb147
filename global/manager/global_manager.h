// Global_Manager: the process-wide state the main program and every plug-in share.
//
// One instance, the exported variable `GlobalManager`, created by the main program at start-up and
// freed at exit; plug-ins read and write its fields directly. It holds the signed-in user, the
// friend groups, the server connections, the user's setup record (one file per user) and the
// installation's system record, the skin engine and its named pictures, the face pictures, the
// permission check, and the message and hint windows.
//
// Ownership: the manager owns every list and record below and the pictures of the graphics list.
// Threads: main thread only, except that any thread may read `AppPath`.
#pragma once

#include <QImage>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "declare/declare.h"
#include "manager/setup_records.h"
#include "manager/skin_engine.h"
#include "manager/sound_player.h"
#include "user/user.h"

namespace kiv {

// One friend group (the friends plug-in fills and edits the list).
struct TFriendGroupInfo {
  std::uint32_t id = 0;  // 1 "我的好友", 3 "我的黑名单"; the user's own groups are above 3
  ShortString<40> name;
  std::uint8_t expanded = 0;
  std::vector<std::unique_ptr<TFriend>> members;
};

// Kinds of waiting notice shown by the tray icon.
inline constexpr std::uint8_t kWaitChatMessage = 1;  // a chat window with an unread message

// One entry of the waiting-window list.
struct TWaitShowForm {
  std::uint8_t kind = 0;
  std::uint32_t user_code = 0;
  QPointer<QWidget> window;
};

// A named picture of the skin's graphics archive.
struct TGraphicRecord {
  ShortString<20> name;
  QImage picture;
};

// ShowMessage modes.
inline constexpr std::uint8_t kMessageNotice = 0;    // a new message window; returns at once
inline constexpr std::uint8_t kMessageQuestion = 1;  // modal Yes/No; true for Yes
inline constexpr std::uint8_t kMessageInfo = 2;      // modal box with OK

// Run states.
inline constexpr std::uint8_t kRunSignedOut = 0;
inline constexpr std::uint8_t kRunSignedIn = 1;
inline constexpr std::uint8_t kRunStarting = 2;

inline constexpr std::size_t kServerParamSize = 452;

class THintForm;

class TGlobalManager {
 public:
  // The running program's folder is the application folder.
  TGlobalManager();
  // Another application folder (tests, tools).
  explicit TGlobalManager(const std::filesystem::path& app_folder);
  // Saves the system record, then frees everything the manager owns.
  ~TGlobalManager();
  TGlobalManager(const TGlobalManager&) = delete;
  TGlobalManager& operator=(const TGlobalManager&) = delete;

  // Fills `PermitArray` with the service's permission table.
  void InitPermit();
  // Whether users of `user_type` have `permit` (the last row of that type decides).
  bool CheckPermit(std::uint8_t user_type, TPermitType permit) const;

  // The signed-in user's settings: creates the user's folder and the defaults when missing;
  // a file that is not exactly 2648 bytes is replaced by the defaults. Needs Me's user code.
  bool LoadSetupInfo();
  // Writes the 2648 bytes to the user's folder (created when missing); needs Me's user code.
  bool SaveSetupInfo();
  // The installation's settings: a missing file, or one that is not exactly 452 bytes, is replaced
  // by the defaults; then CURRENTVERSION and LOGINSERVERPORT are stored and the skin is applied.
  void LoadSystemInfo();
  bool SaveSystemInfo();
  // Applies the skin name and the four skin settings of the system record to the skin engine; an
  // unknown skin falls back to the brand's SKINNAME.
  void ApplySkin();

  // The setup record's paths, resolved against the application folder (ResolveSetupPath).
  std::filesystem::path SoundFile(TSetupSound sound) const;
  std::filesystem::path ReceiveFolder() const;
  // Store a path into the setup record, relative to the application folder when it lies inside it
  // (StoreSetupPath). False, with the record unchanged, when it does not fit the field.
  bool SetSoundFile(TSetupSound sound, const std::filesystem::path& file);
  bool SetReceiveFolder(const std::filesystem::path& folder);

  std::filesystem::path SetupInfoPath() const;
  std::filesystem::path SystemInfoPath() const;
  // The user's folder: application folder + decimal user code.
  std::filesystem::path UserFolder() const;

  // The graphics archive: application folder + "skins/" + SKINIMAGENAME.
  std::string SkinImagePath() const;
  // Reads the graphics archive into the graphics list (replacing it). False when the file cannot be
  // read; entries before a damaged part are kept, pictures that do not decode are left out.
  bool LoadGraphics();
  // The first picture named `name` (ASCII case ignored); owned by the list; null when none.
  const QImage* GetGraphic(const QString& name) const;
  // Copies the named picture into `bitmap` when found.
  void SetGraphic(const QString& name, QImage& bitmap) const;

  // Size in bytes of the photo file of `user_code`; 0 when none, and for one's own code unless the
  // custom photo is in use.
  std::int64_t GetPhotoSize(std::uint32_t user_code) const;
  // The photo of `user_code`, fitted into width x height (not for GIF pictures); null when there is
  // none or it cannot be read.
  QImage GetPhoto(std::uint32_t user_code, int width, bool stretch, int height) const;
  // The friend's photo at 60 x 60 when there is one and custom photos are shown; otherwise the
  // friend's face from the 32x32 list, grey unless the friend is online.
  QImage GetFriendPhoto(const TFriend& person) const;
  std::filesystem::path PhotoPath(std::uint32_t user_code) const;

  TFriend* GetFriendInfo(std::uint32_t user_code) const;
  TFriend* GetFriendInfoByAddress(std::uint32_t remote) const;

  TWaitShowForm* AddWaitShowForm(std::uint8_t kind, std::uint32_t user_code, QWidget* window);
  void RemoveWaitShowForm(const TWaitShowForm* entry);
  // The newest entry for `window`; null when none.
  TWaitShowForm* GetWaitShowForm(const QWidget* window) const;

  // Plays the wave file on the worker thread when it exists and sounds are on.
  void PlaySound(const std::filesystem::path& file);

  // Mode 0: warning sound and a new message window, 0 at once. Mode 1: modal Yes/No, 1 for Yes.
  // Mode 2: modal OK box. Texts are UTF-8 in QString form.
  int ShowMessage(const QString& text, std::uint8_t mode = kMessageNotice);
  void ShowHintForm(const QString& text);
  void HideHintForm();
  THintForm* HintForm() const;

  // Fonts, frames and "$MONEY"/"$APP" of the window and its children, then repaints it. A top-level
  // window also gets its mailbox (TFormMailbox) so that other programs can find it and send "Close".
  void UpdateFormSkin(QWidget* window) const;

  // --- the state plug-ins share (fields, in their documented order) ---
  std::unique_ptr<TSkinEngine> SkinManager;
  std::vector<std::unique_ptr<TGraphicRecord>> GraphicList;
  QPointer<QWidget> RoomTabPage;  // the lobby window's room tab page
  TSetupInfo SetupInfo{};
  TSystemInfo SystemInfo{};
  std::unique_ptr<TMe> Me;
  QPointer<QWidget> PluginPanel;  // the main window's plug-in area
  std::vector<std::unique_ptr<TWaitShowForm>> WaitShowFormList;
  std::vector<QImage> FaceList32;
  std::vector<QImage> FaceList16;
  std::string AppPath;  // ends with "/"
  std::vector<std::unique_ptr<TFriendGroupInfo>> FriendGroupList;
  std::uint8_t RunState = kRunStarting;
  std::int32_t LoginServer = 0;
  std::int32_t HomeServer = -1;
  ShortString<20> HomeServerIP;
  std::uint16_t HomeServerPort = 0;
  std::int32_t ChatRoomServer = 0;
  ShortString<20> ChatRoomServerIP;
  std::uint16_t ChatRoomServerPort = 0;
  std::int32_t UpdateServer = 0;
  ShortString<20> UpdateServerIP;
  std::uint16_t UpdateServerPort = 0;
  std::array<std::uint8_t, kServerParamSize> ServerParam{};
  std::int32_t HintCount = 0;

 private:
  void Create(const std::filesystem::path& app_folder);

  TSoundPlayer sound_player_;
  QPointer<THintForm> hint_form_;
};

// The process's global manager; null until the main program creates it.
extern TGlobalManager* GlobalManager;

// The picture fitted into a white width x height box by FitImageSize (emote/graphic.h). A null
// picture or an empty box gives the picture back unchanged.
QImage FitPictureSize(const QImage& picture, int width, int height, bool framed = false);

// "$MONEY" replaced by MONEYNAME, then "$APP" by APPNAME.
QString ReplaceBrandNames(QString text);

}  // namespace kiv
