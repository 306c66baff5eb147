// string[N] fields: text that fits N GBK bytes.
//
// Records store text as a length byte and at most N GBK bytes. Inside the program the same text is
// UTF-8; `ShortString<N>` holds it and guarantees that its GBK form fits the field, cutting on
// assignment without splitting a two-byte character. `PackedShortString<N>` is the raw field itself,
// for packed records that cross the plug-in boundary as they are in memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "base/gbk.h"

namespace kiv {

template <std::size_t N>
class ShortString {
  static_assert(N >= 1 && N <= 255, "a short string holds 1 to 255 bytes");

 public:
  static constexpr std::size_t kCapacity = N;

  ShortString() = default;
  explicit ShortString(std::string_view utf8) { *this = utf8; }

  // Stores UTF-8 text, cut to what fits N GBK bytes. Characters GBK cannot hold become "?", as they
  // would in any record.
  ShortString& operator=(std::string_view utf8) {
    SetGbk(Utf8ToGbk(utf8));
    return *this;
  }
  ShortString& operator=(const char* utf8) { return *this = std::string_view(utf8); }
  ShortString& operator=(const std::string& utf8) { return *this = std::string_view(utf8); }

  // Stores text given as GBK bytes (as read from a record), cut to N bytes.
  void SetGbk(std::string_view gbk) { text_ = GbkToUtf8(GbkTruncate(gbk, N)); }

  const std::string& str() const { return text_; }
  const char* c_str() const { return text_.c_str(); }
  // The GBK bytes a record stores; never longer than N.
  std::string gbk() const { return Utf8ToGbk(text_); }
  bool empty() const { return text_.empty(); }
  void clear() { text_.clear(); }

  friend bool operator==(const ShortString& a, const ShortString& b) { return a.text_ == b.text_; }
  friend bool operator==(const ShortString& a, std::string_view b) { return a.text_ == b; }

 private:
  std::string text_;
};

#pragma pack(push, 1)
// The raw string[N] field: a length byte and N bytes, N + 1 bytes wide. Bytes past the length are
// ignored; a length byte above N is read as N.
template <std::size_t N>
struct PackedShortString {
  static_assert(N >= 1 && N <= 255, "a short string holds 1 to 255 bytes");

  std::uint8_t length;
  char chars[N];

  std::string_view Gbk() const { return {chars, std::min<std::size_t>(length, N)}; }
  std::string Text() const { return GbkToUtf8(Gbk()); }

  void SetGbk(std::string_view gbk) {
    std::string_view cut = GbkTruncate(gbk, N);
    std::memset(chars, 0, N);
    if (!cut.empty()) std::memcpy(chars, cut.data(), cut.size());
    length = static_cast<std::uint8_t>(cut.size());
  }
  void SetText(std::string_view utf8) { SetGbk(Utf8ToGbk(utf8)); }
};
#pragma pack(pop)

static_assert(sizeof(PackedShortString<20>) == 21);
static_assert(sizeof(PackedShortString<255>) == 256);

}  // namespace kiv
