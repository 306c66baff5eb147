// The update messages of the updater and the update server, the packed-file container and the
// signed manifest. No I/O: the server builds what it sends here and the updater reads it here.
//
// Messages (the payload of one reliable transport message, little-endian):
//   request       0x00060000, 36 bytes: version string[20] at 4, status 0 at 25.
//   announcement  0x00060000: status at 25 (2: nothing to give), file count at 28, description
//                 length n at 32, n bytes of GBK description at 36.
//   file piece    0x00060001: last at 4, name string[42] at 5, whole size at 48, piece length m at
//                 52, m bytes at 56.
// Packed file: magic 20851 (u32), unpacked size (u32), a zlib stream of the content.
//
// Manifest: a text file of the reserved name kManifestName, sent first in a signed update. Lines:
//   "KivUpdate manifest 1", "target <version or plug-in name>", then one
//   "file <size> <sha256 hex> <name>" per file, then "signature <Ed25519 signature hex>" over every
//   byte before that line.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <sodium.h>

#include "base/wire.h"

namespace kiv::update {

inline constexpr std::uint32_t kCodeUpdate = 0x00060000;
inline constexpr std::uint32_t kCodePiece = 0x00060001;
inline constexpr std::size_t kRequestSize = 36;
inline constexpr std::size_t kAnnouncementHeadSize = 36;
inline constexpr std::size_t kPieceHeadSize = 56;
inline constexpr std::uint8_t kStatusNothing = 2;
inline constexpr std::uint8_t kStatusUpdate = 1;
inline constexpr std::size_t kVersionBytes = 20;
inline constexpr std::size_t kNameBytes = 42;
inline constexpr std::uint32_t kPackedMagic = 20851;
inline constexpr std::size_t kPackedHeadSize = 8;
// Bytes of file in one piece.
inline constexpr std::size_t kPieceBytes = 16 * 1024;
// Most content one file may unpack to.
inline constexpr std::uint64_t kMaxUnpackedSize = std::uint64_t{512} << 20;
inline constexpr const char* kManifestName = "KivUpdate.manifest";
// Largest manifest the updater holds.
inline constexpr std::size_t kMaxManifestBytes = 1 << 20;

Bytes BuildRequest(std::string_view version);
// The version text (UTF-8) of a request; nothing when it is too short.
std::optional<std::string> ParseRequest(std::span<const std::uint8_t> message);

struct TAnnouncement {
  std::uint8_t status = kStatusUpdate;
  std::uint32_t file_count = 0;
  std::string description;  // UTF-8
};
Bytes BuildAnnouncement(const TAnnouncement& a);
std::optional<TAnnouncement> ParseAnnouncement(std::span<const std::uint8_t> message, std::string* error);

struct TPiece {
  bool last = false;
  std::string name;  // UTF-8, as sent
  std::uint32_t whole_size = 0;
  std::span<const std::uint8_t> bytes;  // inside the message
};
// False when the name does not fit its field.
bool BuildPiece(const TPiece& piece, Bytes& out);
std::optional<TPiece> ParsePiece(std::span<const std::uint8_t> message, std::string* error);

// The form in which a file is sent: packed when that is smaller, and always when the content itself
// begins with the magic (it would otherwise be taken for a packed file).
Bytes PackForSending(std::span<const std::uint8_t> content);
bool StartsWithPackedMagic(std::span<const std::uint8_t> bytes);

using TSha256 = std::array<std::uint8_t, 32>;
using TPublicKey = std::array<std::uint8_t, 32>;
using TSecretKey = std::array<std::uint8_t, 64>;

// SHA-256 of data given in pieces.
class TSha256Stream {
 public:
  TSha256Stream();
  void Update(std::span<const std::uint8_t> data);
  TSha256 Final();

 private:
  crypto_hash_sha256_state state_;
};

struct TManifestEntry {
  std::string name;  // as sent, UTF-8
  std::uint64_t size = 0;
  TSha256 sha256{};
};
struct TManifest {
  std::string target;
  std::vector<TManifestEntry> files;
};

// The signed text of the manifest.
std::string SignManifest(const TManifest& manifest, const TSecretKey& key);
// The manifest when `text` is well formed and its signature is `key`'s; otherwise nothing and `error`.
std::optional<TManifest> VerifyManifest(std::string_view text, const TPublicKey& key, std::string* error);

struct TKeyPair {
  TPublicKey public_key{};
  TSecretKey secret_key{};
};
TKeyPair GenerateKeyPair();
std::string ToHex(std::span<const std::uint8_t> bytes);
// Exactly `size` bytes of hex text (white space around it ignored), or nothing.
std::optional<Bytes> FromHex(std::string_view text, std::size_t size);

}  // namespace kiv::update
