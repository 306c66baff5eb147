#include "base/wave.h"

#include <algorithm>

#include "base/wire.h"

namespace kiv {
namespace {

bool Tag(std::span<const std::uint8_t> bytes, std::size_t at, const char* tag) {
  return bytes.size() >= at + 4 && std::equal(tag, tag + 4, bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace

std::optional<TWaveData> ParseWave(std::span<const std::uint8_t> file) {
  if (!Tag(file, 0, "RIFF") || !Tag(file, 8, "WAVE")) return std::nullopt;
  TWaveData wave;
  bool have_format = false;
  std::size_t pos = 12;
  while (pos + 8 <= file.size()) {
    const std::uint32_t length = LoadU32(file.data() + pos + 4);
    const std::size_t body = pos + 8;
    const std::size_t available = file.size() - body;
    if (Tag(file, pos, "fmt ")) {
      if (length < 16 || available < 16) return std::nullopt;
      const std::uint16_t format = LoadU16(file.data() + body);
      wave.channels = LoadU16(file.data() + body + 2);
      wave.sample_rate = LoadU32(file.data() + body + 4);
      wave.bits = LoadU16(file.data() + body + 14);
      if (format != 1 || wave.channels < 1 || wave.channels > 2 || (wave.bits != 8 && wave.bits != 16) ||
          wave.sample_rate < 1000 || wave.sample_rate > 192000) {
        return std::nullopt;
      }
      have_format = true;
    } else if (Tag(file, pos, "data")) {
      if (!have_format) return std::nullopt;
      const std::size_t take = std::min<std::size_t>(length, available);
      const std::size_t frame = static_cast<std::size_t>(wave.channels) * (wave.bits / 8);
      wave.samples.assign(file.begin() + static_cast<std::ptrdiff_t>(body),
                          file.begin() + static_cast<std::ptrdiff_t>(body + take - take % frame));
      return wave;
    }
    if (length > available) return std::nullopt;
    pos = body + length + (length & 1);  // chunks are padded to even lengths
  }
  return std::nullopt;
}

}  // namespace kiv
