// The transport's time source: milliseconds of a monotonic clock. The engine takes a TClock so that
// tests step time instead of sleeping; TRemote itself only ever sees the `now` it is given.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace kiv {

class TClock {
 public:
  virtual ~TClock() = default;
  // Milliseconds since an arbitrary fixed point; never goes back. Callable from any thread.
  virtual std::int64_t NowMs() const = 0;
};

// The system's monotonic clock.
class TSteadyClock final : public TClock {
 public:
  std::int64_t NowMs() const override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  // One process-wide instance (stateless).
  static TSteadyClock& Instance() {
    static TSteadyClock clock;
    return clock;
  }
};

// A clock that moves only when told to. Any thread may read it or advance it.
class TManualClock final : public TClock {
 public:
  explicit TManualClock(std::int64_t start = 0) : now_(start) {}
  std::int64_t NowMs() const override { return now_.load(std::memory_order_acquire); }
  void Set(std::int64_t now) { now_.store(now, std::memory_order_release); }
  void Advance(std::int64_t ms) { now_.fetch_add(ms, std::memory_order_acq_rel); }

 private:
  std::atomic<std::int64_t> now_;
};

}  // namespace kiv
