// The plain-text log: each call appends CR LF, the local date and time, "/" and the text.
#pragma once

#include <filesystem>
#include <string_view>

namespace kiv {

// Appends one line to `file` (created when missing). Errors are ignored: logging never fails the caller.
// Safe to call from any thread.
void Log(const std::filesystem::path& file, std::string_view text);

}  // namespace kiv
