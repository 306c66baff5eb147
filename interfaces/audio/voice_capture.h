// The running capture: a record stream of the default source, cut into 20 ms frames, each encoded
// into one block and handed to the owner's thread.
//
// Threads: created and destroyed on the owner's thread (the main thread). The stream's callbacks
// run on the session's loop thread; they only encode and post. Destroying the object stops the
// posts first and then drops the ones still queued, so no block arrives afterwards.
#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "kiv_audio.h"
#include "mixer/pulse_session.h"
#include "voice_codec.h"

namespace kiv {

class TVoiceCapture {
 public:
  struct TTarget {
    QObject* owner;  // receives the queued calls; its thread is the callback's thread
    TAudioDataProc callback;
    void* object;
  };
  // Nothing when the quality is unknown or the stream does not come up within `timeout`.
  static std::unique_ptr<TVoiceCapture> Start(std::shared_ptr<TPulseSession> session, std::uint8_t quality,
                                              TTarget target, std::chrono::milliseconds timeout);
  ~TVoiceCapture();
  TVoiceCapture(const TVoiceCapture&) = delete;
  TVoiceCapture& operator=(const TVoiceCapture&) = delete;

  // The stream is still delivering (it fails when the server goes away).
  bool Running() const;

 private:
  TVoiceCapture() = default;
  static void OnRead(pa_stream* stream, std::size_t bytes, void* self);
  void EncodeFrames();  // on the loop thread

  std::shared_ptr<TPulseSession> session_;
  std::unique_ptr<TVoiceEncoder> encoder_;
  TTarget target_{};
  QPointer<QObject> owner_;         // read on the owner's thread only
  std::unique_ptr<QObject> relay_;  // lives on the owner's thread; posts are queued to it
  std::uint64_t generation_ = 0;
  pa_stream* stream_ = nullptr;
  std::vector<std::int16_t> pending_;  // samples not yet making up a whole frame (loop thread)
};

// The generation of the running capture; every stop or start changes it. A queued block whose
// generation is not current is dropped.
std::uint64_t CurrentCaptureGeneration();

}  // namespace kiv
