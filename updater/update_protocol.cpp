#include "update_protocol.h"

#include <charconv>
#include <cstring>
#include <stdexcept>

#include "base/compress.h"
#include "base/gbk.h"

namespace kiv::update {

namespace {

void SetError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

void EnsureSodium() {
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
}

constexpr std::string_view kManifestHead = "KivUpdate manifest 1\n";
constexpr std::string_view kSignatureKey = "signature ";

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      lines.push_back(text);
      break;
    }
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end + 1);
  }
  return lines;
}

}  // namespace

Bytes BuildRequest(std::string_view version) {
  RecordWriter w(kRequestSize);
  w.u32(0, kCodeUpdate).text(4, kVersionBytes, version).u8(25, 0);
  return w.take();
}

std::optional<std::string> ParseRequest(std::span<const std::uint8_t> message) {
  RecordReader r(message);
  if (!r.has(0, 26) || r.u32(0) != kCodeUpdate) return std::nullopt;
  return r.text(4, kVersionBytes);
}

Bytes BuildAnnouncement(const TAnnouncement& a) {
  const std::string description = Utf8ToGbk(a.description);
  RecordWriter w(kAnnouncementHeadSize + description.size());
  w.u32(0, kCodeUpdate)
      .u8(25, a.status)
      .u32(28, a.file_count)
      .u32(32, static_cast<std::uint32_t>(description.size()));
  w.bytes(kAnnouncementHeadSize,
          std::span(reinterpret_cast<const std::uint8_t*>(description.data()), description.size()));
  return w.take();
}

std::optional<TAnnouncement> ParseAnnouncement(std::span<const std::uint8_t> message, std::string* error) {
  RecordReader r(message);
  if (!r.has(0, kAnnouncementHeadSize) || r.u32(0) != kCodeUpdate) {
    SetError(error, "announcement shorter than its head");
    return std::nullopt;
  }
  TAnnouncement a;
  a.status = r.u8(25);
  if (a.status == kStatusNothing) return a;  // the rest is not read
  a.file_count = r.u32(28);
  const std::uint32_t n = r.u32(32);
  if (!r.has(kAnnouncementHeadSize, n)) {
    SetError(error, "description length " + std::to_string(n) + " beyond the message");
    return std::nullopt;
  }
  std::span<const std::uint8_t> text = r.bytes(kAnnouncementHeadSize, n);
  a.description = GbkToUtf8(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
  return a;
}

bool BuildPiece(const TPiece& piece, Bytes& out) {
  const std::string name = Utf8ToGbk(piece.name);
  if (name.empty() || name.size() > kNameBytes) return false;
  out.assign(kPieceHeadSize + piece.bytes.size(), 0);
  RecordWriter w(out.data(), out.size());
  w.u32(0, kCodePiece).u8(4, piece.last ? 1 : 0).gbk(5, kNameBytes, name).u32(48, piece.whole_size);
  w.u32(52, static_cast<std::uint32_t>(piece.bytes.size())).bytes(kPieceHeadSize, piece.bytes);
  return w.ok();
}

std::optional<TPiece> ParsePiece(std::span<const std::uint8_t> message, std::string* error) {
  RecordReader r(message);
  if (!r.has(0, kPieceHeadSize) || r.u32(0) != kCodePiece) {
    SetError(error, "file piece shorter than its head");
    return std::nullopt;
  }
  if (r.u8(5) > kNameBytes) {
    SetError(error, "file name length " + std::to_string(r.u8(5)) + " beyond its field");
    return std::nullopt;
  }
  TPiece piece;
  piece.last = r.u8(4) == 1;
  piece.name = r.text(5, kNameBytes);
  piece.whole_size = r.u32(48);
  const std::uint32_t m = r.u32(52);
  if (!r.has(kPieceHeadSize, m)) {
    SetError(error, "piece length " + std::to_string(m) + " beyond the message");
    return std::nullopt;
  }
  piece.bytes = r.bytes(kPieceHeadSize, m);
  return piece;
}

bool StartsWithPackedMagic(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= 4 && LoadU32(bytes.data()) == kPackedMagic;
}

Bytes PackForSending(std::span<const std::uint8_t> content) {
  const bool must_pack = StartsWithPackedMagic(content);
  if (content.size() > 0xFFFFFFFFu - kPackedHeadSize) throw std::runtime_error("file too large to send");
  const auto length = static_cast<std::uint32_t>(content.size());
  Bytes buffer(kPackedHeadSize + CompressDataBound(length, kMethodZlib));
  if (!content.empty()) std::memcpy(buffer.data() + kPackedHeadSize, content.data(), content.size());
  std::uint32_t packed = length;
  std::string error;
  if (!CompressData(std::span(buffer).subspan(kPackedHeadSize), packed, kMethodZlib, &error))
    throw std::runtime_error(error);
  if (!must_pack && kPackedHeadSize + packed >= content.size()) return Bytes(content.begin(), content.end());
  StoreU32(buffer.data(), kPackedMagic);
  StoreU32(buffer.data() + 4, length);
  buffer.resize(kPackedHeadSize + packed);
  return buffer;
}

TSha256Stream::TSha256Stream() { crypto_hash_sha256_init(&state_); }

void TSha256Stream::Update(std::span<const std::uint8_t> data) {
  crypto_hash_sha256_update(&state_, data.data(), data.size());
}

TSha256 TSha256Stream::Final() {
  TSha256 digest{};
  crypto_hash_sha256_final(&state_, digest.data());
  return digest;
}

std::string SignManifest(const TManifest& manifest, const TSecretKey& key) {
  EnsureSodium();
  std::string text(kManifestHead);
  text += "target " + manifest.target + "\n";
  for (const TManifestEntry& f : manifest.files)
    text += "file " + std::to_string(f.size) + " " + ToHex(f.sha256) + " " + f.name + "\n";
  std::array<std::uint8_t, crypto_sign_BYTES> signature{};
  crypto_sign_detached(signature.data(), nullptr, reinterpret_cast<const std::uint8_t*>(text.data()),
                       text.size(), key.data());
  text += std::string(kSignatureKey) + ToHex(signature) + "\n";
  return text;
}

std::optional<TManifest> VerifyManifest(std::string_view text, const TPublicKey& key, std::string* error) {
  EnsureSodium();
  auto fail = [&](const std::string& why) -> std::optional<TManifest> {
    SetError(error, "update manifest refused: " + why);
    return std::nullopt;
  };
  const std::size_t at = text.rfind("\nsignature ");
  if (!text.starts_with(kManifestHead) || at == std::string_view::npos) return fail("no signature");
  const std::string_view signed_part = text.substr(0, at + 1);
  std::string_view signature_line = text.substr(at + 1 + kSignatureKey.size());
  if (signature_line.ends_with('\n')) signature_line.remove_suffix(1);
  std::optional<Bytes> signature = FromHex(signature_line, crypto_sign_BYTES);
  if (!signature) return fail("malformed signature");
  if (crypto_sign_verify_detached(signature->data(),
                                  reinterpret_cast<const std::uint8_t*>(signed_part.data()),
                                  signed_part.size(), key.data()) != 0)
    return fail("bad signature");
  // Signed by the key: the lines are the publisher's, but still read with care.
  TManifest manifest;
  std::vector<std::string_view> lines = SplitLines(signed_part.substr(kManifestHead.size()));
  if (lines.empty() || !lines[0].starts_with("target ")) return fail("no target line");
  manifest.target = std::string(lines[0].substr(7));
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (!line.starts_with("file ")) return fail("unknown line");
    line.remove_prefix(5);
    TManifestEntry entry;
    auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), entry.size);
    if (ec != std::errc() || end == line.data() + line.size() || *end != ' ') return fail("bad file size");
    line.remove_prefix(static_cast<std::size_t>(end - line.data()) + 1);
    if (line.size() < 66 || line[64] != ' ') return fail("bad file hash");
    std::optional<Bytes> hash = FromHex(line.substr(0, 64), 32);
    if (!hash) return fail("bad file hash");
    std::memcpy(entry.sha256.data(), hash->data(), 32);
    entry.name = std::string(line.substr(65));
    manifest.files.push_back(std::move(entry));
  }
  return manifest;
}

TKeyPair GenerateKeyPair() {
  EnsureSodium();
  TKeyPair pair;
  crypto_sign_keypair(pair.public_key.data(), pair.secret_key.data());
  return pair;
}

std::string ToHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::optional<Bytes> FromHex(std::string_view text, std::size_t size) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  if (text.size() != size * 2) return std::nullopt;
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) {
    auto [end, ec] = std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, out[i], 16);
    if (ec != std::errc() || end != text.data() + 2 * i + 2) return std::nullopt;
  }
  return out;
}

}  // namespace kiv::update
