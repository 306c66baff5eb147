// What one output handle does with a received block, apart from the sound server: check it,
// decode it and queue the samples; and hand queued samples out at the output volume.
//
// Threads: Play and Pull may run on different threads at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <span>

#include "jitter_buffer.h"
#include "voice_codec.h"

namespace kiv {

class TVoicePlayout {
 public:
  TVoicePlayout() : queue_(kPlaybackRate) {}

  // The block's level (0 to 32768) once it is queued; 0, and nothing queued, for a quality other
  // than 1 or 2, an empty or oversized block, or one that does not decode.
  std::int32_t Play(std::uint8_t quality, const void* data, std::uint32_t size);
  // Fills `out` with the next samples, scaled by `volume` (0 to 255).
  void Pull(std::span<std::int16_t> out, int volume);

  const TJitterBuffer& queue() const { return queue_; }

 private:
  std::mutex decoder_mutex_;  // the decoder keeps state between blocks
  TVoiceDecoder decoder_;
  TJitterBuffer queue_;
};

}  // namespace kiv
