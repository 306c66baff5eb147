// Checks and clean-up of text typed by users.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kiv {

// Longest text the short-text functions look at, in GBK bytes; longer input is cut first.
constexpr std::size_t kShortTextBytes = 255;

// False when the GBK form of `text` holds any of > ? ! # $ % ^ & * ( ) { } : " ; ' , < / or the
// full-width space. The test is bytewise on GBK, so a Chinese character whose second byte is one of
// those bytes is refused too. Used for nicknames.
bool CheckInputString(std::string_view text);

// False when the GBK form of `text` holds any of the forbidden words. Used by the room plug-in.
bool CheckInputString2(std::string_view text);

// Keyboard filter for numeric fields: digits and Ctrl+C, Backspace, Ctrl+V, Ctrl+X pass (true);
// any other key is replaced by character 0 and the result is false (the caller sounds the beep).
bool CheckInputisNum(char& key);

// Removes every LF, CR, space and tab.
std::string CheckStr2(std::string_view text);

// Puts a backslash before every ' * % # $ & ; and `, then writes LF as "\#10" and CR as "\#13".
std::string CheckStr(std::string_view text);

// The index-th field (from 0) of `text` split at `separator`, CR and LF; empty fields are dropped and
// a part in single or double quotes is not split (the quotes stay). Empty when there are fewer fields.
std::string GetStr(std::uint8_t index, std::string_view text, char separator);

// The digest text of `text`'s GBK bytes for `kind` (see TMd5Digest::Md5); input cut to 255 bytes.
std::string MD5(std::string_view text, std::uint8_t kind);

}  // namespace kiv
