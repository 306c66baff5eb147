// MA_FindPassWd: the password recovery window ("找回密码").
//
// Three steps, each checked by the login server (0x30023): the user code with the identity
// number, then the answer to the protection question, then the new password; a fourth page tells
// the user it worked. The window moves on only on a result-1 answer for the step it is waiting for;
// while it waits, "下一步" is disabled, and after 10 seconds without an answer it says so and lets
// the user try again.
//
// Ownership: created by the session manager, freed when closed (the manager then drops the
// login-server connection).
// Threads: main thread only.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>

#include "base/wire.h"

namespace kiv {

class TFindPassWordForm : public QWidget {
  Q_OBJECT

 public:
  // `send_to_login` sends a whole message on the login-server connection.
  explicit TFindPassWordForm(std::function<void(const Bytes&)> send_to_login, int timeout_ms = 10000);

  // A recovery result 0x30023 from the login server.
  void DealRecoveryResult(const void* data, std::size_t size);

  int Page() const { return pages_->currentIndex(); }
  bool Waiting() const { return timeout_.isActive(); }
  QLabel* TitleLabel() const { return title_; }
  QLineEdit* UserCodeBox() const { return user_code_; }
  QLineEdit* IdentityBox() const { return identity_; }
  QLabel* QuestionLabel() const { return question_; }
  QLineEdit* AnswerBox() const { return answer_; }
  QLineEdit* NewPasswordBox() const { return new_password_; }
  QLineEdit* ConfirmPasswordBox() const { return confirm_password_; }
  QLabel* SuccessLabel() const { return success_; }
  QPushButton* NextButton() const { return next_; }
  QPushButton* CancelButton() const { return cancel_; }

 private:
  void Next();
  void Refuse(const QString& text, QLineEdit* focus);
  void SendStep(std::uint8_t step, std::string_view identity, std::string_view answer,
                std::string_view new_password);
  void ShowPage(int page);
  void TimedOut();

  std::function<void(const Bytes&)> send_to_login_;
  QLabel* title_;
  QStackedWidget* pages_;
  QLineEdit* user_code_;
  QLineEdit* identity_;
  QLabel* question_;
  QLineEdit* answer_;
  QLineEdit* new_password_;
  QLineEdit* confirm_password_;
  QLabel* success_;
  QPushButton* next_;
  QPushButton* cancel_;
  QTimer timeout_;
  std::uint32_t code_ = 0;         // the user code step 1 was sent with
  std::uint8_t waiting_step_ = 0;  // the step whose answer is awaited, 0 for none
};

}  // namespace kiv
