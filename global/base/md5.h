// MD5 digests (RFC 1321) rendered as lowercase hexadecimal, whole or in selected halves.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kiv {

class TMd5Digest {
 public:
  // The four state words A, B, C, D of the digest of `data`.
  using State = std::array<std::uint32_t, 4>;

  // Digest text of `text` (its bytes as stored, GBK) for `kind`:
  // 1 ABCD, 2 BC, 3 BD, 4 CD, 5 AD, 6 AC; any other kind gives an empty text.
  // An empty text with kind 1 gives an empty result; kinds 2..6 select parts of the empty digest.
  // Callers on the wire depend on that quirk.
  static std::string Md5(std::string_view text, std::uint8_t kind);

  static State Digest(const void* data, std::size_t size);
  // One state word as 8 hexadecimal characters, least significant byte first.
  static std::string rHex(std::uint32_t word);
};

// Incremental MD5 over a stream of bytes.
class Md5Context {
 public:
  Md5Context();
  void Update(const void* data, std::size_t size);
  TMd5Digest::State Finish();
  // The 16 digest bytes in the usual order.
  static std::array<std::uint8_t, 16> Bytes(const TMd5Digest::State& state);

 private:
  void Transform(const std::uint8_t* block);

  TMd5Digest::State state_;
  std::uint64_t length_ = 0;
  std::array<std::uint8_t, 64> buffer_{};
  std::size_t buffered_ = 0;
};

}  // namespace kiv
