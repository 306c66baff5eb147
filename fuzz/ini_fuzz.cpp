// The INI parser and the in-place editor over arbitrary file text: no crash, and a key that was set reads
// back while every other key of the file keeps its value and the lines outside the edit stay.
//
// Input: [u8 section length][section][u8 key length][key][u8 value length][value] as the edit (cut where
// the input ends), then the file text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/ini.h"

namespace {

std::string_view Take(std::string_view& input) {
  if (input.empty()) return {};
  const std::size_t n = std::min<std::size_t>(static_cast<unsigned char>(input[0]), input.size() - 1);
  std::string_view field = input.substr(1, n);
  input.remove_prefix(1 + n);
  return field;
}

std::string Folded(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  std::string out(text);
  for (char& c : out) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kiv;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string section(Take(input)), key(Take(input)), value(Take(input));
  IniFile ini = IniFile::Parse(input);
  struct Seen {
    std::string section, key, value;
  };
  std::vector<Seen> before;
  for (const std::string& s : ini.Sections()) {
    for (const std::string& k : ini.Keys(s)) before.push_back({s, k, ini.Get(s, k)});
    (void)ini.GetInt(s, "x");
    (void)ini.GetDouble(s, "x");
  }
  IniFile edited = ini;
  if (!edited.Set(section, key, value)) return 0;
  const auto stored = edited.Find(section, key);
  if (!stored) std::abort();
  for (const Seen& seen : before) {
    // Only the edited key may change (names match ignoring ASCII case and surrounding blanks).
    if (Folded(seen.section) == Folded(section) && Folded(seen.key) == Folded(key)) continue;
    if (edited.Get(seen.section, seen.key) != seen.value) std::abort();
  }
  // What was saved parses back to the same document.
  if (IniFile::Parse(edited.Text()).Get(section, key) != *stored) std::abort();
  return 0;
}
