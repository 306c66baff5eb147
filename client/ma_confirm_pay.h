// MA_ConfirmPay: the transfer confirmation window ("转账确认").
//
// Shows what the transfer costs, fee included, and takes the pay password (at most 20
// characters; empty when the user never set one). "确定" hands the typed text to whoever opened the
// window through `Confirmed`; "确定", "取消" and closing all free the window. "软键盘" opens the soft
// keyboard beside the window for the pay password.
//
// Threads: main thread only.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QWidget>

#include "controls/soft_keyboard.h"

namespace kiv {

class TConfirmPayForm : public QWidget {
  Q_OBJECT

 public:
  explicit TConfirmPayForm(const QString& question, QWidget* parent = nullptr);

  QLabel* QuestionLabel() const { return question_; }
  QLineEdit* PayPasswordBox() const { return pay_password_; }
  QPushButton* OkButton() const { return ok_; }
  QPushButton* CancelButton() const { return cancel_; }
  QPushButton* SoftKeyboardButton() const { return soft_keyboard_button_; }
  TSoftKeyboard* SoftKeyboard() const { return soft_keyboard_.data(); }
  void ShowSoftKeyboard();

 signals:
  void Confirmed(const QString& pay_password);

 private:
  QLabel* question_;
  QLineEdit* pay_password_;
  QPushButton* ok_;
  QPushButton* cancel_;
  QPushButton* soft_keyboard_button_;
  QPointer<TSoftKeyboard> soft_keyboard_;
};

}  // namespace kiv
