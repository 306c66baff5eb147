// The one way a file name that came from the network or from a file becomes a path on disk.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kiv {

// The path of `name` (UTF-8, relative, "\" or "/" between folders) inside `folder`, or nothing, with
// the reason in `error` when given, when the name could reach anything outside it: an empty or
// absolute name, a drive letter or any ':', a control character, an empty, "." or ".." part, or a
// part that exists under `folder` as a symbolic link (or, before the last part, as anything but a
// folder). The check of existing parts is made now; the caller creates what is missing.
std::optional<std::filesystem::path> SafeChildPath(const std::filesystem::path& folder, std::string_view name,
                                                   std::string* error = nullptr);

}  // namespace kiv
