#include "base/safe_name.h"

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
