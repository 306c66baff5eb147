// The plain-text log: each call appends CR LF, the local date and time, "/" and the text.
#pragma once

#include <filesystem>
#include <string_view>

namespace kiv {

// Appends one line to `file` (created when missing). Errors are ignored: logging never fails the caller.
// Safe to call from any thread.
void Log(const std::filesystem::path& file, std::string_view text);

// The log of unexpected failures that are not the caller's to handle (a plug-in that does not load, a
// handler that throws), in the application folder.
inline constexpr std::string_view kErrorLogName = "Error.txt";
// Appends `text` to kErrorLogName in `app_folder`, or beside the running program when it is empty.
void LogError(std::string_view text, const std::filesystem::path& app_folder = {});

}  // namespace kiv
