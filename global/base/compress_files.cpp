#include <fstream>

#include "base/compress.h"
#include "base/files.h"

namespace kiv {
namespace {

void SetError(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

bool ReadWholeFile(const std::filesystem::path& path, std::vector<std::uint8_t>& out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (!in || ec) {
    SetError(error, "Cannot read " + path.string());
    return false;
  }
  out.resize(size);
  if (size > 0 && !in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size))) {
    SetError(error, "Cannot read " + path.string());
    return false;
  }
  return true;
}

}  // namespace

bool CompressFiles(const std::filesystem::path& bundle_file, const std::filesystem::path& source_file,
                   const std::string& label, std::string* error) {
  std::vector<std::uint8_t> content;
  if (!ReadWholeFile(source_file, content, error)) return false;
  std::vector<std::uint8_t> packed;
  if (!EncodeBundle(content, label, source_file.filename().string(), packed, error)) return false;
  content = {};
  return WriteFileAtomic(bundle_file, packed, error);
}

bool DeCompressFiles(const std::filesystem::path& bundle_file, const std::filesystem::path& target_file,
                     std::string* error) {
  std::vector<std::uint8_t> packed;
  if (!ReadWholeFile(bundle_file, packed, error)) return false;
  ReplacementFile out(target_file);
  const BundleFileSink sink{[&] { return out.Restart(); },
                            [&](std::span<const std::uint8_t> piece) { return out.Write(piece); }};
  std::string reason;
  if (!out.ok() || !DecodeBundle(packed, sink, &reason)) {
    SetError(error, !out.ok() ? out.error() : reason + ": " + bundle_file.string());
    return false;
  }
  if (out.Commit()) return true;
  SetError(error, out.error());
  return false;
}

}  // namespace kiv
