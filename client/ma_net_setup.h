// MA_NetSetup: the network settings window ("网络设置"): the SOCKS5 proxy and the local port base,
// kept in the system record.
//
// "测试代理" copies the proxy fields into the system record (without saving it) and opens a relay
// through the proxy for the user's local port; "完成" copies every field, saves the record and
// closes; "退出" closes without saving.
//
// Threads: main thread only. "测试代理" waits for the proxy (at most the proxy watchdog's delay).
#pragma once

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QWidget>

namespace kiv {

inline constexpr int kDefaultProxyPort = 5566;
inline constexpr int kDefaultLocalPortBase = 9522;

class TNetSetupForm : public QWidget {
  Q_OBJECT

 public:
  TNetSetupForm();

  QCheckBox* UseProxyBox() const { return use_proxy_; }
  QLineEdit* HostBox() const { return host_; }
  QSpinBox* PortBox() const { return port_; }
  QCheckBox* AuthBox() const { return auth_; }
  QLineEdit* UserBox() const { return user_; }
  QLineEdit* PasswordBox() const { return password_; }
  QSpinBox* LocalPortBox() const { return local_port_; }
  QPushButton* TestButton() const { return test_; }
  QPushButton* DoneButton() const { return done_; }
  QPushButton* ExitButton() const { return exit_; }

  // "测试代理": true when the proxy opened a relay (the message says which).
  bool TestProxy();
  // "完成".
  void Done();

 private:
  void CopyProxyFields();
  void UpdateEnabled();

  QCheckBox* use_proxy_;
  QLineEdit* host_;
  QSpinBox* port_;
  QCheckBox* auth_;
  QLineEdit* user_;
  QLineEdit* password_;
  QSpinBox* local_port_;
  QPushButton* test_;
  QPushButton* done_;
  QPushButton* exit_;
};

}  // namespace kiv
