// Conversion of libmad's fixed-point samples (28 fractional bits) to 16-bit PCM with noise-shaped dither.
#pragma once

#include <cstdint>

namespace kiv::sonadec {

// Error feedback and random state of one channel; all zero at the start of a stream.
struct DitherState {
  std::int32_t e0 = 0, e1 = 0, e2 = 0;
  std::uint32_t r = 0;
};

// One sample through shaping, bias, rectangular dither, clipping to [-1, 1) and quantisation to 16 bits.
// Works in 64 bits, so samples near the ends of the 32-bit range clip instead of wrapping around.
inline std::int16_t Dither(std::int32_t sample, DitherState& d) {
  constexpr std::int64_t kMax = 0x0FFFFFFF;   // just below +1.0
  constexpr std::int64_t kMin = -0x10000000;  // -1.0
  constexpr std::int64_t kMask = 0x1FFF;      // the 13 bits dropped on the way to 16 bits
  std::int64_t s = std::int64_t{sample} + d.e0 - d.e1 + d.e2;
  d.e2 = d.e1;
  d.e1 = d.e0 / 2;
  std::int64_t o = s + 4096;
  const std::uint32_t next = d.r * 1664525u + 1013904223u;
  o += static_cast<std::int64_t>(next & kMask) - static_cast<std::int64_t>(d.r & kMask);
  d.r = next;
  if (o > kMax) {
    o = kMax;
    if (s > kMax) s = kMax;
  } else if (o < kMin) {
    o = kMin;
    if (s < kMin) s = kMin;
  }
  o &= ~kMask;
  d.e0 = static_cast<std::int32_t>(s - o);
  return static_cast<std::int16_t>(o >> 13);
}

}  // namespace kiv::sonadec
