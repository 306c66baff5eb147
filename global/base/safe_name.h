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

// The path of `name` (UTF-8, relative, "\" or "/" between folders) inside `folder`, or nothing, with
// the reason in `error` when given, when the name could reach anything outside it: an empty or
// absolute name, a drive letter or any ':', a control character, a part that is not a bare file name
// (empty, ".", "..", over 255 bytes), or a part that exists under `folder` as a symbolic link (or,
// before the last part, as anything but a folder). The check of existing parts is made now; the
// caller creates what is missing.
std::optional<std::filesystem::path> SafeChildPath(const std::filesystem::path& folder, std::string_view name,
                                                   std::string* error = nullptr);

// A name a peer offers (it may carry a folder of the peer's disk) reduced to a bare file name: the
// part after the last "/" or "\", without control characters, with ":" turned into "_", and cut to
// 255 bytes without splitting a UTF-8 character. Nothing when what is left is "", "." or "..".
// The result always passes IsBareFileName.
std::optional<std::string> ReduceToBareFileName(std::string_view name);

}  // namespace kiv
