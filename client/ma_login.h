// MA_Login: the login window ("登录$APP娱乐").
//
// The user picks or types a user code (digits only), gives the password (at most 20 characters;
// the box takes no more) and signs in, invisibly when "隐身登录" is checked, or as a guest. The
// window holds no login logic: its buttons and its 10-second time-out are signals the session
// manager (MA_Manager) connects. The soft keyboard ("软键盘") opens beside it for the password box;
// from the fifth double-click on its panel on, every double-click asks for the transport's
// diagnostics window. Each entry of the user-code list keeps its 82-byte record of the
// local user list ("Datas/LoginInfo.dat", read and written by the session manager).
//
// Threads: main thread only.
#pragma once

#include <QByteArray>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <cstdint>

#include "controls/soft_keyboard.h"

namespace kiv {

// One record of the local user list: 82 bytes.
inline constexpr std::size_t kLoginRecordSize = 82;
inline constexpr int kMaxPasswordLength = 20;

class TLoginForm : public QWidget {
  Q_OBJECT

 public:
  explicit TLoginForm(int timeout_ms = 10000);

  QString UserCodeText() const;
  QString Password() const;
  bool RememberPassword() const { return remember_->isChecked(); }
  bool Invisible() const { return invisible_->isChecked(); }
  void SetInvisible(bool invisible) { invisible_->setChecked(invisible); }

  QComboBox* UserCodeBox() const { return user_code_; }
  QLineEdit* PasswordBox() const { return password_; }
  QCheckBox* RememberBox() const { return remember_; }
  QCheckBox* InvisibleBox() const { return invisible_; }
  QPushButton* LoginButton() const { return login_; }
  QPushButton* GuestButton() const { return guest_; }
  QPushButton* NetSetupButton() const { return net_setup_; }
  QPushButton* ClearUserButton() const { return clear_user_; }
  QPushButton* SoftKeyboardButton() const { return soft_keyboard_button_; }

  // "软键盘": the keyboard beside the window, typing into the password box (one at a time).
  void ShowSoftKeyboard();
  TSoftKeyboard* SoftKeyboard() const { return soft_keyboard_.data(); }
  // Double-clicks on the panel so far (never reset).
  int PanelDoubleClicks() const { return double_clicks_; }
  // The user's code in the box when it is one of the list's; 0 otherwise.
  std::uint32_t ListedUserCode() const;
  // Takes `code` out of the list, empties the boxes and clears "记住密码".
  void RemoveUser(std::uint32_t code);
  void ClearEntries();

  // Fills the list from the records (each kLoginRecordSize bytes), the first one into the boxes.
  void SetUsers(const std::vector<QByteArray>& records);
  // The records of the list in order.
  std::vector<QByteArray> Users() const;

  // The main login window is the one shown at start-up or after a failed start: closing it, or
  // "退出" on it, ends the program.
  void SetMainLoginWindow(bool main) { main_login_ = main; }
  bool IsMainLoginWindow() const { return main_login_; }

  void StartTimeout() { timeout_.start(); }
  void StopTimeout() { timeout_.stop(); }
  bool TimeoutActive() const { return timeout_.isActive(); }

 signals:
  void LoginRequested(bool guest);
  void TimedOut();
  // The main login window was closed or "退出" was pressed on it.
  void ExitRequested();
  void RegisterRequested();
  void ForgotPasswordRequested();
  void NetSetupRequested();
  void ClearUserRequested(std::uint32_t code);
  // The fifth and every later double-click on the panel.
  void DiagnosticsRequested();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void OnUserChosen(int index);
  void FillFromRecord(const QByteArray& record);

  QComboBox* user_code_ = nullptr;
  QLineEdit* password_ = nullptr;
  QCheckBox* remember_ = nullptr;
  QCheckBox* invisible_ = nullptr;
  QPushButton* login_ = nullptr;
  QPushButton* guest_ = nullptr;
  QPushButton* net_setup_ = nullptr;
  QPushButton* clear_user_ = nullptr;
  QPushButton* soft_keyboard_button_ = nullptr;
  QPointer<TSoftKeyboard> soft_keyboard_;
  int double_clicks_ = 0;
  QTimer timeout_;
  bool main_login_ = false;
};

}  // namespace kiv
