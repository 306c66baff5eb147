#include "jitter_buffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace kiv {
namespace {

constexpr int kRate = 48000;
constexpr std::size_t kMs = kRate / 1000;

std::vector<std::int16_t> Ramp(std::size_t n, std::int16_t first) {
  std::vector<std::int16_t> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

std::vector<std::int16_t> Pull(TJitterBuffer& queue, std::size_t n) {
  std::vector<std::int16_t> out(n, -1);
  queue.Pull(out);
  return out;
}

TEST(JitterBuffer, PlaysSilenceUntilTheTargetIsQueuedThenTheSamplesInOrder) {
  TJitterBuffer queue(kRate);
  queue.Push(Ramp(10 * kMs, 1));
  EXPECT_EQ(Pull(queue, 10 * kMs), std::vector<std::int16_t>(10 * kMs, 0));  // below the target: wait
  queue.Push(Ramp(10 * kMs, static_cast<std::int16_t>(1 + 10 * kMs)));
  const std::vector<std::int16_t> played = Pull(queue, 20 * kMs);
  EXPECT_EQ(played, Ramp(20 * kMs, 1));
  EXPECT_EQ(queue.Depth(), 0u);
}

TEST(JitterBuffer, RunningDryFillsWithSilenceAndWaitsForTheTargetAgain) {
  TJitterBuffer queue(kRate);
  queue.Push(Ramp(20 * kMs, 1));
  const std::vector<std::int16_t> out = Pull(queue, 30 * kMs);
  EXPECT_EQ(std::vector<std::int16_t>(out.begin(), out.begin() + 20 * kMs), Ramp(20 * kMs, 1));
  EXPECT_EQ(std::vector<std::int16_t>(out.begin() + 20 * kMs, out.end()),
            std::vector<std::int16_t>(10 * kMs, 0));
  queue.Push(Ramp(10 * kMs, 7));
  EXPECT_EQ(Pull(queue, 5 * kMs), std::vector<std::int16_t>(5 * kMs, 0));
  EXPECT_EQ(queue.Depth(), 10 * kMs);
}

TEST(JitterBuffer, ABurstBeyondTheCapKeepsOnlyTheNewestTarget) {
  TJitterBuffer queue(kRate);
  const std::vector<std::int16_t> burst = Ramp(300 * kMs, -30000);
  queue.Push(burst);
  EXPECT_EQ(queue.Depth(), TJitterBuffer::kTargetMilliseconds * kMs);
  EXPECT_EQ(queue.Dropped(), burst.size() - TJitterBuffer::kTargetMilliseconds * kMs);
  const std::vector<std::int16_t> played = Pull(queue, TJitterBuffer::kTargetMilliseconds * kMs);
  EXPECT_EQ(played.back(), burst.back());
}

// The far end's clock runs fast or slow against ours; either way the queue stays short through a
// ten-minute call: a slow sender only makes playback pause to refill, a fast one has its excess
// dropped once a second, and even an absurdly fast one stays under the cap.
TEST(JitterBuffer, ClockDriftDoesNotGrowTheQueue) {
  constexpr std::size_t kTight =
      (TJitterBuffer::kTargetMilliseconds + TJitterBuffer::kSlackMilliseconds + 25) * kMs;
  constexpr std::size_t kCap = (TJitterBuffer::kCapMilliseconds + 20) * kMs;
  struct Case {
    std::size_t pushed_per_20ms;
    std::size_t max_depth;
  };
  for (const Case c : {Case{20 * kMs + 5, kTight}, Case{20 * kMs - 5, kTight}, Case{20 * kMs + 48, kCap}}) {
    SCOPED_TRACE(c.pushed_per_20ms);
    TJitterBuffer queue(kRate);
    std::size_t max_depth = 0;
    const std::vector<std::int16_t> block_samples(c.pushed_per_20ms, 100);
    std::vector<std::int16_t> piece_samples(10 * kMs);
    for (int block = 0; block < 10 * 60 * 50; ++block) {
      queue.Push(block_samples);
      for (int piece = 0; piece < 2; ++piece) queue.Pull(piece_samples);
      max_depth = std::max(max_depth, queue.Depth());
    }
    EXPECT_LE(max_depth, c.max_depth);
  }
}

}  // namespace
}  // namespace kiv
