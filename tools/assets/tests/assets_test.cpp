// Checks the assets the build laid into the application folder (build/<preset>/bin).
#include <gtest/gtest.h>

#include <QByteArray>
#include <QImage>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "base/graphic_archive.h"
#include "base/wire.h"

namespace kiv {
namespace {

namespace fs = std::filesystem;

const fs::path kApp = KIV_BIN_DIR;

// Every picture name the client asks the graphics archive for.
const char* const kRequiredPictures[] = {
    // hint window, login window
    "Logo2", "LoginImage", "ClearUser", "SoftKeyBoard",
    // main window and tray
    "PhotoFrame", "Right", "SysMenuButton", "Setup", "Music", "SearchUser", "Money", "Skin", "ico1", "ico2",
    "ico3", "ico4", "ico5", "ico6", "ico7", "loginico1", "loginico2", "FriendActive", "FriendInActive",
    "ChatRoomActive", "ChatRoomInActive",
    // friends
    "FriendGroupButton1", "FriendGroupButton2", "FriendVideo", "sun", "moon", "star",
    // chat window
    "ChatImage", "ChatFrame", "ChatOption", "ChatClose", "Chat_Font", "Chat_Emote", "Chat_Pic", "Chat_Clip",
    "Chat_File", "Chat_Audio", "Chat_Video", "Chat_Record", "Chat_Call",
    // room lobby
    "ChatRoom32", "ChatRoom60", "RoomFrame", "RoomLock", "RoomClose", "RoomType1", "RoomType2", "hot",
    "GameType", "RoomSearch", "HomePage", "Top10", "ChatRoomLobby", "Game", "ChatRoom_Pay", "ChatRoom_Mall",
    "SearchRoom", "enterRoom", "CollectionRoom", "RefreshRoom", "top", "forward", "next", "end",
    "ChatRoomInfo",
    // room
    "AudioWorking", "AudioStoping", "AudioDisabled", "VideoWorking", "VideoStoping", "VideoDisabled",
    "SoundWorking", "SoundDisabled", "ChatScale", "ChatRoomI_Roomer", "ChatRoomI_Manager",
    "ChatRoomI_NextRoomer", "ChatRoomI_TempManage", "ChatRoomI_Green", "ChatRoomI_Yello", "ChatRoomI_Red",
    "DisplayMember", "DisplayImage"};

// Pictures whose size the windows fix.
struct FixedSize {
  const char* name;
  int width, height;
};
const FixedSize kFixedSizes[] = {{"PhotoFrame", 43, 42}, {"Right", 32, 32},       {"SysMenuButton", 48, 48},
                                 {"Setup", 30, 37},      {"Music", 30, 37},       {"SearchUser", 30, 37},
                                 {"Money", 30, 37},      {"ChatImage", 169, 169}, {"ChatFrame", 200, 210},
                                 {"ChatRoom60", 60, 60}, {"RoomFrame", 70, 70},   {"RoomLock", 23, 28},
                                 {"RoomClose", 23, 28},  {"ChatRoom32", 32, 32},  {"sun", 18, 18},
                                 {"moon", 18, 18},       {"star", 18, 18},        {"FriendVideo", 16, 16}};

Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

QImage Decode(const Bytes& bytes, const char* format) {
  QImage image;
  image.loadFromData(reinterpret_cast<const uchar*>(bytes.data()), static_cast<int>(bytes.size()), format);
  return image;
}

TEST(Assets, EachBrandArchiveHoldsEveryPictureAsPng) {
  for (const char* file : {"SkinImage.dat", "PeloSkinImage.dat"}) {
    SCOPED_TRACE(file);
    GraphicArchiveReadResult read = ReadGraphicArchiveFile((kApp / "skins" / file).string());
    ASSERT_TRUE(read.ok()) << GraphicArchiveStatusText(read.status);

    // Lookups take the first match ignoring case, so a second entry of the same name would be dead.
    std::set<std::string> lowered;
    for (const GraphicEntry& entry : read.archive.entries()) {
      std::string key = entry.name;
      std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return std::tolower(c); });
      EXPECT_TRUE(lowered.insert(key).second) << "duplicate picture " << entry.name;
      EXPECT_EQ(entry.file_name, entry.name + ".png");
    }

    const std::uint8_t signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    for (const char* name : kRequiredPictures) {
      const GraphicEntry* entry = read.archive.Find(name);
      ASSERT_NE(entry, nullptr) << name;
      ASSERT_GE(entry->data.size(), sizeof signature) << name;
      EXPECT_TRUE(std::equal(std::begin(signature), std::end(signature), entry->data.begin())) << name;
      QImage image = Decode(entry->data, "PNG");
      EXPECT_FALSE(image.isNull()) << name;
    }
    for (const FixedSize& fixed : kFixedSizes) {
      QImage image = Decode(read.archive.Find(fixed.name)->data, "PNG");
      EXPECT_EQ(image.size(), QSize(fixed.width, fixed.height)) << fixed.name;
    }
    // The tray blinks between "ico7" and a waiting picture: "ico7" must be see-through, the others not.
    QImage ico7 = Decode(read.archive.Find("ico7")->data, "PNG");
    QImage ico2 = Decode(read.archive.Find("ico2")->data, "PNG");
    EXPECT_EQ(qAlpha(ico7.pixel(ico7.width() / 2, ico7.height() / 2)), 0);
    EXPECT_GT(qAlpha(ico2.pixel(ico2.width() / 2, ico2.height() / 2)), 0);
  }
}

TEST(Assets, BrandsDrawTheirOwnLogos) {
  auto logo = [](const char* file) {
    GraphicArchiveReadResult read = ReadGraphicArchiveFile((kApp / "skins" / file).string());
    const GraphicEntry* entry = read.archive.Find("LoginImage");
    return entry ? entry->data : Bytes{};
  };
  Bytes kivora = logo("SkinImage.dat");
  Bytes pelo = logo("PeloSkinImage.dat");
  ASSERT_FALSE(kivora.empty());
  ASSERT_FALSE(pelo.empty());
  EXPECT_NE(kivora, pelo);
}

TEST(Assets, AllFacesPresentDistinctAnd32Square) {
  std::set<QByteArray> seen;
  for (int i = 0; i <= 183; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "face%03d.bmp", i);
    SCOPED_TRACE(name);
    Bytes bytes = ReadAll(kApp / "faces" / name);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes[0], 'B');
    EXPECT_EQ(bytes[1], 'M');
    QImage face = Decode(bytes, "BMP").convertToFormat(QImage::Format_RGB32);
    ASSERT_FALSE(face.isNull());
    EXPECT_EQ(face.size(), QSize(32, 32));
    QByteArray pixels(reinterpret_cast<const char*>(face.constBits()), face.sizeInBytes());
    EXPECT_TRUE(seen.insert(pixels).second) << "repeats an earlier face";
  }
  EXPECT_FALSE(fs::exists(kApp / "faces" / "face184.bmp"));
}

TEST(Assets, SoundsAreValidShortPcmWaves) {
  const char* const sounds[] = {"Sound1.wav", "Sound2.wav", "Sound3.wav",  "Sound4.wav",  "Sound5.wav",
                                "Sound6.wav", "knock.wav",  "Warning.wav", "LevelUp.wav", "Button.wav"};
  std::set<Bytes> seen;
  for (const char* file : sounds) {
    SCOPED_TRACE(file);
    Bytes bytes = ReadAll(kApp / "Sounds" / file);
    ASSERT_GE(bytes.size(), 44u);
    RecordReader r(bytes);
    auto tag = [&r](std::size_t offset) {
      auto b = r.bytes(offset, 4);
      return std::string(b.begin(), b.end());
    };
    EXPECT_EQ(tag(0), "RIFF");
    EXPECT_EQ(r.u32(4), bytes.size() - 8);
    EXPECT_EQ(tag(8), "WAVE");
    EXPECT_EQ(tag(12), "fmt ");
    EXPECT_EQ(r.u32(16), 16u);
    EXPECT_EQ(r.u16(20), 1);  // PCM
    const std::uint16_t channels = r.u16(22);
    const std::uint32_t rate = r.u32(24);
    const std::uint16_t block = r.u16(32);
    const std::uint16_t bits = r.u16(34);
    EXPECT_EQ(channels, 1);
    EXPECT_TRUE(rate == 22050 || rate == 44100) << rate;
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(block, channels * bits / 8);
    EXPECT_EQ(r.u32(28), rate * block);
    EXPECT_EQ(tag(36), "data");
    const std::uint32_t data_size = r.u32(40);
    ASSERT_EQ(data_size, bytes.size() - 44);
    const double seconds = static_cast<double>(data_size) / (rate * block);
    EXPECT_GT(seconds, 0.03);
    EXPECT_LT(seconds, 3.0);
    int peak = 0;
    for (std::size_t off = 44; off + 1 < bytes.size(); off += 2) {
      peak = std::max(peak, std::abs(static_cast<int>(static_cast<std::int16_t>(LoadU16(&bytes[off])))));
    }
    EXPECT_GT(peak, 8000) << "too quiet";
    EXPECT_LT(peak, 32767) << "clipped";
    EXPECT_TRUE(seen.insert(bytes).second) << "same as another sound";
  }
}

}  // namespace
}  // namespace kiv
