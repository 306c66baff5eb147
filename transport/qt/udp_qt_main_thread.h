// Mode 0 on Qt: the engine's datagrams are read on the main thread when its socket is readable,
// tasks are posted to the main thread's event loop, and waits let Qt's events run.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

#include "udp_kivudp.h"

namespace kiv {

class TQtMainThread final : public QObject, public TMainThread {
 public:
  // `socket` is the engine whose datagrams the notifier reads; it must outlive this object's use.
  explicit TQtMainThread(TKivSocket* socket = nullptr) : socket_(socket) {}
  void Attach(TKivSocket* socket) { socket_ = socket; }

  void SocketOpened(int fd) override;
  void SocketClosing(int fd) override;
  void Post(std::function<void()> task) override;
  void ProcessEvents() override;

 private:
  TKivSocket* socket_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace kiv
