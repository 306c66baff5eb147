// The skin's graphics archive: the client's named pictures in one file.
//
// The file is a sequence of entries up to its end, each
//   30 bytes  name field: string[29] (length byte + up to 29 GBK bytes), a file name such as "Logo2.png"
//    4 bytes  u32 length of the picture
//    n bytes  the picture (PNG)
// An entry's lookup name is the file-name part of the name field (after the last "\" or "/") without its
// last four characters (the extension), cut to 20 bytes. Lookups ignore ASCII case; the first entry
// with a matching name wins.
//
// Reading never trusts the file: a name length over 29, a header cut short or a picture length that
// runs past the end stops the reading with an error; the entries before the fault are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/wire.h"

namespace kiv {

constexpr std::size_t kGraphicNameFieldSize = 30;                       // string[29]
constexpr std::size_t kGraphicFileNameMax = kGraphicNameFieldSize - 1;  // bytes of GBK text
constexpr std::size_t kGraphicEntryHeaderSize = kGraphicNameFieldSize + 4;
constexpr std::size_t kGraphicNameMax = 20;  // lookup names are cut to string[20]
// Archive files larger than this are refused unread (ours are well under a megabyte).
constexpr std::uint64_t kGraphicArchiveMaxFileSize = 64u * 1024 * 1024;

struct GraphicEntry {
  std::string file_name;  // the name field's text, UTF-8 (e.g. "Logo2.png")
  std::string name;       // lookup name, UTF-8 (e.g. "Logo2")
  Bytes data;             // the picture's bytes
};

enum class GraphicArchiveStatus {
  kOk,
  kBadNameField,     // a name length byte above 29
  kTruncatedHeader,  // fewer than 34 bytes left for an entry's name field and length
  kTruncatedData,    // a picture length running past the end of the file
  kFileError,        // the file cannot be opened or read
  kFileTooLarge,     // the file exceeds kGraphicArchiveMaxFileSize
};

const char* GraphicArchiveStatusText(GraphicArchiveStatus status);

// The lookup name of a name field's text: file-name part, extension (last four characters) removed,
// cut to 20 bytes without splitting a character. UTF-8 in, UTF-8 out.
std::string GraphicLookupName(std::string_view file_name);

// True when the two names are equal ignoring ASCII case.
bool GraphicNameEquals(std::string_view a, std::string_view b);

class GraphicArchive {
 public:
  const std::vector<GraphicEntry>& entries() const { return entries_; }
  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  // The first entry whose lookup name equals `name` ignoring ASCII case; nullptr when none (or when
  // `name` is empty).
  const GraphicEntry* Find(std::string_view name) const;

  // Appends an entry. False (and nothing added) when the file name does not fit the 29-byte name
  // field in GBK, or the picture is too large for a u32 length.
  bool Add(std::string_view file_name, Bytes data);

  // The archive in its file layout.
  Bytes Serialize() const;

 private:
  friend struct GraphicArchiveReader;
  std::vector<GraphicEntry> entries_;
};

struct GraphicArchiveReadResult {
  GraphicArchive archive;  // every entry read before the first fault
  GraphicArchiveStatus status = GraphicArchiveStatus::kOk;
  std::size_t fault_offset = 0;  // file offset of the entry where reading stopped (when not kOk)
  bool ok() const { return status == GraphicArchiveStatus::kOk; }
};

// Parses a whole archive held in memory.
GraphicArchiveReadResult ParseGraphicArchive(std::span<const std::uint8_t> bytes);

// Reads and parses the archive file at `path`.
GraphicArchiveReadResult ReadGraphicArchiveFile(const std::string& path);

// Writes the archive to `path` (replacing it). False on a write error.
bool WriteGraphicArchiveFile(const std::string& path, const GraphicArchive& archive);

}  // namespace kiv
