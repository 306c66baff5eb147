#include "base/stream_scramble.h"

#include <random>
#include <utility>

namespace kiv {

namespace {

constexpr std::uint16_t kTCPChecksumBase = 635;
constexpr std::uint16_t kTCPLengthBias = 732;
constexpr int kTCPKeyBias = 65;

std::uint16_t ContentSum(const std::uint8_t* buffer, std::size_t length) {
  std::uint32_t sum = kTCPChecksumBase;
  for (std::size_t i = 4; i + 2 < length; ++i) sum += buffer[i];
  return static_cast<std::uint16_t>(sum);
}

// Reverses the block of `block` bytes ending at `end`, except its two middle bytes.
void ExchangeBlock(std::uint8_t* buffer, std::size_t end, std::size_t block) {
  for (std::size_t m = 0; m <= block / 2; ++m) std::swap(buffer[end - block + 1 + m], buffer[end - m]);
}

// Adds (or subtracts) the key to bytes 4 to n - 1 and reverses every complete block as it closes.
void ApplyKey(std::uint8_t* buffer, std::size_t length, std::uint8_t key, std::size_t block, bool add) {
  for (std::size_t i = 4; i < length; ++i) {
    buffer[i] = static_cast<std::uint8_t>(add ? buffer[i] + key : buffer[i] - key);
    if ((i - 3) % block == 0) ExchangeBlock(buffer, i, block);
  }
}

}  // namespace

bool TCPDataRecast(std::uint8_t* buffer, std::size_t length, std::uint32_t r, std::uint8_t k) {
  if (!buffer || length < kTCPFrameMin || length > kTCPFrameMax) return false;
  r %= static_cast<std::uint32_t>(length);
  const std::uint16_t block = static_cast<std::uint16_t>(2 * (r / 2) + 2);
  const std::uint16_t sum = ContentSum(buffer, length);
  buffer[length - 2] = static_cast<std::uint8_t>(sum);
  buffer[length - 1] = static_cast<std::uint8_t>(sum >> 8);
  buffer[0] = 1;
  ApplyKey(buffer, length, k, block, true);
  const std::uint16_t key_field = static_cast<std::uint16_t>(block + (k - kTCPKeyBias) - kTCPLengthBias);
  buffer[1] = static_cast<std::uint8_t>(key_field);
  buffer[2] = static_cast<std::uint8_t>(key_field >> 8);
  buffer[3] = static_cast<std::uint8_t>(k - kTCPKeyBias);
  return true;
}

bool TCPDataRecast(std::uint8_t* buffer, std::size_t length) {
  thread_local std::mt19937 random{std::random_device{}()};
  if (!buffer || length < kTCPFrameMin || length > kTCPFrameMax) return false;
  std::uniform_int_distribution<std::uint32_t> pick_r(0, static_cast<std::uint32_t>(length - 1));
  std::uniform_int_distribution<int> pick_k(0, 253);
  const std::uint32_t r = pick_r(random);
  return TCPDataRecast(buffer, length, r, static_cast<std::uint8_t>(pick_k(random)));
}

bool TCPDataRestore(std::uint8_t* buffer, std::size_t length) {
  if (!buffer || length == 0) return false;
  if (buffer[0] == 0) return true;
  if (length < kTCPFrameMin) return false;
  const std::uint8_t key = static_cast<std::uint8_t>(buffer[3] + kTCPKeyBias);
  const std::uint16_t key_field = static_cast<std::uint16_t>(buffer[1] | (buffer[2] << 8));
  // The key field holds L + (k - 65) - 732 with (k - 65) as a signed number, so it is undone with the same
  // signed value; taking byte 3 (its value modulo 256) instead would give a wrong block length for k < 65.
  const std::uint16_t block = static_cast<std::uint16_t>(key_field - (key - kTCPKeyBias) + kTCPLengthBias);
  if (block == 0) return false;
  ApplyKey(buffer, length, key, block, false);
  const std::uint16_t stored = static_cast<std::uint16_t>(buffer[length - 2] | (buffer[length - 1] << 8));
  return ContentSum(buffer, length) == stored;
}

}  // namespace kiv
