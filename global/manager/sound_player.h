// Notification sounds: wave files played one after another on a worker thread through the
// PulseAudio simple API. Where no sound server runs, or a file is not a PCM wave file, nothing is
// heard and nothing is reported.
//
// Threads: `Play` may be called from any thread; it never blocks on the sound.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "base/wave.h"

namespace kiv {

// The sounds waiting to be played. A burst of notices must not keep the speaker busy for minutes, so
// the queue holds at most kCapacity sounds and takes a sound only when it is not waiting already; the
// sound playing now has left the queue, so it can be queued once more.
class TSoundQueue {
 public:
  static constexpr std::size_t kCapacity = 4;

  // False when the file is already waiting or the queue is full; the sound is then dropped.
  bool Push(const std::filesystem::path& file);
  // The oldest waiting sound; nothing when none waits.
  std::optional<std::filesystem::path> Pop();
  bool empty() const { return waiting_.empty(); }
  void clear() { waiting_.clear(); }

 private:
  std::deque<std::filesystem::path> waiting_;
};

class TSoundPlayer {
 public:
  TSoundPlayer();
  // Stops the sound playing now and drops the queue.
  ~TSoundPlayer();
  TSoundPlayer(const TSoundPlayer&) = delete;
  TSoundPlayer& operator=(const TSoundPlayer&) = delete;

  // Queues the wave file (TSoundQueue: repeats and overflow are dropped); returns at once. True when
  // it was queued.
  bool Play(const std::filesystem::path& file);

 private:
  void Run(std::stop_token stop);

  std::mutex mutex_;  // guards queue_
  std::condition_variable_any wake_;
  TSoundQueue queue_;
  std::jthread worker_;  // last member: started after the queue exists, joined before it goes
};

}  // namespace kiv
