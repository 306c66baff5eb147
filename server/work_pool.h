// A few worker threads for the slow part of some handlers (the password hash of a sign-in), so
// sign-ins use every core instead of one dispatch thread. The queue is bounded: beyond
// kMaxQueued tasks a new one is refused (the client's sign-in times out and it tries again), so
// a flood cannot grow memory without bound.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kiv::server {

class TWorkPool {
 public:
  static constexpr std::size_t kMaxQueued = 4096;

  // `threads` 0: one per core, at least two.
  explicit TWorkPool(unsigned threads = 0);
  ~TWorkPool() { Stop(); }
  TWorkPool(const TWorkPool&) = delete;
  TWorkPool& operator=(const TWorkPool&) = delete;

  // False when the queue is full or the pool is stopped.
  bool Post(std::function<void()> task);
  // Lets the running tasks finish, drops the queued ones and joins the threads.
  void Stop();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace kiv::server
