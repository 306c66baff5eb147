#include "jitter_buffer.h"

#include <algorithm>

namespace kiv {
namespace {

std::size_t SamplesIn(int milliseconds, int sample_rate) {
  return static_cast<std::size_t>(sample_rate) * static_cast<std::size_t>(milliseconds) / 1000;
}

}  // namespace

TJitterBuffer::TJitterBuffer(int sample_rate)
    : target_(SamplesIn(kTargetMilliseconds, sample_rate)),
      slack_(SamplesIn(kSlackMilliseconds, sample_rate)),
      cap_(SamplesIn(kCapMilliseconds, sample_rate)),
      drift_window_(SamplesIn(kDriftWindowMilliseconds, sample_rate)) {}

void TJitterBuffer::Push(std::span<const std::int16_t> samples) {
  std::lock_guard lock(mutex_);
  if (head_ > 0 && head_ >= Queued()) {  // the played part outweighs the rest: move the rest down
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  samples_.insert(samples_.end(), samples.begin(), samples.end());
  if (Queued() > cap_) DropOldest(Queued() - target_);
}

void TJitterBuffer::Pull(std::span<std::int16_t> out) {
  std::lock_guard lock(mutex_);
  if (!playing_ && Queued() >= target_) {
    playing_ = true;
    window_pulled_ = 0;
    window_min_depth_ = SIZE_MAX;
  }
  std::size_t taken = 0;
  if (playing_) {
    taken = std::min(out.size(), Queued());
    std::copy_n(samples_.begin() + static_cast<std::ptrdiff_t>(head_), taken, out.begin());
    head_ += taken;
    if (taken < out.size()) playing_ = false;  // ran dry: wait for the target again
  }
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(taken), out.end(), std::int16_t{0});
  if (!playing_) return;
  window_min_depth_ = std::min(window_min_depth_, Queued());
  window_pulled_ += out.size();
  if (window_pulled_ >= drift_window_) {
    if (window_min_depth_ > target_ + slack_) DropOldest(window_min_depth_ - target_);
    window_pulled_ = 0;
    window_min_depth_ = SIZE_MAX;
  }
}

void TJitterBuffer::DropOldest(std::size_t count) {
  count = std::min(count, Queued());
  head_ += count;
  dropped_ += count;
}

std::size_t TJitterBuffer::Depth() const {
  std::lock_guard lock(mutex_);
  return Queued();
}

std::uint64_t TJitterBuffer::Dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

}  // namespace kiv
