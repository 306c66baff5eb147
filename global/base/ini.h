// INI files: "[section]" lines and "key=value" lines, stored in GBK, read and written with UTF-8
// names and values. Section and key names match without regard to ASCII letter case; values are
// trimmed of surrounding blanks and of one pair of enclosing quotes, as the platform's profile
// routines did. The catalogue files and DBConfig.ini are of this kind.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv {

class IniFile {
 public:
  IniFile() = default;
  // Reads `path`; a missing or unreadable file gives an empty document.
  static IniFile Load(const std::filesystem::path& path);
  static IniFile Parse(std::string_view gbk_text);

  std::optional<std::string> Find(std::string_view section, std::string_view key) const;
  std::string Get(std::string_view section, std::string_view key, std::string_view fallback = {}) const;
  // The integer value of a key: decimal, or hexadecimal after "0x"; `fallback` when absent or not a number.
  long long GetInt(std::string_view section, std::string_view key, long long fallback = 0) const;
  double GetDouble(std::string_view section, std::string_view key, double fallback = 0) const;

  // Section names in file order.
  std::vector<std::string> Sections() const;
  // Key names of one section in file order.
  std::vector<std::string> Keys(std::string_view section) const;

  void Set(std::string_view section, std::string_view key, std::string_view value);
  // Writes the whole document as GBK, through a temporary file and a rename, so that a crash never
  // leaves a half-written file. False when writing fails.
  bool Save(const std::filesystem::path& path) const;

 private:
  struct Entry {
    std::string key, value;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };
  const Section* FindSection(std::string_view name) const;

  std::vector<Section> sections_;
};

// One-call forms; each reads (and for the setters rewrites) the file.
std::string GetIniStr(const std::filesystem::path& file, std::string_view section, std::string_view key);
int GetIniint(const std::filesystem::path& file, std::string_view section, std::string_view key);
double GetIniDouble(const std::filesystem::path& file, std::string_view section, std::string_view key);
bool SetIniStr(const std::filesystem::path& file, std::string_view section, std::string_view key,
               std::string_view value);
bool SetIniint(const std::filesystem::path& file, std::string_view section, std::string_view key, int value);

}  // namespace kiv
