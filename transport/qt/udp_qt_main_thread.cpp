#include "udp_qt_main_thread.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

namespace kiv {

void TQtMainThread::SocketOpened(int fd) {
  notifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    if (socket_) socket_->ReadData();
  });
}

void TQtMainThread::SocketClosing(int) {
  // The engine may be stopped from a callback that runs inside the notifier's own signal: the
  // notifier goes once that signal has returned.
  if (!notifier_) return;
  notifier_->setEnabled(false);
  notifier_->disconnect();
  notifier_.release()->deleteLater();
}

void TQtMainThread::Post(std::function<void()> task) {
  // Queued to this object, which lives on the main thread: the task runs there.
  QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

void TQtMainThread::ProcessEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

}  // namespace kiv
