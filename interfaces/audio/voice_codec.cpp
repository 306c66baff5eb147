#include "voice_codec.h"

#include <algorithm>
#include <cstdlib>

namespace kiv {
namespace {

// The longest frame an Opus packet may hold: 120 ms.
constexpr int kMaxPacketSamples = kPlaybackRate / 1000 * 120;

}  // namespace

std::optional<TVoiceFormat> VoiceFormatOf(std::uint8_t quality) {
  switch (quality) {
    case 1:
      return TVoiceFormat{16000, 16000};
    case 2:
      return TVoiceFormat{48000, 32000};
    default:
      return std::nullopt;
  }
}

std::int32_t PeakLevel(std::span<const std::int16_t> samples) {
  std::int32_t peak = 0;
  for (std::int16_t s : samples) peak = std::max(peak, std::abs(static_cast<std::int32_t>(s)));
  return peak;
}

std::unique_ptr<TVoiceEncoder> TVoiceEncoder::Create(std::uint8_t quality) {
  const std::optional<TVoiceFormat> format = VoiceFormatOf(quality);
  if (!format) return nullptr;
  int error = OPUS_OK;
  OpusEncoder* encoder = opus_encoder_create(format->sample_rate, 1, OPUS_APPLICATION_VOIP, &error);
  if (!encoder || error != OPUS_OK) return nullptr;
  opus_encoder_ctl(encoder, OPUS_SET_BITRATE(format->bitrate));
  opus_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(kEncoderComplexity));
  opus_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
  return std::unique_ptr<TVoiceEncoder>(new TVoiceEncoder(*format, encoder));
}

TVoiceEncoder::~TVoiceEncoder() { opus_encoder_destroy(encoder_); }

std::vector<std::uint8_t> TVoiceEncoder::Encode(std::span<const std::int16_t> frame) {
  if (frame.size() != static_cast<std::size_t>(format_.FrameSamples())) return {};
  std::vector<std::uint8_t> block(kMaxBlockBytes);
  const opus_int32 n = opus_encode(encoder_, frame.data(), format_.FrameSamples(), block.data(),
                                   static_cast<opus_int32>(block.size()));
  if (n <= 0) return {};
  block.resize(static_cast<std::size_t>(n));
  return block;
}

TVoiceDecoder::TVoiceDecoder() {
  int error = OPUS_OK;
  decoder_ = opus_decoder_create(kPlaybackRate, 1, &error);
  if (error != OPUS_OK) decoder_ = nullptr;
}

TVoiceDecoder::~TVoiceDecoder() {
  if (decoder_) opus_decoder_destroy(decoder_);
}

std::vector<std::int16_t> TVoiceDecoder::Decode(std::span<const std::uint8_t> block) {
  if (!decoder_ || block.empty() || block.size() > kMaxBlockBytes) return {};
  const int samples =
      opus_packet_get_nb_samples(block.data(), static_cast<opus_int32>(block.size()), kPlaybackRate);
  if (samples <= 0 || samples > kMaxPacketSamples) return {};
  std::vector<std::int16_t> pcm(static_cast<std::size_t>(samples));
  const int n =
      opus_decode(decoder_, block.data(), static_cast<opus_int32>(block.size()), pcm.data(), samples, 0);
  if (n <= 0) return {};
  pcm.resize(static_cast<std::size_t>(n));
  return pcm;
}

}  // namespace kiv
