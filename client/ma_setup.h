// MA_Setup: the settings window `TSetupForm` ("设置中心").
//
// On the left a bar of two groups of page buttons ("用户设置": profile, photo, security; "系统设置":
// basic, sound, messages), on the right the chosen page, at the bottom a status line with "确定" and
// "关闭". Local settings (the setup record, the login window's two boxes, the custom photo) are
// saved whenever "确定" is pressed. The profile goes to the server as 0x30014 only after every check
// passed and only when something changed; the window then stays locked (not closable, disabled) until
// the answer 0x30015 or a 10-second time-out. What the request carried is kept with it (by the
// session manager, `TSentProfile`), so the answer applies exactly the values that were sent, never
// the controls as they are when the answer arrives, and nothing at all when the server refused.
//
// Until the own profile has arrived (0x30013) the profile page holds no real values: "确定" then
// saves the local settings and closes without sending anything.
//
// Ownership: created by the session manager on first use (`ShowSetup`), freed when closed.
// Threads: main thread only.
#pragma once

#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "base/wire.h"
#include "ma_sys_setup.h"
#include "ma_user_setup.h"

namespace kiv {

class TKivFrameBar;
class TLoginForm;
class TMe;

// The profile values a change request carried; applied to TMe when the server accepts it.
struct TSentProfile {
  std::string nickname;
  std::uint8_t sex = 0;
  std::uint8_t age = 0;
  std::uint8_t face = 0;
  std::string email;
  std::string province;
  std::string city;
  std::string telephone;
  std::string address;
  std::string occupation;
  std::string introduction;  // line breaks as CR LF
  std::uint8_t verify_mode = 0;
  std::uint8_t bind_computer = 0;
  std::optional<std::string> new_password;  // set when "修改密码" was checked
};
void ApplySentProfile(const TSentProfile& sent, TMe& me);

// What the window needs from the session; the session manager fills it.
struct TSetupHooks {
  // `TManager::SaveSetup`: takes the window's local settings and writes the setup file.
  std::function<void()> save_setup;
  // Sends a profile change request and keeps what it carried.
  std::function<void(const Bytes& request, const TSentProfile& sent)> send_change;
  // Asks the server for the own profile (0x30012).
  std::function<void()> request_profile;
  // The login window, created and filled when missing.
  std::function<TLoginForm*()> login_form;
  std::function<void(const std::filesystem::path&)> play_sound;
  // Opens the mall (the VIP questions).
  std::function<void()> open_mall;
  int timeout_ms = 10000;
};

class TSetupForm : public QWidget {
  Q_OBJECT

 public:
  // The pages in the order of the bar.
  enum Page { kProfile = 0, kPhoto = 1, kSecurity = 2, kBasic = 3, kSound = 4, kMessages = 5 };

  explicit TSetupForm(TSetupHooks hooks);

  // Shows the window on a page of `ShowSetup`: 0 the profile, 1 the photo, 2 the basic settings.
  void OpenPage(int page);
  // Shows one page; the profile, photo and security pages ask for the own profile ("刷新").
  void ShowPage(Page page);
  Page CurrentPage() const { return page_; }

  // Steps 2 to 4 of saving: the controls into the setup record, the custom photo into "Me.pho".
  void StoreLocalSettings();
  // The login window's two boxes as the basic page shows them.
  bool RememberPassword() const { return sys_->RememberBox()->isChecked(); }
  bool InvisibleLogin() const { return sys_->InvisibleBox()->isChecked(); }

  // The own profile arrived: fill the profile page (not while a change waits for its answer).
  void DealOwnProfile();
  // The answer to the change request arrived. A successful change closes the window when it was
  // still waiting for that answer (after a time-out the user may be editing again).
  void DealChangeResult(bool applied, bool password_changed);

  bool ProfileLoaded() const { return profile_loaded_; }
  bool Locked() const { return locked_; }
  QLabel* StatusLabel() const { return status_; }
  QPushButton* OkButton() const { return ok_; }
  QPushButton* CloseButton() const { return close_; }
  TUserSetupFrame* UserFrame() const { return user_; }
  TSysSetupFrame* SysFrame() const { return sys_; }
  TKivFrameBar* Bar() const { return bar_; }
  // The caption of the button that sent the last change request.
  const QString& SentBy() const { return sent_by_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void LoadLocalSettings();
  void Ok();
  bool Refuse(const QString& text);
  bool CheckProfile();
  bool ProfileChanged() const;
  void SendChange();
  void Lock();
  void Unlock();
  void TimedOut();
  void StorePhoto();

  TSetupHooks hooks_;
  TKivFrameBar* bar_;
  QStackedWidget* frames_;
  TUserSetupFrame* user_;
  TSysSetupFrame* sys_;
  QLabel* status_;
  QPushButton* ok_;
  QPushButton* close_;
  QTimer timeout_;
  Page page_ = kProfile;
  bool profile_loaded_ = false;
  bool refreshed_ = false;  // the profile was asked for since the window was shown
  bool locked_ = false;
  QString sent_by_;
};

}  // namespace kiv
