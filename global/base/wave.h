// Wave files: the RIFF/WAVE layout of PCM notification sounds. No I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kiv {

// The playable content of a wave file.
struct TWaveData {
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
  std::uint16_t bits = 0;  // 8 (unsigned) or 16 (signed little-endian)
  std::vector<std::uint8_t> samples;
};

// Parses a RIFF/WAVE file held in memory: PCM, 1 or 2 channels, 8 or 16 bits. Nothing when it is
// anything else or damaged; a data chunk that claims more than the file holds is cut to the file.
std::optional<TWaveData> ParseWave(std::span<const std::uint8_t> file);

}  // namespace kiv
