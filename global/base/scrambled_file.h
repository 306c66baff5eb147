// The scrambled record file: an image of a caller's buffer of N >= 5 bytes whose bytes 0..2 carry
// the block size and key, and whose last two bytes carry a checksum of the payload. Used for the
// local user list.
//
//   offset 0  u16  (d + k - 539) mod 65536, d = block size
//   offset 2  u8   key k (0..254)
//   offset 3  N-5  payload, each byte + k, blocks of d bytes reversed but for their two middle bytes
//   offset N-2 u16 sum of the plain payload bytes mod 65536, transformed like the payload
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

namespace kiv {

constexpr std::size_t kScrambledFileMinSize = 5;

// Scrambles `buffer` in place with block size `d` (a multiple of 4) and key `k`.
// `buffer` must hold at least kScrambledFileMinSize bytes.
void ScrambleRecord(std::span<std::uint8_t> buffer, std::uint32_t d, std::uint8_t k);
// Unscrambles in place; false when the header is invalid or the checksum does not verify.
bool UnscrambleRecord(std::span<std::uint8_t> buffer);

// Scrambles a copy of `data` with a random block size and key and writes it as the whole file.
// False when `data` is shorter than 5 bytes or writing fails.
bool RecastDatatoFile(std::span<const std::uint8_t> data, const std::filesystem::path& file);

// Reads the file into `buffer`, unscrambles and verifies it. Returns the size read; nothing when the
// file is missing, shorter than 5 bytes, larger than `buffer`, unreadable or does not verify.
std::optional<std::size_t> RestoreFiletoData(std::span<std::uint8_t> buffer,
                                             const std::filesystem::path& file);

}  // namespace kiv
