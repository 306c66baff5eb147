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

}  // namespace kiv
