#include "base/graphic_archive.h"

#include <algorithm>
#include <limits>
#include <system_error>

#include "base/gbk.h"

namespace kiv {
namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The lookup name from the name field's GBK bytes.
std::string LookupNameFromGbk(std::string_view gbk) {
  // The file name starts after the last "\" or "/" that is a character of its own, not the trail
  // byte of a two-byte GBK character (which can be 0x5C).
  std::size_t start = 0;
  for (std::size_t i = 0; i < gbk.size(); ++i) {
    if (IsGbkLeadByte(static_cast<unsigned char>(gbk[i])) && i + 1 < gbk.size()) {
      ++i;
    } else if (gbk[i] == '\\' || gbk[i] == '/') {
      start = i + 1;
    }
  }
  std::string_view file = gbk.substr(start);
  std::string_view stem = file.size() > 4 ? GbkTruncate(file, file.size() - 4) : std::string_view{};
  return std::string(GbkTruncate(stem, kGraphicNameMax));
}

}  // namespace

struct GraphicArchiveReader {
  static void Append(GraphicArchive& archive, GraphicEntry entry) {
    archive.entries_.push_back(std::move(entry));
  }
};

const char* GraphicArchiveStatusText(GraphicArchiveStatus status) {
  switch (status) {
    case GraphicArchiveStatus::kOk:
      return "ok";
    case GraphicArchiveStatus::kBadNameField:
      return "name field longer than 29 bytes";
    case GraphicArchiveStatus::kTruncatedHeader:
      return "entry header cut short";
    case GraphicArchiveStatus::kTruncatedData:
      return "picture length runs past the end of the file";
    case GraphicArchiveStatus::kFileError:
      return "file cannot be read";
    case GraphicArchiveStatus::kFileTooLarge:
      return "file too large";
  }
  return "unknown";
}

std::string GraphicLookupName(std::string_view file_name) {
  return GbkToUtf8(LookupNameFromGbk(Utf8ToGbk(file_name)));
}

bool GraphicNameEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

const GraphicEntry* GraphicArchive::Find(std::string_view name) const {
  if (name.empty()) return nullptr;
  for (const GraphicEntry& entry : entries_) {
    if (GraphicNameEquals(entry.name, name)) return &entry;
  }
  return nullptr;
}

bool GraphicArchive::Add(std::string_view file_name, Bytes data) {
  std::string gbk = Utf8ToGbk(file_name);
  if (gbk.size() > kGraphicFileNameMax) return false;
  if (data.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  GraphicEntry entry;
  entry.file_name = GbkToUtf8(gbk);
  entry.name = GbkToUtf8(LookupNameFromGbk(gbk));
  entry.data = std::move(data);
  entries_.push_back(std::move(entry));
  return true;
}

Bytes GraphicArchive::Serialize() const {
  std::size_t total = 0;
  for (const GraphicEntry& entry : entries_) total += kGraphicEntryHeaderSize + entry.data.size();
  Bytes out(total, 0);
  std::size_t offset = 0;
  for (const GraphicEntry& entry : entries_) {
    RecordWriter header(out.data() + offset, kGraphicEntryHeaderSize);
    header.text(0, kGraphicFileNameMax, entry.file_name);
    header.u32(kGraphicNameFieldSize, static_cast<std::uint32_t>(entry.data.size()));
    offset += kGraphicEntryHeaderSize;
    if (!entry.data.empty()) std::copy(entry.data.begin(), entry.data.end(), out.begin() + offset);
    offset += entry.data.size();
  }
  return out;
}

GraphicArchiveReadResult ParseGraphicArchive(std::span<const std::uint8_t> bytes) {
  GraphicArchiveReadResult result;
  RecordReader reader(bytes);
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    if (!reader.has(offset, kGraphicEntryHeaderSize)) {
      result.status = GraphicArchiveStatus::kTruncatedHeader;
      result.fault_offset = offset;
      return result;
    }
    if (reader.u8(offset) > kGraphicFileNameMax) {
      result.status = GraphicArchiveStatus::kBadNameField;
      result.fault_offset = offset;
      return result;
    }
    std::string gbk_name = reader.gbk(offset, kGraphicFileNameMax);
    std::uint32_t length = reader.u32(offset + kGraphicNameFieldSize);
    std::size_t data_offset = offset + kGraphicEntryHeaderSize;
    if (!reader.has(data_offset, length)) {
      result.status = GraphicArchiveStatus::kTruncatedData;
      result.fault_offset = offset;
      return result;
    }
    std::span<const std::uint8_t> data = reader.bytes(data_offset, length);
    GraphicEntry entry;
    entry.file_name = GbkToUtf8(gbk_name);
    entry.name = GbkToUtf8(LookupNameFromGbk(gbk_name));
    entry.data.assign(data.begin(), data.end());
    GraphicArchiveReader::Append(result.archive, std::move(entry));
    offset = data_offset + length;
  }
  return result;
}

}  // namespace kiv
