#include "base/scrambled_file.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <utility>
#include <vector>

#include "base/wire.h"

namespace kiv {
namespace {

constexpr std::size_t kMaxBlockSize = 65532;

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

bool RecastDatatoFile(std::span<const std::uint8_t> data, const std::filesystem::path& file) {
  if (data.size() < kScrambledFileMinSize) return false;
  std::vector<std::uint8_t> copy(data.begin(), data.end());
  thread_local std::mt19937 random{std::random_device{}()};
  // The block size is stored modulo 65536, so it stays below that whatever the file's size.
  std::size_t range = std::min<std::size_t>(copy.size(), kMaxBlockSize);
  auto d = static_cast<std::uint32_t>(
      4 * (std::uniform_int_distribution<std::size_t>(0, range - 1)(random) / 4) + 4);
  auto k = static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 254)(random));
  ScrambleRecord(copy, d, k);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  return static_cast<bool>(
      out.write(reinterpret_cast<const char*>(copy.data()), static_cast<std::streamsize>(copy.size()))
          .flush());
}

std::optional<std::size_t> RestoreFiletoData(std::span<std::uint8_t> buffer,
                                             const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  if (!in) return std::nullopt;
  auto size = static_cast<std::streamoff>(in.tellg());
  if (size < static_cast<std::streamoff>(kScrambledFileMinSize) ||
      static_cast<std::size_t>(size) > buffer.size())
    return std::nullopt;
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(buffer.data()), size)) return std::nullopt;
  auto n = static_cast<std::size_t>(size);
  if (!UnscrambleRecord(buffer.first(n))) return std::nullopt;
  return n;
}

}  // namespace kiv
