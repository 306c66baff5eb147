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

void TQtMainThread::SocketClosing(int) { notifier_.reset(); }

void TQtMainThread::Post(std::function<void()> task) {
  // Queued to this object, which lives on the main thread: the task runs there.
  QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

void TQtMainThread::ProcessEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

}  // namespace kiv
