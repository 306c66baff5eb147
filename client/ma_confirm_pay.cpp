#include "ma_confirm_pay.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "ma_login.h"

namespace kiv {

TConfirmPayForm::TConfirmPayForm(const QString& question, QWidget* parent)
    : QWidget(parent, Qt::Dialog),
      question_(new QLabel(question, this)),
      pay_password_(new QLineEdit(this)),
      ok_(new QPushButton(QStringLiteral("确定"), this)),
      cancel_(new QPushButton(QStringLiteral("取消"), this)),
      soft_keyboard_button_(new QPushButton(QStringLiteral("软键盘"), this)) {
  setObjectName(QStringLiteral("TConfirmPayForm"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("转账确认"));
  question_->setWordWrap(true);
  pay_password_->setEchoMode(QLineEdit::Password);
  pay_password_->setMaxLength(kMaxPasswordLength);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(question_);
  layout->addWidget(new QLabel(QStringLiteral("请输入转账支付密码："), this));
  auto* password_row = new QHBoxLayout;
  password_row->addWidget(pay_password_, 1);
  soft_keyboard_button_->setObjectName(QStringLiteral("SoftKeyBoardButton"));
  soft_keyboard_button_->setFocusPolicy(Qt::NoFocus);
  soft_keyboard_button_->setAutoDefault(false);
  password_row->addWidget(soft_keyboard_button_);
  layout->addLayout(password_row);
  layout->addWidget(new QLabel(QStringLiteral("如未设置请点确定按钮"), this));
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);
  layout->addLayout(buttons);
  ok_->setDefault(true);

  connect(ok_, &QPushButton::clicked, this, [this] {
    const QString typed = pay_password_->text();
    close();
    emit Confirmed(typed);
  });
  connect(cancel_, &QPushButton::clicked, this, &QWidget::close);
  connect(soft_keyboard_button_, &QPushButton::clicked, this, &TConfirmPayForm::ShowSoftKeyboard);
}

void TConfirmPayForm::ShowSoftKeyboard() {
  if (!soft_keyboard_) soft_keyboard_ = new TSoftKeyboard(this, pay_password_);
  soft_keyboard_->FollowOwner();
  soft_keyboard_->show();
}

}  // namespace kiv
