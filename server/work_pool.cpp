#include "work_pool.h"

namespace kiv::server {

TWorkPool::TWorkPool(unsigned threads) {
  if (threads == 0) threads = std::max(2u, std::thread::hardware_concurrency());
  for (unsigned i = 0; i < threads; ++i) {
    threads_.emplace_back([this] {
      while (true) {
        std::function<void()> task;
        {
          std::unique_lock lock(mutex_);
          cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
          if (stopping_) return;
          task = std::move(queue_.front());
          queue_.pop_front();
        }
        try {
          task();
        } catch (...) {
        }
      }
    });
  }
}

bool TWorkPool::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || queue_.size() >= kMaxQueued) return false;
    queue_.push_back(std::move(task));
  }
  cv_.notify_one();
  return true;
}

void TWorkPool::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    queue_.clear();
  }
  cv_.notify_all();
  for (std::thread& t : threads_)
    if (t.joinable()) t.join();
}

}  // namespace kiv::server
