#include "voice_capture.h"

#include <cstring>

namespace kiv {
namespace {

std::atomic<std::uint64_t> capture_generation{0};

// The source hands over sound in pieces of this length: short enough that a frame is encoded
// soon after its last sample was spoken.
constexpr int kFragmentMilliseconds = 20;

}  // namespace

std::uint64_t CurrentCaptureGeneration() { return capture_generation.load(); }

std::unique_ptr<TVoiceCapture> TVoiceCapture::Start(std::shared_ptr<TPulseSession> session,
                                                    std::uint8_t quality, TTarget target,
                                                    std::chrono::milliseconds timeout) {
  std::unique_ptr<TVoiceCapture> capture(new TVoiceCapture);
  capture->encoder_ = TVoiceEncoder::Create(quality);
  if (!capture->encoder_ || !session || !target.owner || !target.callback) return nullptr;
  capture->session_ = std::move(session);
  capture->target_ = target;
  capture->owner_ = target.owner;
  capture->relay_ = std::make_unique<QObject>();
  capture->relay_->moveToThread(target.owner->thread());
  capture->generation_ = ++capture_generation;

  const TVoiceFormat format = capture->encoder_->format();
  pa_sample_spec sample_format{PA_SAMPLE_S16LE, static_cast<std::uint32_t>(format.sample_rate), 1};
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(format.sample_rate / 1000 * kFragmentMilliseconds * 2);
  attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);

  TPulseSession::Lock lock(*capture->session_);
  if (!capture->session_->Ready()) return nullptr;
  pa_proplist* props = pa_proplist_new();
  pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "phone");
  capture->stream_ =
      pa_stream_new_with_proplist(capture->session_->context(), "voice capture", &sample_format, nullptr, props);
  pa_proplist_free(props);
  if (!capture->stream_) return nullptr;
  pa_stream_set_read_callback(capture->stream_, &TVoiceCapture::OnRead, capture.get());
  if (pa_stream_connect_record(capture->stream_, nullptr, &attr, PA_STREAM_ADJUST_LATENCY) < 0 ||
      !capture->session_->WaitReady(capture->stream_, timeout)) {
    return nullptr;  // `lock` goes first, then the destructor tears the stream down
  }
  return capture;
}

TVoiceCapture::~TVoiceCapture() {
  ++capture_generation;
  if (stream_) {
    TPulseSession::Lock lock(*session_);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
  }
  relay_.reset();  // drops the blocks still queued to the owner's thread
}

bool TVoiceCapture::Running() const {
  TPulseSession::Lock lock(*session_);
  return session_->Ready() && pa_stream_get_state(stream_) == PA_STREAM_READY;
}

void TVoiceCapture::OnRead(pa_stream* stream, std::size_t, void* self) {
  auto* capture = static_cast<TVoiceCapture*>(self);
  while (pa_stream_readable_size(stream) > 0) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
    const std::size_t samples = bytes / sizeof(std::int16_t);
    const std::size_t at = capture->pending_.size();
    capture->pending_.resize(at + samples);  // a hole in the stream (no data) becomes silence
    if (data) std::memcpy(capture->pending_.data() + at, data, samples * sizeof(std::int16_t));
    pa_stream_drop(stream);
  }
  capture->EncodeFrames();
}

void TVoiceCapture::EncodeFrames() {
  const std::size_t frame = static_cast<std::size_t>(encoder_->format().FrameSamples());
  std::size_t at = 0;
  for (; pending_.size() - at >= frame; at += frame) {
    const std::span<const std::int16_t> samples(pending_.data() + at, frame);
    std::vector<std::uint8_t> block = encoder_->Encode(samples);
    if (block.empty()) continue;
    const std::int32_t level = PeakLevel(samples);
    // relay_ outlives every call queued to it, so `this` is alive whenever the call runs.
    QMetaObject::invokeMethod(
        relay_.get(),
        [this, generation = generation_, block = std::move(block), level] {
          if (CurrentCaptureGeneration() != generation || !owner_) return;
          try {
            target_.callback(target_.object, block.data(), static_cast<std::uint32_t>(block.size()), level);
          } catch (...) {
            // The caller's fault stays in the caller; capture goes on.
          }
        },
        Qt::QueuedConnection);
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace kiv
