#include "base/text_checks.h"

#include <array>

#include "base/gbk.h"
#include "base/md5.h"

namespace kiv {
namespace {

std::string ShortGbk(std::string_view utf8) {
  std::string gbk = Utf8ToGbk(utf8);
  gbk.resize(GbkPrefixLength(gbk, kShortTextBytes));
  return gbk;
}

// Three names of notorious historical figures, a banned movement, and thirteen obscene terms.
constexpr std::array<std::string_view, 17> kForbiddenWords = {
    "希特勒", "本拉登", "墨索里尼", "纳粹党", "fuck", "sex",  "操你", "傻逼", "他妈的",
    "婊子",   "贱人",   "鸡巴",     "强奸",   "淫荡", "做爱", "屌丝", "骚货",
};

}  // namespace

bool CheckInputString(std::string_view text) {
  std::string gbk = ShortGbk(text);
  static constexpr std::string_view kForbiddenBytes = ">?!#$%^&*(){}:\";',</";
  if (gbk.find_first_of(kForbiddenBytes) != std::string::npos) return false;
  return gbk.find("\xA1\xA1") == std::string::npos;
}

bool CheckInputString2(std::string_view text) {
  std::string gbk = ShortGbk(text);
  for (std::string_view word : kForbiddenWords) {
    if (gbk.find(Utf8ToGbk(word)) != std::string::npos) return false;
  }
  return true;
}

bool CheckInputisNum(char& key) {
  if ((key >= '0' && key <= '9') || key == 3 || key == 8 || key == 22 || key == 24) return true;
  key = 0;
  return false;
}

std::string CheckStr2(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c != '\n' && c != '\r' && c != ' ' && c != '\t') out += c;
  }
  return out;
}

std::string CheckStr(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\'':
      case '*':
      case '%':
      case '#':
      case '$':
      case '&':
      case ';':
      case '`':
        out += '\\';
        out += c;
        break;
      case '\n':
        out += "\\#10";
        break;
      case '\r':
        out += "\\#13";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string GetStr(std::uint8_t index, std::string_view text, char separator) {
  int field = 0;
  std::string current;
  char quote = 0;
  auto finish = [&]() -> bool {
    if (current.empty()) return false;
    if (field++ == index) return true;
    current.clear();
    return false;
  };
  for (char c : text) {
    if (quote) {
      current += c;
      if (c == quote) quote = 0;
      continue;
    }
    if (c == separator || c == '\r' || c == '\n') {
      if (finish()) return current;
      continue;
    }
    if (c == '\'' || c == '"') quote = c;
    current += c;
  }
  return finish() ? current : std::string();
}

std::string MD5(std::string_view text, std::uint8_t kind) { return TMd5Digest::Md5(ShortGbk(text), kind); }

}  // namespace kiv
