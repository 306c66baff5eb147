#include "base/ini.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

#include "base/files.h"
#include "base/gbk.h"

namespace kiv {
namespace {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

std::string_view Trim(std::string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view Unquote(std::string_view s) {
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front())
    return s.substr(1, s.size() - 2);
  return s;
}

}  // namespace

IniFile IniFile::Load(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return Parse(text);
}

IniFile IniFile::Parse(std::string_view gbk_text) {
  IniFile ini;
  if (gbk_text.find("\r\n") == std::string_view::npos && gbk_text.find('\n') != std::string_view::npos)
    ini.line_end_ = "\n";
  ini.ends_with_line_end_ = gbk_text.empty() || gbk_text.back() == '\n';
  std::string_view rest = gbk_text;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    ini.lines_.emplace_back(line);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
  }
  ini.Index();
  return ini;
}

void IniFile::Index() {
  sections_.clear();
  Section* current = nullptr;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    std::string_view raw = lines_[i];
    if (i == 0 && raw.starts_with("\xEF\xBB\xBF"))
      raw.remove_prefix(3);  // a byte-order mark some editors add
    const std::string text = GbkToUtf8(raw);
    const std::string_view line = Trim(text);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      const std::string_view name =
          Trim(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
      auto it = std::find_if(sections_.begin(), sections_.end(),
                             [&](const Section& s) { return EqualsIgnoreCase(s.name, name); });
      if (it == sections_.end()) {
        sections_.push_back({std::string(name), {}, i});
        current = &sections_.back();
      } else {
        current = &*it;
        current->last_line = i;
      }
      continue;
    }
    const std::size_t eq = line.find('=');
    if (!current || eq == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, eq));
    const std::string_view value = Unquote(Trim(line.substr(eq + 1)));
    current->last_line = i;
    auto it = std::find_if(current->entries.begin(), current->entries.end(),
                           [&](const Entry& e) { return EqualsIgnoreCase(e.key, key); });
    // Like the platform's profile routines, the first of two equal keys wins.
    if (it == current->entries.end()) current->entries.push_back({std::string(key), std::string(value), i});
  }
}

const IniFile::Section* IniFile::FindSection(std::string_view name) const {
  name = Trim(name);  // names in the file are read without their surrounding blanks
  auto it = std::find_if(sections_.begin(), sections_.end(),
                         [&](const Section& s) { return EqualsIgnoreCase(s.name, name); });
  return it == sections_.end() ? nullptr : &*it;
}

std::optional<std::string> IniFile::Find(std::string_view section, std::string_view key) const {
  const Section* s = FindSection(section);
  if (!s) return std::nullopt;
  key = Trim(key);
  for (const auto& e : s->entries) {
    if (EqualsIgnoreCase(e.key, key)) return e.value;
  }
  return std::nullopt;
}

std::string IniFile::Get(std::string_view section, std::string_view key, std::string_view fallback) const {
  auto value = Find(section, key);
  return value ? *value : std::string(fallback);
}

long long IniFile::GetInt(std::string_view section, std::string_view key, long long fallback) const {
  auto value = Find(section, key);
  if (!value) return fallback;
  std::string_view v = *value;
  bool negative = v.starts_with('-');
  if (negative || v.starts_with('+')) v.remove_prefix(1);
  int base = 10;
  if (v.starts_with("0x") || v.starts_with("0X")) {
    base = 16;
    v.remove_prefix(2);
  }
  long long result = 0;
  auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), result, base);
  // Like the platform, a number followed by other text reads as the number.
  if (ec != std::errc() || ptr == v.data()) return fallback;
  return negative ? -result : result;
}

double IniFile::GetDouble(std::string_view section, std::string_view key, double fallback) const {
  auto value = Find(section, key);
  if (!value) return fallback;
  std::istringstream in(*value);
  in.imbue(std::locale::classic());
  double result = 0;
  return (in >> result) ? result : fallback;
}

std::vector<std::string> IniFile::Sections() const {
  std::vector<std::string> names;
  for (const auto& s : sections_) names.push_back(s.name);
  return names;
}

std::vector<std::string> IniFile::Keys(std::string_view section) const {
  std::vector<std::string> keys;
  if (const Section* s = FindSection(section)) {
    for (const auto& e : s->entries) keys.push_back(e.key);
  }
  return keys;
}

bool IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  auto holds_line_break = [](std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
  };
  if (holds_line_break(section) || holds_line_break(key) || holds_line_break(value)) return false;
  section = Trim(section);
  key = Trim(key);
  if (section.empty() || section.find(']') != std::string_view::npos || key.empty() ||
      key.find('=') != std::string_view::npos || key.front() == ';' || key.front() == '[') {
    return false;
  }
  // Stored as GBK: a character GBK lacks would come back as "?", so it is refused rather than changed.
  auto to_gbk = [](std::string_view utf8, std::string& gbk) {
    gbk = Utf8ToGbk(utf8);
    return GbkToUtf8(gbk) == utf8;
  };
  std::string gbk_section, gbk_key, gbk_value;
  if (!to_gbk(section, gbk_section) || !to_gbk(key, gbk_key) || !to_gbk(value, gbk_value)) return false;

  const Section* s = FindSection(section);
  if (s == nullptr) {
    if (!lines_.empty() && !Trim(lines_.back()).empty()) lines_.emplace_back();
    lines_.push_back("[" + gbk_section + "]");
    lines_.push_back(gbk_key + "=" + gbk_value);
    Index();
    return true;
  }
  for (const Entry& e : s->entries) {
    if (EqualsIgnoreCase(e.key, key)) {
      lines_[e.line] = Utf8ToGbk(e.key) + "=" + gbk_value;  // the key keeps its stored spelling
      Index();
      return true;
    }
  }
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(s->last_line + 1), gbk_key + "=" + gbk_value);
  Index();
  return true;
}

std::string IniFile::Text() const {
  std::string text;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    text += lines_[i];
    if (i + 1 < lines_.size() || ends_with_line_end_) text += line_end_;
  }
  return text;
}

bool IniFile::Save(const std::filesystem::path& path) const { return WriteFileAtomic(path, Text()); }

std::string GetIniStr(const std::filesystem::path& file, std::string_view section, std::string_view key) {
  return IniFile::Load(file).Get(section, key);
}

int GetIniint(const std::filesystem::path& file, std::string_view section, std::string_view key) {
  const long long value = IniFile::Load(file).GetInt(section, key);
  return value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()
             ? 0
             : static_cast<int>(value);
}

double GetIniDouble(const std::filesystem::path& file, std::string_view section, std::string_view key) {
  return IniFile::Load(file).GetDouble(section, key);
}

bool SetIniStr(const std::filesystem::path& file, std::string_view section, std::string_view key,
               std::string_view value) {
  IniFile ini = IniFile::Load(file);
  return ini.Set(section, key, value) && ini.Save(file);
}

bool SetIniint(const std::filesystem::path& file, std::string_view section, std::string_view key, int value) {
  return SetIniStr(file, section, key, std::to_string(value));
}

}  // namespace kiv
