#include "core/picture.h"

#include <algorithm>
#include <cstring>

namespace kiv::video {
namespace {

// A channel value given in thousandths, rounded half up and clamped to a byte.
std::uint8_t ToByte(int thousandths) {
  if (thousandths <= 0) return 0;
  const int value = (thousandths + 500) / 1000;
  return static_cast<std::uint8_t>(std::min(value, 255));
}

void StorePixel(std::uint8_t* out, int y, int u, int v) {
  const int luma = 1164 * (y - 16);
  const int du = u - 128;
  const int dv = v - 128;
  out[0] = ToByte(luma + 2018 * du);
  out[1] = ToByte(luma - 813 * dv - 391 * du);
  out[2] = ToByte(luma + 1596 * dv);
}

}  // namespace

void ConvertYuy2ToBgr24(const std::uint8_t* source, std::size_t source_size, int width, int height,
                        std::uint8_t* output) {
  const std::size_t capacity = static_cast<std::size_t>(BitmapBytes(width, height));
  std::memset(output, 0, capacity);
  std::size_t written = 0;
  for (std::size_t group = source_size / 4; group > 0 && written + 6 <= capacity; --group) {
    const std::uint8_t* g = source + (group - 1) * 4;
    StorePixel(output + written, g[2], g[1], g[3]);
    StorePixel(output + written + 3, g[0], g[1], g[3]);
    written += 6;
  }
}

}  // namespace kiv::video
