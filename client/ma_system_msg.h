// The system-message record: every server notice the user received, once per distinct text.
//
// The file "<user folder>/ChatRecord/SystemMsg.dat" is GBK text in lines ending with CR LF: for each
// notice the line "系统消息  " + date and time, then the line with the text. The chat plug-in's
// record viewer shows it. The file is read as a stream and rewritten through a replacement file,
// so its size costs no memory and a crash leaves the old file or the new one, never half of one.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kiv {

// The record file of the user folder.
std::filesystem::path SystemMessagePath(const std::filesystem::path& user_folder);

// Appends the notice `text` (UTF-8) with the time stamp `when` (already formatted) unless a line of
// the file equals the text. True when the text is in the file afterwards (stored now or before).
bool AppendSystemMessage(const std::filesystem::path& file, std::string_view text, std::string_view when);

}  // namespace kiv
