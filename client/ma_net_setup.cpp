#include "ma_net_setup.h"

#include <QApplication>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "base/socket.h"
#include "manager/global_manager.h"
#include "manager/message_forms.h"

namespace kiv {

TNetSetupForm::TNetSetupForm()
    : use_proxy_(new QCheckBox(QStringLiteral("使用SOCK5代理"), this)),
      host_(new QLineEdit(this)),
      port_(new QSpinBox(this)),
      auth_(new QCheckBox(QStringLiteral("需要身份验证"), this)),
      user_(new QLineEdit(this)),
      password_(new QLineEdit(this)),
      local_port_(new QSpinBox(this)),
      test_(new QPushButton(QStringLiteral("测试代理"), this)),
      done_(new QPushButton(QStringLiteral("完成"), this)),
      exit_(new QPushButton(QStringLiteral("退出"), this)) {
  setObjectName(QStringLiteral("NetSetupForm"));
  setWindowTitle(QStringLiteral("网络设置"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowFlag(Qt::Dialog, true);

  use_proxy_->setObjectName(QStringLiteral("UseProxyBox"));
  host_->setObjectName(QStringLiteral("ProxyHostBox"));
  host_->setMaxLength(20);
  port_->setObjectName(QStringLiteral("ProxyPortBox"));
  port_->setRange(1, 65535);
  auth_->setObjectName(QStringLiteral("ProxyAuthBox"));
  user_->setObjectName(QStringLiteral("ProxyUserBox"));
  user_->setMaxLength(40);
  password_->setObjectName(QStringLiteral("ProxyPasswordBox"));
  password_->setMaxLength(40);
  password_->setEchoMode(QLineEdit::Password);
  local_port_->setObjectName(QStringLiteral("LocalPortBox"));
  local_port_->setRange(1, 65535);
  test_->setObjectName(QStringLiteral("TestProxyButton"));
  done_->setObjectName(QStringLiteral("DoneButton"));
  done_->setDefault(true);
  exit_->setObjectName(QStringLiteral("ExitButton"));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(14, 12, 14, 12);
  auto* proxy = new QGroupBox(this);
  auto* proxy_layout = new QVBoxLayout(proxy);
  proxy_layout->addWidget(use_proxy_);
  auto* server = new QFormLayout;
  server->setContentsMargins(20, 0, 0, 0);
  server->addRow(QStringLiteral("代理地址："), host_);
  server->addRow(QStringLiteral("代理端口："), port_);
  proxy_layout->addLayout(server);
  proxy_layout->addWidget(auth_);
  auto* credentials = new QFormLayout;
  credentials->setContentsMargins(20, 0, 0, 0);
  credentials->addRow(QStringLiteral("代理用户："), user_);
  credentials->addRow(QStringLiteral("代理密码："), password_);
  proxy_layout->addLayout(credentials);
  layout->addWidget(proxy);
  auto* local = new QFormLayout;
  local->addRow(QStringLiteral("本地端口："), local_port_);
  layout->addLayout(local);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(test_);
  buttons->addStretch(1);
  buttons->addWidget(done_);
  buttons->addWidget(exit_);
  layout->addLayout(buttons);
  setFixedWidth(300);

  if (GlobalManager) {
    const TSystemInfo& system = GlobalManager->SystemInfo;
    use_proxy_->setChecked(system.UseProxy != 0);
    host_->setText(QString::fromStdString(system.ProxyHost.Text()));
    port_->setValue(system.ProxyPort != 0 ? system.ProxyPort : kDefaultProxyPort);
    auth_->setChecked(system.ProxyAuth != 0);
    user_->setText(QString::fromStdString(system.ProxyUser.Text()));
    password_->setText(QString::fromStdString(system.ProxyPassword.Text()));
    local_port_->setValue(system.LocalPortBase != 0 ? system.LocalPortBase : kDefaultLocalPortBase);
  } else {
    port_->setValue(kDefaultProxyPort);
    local_port_->setValue(kDefaultLocalPortBase);
  }
  UpdateEnabled();
  connect(use_proxy_, &QCheckBox::toggled, this, &TNetSetupForm::UpdateEnabled);
  connect(auth_, &QCheckBox::toggled, this, &TNetSetupForm::UpdateEnabled);
  connect(test_, &QPushButton::clicked, this, &TNetSetupForm::TestProxy);
  connect(done_, &QPushButton::clicked, this, &TNetSetupForm::Done);
  connect(exit_, &QPushButton::clicked, this, &QWidget::close);
  if (GlobalManager) GlobalManager->UpdateFormSkin(this);
  CentreOnDesktop(this);
}

void TNetSetupForm::UpdateEnabled() {
  const bool proxy = use_proxy_->isChecked();
  const bool auth = proxy && auth_->isChecked();
  for (QWidget* field : std::initializer_list<QWidget*>{host_, port_, test_, auth_}) field->setEnabled(proxy);
  user_->setEnabled(auth);
  password_->setEnabled(auth);
}

void TNetSetupForm::CopyProxyFields() {
  if (!GlobalManager) return;
  TSystemInfo& system = GlobalManager->SystemInfo;
  system.UseProxy = use_proxy_->isChecked() ? 1 : 0;
  system.ProxyHost.SetText(host_->text().trimmed().toStdString());
  system.ProxyPort = static_cast<std::uint16_t>(port_->value());
  system.ProxyAuth = auth_->isChecked() ? 1 : 0;
  system.ProxyUser.SetText(user_->text().toStdString());
  system.ProxyPassword.SetText(password_->text().toStdString());
}

bool TNetSetupForm::TestProxy() {
  if (!GlobalManager) return false;
  CopyProxyFields();
  const TSystemInfo& system = GlobalManager->SystemInfo;
  if (system.UseProxy == 0) return false;
  const bool auth = system.ProxyAuth != 0;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  const std::uint16_t relay =
      StartProxy(system.ProxyHost.Text(), system.ProxyPort, GlobalManager->Me->local_port,
                 auth ? system.ProxyUser.Text() : std::string(), auth ? system.ProxyPassword.Text() : std::string());
  QApplication::restoreOverrideCursor();
  GlobalManager->ShowMessage(relay != 0 ? QStringLiteral("代理服务器连接成功。") : QStringLiteral("代理服务器连接失败。"));
  return relay != 0;
}

void TNetSetupForm::Done() {
  if (GlobalManager) {
    CopyProxyFields();
    GlobalManager->SystemInfo.LocalPortBase = static_cast<std::uint16_t>(local_port_->value());
    GlobalManager->SaveSystemInfo();
  }
  close();
}

}  // namespace kiv
