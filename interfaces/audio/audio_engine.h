// The process's one audio engine behind the flat interface: the connection to the sound server,
// the capture and the playback streams by handle.
//
// Threads: every member runs on the main thread; `mutex_` keeps the state whole even if a caller
// breaks that rule. The connection is made on first use and made again when the server went away.
#pragma once

#include <QObject>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "kiv_audio.h"
#include "mixer/pulse_session.h"
#include "voice_capture.h"
#include "voice_output.h"

namespace kiv {

class TAudioEngine {
 public:
  static TAudioEngine& Instance();

  bool CaptureRunning();
  bool StartCapture(std::uint8_t quality, QObject* owner, TAudioDataProc callback, void* object);
  void StopCapture();
  std::int32_t StartOutput();
  void StopOutput(std::int32_t handle);
  std::int32_t Play(std::int32_t handle, std::uint8_t quality, const void* data, std::uint32_t size);
  std::int32_t Volume() const { return volume_.load(); }
  void SetVolume(std::int32_t volume);

 private:
  TAudioEngine() = default;
  std::shared_ptr<TPulseSession> Session();  // with mutex_ held; nothing without a server

  std::mutex mutex_;  // guards everything below but volume_
  std::shared_ptr<TPulseSession> session_;
  std::unique_ptr<TVoiceCapture> capture_;
  std::map<std::int32_t, std::unique_ptr<TVoiceOutput>> outputs_;
  std::int32_t last_handle_ = 0;
  std::atomic<int> volume_{255};
};

}  // namespace kiv
