#include "audio_engine.h"

#include <QCoreApplication>
#include <algorithm>
#include <limits>

namespace kiv {
namespace {

// Starting fails within 3 s without a sound server: most of it for the connection, the rest for
// the stream.
constexpr auto kConnectTimeout = std::chrono::milliseconds(2000);
constexpr auto kStreamTimeout = std::chrono::milliseconds(1000);

}  // namespace

TAudioEngine& TAudioEngine::Instance() {
  static TAudioEngine engine;
  return engine;
}

std::shared_ptr<TPulseSession> TAudioEngine::Session() {
  if (session_) {
    TPulseSession::Lock lock(*session_);
    if (session_->Ready()) return session_;
  }
  // Streams of a lost connection keep their own reference until they are stopped.
  session_ = TPulseSession::Connect("Kivora", kConnectTimeout);
  return session_;
}

bool TAudioEngine::CaptureRunning() {
  std::lock_guard lock(mutex_);
  return capture_ && capture_->Running();
}

bool TAudioEngine::StartCapture(std::uint8_t quality, QObject* owner, TAudioDataProc callback, void* object) {
  std::lock_guard lock(mutex_);
  if (capture_ && capture_->Running()) return false;
  capture_.reset();
  if (!owner) owner = QCoreApplication::instance();
  if (!owner || !callback || !VoiceFormatOf(quality)) return false;
  capture_ = TVoiceCapture::Start(Session(), quality, {owner, callback, object}, kStreamTimeout);
  return capture_ != nullptr;
}

void TAudioEngine::StopCapture() {
  std::lock_guard lock(mutex_);
  capture_.reset();
}

std::int32_t TAudioEngine::StartOutput() {
  std::lock_guard lock(mutex_);
  std::unique_ptr<TVoiceOutput> output = TVoiceOutput::Start(Session(), volume_, kStreamTimeout);
  if (!output) return -1;
  // Handles are not reused soon, so a stale handle of a caller finds nothing.
  do {
    last_handle_ = last_handle_ == std::numeric_limits<std::int32_t>::max() ? 1 : last_handle_ + 1;
  } while (outputs_.contains(last_handle_));
  outputs_.emplace(last_handle_, std::move(output));
  return last_handle_;
}

void TAudioEngine::StopOutput(std::int32_t handle) {
  std::unique_ptr<TVoiceOutput> output;
  {
    std::lock_guard lock(mutex_);
    const auto it = outputs_.find(handle);
    if (it == outputs_.end()) return;
    output = std::move(it->second);
    outputs_.erase(it);
  }
}

std::int32_t TAudioEngine::Play(std::int32_t handle, std::uint8_t quality, const void* data,
                                std::uint32_t size) {
  std::lock_guard lock(mutex_);
  const auto it = outputs_.find(handle);
  if (it == outputs_.end()) return 0;
  return it->second->playout().Play(quality, data, size);
}

void TAudioEngine::SetVolume(std::int32_t volume) { volume_.store(std::clamp(volume, 0, 255)); }

}  // namespace kiv
