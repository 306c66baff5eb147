#include "base/wire.h"

#include <algorithm>
#include <cstring>

#include "base/gbk.h"

namespace kiv {

bool RecordReader::check(std::size_t offset, std::size_t count) const {
  if (has(offset, count)) return true;
  ok_ = false;
  return false;
}

std::uint8_t RecordReader::u8(std::size_t offset) const { return check(offset, 1) ? data_[offset] : 0; }

std::uint16_t RecordReader::u16(std::size_t offset) const {
  return check(offset, 2) ? LoadU16(data_ + offset) : 0;
}

std::uint32_t RecordReader::u32(std::size_t offset) const {
  return check(offset, 4) ? LoadU32(data_ + offset) : 0;
}

std::int32_t RecordReader::i32(std::size_t offset) const { return static_cast<std::int32_t>(u32(offset)); }

std::string RecordReader::gbk(std::size_t offset, std::size_t n) const {
  if (!check(offset, 1)) return {};
  std::size_t length = std::min<std::size_t>(data_[offset], n);
  // A length byte that claims more than the record holds is cut to what was received.
  if (!has(offset + 1, length)) {
    ok_ = false;
    length = size_ - offset - 1;
  }
  return {reinterpret_cast<const char*>(data_ + offset + 1), length};
}

std::string RecordReader::text(std::size_t offset, std::size_t n) const { return GbkToUtf8(gbk(offset, n)); }

WireAddress RecordReader::address(std::size_t offset) const {
  return {text(offset, 15), u16(offset + StringFieldSize(15))};
}

std::span<const std::uint8_t> RecordReader::bytes(std::size_t offset, std::size_t count) const {
  if (!check(offset, count)) return {};
  return {data_ + offset, count};
}

bool RecordWriter::check(std::size_t offset, std::size_t count) {
  if (offset <= size_ && count <= size_ - offset) return true;
  ok_ = false;
  return false;
}

RecordWriter& RecordWriter::u8(std::size_t offset, std::uint8_t value) {
  if (check(offset, 1)) data_[offset] = value;
  return *this;
}

RecordWriter& RecordWriter::u16(std::size_t offset, std::uint16_t value) {
  if (check(offset, 2)) StoreU16(data_ + offset, value);
  return *this;
}

RecordWriter& RecordWriter::u32(std::size_t offset, std::uint32_t value) {
  if (check(offset, 4)) StoreU32(data_ + offset, value);
  return *this;
}

RecordWriter& RecordWriter::i32(std::size_t offset, std::int32_t value) {
  return u32(offset, static_cast<std::uint32_t>(value));
}

RecordWriter& RecordWriter::gbk(std::size_t offset, std::size_t n, std::string_view gbk_text) {
  n = std::min<std::size_t>(n, 255);
  if (!check(offset, StringFieldSize(n))) return *this;
  std::string_view cut = GbkTruncate(gbk_text, n);
  data_[offset] = static_cast<std::uint8_t>(cut.size());
  // An empty view may carry a null pointer, which memcpy must not be given even for 0 bytes.
  if (!cut.empty()) std::memcpy(data_ + offset + 1, cut.data(), cut.size());
  std::memset(data_ + offset + 1 + cut.size(), 0, n - cut.size());
  return *this;
}

RecordWriter& RecordWriter::text(std::size_t offset, std::size_t n, std::string_view utf8) {
  return gbk(offset, n, Utf8ToGbk(utf8));
}

RecordWriter& RecordWriter::address(std::size_t offset, const WireAddress& address) {
  text(offset, 15, address.ip);
  return u16(offset + StringFieldSize(15), address.port);
}

RecordWriter& RecordWriter::bytes(std::size_t offset, std::span<const std::uint8_t> data) {
  if (check(offset, data.size()) && !data.empty()) std::memcpy(data_ + offset, data.data(), data.size());
  return *this;
}

}  // namespace kiv
