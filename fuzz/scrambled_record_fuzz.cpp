// The scrambled-record reader over arbitrary file images: no crash or out-of-bounds access, bytes 0 to 2
// left as read, and, for any block size and key, scrambling then unscrambling gives the payload back.
//
// Input: the file image itself; its first two bytes also pick the block size and key of the round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/scrambled_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kiv;
  std::vector<std::uint8_t> image(data, data + size);
  const bool verified = UnscrambleRecord(image);
  if (size >= kScrambledFileMinSize && std::memcmp(image.data(), data, 3) != 0) std::abort();
  if (size < kScrambledFileMinSize && verified) std::abort();

  if (size < kScrambledFileMinSize) return 0;
  const std::uint32_t d = 4 * ((data[0] | (data[1] << 8)) % ((size + 3) / 4)) + 4;
  const std::uint8_t k = static_cast<std::uint8_t>(data[1] % 255);
  std::vector<std::uint8_t> record(data, data + size);
  ScrambleRecord(record, d, k);
  if (!UnscrambleRecord(record)) std::abort();
  if (std::memcmp(record.data() + 3, data + 3, size - 5) != 0) std::abort();
  return 0;
}
