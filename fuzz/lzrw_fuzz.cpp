// Feeds arbitrary bytes to the LZRW block and container decoders and to the in-place decompression of
// both methods, and checks that compression round-trips whatever it is given.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/compress.h"
#include "base/lzrw.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kiv;
  if (size == 0) return 0;
  // The first byte picks the room the decoders get, so short rooms are tried as well as ample ones.
  const std::size_t room = (std::size_t{data[0]} * 257) % (LZRW::kBlockSize + 1);
  const std::uint8_t* body = data + 1;
  const std::size_t length = size - 1;

  // Block decoder: exactly `room` bytes, heap-allocated so that any overrun is caught.
  {
    std::vector<std::uint8_t> block(body, body + length);
    std::vector<std::uint8_t> out(room);
    const auto n = LZRW::Decompression(block.data(), out.data(), block.size(), out.size());
    if (n && *n > room) std::abort();
  }
  // Container decoder with a limit.
  {
    std::vector<std::uint8_t> out;
    if (LZRW::DeCompressStream({body, length}, out, room) == LZRW::StreamError::kNone && out.size() > room) {
      std::abort();
    }
  }
  // In-place decompression into a buffer of exactly max(length, room) bytes, both methods.
  for (std::uint8_t method : {kMethodLzrw, kMethodZlib}) {
    std::vector<std::uint8_t> buffer(std::max(length, room));
    if (length > 0) std::memcpy(buffer.data(), body, length);
    std::uint32_t n = static_cast<std::uint32_t>(length);
    if (DeCompressData(std::span(buffer), n, method) && n > buffer.size()) std::abort();
  }
  // Round trip through the block codec and the container.
  {
    const std::size_t count = std::min(length, LZRW::kBlockSize);
    std::vector<std::uint8_t> block(LZRW::CompressionRoom(count));
    const std::size_t packed = LZRW::Compression(body, block.data(), count);
    if (packed == 0 || packed > count + 1) std::abort();
    std::vector<std::uint8_t> plain(count);
    const auto n = LZRW::Decompression(block.data(), plain.data(), packed, plain.size());
    if (!n || *n != count || (count > 0 && std::memcmp(plain.data(), body, count) != 0)) std::abort();

    std::vector<std::uint8_t> container;
    std::vector<std::uint8_t> back;
    if (!LZRW::CompressStream({body, length}, container) ||
        LZRW::DeCompressStream(container, back, length) != LZRW::StreamError::kNone ||
        back != std::vector<std::uint8_t>(body, body + length)) {
      std::abort();
    }
  }
  return 0;
}
