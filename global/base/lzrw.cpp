#include "base/lzrw.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "base/wire.h"

namespace kiv::LZRW {
namespace {

constexpr std::uint16_t kEmptySlot = 0xFFFF;  // no position: blocks are shorter than this
constexpr std::size_t kMaxRun = 0xFFF;
constexpr std::size_t kMinRun = 16;
constexpr std::size_t kMaxCopy = 18;
constexpr std::size_t kMinCopy = 3;
constexpr std::size_t kWindow = 4096;
constexpr std::uint8_t kMagic[4] = {'L', 'Z', 'R', 'W'};

// Hash of the three bytes at `p`, 12 bits.
inline std::size_t Hash(const std::uint8_t* p) {
  const std::uint32_t v = ((((std::uint32_t{p[0]} << 4) ^ p[1]) << 4) ^ p[2]);
  return ((v * 40543u) >> 4) & 0x0FFF;
}

}  // namespace

std::size_t Compression(const std::uint8_t* source, std::uint8_t* dest, std::size_t count) {
  if (count > kBlockSize) return 0;
  // Positions of recent three-byte prefixes; one table per call keeps concurrent compressions apart.
  std::array<std::uint16_t, 4096> table;
  table.fill(kEmptySlot);

  dest[0] = kFlagCompressed;
  std::size_t x = 0;  // next input byte
  std::size_t y = 3;  // next output byte
  std::size_t z = 1;  // control word of the current group
  unsigned bit = 0;   // items in the current group
  std::uint32_t command = 0;
  // Stops as soon as the output has grown past the input: such a block is stored instead.
  while (x < count && y <= count) {
    if (bit > 15) {
      dest[z] = static_cast<std::uint8_t>(command >> 8);
      dest[z + 1] = static_cast<std::uint8_t>(command);
      z = y;
      bit = 0;
      y += 2;
    }
    std::size_t size = 1;
    while (size < kMaxRun && x + size < count && source[x] == source[x + size]) ++size;
    if (size >= kMinRun) {
      dest[y] = 0;
      dest[y + 1] = static_cast<std::uint8_t>((size - kMinRun) >> 8);
      dest[y + 2] = static_cast<std::uint8_t>(size - kMinRun);
      dest[y + 3] = source[x];
      y += 4;
      x += size;
      command = (command << 1) + 1;
    } else {
      bool matched = false;
      if (x + 2 < count) {
        std::uint16_t& slot = table[Hash(source + x)];
        const std::size_t pos = slot;
        slot = static_cast<std::uint16_t>(x);
        if (pos != kEmptySlot && x - pos < kWindow) {
          size = 0;
          while (size < kMaxCopy && x + size < count && source[x + size] == source[pos + size]) ++size;
          if (size >= kMinCopy) {
            const std::size_t key = ((x - pos) << 4) + (size - kMinCopy);
            dest[y] = static_cast<std::uint8_t>(key >> 8);
            dest[y + 1] = static_cast<std::uint8_t>(key);
            y += 2;
            x += size;
            command = (command << 1) + 1;
            matched = true;
          }
        }
      }
      if (!matched) {
        dest[y++] = source[x++];
        command <<= 1;
      }
    }
    ++bit;
  }
  command <<= (16 - bit);
  dest[z] = static_cast<std::uint8_t>(command >> 8);
  dest[z + 1] = static_cast<std::uint8_t>(command);
  if (y > count) {
    if (count > 0) std::memmove(dest + 1, source, count);
    dest[0] = kFlagStored;
    y = count + 1;
  }
  return y;
}

std::optional<std::size_t> Decompression(const std::uint8_t* source, std::uint8_t* dest, std::size_t length,
                                         std::size_t capacity) {
  if (length == 0) return std::nullopt;
  if (source[0] == kFlagStored) {
    const std::size_t n = length - 1;
    if (n > capacity) return std::nullopt;
    if (n > 0) std::memcpy(dest, source + 1, n);
    return n;
  }
  if (source[0] != kFlagCompressed || length < 3) return std::nullopt;

  std::size_t x = 3;
  std::size_t y = 0;
  unsigned command = (unsigned{source[1]} << 8) | source[2];
  unsigned bit = 16;
  while (x < length) {
    if (bit == 0) {
      // A control word always has at least one item after it.
      if (length - x < 3) return std::nullopt;
      command = (unsigned{source[x]} << 8) | source[x + 1];
      bit = 16;
      x += 2;
    }
    if ((command & 0x8000) == 0) {
      if (y >= capacity) return std::nullopt;
      dest[y++] = source[x++];
    } else {
      if (length - x < 2) return std::nullopt;
      const std::size_t distance = (std::size_t{source[x]} << 4) | (source[x + 1] >> 4);
      if (distance == 0) {
        if (length - x < 4) return std::nullopt;
        const std::size_t n = ((std::size_t{source[x + 1]} & 0x0F) << 8 | source[x + 2]) + kMinRun;
        if (capacity - y < n) return std::nullopt;
        std::memset(dest + y, source[x + 3], n);
        x += 4;
        y += n;
      } else {
        const std::size_t n = (source[x + 1] & 0x0F) + kMinCopy;
        if (distance > y || capacity - y < n) return std::nullopt;
        // Byte by byte: a copy may overlap the bytes it produces.
        const std::uint8_t* from = dest + y - distance;
        for (std::size_t k = 0; k < n; ++k) dest[y + k] = from[k];
        x += 2;
        y += n;
      }
    }
    command <<= 1;
    --bit;
  }
  return y;
}

const char* StreamErrorText(StreamError error) {
  switch (error) {
    case StreamError::kNone:
      return "";
    case StreamError::kWrongFileType:
      return "Wrong file type";
    case StreamError::kTruncated:
      return "Compressed data is truncated";
    case StreamError::kMalformed:
      return "Compressed data is damaged";
    case StreamError::kTooLarge:
      return "Decompressed data is too large";
  }
  return "";
}

bool CompressStream(std::span<const std::uint8_t> source, std::vector<std::uint8_t>& dest) {
  if (ContainerBound(source.size()) - 8 > std::numeric_limits<std::uint32_t>::max()) return false;
  const std::size_t start = dest.size();
  dest.resize(start + 8);
  std::memcpy(dest.data() + start, kMagic, 4);
  std::uint32_t total = 0;
  for (std::size_t offset = 0; offset < source.size(); offset += kBlockSize) {
    const std::size_t count = std::min(kBlockSize, source.size() - offset);
    const std::size_t at = dest.size();
    dest.resize(at + 4 + CompressionRoom(count));
    const std::size_t length = Compression(source.data() + offset, dest.data() + at + 4, count);
    StoreU32(dest.data() + at, static_cast<std::uint32_t>(length));
    dest.resize(at + 4 + length);
    total += static_cast<std::uint32_t>(4 + length);
  }
  StoreU32(dest.data() + start + 4, total);
  return true;
}

StreamError DeCompressStream(std::span<const std::uint8_t> source, std::vector<std::uint8_t>& dest,
                             std::size_t limit) {
  const std::size_t start = dest.size();
  auto fail = [&](StreamError error) {
    dest.resize(start);
    return error;
  };
  if (source.size() < 4 || std::memcmp(source.data(), kMagic, 4) != 0) return StreamError::kWrongFileType;
  if (source.size() < 8) return StreamError::kTruncated;
  std::size_t total = LoadU32(source.data() + 4);
  std::size_t pos = 8;
  std::size_t produced = 0;
  while (total > 0) {
    if (total < 4) return fail(StreamError::kMalformed);
    if (source.size() - pos < 4) return fail(StreamError::kTruncated);
    const std::size_t length = LoadU32(source.data() + pos);
    pos += 4;
    if (length > total - 4) return fail(StreamError::kMalformed);
    if (source.size() - pos < length) return fail(StreamError::kTruncated);
    // A block never holds more than one input piece.
    const std::size_t at = dest.size();
    dest.resize(at + kBlockSize);
    const auto n = Decompression(source.data() + pos, dest.data() + at, length, kBlockSize);
    if (!n) return fail(StreamError::kMalformed);
    if (*n > limit - produced) return fail(StreamError::kTooLarge);
    dest.resize(at + *n);
    produced += *n;
    pos += length;
    total -= 4 + length;
  }
  return StreamError::kNone;
}

}  // namespace kiv::LZRW
