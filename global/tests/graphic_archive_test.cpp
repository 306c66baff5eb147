#include "base/graphic_archive.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace kiv {
namespace {

Bytes Blob(std::size_t size, std::uint8_t seed) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
  return b;
}

// One entry in the file layout, with a length field that may lie.
Bytes RawEntry(std::string_view name, std::uint32_t claimed_length, const Bytes& data) {
  Bytes out(kGraphicEntryHeaderSize, 0);
  out[0] = static_cast<std::uint8_t>(name.size());
  std::copy(name.begin(), name.end(), out.begin() + 1);
  StoreU32(out.data() + kGraphicNameFieldSize, claimed_length);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(GraphicArchive, WritesGoldenLayoutAndReadsItBack) {
  GraphicArchive archive;
  ASSERT_TRUE(archive.Add("Logo2.png", {0x89, 'P', 'N', 'G'}));
  ASSERT_TRUE(archive.Add("ico1.png", {}));
  Bytes bytes = archive.Serialize();

  Bytes expected(kGraphicNameFieldSize, 0);
  const std::string first = "Logo2.png";
  expected[0] = static_cast<std::uint8_t>(first.size());
  std::copy(first.begin(), first.end(), expected.begin() + 1);
  expected.insert(expected.end(), {4, 0, 0, 0, 0x89, 'P', 'N', 'G'});
  Bytes second(kGraphicNameFieldSize, 0);
  second[0] = 8;
  std::string ico = "ico1.png";
  std::copy(ico.begin(), ico.end(), second.begin() + 1);
  expected.insert(expected.end(), second.begin(), second.end());
  expected.insert(expected.end(), {0, 0, 0, 0});
  EXPECT_EQ(bytes, expected);

  GraphicArchiveReadResult read = ParseGraphicArchive(bytes);
  ASSERT_TRUE(read.ok());
  ASSERT_EQ(read.archive.size(), 2u);
  EXPECT_EQ(read.archive.entries()[0].file_name, "Logo2.png");
  EXPECT_EQ(read.archive.entries()[0].name, "Logo2");
  EXPECT_EQ(read.archive.entries()[0].data, (Bytes{0x89, 'P', 'N', 'G'}));
  EXPECT_EQ(read.archive.entries()[1].name, "ico1");
  EXPECT_TRUE(read.archive.entries()[1].data.empty());
}

TEST(GraphicArchive, LookupNamesFromNameFields) {
  struct Case {
    const char* field;
    const char* name;
  } cases[] = {
      {"Logo2.png", "Logo2"},
      {"images\\LoginImage.png", "LoginImage"},  // folder part dropped
      {"a/b/ClearUser.png", "ClearUser"},
      {"ChatRoomI_TempManage.png", "ChatRoomI_TempManage"},    // exactly 20
      {"ChatRoomI_TempManager2.png", "ChatRoomI_TempManage"},  // cut to 20
      {"Skin.bmp", "Skin"},
      {"abcd", ""},  // nothing left once the extension is gone
      {"x", ""},
      {"聊天室.png", "聊天室"},              // GBK names keep their characters
      {"\xE5\xB8\x88\\Top10.png", "Top10"},  // 师 is GBK 0xCA 0xA6; a real "\" still separates
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GraphicLookupName(c.field), c.name) << c.field;
  }
  // 乗 is GBK 0x81 0x5C: its trail byte is not a folder separator.
  EXPECT_EQ(GraphicLookupName("\xE4\xB9\x97"
                              "ab.png"),
            "\xE4\xB9\x97"
            "ab");
}

TEST(GraphicArchive, NamesAreStoredAsGbk) {
  GraphicArchive archive;
  ASSERT_TRUE(archive.Add("聊天室.png", {7}));
  Bytes bytes = archive.Serialize();
  ASSERT_EQ(bytes.size(), kGraphicEntryHeaderSize + 1);
  EXPECT_EQ(bytes[0], 10);    // three two-byte characters and ".png"
  EXPECT_EQ(bytes[1], 0xC1);  // 聊 = C1 C4
  EXPECT_EQ(bytes[2], 0xC4);
  GraphicArchiveReadResult read = ParseGraphicArchive(bytes);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.archive.entries()[0].file_name, "聊天室.png");
  ASSERT_NE(read.archive.Find("聊天室"), nullptr);
}

TEST(GraphicArchive, FindIgnoresCaseAndTakesTheFirstMatch) {
  GraphicArchive archive;
  ASSERT_TRUE(archive.Add("logo2.png", {1}));
  ASSERT_TRUE(archive.Add("LOGO2.png", {2}));
  ASSERT_TRUE(archive.Add("ico7.png", {3}));
  ASSERT_NE(archive.Find("Logo2"), nullptr);
  EXPECT_EQ(archive.Find("Logo2")->data, Bytes{1});
  EXPECT_EQ(archive.Find("ICO7")->data, Bytes{3});
  EXPECT_EQ(archive.Find("ico"), nullptr);
  EXPECT_EQ(archive.Find("Logo2.png"), nullptr);
  EXPECT_EQ(archive.Find(""), nullptr);
}

TEST(GraphicArchive, AddRefusesNamesTheFieldCannotHold) {
  GraphicArchive archive;
  EXPECT_TRUE(archive.Add(std::string(25, 'a') + ".png", {}));      // 29 bytes
  EXPECT_FALSE(archive.Add(std::string(26, 'a') + ".png", {}));     // 30 bytes
  EXPECT_FALSE(archive.Add("一二三四五六七八九十一二三.png", {}));  // 26 GBK bytes + 4 = 30
  EXPECT_EQ(archive.size(), 1u);
}

TEST(GraphicArchive, MalformedArchivesStopWithAnErrorAndKeepEarlierEntries) {
  const Bytes good = RawEntry("Logo2.png", 5, Blob(5, 1));
  Bytes bad_name = Concat({good, RawEntry("x.png", 0, {})});
  bad_name[good.size()] = 30;
  struct Case {
    const char* what;
    Bytes bytes;
    GraphicArchiveStatus status;
    std::size_t entries_kept;
    std::size_t fault_offset;
  } cases[] = {
      {"empty file", {}, GraphicArchiveStatus::kOk, 0, 0},
      {"header cut short", Bytes(kGraphicEntryHeaderSize - 1, 0), GraphicArchiveStatus::kTruncatedHeader, 0,
       0},
      {"trailing bytes after an entry", Concat({good, Bytes(3, 0)}), GraphicArchiveStatus::kTruncatedHeader,
       1, good.size()},
      {"length one past the end", RawEntry("a.png", 6, Blob(5, 2)), GraphicArchiveStatus::kTruncatedData, 0,
       0},
      {"length 0xFFFFFFFF", Concat({good, RawEntry("b.png", 0xFFFFFFFFu, Blob(8, 3))}),
       GraphicArchiveStatus::kTruncatedData, 1, good.size()},
      {"picture cut short", Concat({good, good, RawEntry("c.png", 100, Blob(40, 4))}),
       GraphicArchiveStatus::kTruncatedData, 2, 2 * good.size()},
      {"name length above 29", bad_name, GraphicArchiveStatus::kBadNameField, 1, good.size()},
      {"zero-length pictures are entries", Concat({RawEntry("a.png", 0, {}), RawEntry("b.png", 0, {})}),
       GraphicArchiveStatus::kOk, 2, 0},
  };
  for (const Case& c : cases) {
    GraphicArchiveReadResult r = ParseGraphicArchive(c.bytes);
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(r.archive.size(), c.entries_kept) << c.what;
    if (!r.ok()) {
      EXPECT_EQ(r.fault_offset, c.fault_offset) << c.what;
    }
  }
}

TEST(GraphicArchive, FileRoundTripAndMissingFile) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("kiv_graphic_archive_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string path = (dir / "SkinImage.dat").string();

  GraphicArchive archive;
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(
        archive.Add("pic" + std::to_string(i) + ".png", Blob(100 + i * 13, static_cast<std::uint8_t>(i))));
  }
  ASSERT_TRUE(WriteGraphicArchiveFile(path, archive));
  GraphicArchiveReadResult read = ReadGraphicArchiveFile(path);
  ASSERT_TRUE(read.ok()) << GraphicArchiveStatusText(read.status);
  ASSERT_EQ(read.archive.size(), archive.size());
  for (std::size_t i = 0; i < archive.size(); ++i) {
    EXPECT_EQ(read.archive.entries()[i].name, archive.entries()[i].name);
    EXPECT_EQ(read.archive.entries()[i].data, archive.entries()[i].data);
  }
  // A file cut in the middle of the last picture keeps the whole ones.
  fs::resize_file(path, fs::file_size(path) - 1);
  read = ReadGraphicArchiveFile(path);
  EXPECT_EQ(read.status, GraphicArchiveStatus::kTruncatedData);
  EXPECT_EQ(read.archive.size(), archive.size() - 1);

  EXPECT_EQ(ReadGraphicArchiveFile((dir / "missing.dat").string()).status, GraphicArchiveStatus::kFileError);
  EXPECT_FALSE(WriteGraphicArchiveFile((dir / "no" / "such" / "folder.dat").string(), archive));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kiv
