#include "base/scrambled_file.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "base/wire.h"

namespace kiv {
namespace {

std::uint16_t PayloadSum(std::span<const std::uint8_t> b) {
  std::uint32_t sum = 0;
  for (std::size_t i = 3; i + 2 < b.size(); ++i) sum += b[i];
  return static_cast<std::uint16_t>(sum);
}

// Shifts every byte from offset 3 by `shift` and reverses each whole block of `d` bytes, keeping
// its two middle bytes in place. The exchange is its own inverse, so both directions use it.
void Transform(std::span<std::uint8_t> b, std::uint32_t d, std::uint8_t shift) {
  for (std::size_t i = 3; i < b.size(); ++i) {
    b[i] = static_cast<std::uint8_t>(b[i] + shift);
    if (d == 0 || (i - 2) % d != 0) continue;
    std::size_t first = i - d + 1;
    for (std::size_t t = 0; t + 2 <= d / 2; ++t) std::swap(b[first + t], b[i - t]);
  }
}

}  // namespace

void ScrambleRecord(std::span<std::uint8_t> b, std::uint32_t d, std::uint8_t k) {
  StoreU16(&b[b.size() - 2], PayloadSum(b));
  Transform(b, d, k);
  StoreU16(&b[0], static_cast<std::uint16_t>(d + k - 539));
  b[2] = k;
}

bool UnscrambleRecord(std::span<std::uint8_t> b) {
  if (b.size() < kScrambledFileMinSize) return false;
  std::uint8_t k = b[2];
  auto d = static_cast<std::uint16_t>(LoadU16(&b[0]) - k + 539);
  if (d == 0) return false;
  Transform(b, d, static_cast<std::uint8_t>(-k));
  return PayloadSum(b) == LoadU16(&b[b.size() - 2]);
}

}  // namespace kiv
