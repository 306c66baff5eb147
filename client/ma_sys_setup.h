// MA_SysSetup: the "系统设置" pages of the settings window: basic settings (notifications, the
// show-window hot key, start with the desktop), sounds, and messages (font, received files).
//
// The pages hold the local settings of the setup record while the window is open: `LoadFromSetup`
// fills them from the record, `StoreToSetup` writes them back (the caller saves the file). The two
// login-window boxes ("隐身方式登录", "记住密码登录") are kept by the login window; the settings window
// copies them in and out.
//
// Threads: main thread only.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QWidget>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>

#include "manager/setup_records.h"

namespace kiv {

// The default show-window hot key, Alt+Z.
inline constexpr std::uint16_t kDefaultHotKey = 0x805A;

// The shortcut value (key code in the low byte, kHotKey* modifiers) of a Qt key with its
// modifiers; 0 for a key that has no key code of its own (a lone modifier, an unknown key).
std::uint16_t HotKeyFromQt(int key, Qt::KeyboardModifiers modifiers);
// The shortcut as the user reads it ("Ctrl + Alt + K"); "无" for 0.
QString HotKeyText(std::uint16_t shortcut);

// A field that takes one key combination when a key is pressed in it. A key pressed without Ctrl or
// Alt gets Alt, as a show-window key must not take a plain key from every other program; Backspace
// or Delete alone clears it.
class THotKeyEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit THotKeyEdit(QWidget* parent = nullptr);
  std::uint16_t Value() const { return value_; }
  void SetValue(std::uint16_t shortcut);

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::uint16_t value_ = 0;
};

class TSysSetupFrame : public QWidget {
  Q_OBJECT

 public:
  enum Page { kBasic = 0, kSound = 1, kMessages = 2 };

  // `play_sound` plays a wave file ("播放").
  explicit TSysSetupFrame(std::function<void(const std::filesystem::path&)> play_sound,
                          QWidget* parent = nullptr);

  void ShowPage(Page page) { pages_->setCurrentIndex(page); }
  int CurrentPage() const { return pages_->currentIndex(); }

  // Every control from the setup record; the sound list shows its first entry.
  void LoadFromSetup(const TSetupInfo& setup);
  // Every control into the global manager's setup record (paths through SetSoundFile and
  // SetReceiveFolder, which keep a path that does not fit).
  void StoreToSetup() const;

  // The received-files folder and a sound file, as "选择" and "浏览" set them after their dialogs.
  void SetReceiveFolder(const QString& folder) { receive_folder_->setText(folder); }
  void SetSoundPath(const QString& path) { sound_path_->setText(path); }

  // Basic page.
  QCheckBox* OnlineHintBox() const { return online_hint_; }
  QCheckBox* OnlyOnlineBox() const { return only_online_; }
  QCheckBox* InvisibleBox() const { return invisible_; }
  QCheckBox* RememberBox() const { return remember_; }
  QCheckBox* UseHotKeyBox() const { return use_hot_key_; }
  QRadioButton* DefaultHotKeyRadio() const { return default_hot_key_; }
  QRadioButton* CustomHotKeyRadio() const { return custom_hot_key_; }
  THotKeyEdit* HotKeyEdit() const { return hot_key_; }
  QCheckBox* AutoRunBox() const { return auto_run_; }
  QCheckBox* OfflineHintBox() const { return offline_hint_; }
  QCheckBox* AutoHideBox() const { return auto_hide_; }
  QCheckBox* ShowPhotosBox() const { return show_photos_; }
  QCheckBox* AutoLobbyBox() const { return auto_lobby_; }
  // Sound page.
  QRadioButton* SoundOnRadio() const { return sound_on_; }
  QRadioButton* SoundOffRadio() const { return sound_off_; }
  QComboBox* SoundList() const { return sound_list_; }
  QLineEdit* SoundPathBox() const { return sound_path_; }
  QPushButton* PlayButton() const { return play_; }
  // Messages page.
  QLabel* FontSample() const { return font_sample_; }
  QLineEdit* ReceiveFolderBox() const { return receive_folder_; }
  QCheckBox* AutoPopupBox() const { return auto_popup_; }
  QCheckBox* SaveHistoryBox() const { return save_history_; }
  QCheckBox* RefuseInviteBox() const { return refuse_invite_; }

 private:
  QWidget* BuildBasicPage();
  QWidget* BuildSoundPage();
  QWidget* BuildMessagesPage();
  void EnableHotKeyControls();
  void BrowseSound();
  void ChooseFont();
  void ChooseReceiveFolder();
  void ShowFontSample();

  std::function<void(const std::filesystem::path&)> play_sound_;
  QStackedWidget* pages_;
  QCheckBox* online_hint_ = nullptr;
  QCheckBox* only_online_ = nullptr;
  QCheckBox* invisible_ = nullptr;
  QCheckBox* remember_ = nullptr;
  QCheckBox* use_hot_key_ = nullptr;
  QRadioButton* default_hot_key_ = nullptr;
  QRadioButton* custom_hot_key_ = nullptr;
  THotKeyEdit* hot_key_ = nullptr;
  QCheckBox* auto_run_ = nullptr;
  QCheckBox* offline_hint_ = nullptr;
  QCheckBox* auto_hide_ = nullptr;
  QCheckBox* show_photos_ = nullptr;
  QCheckBox* auto_lobby_ = nullptr;
  QRadioButton* sound_on_ = nullptr;
  QRadioButton* sound_off_ = nullptr;
  QComboBox* sound_list_ = nullptr;
  QLineEdit* sound_path_ = nullptr;
  QPushButton* play_ = nullptr;
  std::array<QString, kSetupSoundCount> sound_paths_;
  QLabel* font_sample_ = nullptr;
  QLineEdit* receive_folder_ = nullptr;
  QCheckBox* auto_popup_ = nullptr;
  QCheckBox* save_history_ = nullptr;
  QCheckBox* refuse_invite_ = nullptr;
};

}  // namespace kiv
