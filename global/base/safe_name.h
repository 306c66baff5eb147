// The one gate between a name that came from the network or a file and a path on disk.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kiv {

// True when `name` is a bare file name: not empty, at most 255 bytes, not "." or "..", and free of
// "/", "\", ":" (a drive prefix elsewhere) and control characters.
bool IsBareFileName(std::string_view name);

// `folder` / `name` when `name` is a bare file name; nothing otherwise.
std::optional<std::filesystem::path> PathInFolder(const std::filesystem::path& folder, std::string_view name);

// A name a peer offers (it may carry a folder of the peer's disk) reduced to a bare file name: the
// part after the last "/" or "\", without control characters, with ":" turned into "_", and cut to
// 255 bytes without splitting a UTF-8 character. Nothing when what is left is "", "." or "..".
// The result always passes IsBareFileName.
std::optional<std::string> ReduceToBareFileName(std::string_view name);

}  // namespace kiv
