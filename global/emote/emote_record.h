// The emoticon record: one entry of the emoticon lists ("EmoteInfo/EmoteInfo.dat" for the built-in
// sets, "<user code>/EmoteInfo.dat" for each user's own emoticons). Both files are plain sequences
// of 363-byte records without a header.
//
//   offset 0    u8           category: 1 first built-in set, 2 second built-in set, 3 custom
//   offset 1    string[255]  picture file name, inside the emoticon folder
//   offset 257  4 bytes      not used (zero)
//   offset 261  string[50]   name
//   offset 312  string[50]   hot key; may be empty
//
// Header-only on top of the record helpers, so the asset generator writes the built-in list with the
// same code the client reads it with.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/wire.h"
#include "declare/short_string.h"

namespace kiv {

inline constexpr std::size_t kEmoteRecordSize = 363;

inline constexpr std::uint8_t kEmoteSet1 = 1;    // "图释1"
inline constexpr std::uint8_t kEmoteSet2 = 2;    // "图释2"
inline constexpr std::uint8_t kEmoteCustom = 3;  // "自定义"

struct TEmoteInfo {
  std::uint8_t category = kEmoteCustom;
  ShortString<255> file;  // relative to the emoticon folder
  ShortString<50> name;
  ShortString<50> hot_key;

  bool IsCustom() const { return category == kEmoteCustom; }
  bool operator==(const TEmoteInfo&) const = default;
};

inline void AppendEmoteRecord(const TEmoteInfo& info, std::vector<std::uint8_t>& out) {
  RecordWriter record(kEmoteRecordSize);
  record.u8(0, info.category)
      .gbk(1, 255, info.file.gbk())
      .gbk(261, 50, info.name.gbk())
      .gbk(312, 50, info.hot_key.gbk());
  const auto bytes = record.view();
  out.insert(out.end(), bytes.begin(), bytes.end());
}

inline std::vector<std::uint8_t> EncodeEmoteRecords(std::span<const TEmoteInfo> list) {
  std::vector<std::uint8_t> out;
  out.reserve(list.size() * kEmoteRecordSize);
  for (const TEmoteInfo& info : list) AppendEmoteRecord(info, out);
  return out;
}

// Every whole record of `bytes`; a partial record at the end is dropped.
inline std::vector<TEmoteInfo> DecodeEmoteRecords(std::span<const std::uint8_t> bytes) {
  std::vector<TEmoteInfo> list;
  for (std::size_t at = 0; bytes.size() - at >= kEmoteRecordSize; at += kEmoteRecordSize) {
    RecordReader record(bytes.data() + at, kEmoteRecordSize);
    TEmoteInfo info;
    info.category = record.u8(0);
    info.file.SetGbk(record.gbk(1, 255));
    info.name.SetGbk(record.gbk(261, 50));
    info.hot_key.SetGbk(record.gbk(312, 50));
    list.push_back(std::move(info));
  }
  return list;
}

}  // namespace kiv
