// The playback queue of one speaker: decoded samples wait here until the sound server asks for
// them.
//
// It keeps latency bounded three ways: playback starts (and restarts after running dry) once the
// target depth is queued; a queue pushed beyond the cap is cut back to the target, dropping the
// oldest samples; and when the queue never fell below target + slack during a whole second (the
// sender's clock runs faster than ours), the excess is dropped, so a long call does not drift.
//
// Threads: Push, Pull and the readers may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace kiv {

class TJitterBuffer {
 public:
  static constexpr int kTargetMilliseconds = 20;
  static constexpr int kSlackMilliseconds = 20;
  static constexpr int kCapMilliseconds = 200;
  static constexpr int kDriftWindowMilliseconds = 1000;

  explicit TJitterBuffer(int sample_rate);

  void Push(std::span<const std::int16_t> samples);
  // Fills all of `out`: queued samples while playing, silence while the queue fills up.
  void Pull(std::span<std::int16_t> out);

  std::size_t Depth() const;
  // Samples dropped by the cap and by the drift control so far.
  std::uint64_t Dropped() const;

 private:
  void DropOldest(std::size_t count);                             // with mutex_ held
  std::size_t Queued() const { return samples_.size() - head_; }  // with mutex_ held

  const std::size_t target_, slack_, cap_, drift_window_;
  mutable std::mutex mutex_;           // guards everything below
  std::vector<std::int16_t> samples_;  // the queue is samples_[head_ ..]; the front is compacted now and then
  std::size_t head_ = 0;
  bool playing_ = false;
  std::size_t window_pulled_ = 0;
  std::size_t window_min_depth_ = SIZE_MAX;
  std::uint64_t dropped_ = 0;
};

}  // namespace kiv
