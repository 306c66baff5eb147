#include "base/safe_name.h"

#include <sys/stat.h>

#include <vector>

namespace kiv {

bool IsBareFileName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':') return false;
  }
  return true;
}

std::optional<std::filesystem::path> PathInFolder(const std::filesystem::path& folder,
                                                  std::string_view name) {
  if (!IsBareFileName(name)) return std::nullopt;
  return folder / std::filesystem::path(std::u8string(name.begin(), name.end()));
}

std::optional<std::filesystem::path> SafeChildPath(const std::filesystem::path& folder, std::string_view name,
                                                   std::string* error) {
  auto refuse = [&](const char* why) -> std::optional<std::filesystem::path> {
    if (error) *error = "unsafe file name \"" + std::string(name) + "\": " + why;
    return std::nullopt;
  };
  if (name.empty()) return refuse("empty");
  std::vector<std::string> parts(1);
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return refuse("control character");
    if (c == ':') return refuse("drive letter or stream name");
    if (c == '/' || c == '\\') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  if (parts.front().empty()) return refuse("absolute");
  std::filesystem::path path = folder;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (!IsBareFileName(part)) return refuse("empty, \".\", \"..\" or over-long part");
    path /= part;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;  // missing: created later as a folder or the file
    if (S_ISLNK(st.st_mode)) return refuse("symbolic link on the way");
    if (i + 1 < parts.size() && !S_ISDIR(st.st_mode)) return refuse("a file where a folder should be");
    if (i + 1 == parts.size() && S_ISDIR(st.st_mode)) return refuse("names a folder");
  }
  return path;
}

std::optional<std::string> ReduceToBareFileName(std::string_view name) {
  if (std::size_t slash = name.find_last_of("/\\"); slash != std::string_view::npos) name.remove_prefix(slash + 1);
  std::string bare;
  bare.reserve(name.size());
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) continue;
    bare.push_back(c == ':' ? '_' : static_cast<char>(c));
  }
  if (bare.size() > 255) {
    std::size_t cut = 255;
    // Step back over continuation bytes so the cut lands at the start of a character.
    while (cut > 0 && (static_cast<unsigned char>(bare[cut]) & 0xC0) == 0x80) --cut;
    bare.resize(cut);
  }
  if (!IsBareFileName(bare)) return std::nullopt;
  return bare;
}

}  // namespace kiv
