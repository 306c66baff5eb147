// Scrambling of stream frames (TCPDataRecast, TCPDataRestore): a key shift and block reversal over a
// frame's content with a checksum. No I/O; part of the records layer.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv {

// A stream frame is at least 6 and at most 32768 bytes: byte 0 says whether it is scrambled, bytes 1-3 carry
// the key, bytes 4 to n - 3 the content and the last two bytes a checksum written here.
inline constexpr std::size_t kTCPFrameMin = 6;
inline constexpr std::size_t kTCPFrameMax = 32768;

// Scrambles a frame in place with a random block length and key. False (and nothing changed) when `length`
// is outside 6..32768.
bool TCPDataRecast(std::uint8_t* buffer, std::size_t length);
// The same with the random draws given: `r` picks the block length (2 * ((r mod n) div 2) + 2), `k` the key
// (0..253).
bool TCPDataRecast(std::uint8_t* buffer, std::size_t length, std::uint32_t r, std::uint8_t k);
// Unscrambles a frame in place. A frame whose byte 0 is 0 is accepted unchanged. True when the checksum
// matches; false for a frame of the wrong size, a zero block length or a checksum mismatch.
bool TCPDataRestore(std::uint8_t* buffer, std::size_t length);

}  // namespace kiv
