#include "ma_system_msg.h"

#include <fstream>

#include "base/files.h"
#include "base/gbk.h"

namespace kiv {

namespace {

constexpr std::size_t kCopyChunk = 64 * 1024;

// Whether a line of the file equals `line` (GBK, without its line break). Lines may end with CR LF
// or LF alone; a line of unbounded length is compared without being held whole.
bool FileHasLine(const std::filesystem::path& file, const std::string& line) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::string current;
  bool overlong = false;
  char ch;
  auto line_matches = [&] {
    if (!current.empty() && current.back() == '\r') current.pop_back();
    return !overlong && current == line;
  };
  while (in.get(ch)) {
    if (ch == '\n') {
      if (line_matches()) return true;
      current.clear();
      overlong = false;
      continue;
    }
    if (overlong) continue;
    current.push_back(ch);
    if (current.size() > line.size() + 1) overlong = true;
  }
  return line_matches();
}

}  // namespace

std::filesystem::path SystemMessagePath(const std::filesystem::path& user_folder) {
  return user_folder / "ChatRecord" / "SystemMsg.dat";
}

bool AppendSystemMessage(const std::filesystem::path& file, std::string_view text, std::string_view when) {
  const std::string line = Utf8ToGbk(text);
  std::error_code error;
  const bool exists = std::filesystem::is_regular_file(file, error);
  if (exists && FileHasLine(file, line)) return true;
  if (!MakeDir(file.parent_path())) return false;

  ReplacementFile out(file);
  bool ends_with_break = true;
  if (exists) {
    std::ifstream in(file, std::ios::binary);
    std::string chunk(kCopyChunk, '\0');
    while (in) {
      in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
      const std::size_t got = static_cast<std::size_t>(in.gcount());
      if (got == 0) break;
      if (!out.Write(std::string_view(chunk.data(), got))) return false;
      ends_with_break = chunk[got - 1] == '\n';
    }
  }
  std::string added = ends_with_break ? std::string() : std::string("\r\n");
  added += Utf8ToGbk("系统消息  ") + std::string(Utf8ToGbk(when)) + "\r\n" + line + "\r\n";
  return out.Write(added) && out.Commit();
}

}  // namespace kiv
