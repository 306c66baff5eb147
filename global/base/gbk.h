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

// The longest prefix length of `gbk`, at most `max_bytes`, that does not end in the middle of a
// two-byte GBK character.
std::size_t GbkPrefixLength(std::string_view gbk, std::size_t max_bytes);

// `gbk` cut to at most `max_bytes` without splitting a two-byte character.
std::string_view GbkTruncate(std::string_view gbk, std::size_t max_bytes);

// True when `byte` opens a two-byte GBK character.
constexpr bool IsGbkLeadByte(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }

}  // namespace kiv
