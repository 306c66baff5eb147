#include "friend_store.h"

#include "friend_store_text.h"

namespace kiv::server {

std::string HexText(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  return text;
}

std::optional<Bytes> FromHexText(const std::string& text) {
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (text.size() % 2) return std::nullopt;
  Bytes bytes(text.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    int hi = digit(text[2 * i]), lo = digit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return bytes;
}

std::unique_ptr<IFriendStore> OpenFriendStore(const std::string& location) {
  if (location.starts_with("postgresql://") || location.starts_with("postgres://"))
    return OpenPgFriendStore(location);
  return OpenSqliteFriendStore(location.starts_with("sqlite:") ? location.substr(7) : location);
}

}  // namespace kiv::server
