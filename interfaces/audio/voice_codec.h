// Voice blocks: one Opus packet of one 20 ms frame of mono speech per block.
//
// Quality 1 ("normal") is coded from 16 kHz at 16 kbit/s, quality 2 ("high") from 48 kHz at
// 32 kbit/s. Every block decodes at 48 kHz whatever its quality, so one playback stream serves a
// speaker who changes quality. A block carries nothing but the Opus packet; the quality travels
// beside it in the callers' messages.
#pragma once

#include <opus/opus.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace kiv {

// The sample rate that decoded blocks have and playback runs at.
inline constexpr int kPlaybackRate = 48000;
inline constexpr int kFrameMilliseconds = 20;
// Larger than any packet our encoder makes (it is told this limit) and than any sane 20 ms frame:
// a bigger "block" is not ours and is dropped before it reaches the decoder.
inline constexpr std::uint32_t kMaxBlockBytes = 1275;
// Voice at these bitrates sounds the same at a low complexity as at 10, for a fraction of the CPU.
inline constexpr int kEncoderComplexity = 3;

struct TVoiceFormat {
  int sample_rate;
  int bitrate;
  int FrameSamples() const { return sample_rate / 1000 * kFrameMilliseconds; }
};

// The format of a quality byte: nothing for anything but 1 and 2.
std::optional<TVoiceFormat> VoiceFormatOf(std::uint8_t quality);

// The block's level as the callers see it: the peak |sample|, 0 to 32768.
std::int32_t PeakLevel(std::span<const std::int16_t> samples);

class TVoiceEncoder {
 public:
  // Nothing for an unknown quality or when Opus refuses the settings.
  static std::unique_ptr<TVoiceEncoder> Create(std::uint8_t quality);
  ~TVoiceEncoder();
  TVoiceEncoder(const TVoiceEncoder&) = delete;
  TVoiceEncoder& operator=(const TVoiceEncoder&) = delete;

  const TVoiceFormat& format() const { return format_; }
  // Encodes exactly one frame (format().FrameSamples() samples); empty on a wrong length or error.
  std::vector<std::uint8_t> Encode(std::span<const std::int16_t> frame);

 private:
  TVoiceEncoder(TVoiceFormat format, OpusEncoder* encoder) : format_(format), encoder_(encoder) {}
  TVoiceFormat format_;
  OpusEncoder* encoder_;
};

class TVoiceDecoder {
 public:
  TVoiceDecoder();
  ~TVoiceDecoder();
  TVoiceDecoder(const TVoiceDecoder&) = delete;
  TVoiceDecoder& operator=(const TVoiceDecoder&) = delete;

  // Decodes one block to 48 kHz samples. Empty for a block that is not one valid Opus packet of
  // at most 120 ms. The quality selects nothing in the decoder; the caller checks it.
  std::vector<std::int16_t> Decode(std::span<const std::uint8_t> block);

 private:
  OpusDecoder* decoder_;
};

}  // namespace kiv
