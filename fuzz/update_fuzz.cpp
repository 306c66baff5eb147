// The updater's readers of what the update server sends: the announcement, the file pieces, the
// packed-file stream and the signed manifest. Any bytes, any length: never read past the end, never
// inflate past the declared size.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "base/compress.h"
#include "update_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kiv::update;
  const std::span<const std::uint8_t> bytes(data, size);
  std::string error;
  (void)ParseRequest(bytes);
  (void)ParseAnnouncement(bytes, &error);
  if (std::optional<TPiece> piece = ParsePiece(bytes, &error)) {
    // A piece's bytes lie inside the message.
    if (piece->bytes.data() < data || piece->bytes.data() + piece->bytes.size() > data + size) __builtin_trap();
  }
  if (StartsWithPackedMagic(bytes) && size > kPackedHeadSize) {
    kiv::ZlibInflateStream inflater(1 << 20);
    std::uint64_t seen = 0;
    (void)inflater.Feed(bytes.subspan(kPackedHeadSize), [&](std::span<const std::uint8_t> out) {
      seen += out.size();
      return true;
    });
    if (seen > (1u << 20)) __builtin_trap();
  }
  // A fixed key: almost every input fails the signature, but the parser in front of it runs.
  static const TPublicKey key{};
  (void)VerifyManifest(std::string_view(reinterpret_cast<const char*>(data), size), key, &error);
  return 0;
}
