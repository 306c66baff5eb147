#include "voice_playout.h"

#include <algorithm>
#include <vector>

namespace kiv {

std::int32_t TVoicePlayout::Play(std::uint8_t quality, const void* data, std::uint32_t size) {
  if (!VoiceFormatOf(quality) || !data || size == 0 || size > kMaxBlockBytes) return 0;
  std::vector<std::int16_t> samples;
  {
    std::lock_guard lock(decoder_mutex_);
    samples = decoder_.Decode({static_cast<const std::uint8_t*>(data), size});
  }
  if (samples.empty()) return 0;
  queue_.Push(samples);
  return PeakLevel(samples);
}

void TVoicePlayout::Pull(std::span<std::int16_t> out, int volume) {
  queue_.Pull(out);
  volume = std::clamp(volume, 0, 255);
  if (volume == 255) return;
  for (std::int16_t& s : out) s = static_cast<std::int16_t>(s * volume / 255);
}

}  // namespace kiv
