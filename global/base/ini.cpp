#include "base/ini.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>
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
  std::string text = GbkToUtf8(gbk_text);
  std::string_view rest = text;
  if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);  // a byte-order mark some editors add
  Section* current = nullptr;
  while (!rest.empty()) {
    std::size_t end = rest.find('\n');
    std::string_view line = Trim(rest.substr(0, end));
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      std::size_t close = line.find(']');
      std::string_view name =
          Trim(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
      auto it = std::find_if(ini.sections_.begin(), ini.sections_.end(),
                             [&](const Section& s) { return EqualsIgnoreCase(s.name, name); });
      if (it == ini.sections_.end()) {
        ini.sections_.push_back({std::string(name), {}});
        current = &ini.sections_.back();
      } else {
        current = &*it;
      }
      continue;
    }
    std::size_t eq = line.find('=');
    if (!current || eq == std::string_view::npos) continue;
    std::string_view key = Trim(line.substr(0, eq));
    std::string_view value = Unquote(Trim(line.substr(eq + 1)));
    auto it = std::find_if(current->entries.begin(), current->entries.end(),
                           [&](const Entry& e) { return EqualsIgnoreCase(e.key, key); });
    if (it == current->entries.end()) current->entries.push_back({std::string(key), std::string(value)});
    // Like the platform's profile routines, the first of two equal keys wins.
  }
  return ini;
}

const IniFile::Section* IniFile::FindSection(std::string_view name) const {
  auto it = std::find_if(sections_.begin(), sections_.end(),
                         [&](const Section& s) { return EqualsIgnoreCase(s.name, name); });
  return it == sections_.end() ? nullptr : &*it;
}

std::optional<std::string> IniFile::Find(std::string_view section, std::string_view key) const {
  const Section* s = FindSection(section);
  if (!s) return std::nullopt;
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

void IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  auto s = std::find_if(sections_.begin(), sections_.end(),
                        [&](const Section& x) { return EqualsIgnoreCase(x.name, section); });
  if (s == sections_.end()) {
    sections_.push_back({std::string(section), {}});
    s = sections_.end() - 1;
  }
  for (auto& e : s->entries) {
    if (EqualsIgnoreCase(e.key, key)) {
      e.value = value;
      return;
    }
  }
  s->entries.push_back({std::string(key), std::string(value)});
}

bool IniFile::Save(const std::filesystem::path& path) const {
  std::string text;
  for (const auto& s : sections_) {
    text += "[" + s.name + "]\r\n";
    for (const auto& e : s.entries) text += e.key + "=" + e.value + "\r\n";
    text += "\r\n";
  }
  return WriteFileAtomic(path, Utf8ToGbk(text));
}

std::string GetIniStr(const std::filesystem::path& file, std::string_view section, std::string_view key) {
  return IniFile::Load(file).Get(section, key);
}

int GetIniint(const std::filesystem::path& file, std::string_view section, std::string_view key) {
  return static_cast<int>(IniFile::Load(file).GetInt(section, key));
}

double GetIniDouble(const std::filesystem::path& file, std::string_view section, std::string_view key) {
  return IniFile::Load(file).GetDouble(section, key);
}

bool SetIniStr(const std::filesystem::path& file, std::string_view section, std::string_view key,
               std::string_view value) {
  IniFile ini = IniFile::Load(file);
  ini.Set(section, key, value);
  return ini.Save(file);
}

bool SetIniint(const std::filesystem::path& file, std::string_view section, std::string_view key, int value) {
  return SetIniStr(file, section, key, std::to_string(value));
}

}  // namespace kiv
