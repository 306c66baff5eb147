// Runs the Qt event loop of a test until a condition holds: a hang guard, not a timing check.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <thread>

namespace kiv {

template <typename Fn>
bool RunUntil(Fn done, int limit_ms = 20000) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < limit_ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

}  // namespace kiv
