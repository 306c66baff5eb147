#include "voice_output.h"

#include <algorithm>

namespace kiv {
namespace {

std::uint32_t BytesIn(int milliseconds) {
  return static_cast<std::uint32_t>(kPlaybackRate / 1000 * milliseconds) * sizeof(std::int16_t);
}

}  // namespace

std::unique_ptr<TVoiceOutput> TVoiceOutput::Start(std::shared_ptr<TPulseSession> session,
                                                  const std::atomic<int>& volume,
                                                  std::chrono::milliseconds timeout) {
  if (!session) return nullptr;
  std::unique_ptr<TVoiceOutput> output(new TVoiceOutput(volume));
  output->session_ = std::move(session);
  pa_sample_spec sample_format{PA_SAMPLE_S16LE, static_cast<std::uint32_t>(kPlaybackRate), 1};
  // Without an explicit target length the server buffers about 2 s, and voice lags by as much.
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = BytesIn(kBufferMilliseconds);
  attr.minreq = BytesIn(kRequestMilliseconds);
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(-1);

  TPulseSession::Lock lock(*output->session_);
  if (!output->session_->Ready()) return nullptr;
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "phone");
  output->stream_ =
      pa_stream_new_with_proplist(output->session_->context(), "voice playback", &sample_format, nullptr, props);
  pa_proplist_free(props);
  if (!output->stream_) return nullptr;
  pa_stream_set_write_callback(output->stream_, &TVoiceOutput::OnWrite, output.get());
  if (pa_stream_connect_playback(output->stream_, nullptr, &attr, PA_STREAM_ADJUST_LATENCY, nullptr,
                                 nullptr) < 0 ||
      !output->session_->WaitReady(output->stream_, timeout)) {
    return nullptr;  // `lock` goes first, then the destructor tears the stream down
  }
  return output;
}

TVoiceOutput::~TVoiceOutput() {
  if (!stream_) return;
  TPulseSession::Lock lock(*session_);
  pa_stream_set_write_callback(stream_, nullptr, nullptr);
  pa_stream_disconnect(stream_);
  pa_stream_unref(stream_);
}

void TVoiceOutput::OnWrite(pa_stream* stream, std::size_t bytes, void* self) {
  auto* output = static_cast<TVoiceOutput*>(self);
  while (bytes >= sizeof(std::int16_t)) {
    void* buffer = nullptr;
    std::size_t room = bytes;
    if (pa_stream_begin_write(stream, &buffer, &room) < 0 || !buffer) return;
    room -= room % sizeof(std::int16_t);
    if (room == 0) {
      pa_stream_cancel_write(stream);
      return;
    }
    output->playout_.Pull({static_cast<std::int16_t*>(buffer), room / sizeof(std::int16_t)},
                          output->volume_.load(std::memory_order_relaxed));
    if (pa_stream_write(stream, buffer, room, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
    bytes -= std::min(bytes, room);
  }
}

}  // namespace kiv
