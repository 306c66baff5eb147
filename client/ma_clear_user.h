// MA_ClearUser: the clear-user window ("清除用户").
//
// Removes one user from the local user list; with "同时删除该账号下所有的资源和信息" checked it first
// asks the login server to delete the account (the password proves the right to), and on success
// the user's folder goes too. The window checks what the user typed and reports it through
// `Confirmed`; the session manager sends the request, and `Lock` / `Unlock` frame the wait for the
// answer. Closing it is reported so the login-server connection can be dropped.
//
// Threads: main thread only.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
#include <cstdint>

namespace kiv {

class TClearUserForm : public QWidget {
  Q_OBJECT

 public:
  explicit TClearUserForm(std::uint32_t user_code);

  std::uint32_t UserCode() const { return user_code_; }
  QLineEdit* PasswordBox() const { return password_; }
  QCheckBox* DeleteAllBox() const { return delete_all_; }
  QPushButton* OkButton() const { return ok_; }
  QPushButton* CancelButton() const { return cancel_; }
  QLabel* StatusLabel() const { return status_; }

  // Both buttons off and "正在连接服务器..." while the server is asked.
  void Lock();
  void Unlock();
  bool Locked() const { return !ok_->isEnabled(); }

 signals:
  // "确定" with valid entries: `delete_all` with the typed password.
  void Confirmed(bool delete_all, const QString& password);
  void Closed();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void OnOk();

  std::uint32_t user_code_;
  QLineEdit* password_;
  QCheckBox* delete_all_;
  QLabel* status_;
  QPushButton* ok_;
  QPushButton* cancel_;
};

}  // namespace kiv
