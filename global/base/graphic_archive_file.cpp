#include "base/graphic_archive.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "base/files.h"

namespace kiv {

GraphicArchiveReadResult ReadGraphicArchiveFile(const std::string& path) {
  GraphicArchiveReadResult result;
  std::error_code ec;
  std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) {
    result.status = GraphicArchiveStatus::kFileError;
    return result;
  }
  if (size > kGraphicArchiveMaxFileSize) {
    result.status = GraphicArchiveStatus::kFileTooLarge;
    return result;
  }
  std::ifstream in(path, std::ios::binary);
  Bytes bytes(static_cast<std::size_t>(size));
  if (!in || !in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()))) {
    result.status = GraphicArchiveStatus::kFileError;
    return result;
  }
  return ParseGraphicArchive(bytes);
}

bool WriteGraphicArchiveFile(const std::string& path, const GraphicArchive& archive) {
  Bytes bytes = archive.Serialize();
  return WriteFileAtomic(path, bytes);
}

}  // namespace kiv
