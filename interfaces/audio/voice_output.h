// One playback stream of the default sink, fed from a speaker's playout queue.
//
// The stream asks for sound in small pieces and keeps about 60 ms buffered in the server, so the
// sound heard lags the queue by a bounded, short time. While the queue has nothing, the stream
// plays silence instead of stalling, so it never builds up a backlog of its own.
//
// Threads: created, used and destroyed on the main thread; the write callback runs on the
// session's loop thread and only pulls from the playout.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>

#include "mixer/pulse_session.h"
#include "voice_playout.h"

namespace kiv {

class TVoiceOutput {
 public:
  static constexpr int kBufferMilliseconds = 60;
  static constexpr int kRequestMilliseconds = 20;

  // Nothing when the stream does not come up within `timeout`. `volume` (0 to 255) must outlive
  // the object.
  static std::unique_ptr<TVoiceOutput> Start(std::shared_ptr<TPulseSession> session,
                                             const std::atomic<int>& volume,
                                             std::chrono::milliseconds timeout);
  ~TVoiceOutput();
  TVoiceOutput(const TVoiceOutput&) = delete;
  TVoiceOutput& operator=(const TVoiceOutput&) = delete;

  TVoicePlayout& playout() { return playout_; }

 private:
  explicit TVoiceOutput(const std::atomic<int>& volume) : volume_(volume) {}
  static void OnWrite(pa_stream* stream, std::size_t bytes, void* self);

  std::shared_ptr<TPulseSession> session_;
  const std::atomic<int>& volume_;
  TVoicePlayout playout_;
  pa_stream* stream_ = nullptr;
};

}  // namespace kiv
