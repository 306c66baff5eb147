#include "manager/sound_player.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <fstream>

#include "declare/declare.h"

namespace kiv {
namespace {

// Notification sounds are short; larger files are not played.
constexpr std::uintmax_t kMaxWaveFileSize = 16u * 1024 * 1024;
// Samples are written in pieces so that a stop request is seen soon.
constexpr std::size_t kWriteChunk = 8192;

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& file) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(file, error);
  if (error || size == 0 || size > kMaxWaveFileSize) return {};
  std::ifstream in(file, std::ios::binary);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) return {};
  return bytes;
}

}  // namespace

bool TSoundQueue::Push(const std::filesystem::path& file) {
  if (waiting_.size() >= kCapacity || std::find(waiting_.begin(), waiting_.end(), file) != waiting_.end()) {
    return false;
  }
  waiting_.push_back(file);
  return true;
}

std::optional<std::filesystem::path> TSoundQueue::Pop() {
  if (waiting_.empty()) return std::nullopt;
  std::filesystem::path file = std::move(waiting_.front());
  waiting_.pop_front();
  return file;
}

TSoundPlayer::TSoundPlayer() : worker_([this](std::stop_token stop) { Run(stop); }) {}

TSoundPlayer::~TSoundPlayer() {
  worker_.request_stop();
  wake_.notify_all();
}

bool TSoundPlayer::Play(const std::filesystem::path& file) {
  {
    std::lock_guard lock(mutex_);
    if (!queue_.Push(file)) return false;
  }
  wake_.notify_one();
  return true;
}

void TSoundPlayer::Run(std::stop_token stop) {
  while (!stop.stop_requested()) {
    std::filesystem::path file;
    {
      std::unique_lock lock(mutex_);
      if (!wake_.wait(lock, stop, [this] { return !queue_.empty(); })) return;
      file = *queue_.Pop();
    }
    try {
      const std::vector<std::uint8_t> bytes = ReadFile(file);
      const std::optional<TWaveData> wave = ParseWave(bytes);
      if (!wave || wave->samples.empty()) continue;
      pa_sample_spec sample_format{};
      sample_format.format = wave->bits == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE;
      sample_format.channels = static_cast<std::uint8_t>(wave->channels);
      sample_format.rate = wave->sample_rate;
      int error = 0;
      const std::string client = APPNAME.empty() ? std::string("Kivora") : APPNAME;
      pa_simple* stream = pa_simple_new(nullptr, client.c_str(), PA_STREAM_PLAYBACK, nullptr, "notification",
                                        &sample_format, nullptr, nullptr, &error);
      if (!stream) continue;  // no sound server: silence
      bool failed = false;
      for (std::size_t at = 0; at < wave->samples.size() && !stop.stop_requested() && !failed;
           at += kWriteChunk) {
        const std::size_t n = std::min(kWriteChunk, wave->samples.size() - at);
        failed = pa_simple_write(stream, wave->samples.data() + at, n, &error) < 0;
      }
      if (!failed && !stop.stop_requested()) pa_simple_drain(stream, &error);
      pa_simple_free(stream);
    } catch (...) {
      // A sound that cannot be played is silence; the worker keeps serving the queue.
    }
  }
}

}  // namespace kiv
