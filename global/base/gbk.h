// Conversion between the GBK text of wire and file records and the UTF-8 text used inside the program.
// This is the one place that converts; nothing else calls iconv.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kiv {

// GBK bytes -> UTF-8. Bytes that are not valid GBK become U+FFFD; never fails.
std::string GbkToUtf8(std::string_view gbk);

// UTF-8 -> GBK bytes. Characters GBK cannot hold, and invalid UTF-8 sequences, become "?"; never fails.
std::string Utf8ToGbk(std::string_view utf8);

// False when the system has no converter for GBK (an installation without glibc's gconv modules).
// The conversions then keep ASCII, which both encodings share, and replace every other character
// ("?" in GBK, U+FFFD in UTF-8), so UTF-8 bytes never pass into a GBK record as if they were GBK;
// the program reports the broken installation in its error log at start-up.
bool GbkConversionAvailable();

namespace detail {
// The conversions through the converter of `charset` instead of GBK (tests name one that does not
// exist). Opens a converter per call.
std::string GbkToUtf8With(const char* charset, std::string_view gbk);
std::string Utf8ToGbkWith(const char* charset, std::string_view utf8);
}  // namespace detail

// The longest prefix length of `gbk`, at most `max_bytes`, that does not end in the middle of a
// two-byte GBK character.
std::size_t GbkPrefixLength(std::string_view gbk, std::size_t max_bytes);

// `gbk` cut to at most `max_bytes` without splitting a two-byte character.
std::string_view GbkTruncate(std::string_view gbk, std::size_t max_bytes);

// True when `byte` opens a two-byte GBK character.
constexpr bool IsGbkLeadByte(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }

}  // namespace kiv
