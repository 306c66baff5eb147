// Reading and writing packed wire and file records at fixed offsets.
//
// Records are packed and little-endian: u8, u16, u32, i32, one-byte booleans, string[N] (one length
// byte, then up to N GBK bytes, always N + 1 bytes wide) and addresses (a string[15] holding dotted
// IPv4 text followed by a u16 port). Every access is bounds-checked: a read past the end yields zero
// or empty text and clears ok(); a write past the end is not performed and clears ok().
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {

using Bytes = std::vector<std::uint8_t>;

// Width in bytes of a string[N] field.
constexpr std::size_t StringFieldSize(std::size_t n) { return n + 1; }
// Width in bytes of an address field: string[15] + u16.
constexpr std::size_t kAddressFieldSize = StringFieldSize(15) + 2;

struct WireAddress {
  std::string ip;  // dotted IPv4 text
  std::uint16_t port = 0;
  bool operator==(const WireAddress&) const = default;
};

// Reads fields of a record held by someone else. Never reads outside the given bytes.
class RecordReader {
 public:
  RecordReader() = default;
  RecordReader(const void* data, std::size_t size)
      : data_(static_cast<const std::uint8_t*>(data)), size_(size) {}
  explicit RecordReader(std::span<const std::uint8_t> bytes) : RecordReader(bytes.data(), bytes.size()) {}

  std::size_t size() const { return size_; }
  // False once any read went past the end.
  bool ok() const { return ok_; }
  // True when `count` bytes at `offset` lie inside the record (does not touch ok()).
  bool has(std::size_t offset, std::size_t count) const { return offset <= size_ && count <= size_ - offset; }

  std::uint8_t u8(std::size_t offset) const;
  std::uint16_t u16(std::size_t offset) const;
  std::uint32_t u32(std::size_t offset) const;
  std::int32_t i32(std::size_t offset) const;
  bool boolean(std::size_t offset) const { return u8(offset) != 0; }

  // string[N] as stored: the GBK bytes, at most N of them and never past the end of the record.
  std::string gbk(std::size_t offset, std::size_t n) const;
  // string[N] converted to UTF-8.
  std::string text(std::size_t offset, std::size_t n) const;
  WireAddress address(std::size_t offset) const;
  // `count` raw bytes; empty (and ok() cleared) when they are not all inside.
  std::span<const std::uint8_t> bytes(std::size_t offset, std::size_t count) const;

 private:
  bool check(std::size_t offset, std::size_t count) const;

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  mutable bool ok_ = true;
};

// Writes fields into a buffer someone else owns, or into its own zero-filled buffer.
class RecordWriter {
 public:
  // Owns a zero-filled record of `size` bytes.
  explicit RecordWriter(std::size_t size) : owned_(size, 0), data_(owned_.data()), size_(size) {}
  // Writes into `data`, which must outlive the writer.
  RecordWriter(void* data, std::size_t size) : data_(static_cast<std::uint8_t*>(data)), size_(size) {}
  explicit RecordWriter(std::span<std::uint8_t> bytes) : RecordWriter(bytes.data(), bytes.size()) {}

  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  std::size_t size() const { return size_; }
  bool ok() const { return ok_; }

  RecordWriter& u8(std::size_t offset, std::uint8_t value);
  RecordWriter& u16(std::size_t offset, std::uint16_t value);
  RecordWriter& u32(std::size_t offset, std::uint32_t value);
  RecordWriter& i32(std::size_t offset, std::int32_t value);
  RecordWriter& boolean(std::size_t offset, bool value) { return u8(offset, value ? 1 : 0); }
  // string[N] from GBK bytes, cut to N bytes without splitting a character; the unused tail is zeroed.
  RecordWriter& gbk(std::size_t offset, std::size_t n, std::string_view gbk_text);
  // string[N] from UTF-8 text.
  RecordWriter& text(std::size_t offset, std::size_t n, std::string_view utf8);
  RecordWriter& address(std::size_t offset, const WireAddress& address);
  RecordWriter& bytes(std::size_t offset, std::span<const std::uint8_t> data);

  std::span<const std::uint8_t> view() const { return {data_, size_}; }
  // The owned record (empty for a writer over someone else's buffer).
  Bytes take() { return std::move(owned_); }

 private:
  bool check(std::size_t offset, std::size_t count);

  Bytes owned_;
  std::uint8_t* data_;
  std::size_t size_;
  bool ok_ = true;
};

// Little-endian helpers for code that builds buffers byte by byte. The caller guarantees the room.
inline std::uint16_t LoadU16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t LoadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void StoreU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void StoreU32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

}  // namespace kiv
