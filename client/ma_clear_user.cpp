#include "ma_clear_user.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "base/text_checks.h"
#include "ma_login.h"
#include "manager/global_manager.h"
#include "manager/message_forms.h"

namespace kiv {

TClearUserForm::TClearUserForm(std::uint32_t user_code)
    : user_code_(user_code),
      password_(new QLineEdit(this)),
      delete_all_(new QCheckBox(QStringLiteral("同时删除该账号下所有的资源和信息"), this)),
      status_(new QLabel(this)),
      ok_(new QPushButton(QStringLiteral("确定"), this)),
      cancel_(new QPushButton(QStringLiteral("取消"), this)) {
  setObjectName(QStringLiteral("ClearUserForm"));
  setWindowTitle(QStringLiteral("清除用户"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowFlag(Qt::Dialog, true);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(16, 14, 16, 12);
  layout->setSpacing(8);
  auto* who = new QLabel(QStringLiteral("清除本地用户列表中的用户：") + QString::number(user_code), this);
  who->setObjectName(QStringLiteral("UserLabel"));
  layout->addWidget(who);
  delete_all_->setObjectName(QStringLiteral("DeleteAllBox"));
  layout->addWidget(delete_all_);
  auto* row = new QHBoxLayout;
  row->addSpacing(20);
  row->addWidget(new QLabel(QStringLiteral("用户密码："), this));
  password_->setObjectName(QStringLiteral("PasswordBox"));
  password_->setEchoMode(QLineEdit::Password);
  password_->setMaxLength(kMaxPasswordLength);
  password_->setEnabled(false);
  row->addWidget(password_, 1);
  layout->addLayout(row);
  auto* warning = new QLabel(QStringLiteral("用户信息和资源一旦删除，将不能恢复，请注意备份。"), this);
  warning->setObjectName(QStringLiteral("WarningLabel"));
  warning->setWordWrap(true);
  warning->setStyleSheet(QStringLiteral("color: #c0392b;"));
  layout->addWidget(warning);
  auto* buttons = new QHBoxLayout;
  status_->setObjectName(QStringLiteral("StatusLabel"));
  buttons->addWidget(status_, 1);
  ok_->setObjectName(QStringLiteral("OkButton"));
  ok_->setDefault(true);
  cancel_->setObjectName(QStringLiteral("CancelButton"));
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);
  layout->addLayout(buttons);
  setFixedWidth(340);

  connect(delete_all_, &QCheckBox::toggled, password_, &QLineEdit::setEnabled);
  connect(ok_, &QPushButton::clicked, this, &TClearUserForm::OnOk);
  connect(cancel_, &QPushButton::clicked, this, &QWidget::close);
  if (GlobalManager) GlobalManager->UpdateFormSkin(this);
  CentreOnDesktop(this);
}

void TClearUserForm::OnOk() {
  const QString password = password_->text();
  if (delete_all_->isChecked()) {
    if (password.isEmpty()) {
      if (GlobalManager) GlobalManager->ShowMessage(QStringLiteral("密码不能为空。"));
      return;
    }
    if (!CheckInputString(password.toStdString())) {
      if (GlobalManager) GlobalManager->ShowMessage(QStringLiteral("密码中不能含有非法字符。"));
      return;
    }
  }
  emit Confirmed(delete_all_->isChecked(), password);
}

void TClearUserForm::Lock() {
  ok_->setEnabled(false);
  cancel_->setEnabled(false);
  status_->setText(QStringLiteral("正在连接服务器..."));
}

void TClearUserForm::Unlock() {
  ok_->setEnabled(true);
  cancel_->setEnabled(true);
  status_->clear();
}

void TClearUserForm::closeEvent(QCloseEvent* event) {
  QWidget::closeEvent(event);
  emit Closed();
}

}  // namespace kiv
