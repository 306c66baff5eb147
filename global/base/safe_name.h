// The one gate between a name that came from the network or a file and a path on disk.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace kiv {

// True when `name` is a bare file name: not empty, at most 255 bytes, not "." or "..", and free of
// "/", "\", ":" (a drive prefix elsewhere) and control characters.
bool IsBareFileName(std::string_view name);

// `folder` / `name` when `name` is a bare file name; nothing otherwise.
std::optional<std::filesystem::path> PathInFolder(const std::filesystem::path& folder, std::string_view name);

}  // namespace kiv
