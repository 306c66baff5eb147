// INI files: "[section]" lines and "key=value" lines, stored in GBK, read and written with UTF-8
// names and values. Section and key names match without regard to ASCII letter case and surrounding
// blanks; values are
// trimmed of surrounding blanks and of one pair of enclosing quotes, as the platform's profile
// routines did. The catalogue files and DBConfig.ini are of this kind.
#pragma once

#include <cstddef>
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
  // The integer value of a key: decimal, or hexadecimal after "0x"; `fallback` when absent, not a
  // number, or outside the range of long long.
  long long GetInt(std::string_view section, std::string_view key, long long fallback = 0) const;
  double GetDouble(std::string_view section, std::string_view key, double fallback = 0) const;

  // Section names in file order.
  std::vector<std::string> Sections() const;
  // Key names of one section in file order.
  std::vector<std::string> Keys(std::string_view section) const;

  // Changes one key in place, as the platform's profile routines do: the key's line is rewritten and
  // every other line (comments, blank lines, lines without "=", other sections) stays as it was. A new
  // key goes after the last key of its section, a new section at the end of the file. False, with the
  // document unchanged, when a name or the value holds CR or LF (it would add lines of its own), a
  // section name holds "]", a key is empty, starts with ";" or "[" or holds "=", or a text has a
  // character GBK cannot store.
  bool Set(std::string_view section, std::string_view key, std::string_view value);
  // The document as stored: its lines (GBK) with the file's own line ends.
  std::string Text() const;
  // Writes the document as GBK, through a temporary file and a rename, so that a crash never leaves a
  // half-written file. False when writing fails.
  bool Save(const std::filesystem::path& path) const;

 private:
  struct Entry {
    std::string key, value;
    std::size_t line = 0;  // index into lines_
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
    std::size_t last_line = 0;  // the header or the last key line of the section
  };
  void Index();
  const Section* FindSection(std::string_view name) const;

  std::vector<std::string> lines_;  // the file's lines as stored (GBK), without their line ends
  std::string line_end_ = "\r\n";   // the file's own line end
  bool ends_with_line_end_ = true;
  std::vector<Section> sections_;  // what the lines say, rebuilt after every change
};

// One-call forms; each reads (and for the setters rewrites) the file.
std::string GetIniStr(const std::filesystem::path& file, std::string_view section, std::string_view key);
// 0 when the key is missing, not a number, or outside the range of int.
int GetIniint(const std::filesystem::path& file, std::string_view section, std::string_view key);
double GetIniDouble(const std::filesystem::path& file, std::string_view section, std::string_view key);
// False when the key cannot be stored (IniFile::Set) or the file cannot be written.
bool SetIniStr(const std::filesystem::path& file, std::string_view section, std::string_view key,
               std::string_view value);
bool SetIniint(const std::filesystem::path& file, std::string_view section, std::string_view key, int value);

}  // namespace kiv
