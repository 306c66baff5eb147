// LZRW1-KH: a small, fast LZ77 codec, and the "LZRW" container that carries a buffer as a row of
// independently compressed blocks.
//
// Block layout (big-endian inside the block):
//   byte 0: kFlagCompressed or kFlagStored. A stored block holds the input bytes unchanged after byte 0.
//   Then groups: a 16-bit control word, then up to 16 items, one control bit per item, most significant
//   bit first. Bit 0: a literal byte. Bit 1: a copy (2 bytes: 12-bit distance 1..4095, then 4 bits of
//   length - 3) or a run (4 bytes: 0, count - 16 as 16 bits, the repeated byte; distance 0 marks it).
//
// Container layout (little-endian): "LZRW", a 32-bit total = sum over the blocks of (4 + block length),
// then per block its 32-bit length and the block. Each block holds up to kBlockSize input bytes.
//
// Every function here is reentrant: each compression keeps its own hash table, so any number of threads
// may compress and decompress at once. The decoders never read or write outside the buffers they are
// given, whatever the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kiv::LZRW {

inline constexpr std::uint8_t kFlagCompressed = 64;
inline constexpr std::uint8_t kFlagStored = 128;

// Input bytes per block of the container; also the largest block Compression accepts.
inline constexpr std::size_t kBlockSize = 32783;

// Compression writes up to this many bytes past `count` while it works out whether compressing pays;
// the result itself is never longer than count + 1.
inline constexpr std::size_t kCompressionSlack = 6;

// Room the destination of Compression needs for `count` input bytes.
constexpr std::size_t CompressionRoom(std::size_t count) { return count + kCompressionSlack; }

// Largest container CompressStream makes for `count` input bytes.
constexpr std::size_t ContainerBound(std::size_t count) {
  return 8 + count + 5 * ((count + kBlockSize - 1) / kBlockSize);
}

// Compresses `count` bytes of `source` (count <= kBlockSize) into `dest`, which must hold
// CompressionRoom(count) bytes. Returns the block length (1..count + 1); a block that would not get
// shorter is stored. Returns 0 when count exceeds kBlockSize.
std::size_t Compression(const std::uint8_t* source, std::uint8_t* dest, std::size_t count);

// Decompresses the `length`-byte block at `source` into `dest`, which holds `capacity` bytes. Returns the
// decompressed length, or nothing when the block is malformed or its content does not fit `capacity`.
std::optional<std::size_t> Decompression(const std::uint8_t* source, std::uint8_t* dest, std::size_t length,
                                         std::size_t capacity);

enum class StreamError {
  kNone,
  kWrongFileType,  // no "LZRW" magic
  kTruncated,      // the total or a block length runs past the end of the data
  kMalformed,      // a block does not decode
  kTooLarge,       // the content exceeds the caller's limit
};

// The message for `error`; kWrongFileType gives "Wrong file type".
const char* StreamErrorText(StreamError error);

// Appends the container for `source` to `dest`. Returns false, and leaves `dest` alone, when the
// container's total would not fit its 32-bit field.
bool CompressStream(std::span<const std::uint8_t> source, std::vector<std::uint8_t>& dest);

// Reads the container at the start of `source` (bytes after its total are ignored) and appends the content
// to `dest`, never more than `limit` bytes. On error `dest` keeps what it held before the call.
StreamError DeCompressStream(std::span<const std::uint8_t> source, std::vector<std::uint8_t>& dest,
                             std::size_t limit);

}  // namespace kiv::LZRW
