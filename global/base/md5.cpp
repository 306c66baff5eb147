#include "base/md5.h"

#include <cstring>

#include "base/wire.h"

namespace kiv {
namespace {

constexpr std::uint32_t Rol(std::uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

// The four round operations of RFC 1321, each built on the common step.
#define KIV_MD5_STEP(f, a, b, c, d, x, t, s) \
  a += f(b, c, d) + (x) + (t);               \
  a = Rol(a, s) + (b)

constexpr std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return z ^ (x & (y ^ z)); }
constexpr std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return y ^ (z & (x ^ y)); }
constexpr std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; }
constexpr std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) { return y ^ (x | ~z); }

}  // namespace

Md5Context::Md5Context() : state_{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u} {}

void Md5Context::Transform(const std::uint8_t* block) {
  std::uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadU32(block + 4 * i);
  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];

  KIV_MD5_STEP(F, a, b, c, d, x[0], 0xd76aa478, 7);
  KIV_MD5_STEP(F, d, a, b, c, x[1], 0xe8c7b756, 12);
  KIV_MD5_STEP(F, c, d, a, b, x[2], 0x242070db, 17);
  KIV_MD5_STEP(F, b, c, d, a, x[3], 0xc1bdceee, 22);
  KIV_MD5_STEP(F, a, b, c, d, x[4], 0xf57c0faf, 7);
  KIV_MD5_STEP(F, d, a, b, c, x[5], 0x4787c62a, 12);
  KIV_MD5_STEP(F, c, d, a, b, x[6], 0xa8304613, 17);
  KIV_MD5_STEP(F, b, c, d, a, x[7], 0xfd469501, 22);
  KIV_MD5_STEP(F, a, b, c, d, x[8], 0x698098d8, 7);
  KIV_MD5_STEP(F, d, a, b, c, x[9], 0x8b44f7af, 12);
  KIV_MD5_STEP(F, c, d, a, b, x[10], 0xffff5bb1, 17);
  KIV_MD5_STEP(F, b, c, d, a, x[11], 0x895cd7be, 22);
  KIV_MD5_STEP(F, a, b, c, d, x[12], 0x6b901122, 7);
  KIV_MD5_STEP(F, d, a, b, c, x[13], 0xfd987193, 12);
  KIV_MD5_STEP(F, c, d, a, b, x[14], 0xa679438e, 17);
  KIV_MD5_STEP(F, b, c, d, a, x[15], 0x49b40821, 22);

  KIV_MD5_STEP(G, a, b, c, d, x[1], 0xf61e2562, 5);
  KIV_MD5_STEP(G, d, a, b, c, x[6], 0xc040b340, 9);
  KIV_MD5_STEP(G, c, d, a, b, x[11], 0x265e5a51, 14);
  KIV_MD5_STEP(G, b, c, d, a, x[0], 0xe9b6c7aa, 20);
  KIV_MD5_STEP(G, a, b, c, d, x[5], 0xd62f105d, 5);
  KIV_MD5_STEP(G, d, a, b, c, x[10], 0x02441453, 9);
  KIV_MD5_STEP(G, c, d, a, b, x[15], 0xd8a1e681, 14);
  KIV_MD5_STEP(G, b, c, d, a, x[4], 0xe7d3fbc8, 20);
  KIV_MD5_STEP(G, a, b, c, d, x[9], 0x21e1cde6, 5);
  KIV_MD5_STEP(G, d, a, b, c, x[14], 0xc33707d6, 9);
  KIV_MD5_STEP(G, c, d, a, b, x[3], 0xf4d50d87, 14);
  KIV_MD5_STEP(G, b, c, d, a, x[8], 0x455a14ed, 20);
  KIV_MD5_STEP(G, a, b, c, d, x[13], 0xa9e3e905, 5);
  KIV_MD5_STEP(G, d, a, b, c, x[2], 0xfcefa3f8, 9);
  KIV_MD5_STEP(G, c, d, a, b, x[7], 0x676f02d9, 14);
  KIV_MD5_STEP(G, b, c, d, a, x[12], 0x8d2a4c8a, 20);

  KIV_MD5_STEP(H, a, b, c, d, x[5], 0xfffa3942, 4);
  KIV_MD5_STEP(H, d, a, b, c, x[8], 0x8771f681, 11);
  KIV_MD5_STEP(H, c, d, a, b, x[11], 0x6d9d6122, 16);
  KIV_MD5_STEP(H, b, c, d, a, x[14], 0xfde5380c, 23);
  KIV_MD5_STEP(H, a, b, c, d, x[1], 0xa4beea44, 4);
  KIV_MD5_STEP(H, d, a, b, c, x[4], 0x4bdecfa9, 11);
  KIV_MD5_STEP(H, c, d, a, b, x[7], 0xf6bb4b60, 16);
  KIV_MD5_STEP(H, b, c, d, a, x[10], 0xbebfbc70, 23);
  KIV_MD5_STEP(H, a, b, c, d, x[13], 0x289b7ec6, 4);
  KIV_MD5_STEP(H, d, a, b, c, x[0], 0xeaa127fa, 11);
  KIV_MD5_STEP(H, c, d, a, b, x[3], 0xd4ef3085, 16);
  KIV_MD5_STEP(H, b, c, d, a, x[6], 0x04881d05, 23);
  KIV_MD5_STEP(H, a, b, c, d, x[9], 0xd9d4d039, 4);
  KIV_MD5_STEP(H, d, a, b, c, x[12], 0xe6db99e5, 11);
  KIV_MD5_STEP(H, c, d, a, b, x[15], 0x1fa27cf8, 16);
  KIV_MD5_STEP(H, b, c, d, a, x[2], 0xc4ac5665, 23);

  KIV_MD5_STEP(I, a, b, c, d, x[0], 0xf4292244, 6);
  KIV_MD5_STEP(I, d, a, b, c, x[7], 0x432aff97, 10);
  KIV_MD5_STEP(I, c, d, a, b, x[14], 0xab9423a7, 15);
  KIV_MD5_STEP(I, b, c, d, a, x[5], 0xfc93a039, 21);
  KIV_MD5_STEP(I, a, b, c, d, x[12], 0x655b59c3, 6);
  KIV_MD5_STEP(I, d, a, b, c, x[3], 0x8f0ccc92, 10);
  KIV_MD5_STEP(I, c, d, a, b, x[10], 0xffeff47d, 15);
  KIV_MD5_STEP(I, b, c, d, a, x[1], 0x85845dd1, 21);
  KIV_MD5_STEP(I, a, b, c, d, x[8], 0x6fa87e4f, 6);
  KIV_MD5_STEP(I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
  KIV_MD5_STEP(I, c, d, a, b, x[6], 0xa3014314, 15);
  KIV_MD5_STEP(I, b, c, d, a, x[13], 0x4e0811a1, 21);
  KIV_MD5_STEP(I, a, b, c, d, x[4], 0xf7537e82, 6);
  KIV_MD5_STEP(I, d, a, b, c, x[11], 0xbd3af235, 10);
  KIV_MD5_STEP(I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
  KIV_MD5_STEP(I, b, c, d, a, x[9], 0xeb86d391, 21);

  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

#undef KIV_MD5_STEP

void Md5Context::Update(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  length_ += size;
  if (buffered_ > 0) {
    std::size_t take = std::min(size, buffer_.size() - buffered_);
    std::memcpy(buffer_.data() + buffered_, p, take);
    buffered_ += take;
    p += take;
    size -= take;
    if (buffered_ < buffer_.size()) return;
    Transform(buffer_.data());
    buffered_ = 0;
  }
  for (; size >= 64; p += 64, size -= 64) Transform(p);
  if (size > 0) {
    std::memcpy(buffer_.data(), p, size);
    buffered_ = size;
  }
}

TMd5Digest::State Md5Context::Finish() {
  std::uint8_t tail[72] = {0x80};
  std::uint64_t bits = length_ * 8;
  std::size_t pad = (buffered_ < 56 ? 56 : 120) - buffered_;
  std::uint8_t length_bytes[8];
  for (int i = 0; i < 8; ++i) length_bytes[i] = static_cast<std::uint8_t>(bits >> (8 * i));
  Update(tail, pad);
  Update(length_bytes, 8);
  return state_;
}

std::array<std::uint8_t, 16> Md5Context::Bytes(const TMd5Digest::State& state) {
  std::array<std::uint8_t, 16> out{};
  for (int i = 0; i < 4; ++i) StoreU32(out.data() + 4 * i, state[i]);
  return out;
}

TMd5Digest::State TMd5Digest::Digest(const void* data, std::size_t size) {
  Md5Context context;
  context.Update(data, size);
  return context.Finish();
}

std::string TMd5Digest::rHex(std::uint32_t word) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(8, '0');
  for (int i = 0; i < 4; ++i) {
    auto byte = static_cast<std::uint8_t>(word >> (8 * i));
    out[2 * i] = kDigits[byte >> 4];
    out[2 * i + 1] = kDigits[byte & 15];
  }
  return out;
}

std::string TMd5Digest::Md5(std::string_view text, std::uint8_t kind) {
  if (kind < 1 || kind > 6) return {};
  if (kind == 1 && text.empty()) return {};
  State s = Digest(text.data(), text.size());
  switch (kind) {
    case 1:
      return rHex(s[0]) + rHex(s[1]) + rHex(s[2]) + rHex(s[3]);
    case 2:
      return rHex(s[1]) + rHex(s[2]);
    case 3:
      return rHex(s[1]) + rHex(s[3]);
    case 4:
      return rHex(s[2]) + rHex(s[3]);
    case 5:
      return rHex(s[0]) + rHex(s[3]);
    default:
      return rHex(s[0]) + rHex(s[2]);
  }
}

}  // namespace kiv
