// The emoticon list: the installed built-in list, the users' own lists, the management edits and
// package installation, on a copy of the built-in emoticons in a test folder.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <fstream>
#include <set>

#include "base/files.h"
#include "emote_model.h"
#include "qt_app.h"
#include "test_dir.h"

namespace kiv::emote {
namespace {

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);
const std::filesystem::path kApp = KIV_BIN_DIR;

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  ASSERT_TRUE(WriteFileAtomic(path, bytes));
}

QByteArray Png(QColor colour) {
  QImage image(8, 8, QImage::Format_RGB32);
  image.fill(colour);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes;
}

std::set<std::string> FilesIn(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

class EmoteModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CopyDir(kApp / "EmoteInfo", dir_.path() / "EmoteInfo"));
    model_.Sync(dir_.path(), 1000);
    built_in_ = model_.Items().size();
  }
  std::filesystem::path Emotes() const { return dir_.path() / "EmoteInfo"; }
  // A picture file outside the emoticon folder.
  std::filesystem::path Picture(const std::string& name, QColor colour = Qt::red) {
    const std::filesystem::path path = dir_.path() / name;
    const QByteArray png = Png(colour);
    EXPECT_TRUE(
        WriteFileAtomic(path, std::string_view(png.constData(), static_cast<std::size_t>(png.size()))));
    return path;
  }

  TestDir dir_;
  TEmoteModel model_;
  std::size_t built_in_ = 0;
};

TEST_F(EmoteModelTest, InstalledBuiltInList) {
  const auto bytes = ReadBytes(kApp / "EmoteInfo" / "EmoteInfo.dat");
  ASSERT_EQ(bytes.size() % kEmoteRecordSize, 0u);
  ASSERT_EQ(built_in_, bytes.size() / kEmoteRecordSize);
  // The first record, byte by byte: category, file name, unused, name, hot key.
  ASSERT_GE(bytes.size(), kEmoteRecordSize);
  EXPECT_EQ(bytes[0], kEmoteSet1);
  EXPECT_EQ(std::string(bytes.begin() + 1, bytes.begin() + 1 + 1 + bytes[1]),
            "\x0b"
            "emote01.gif");
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 257, bytes.begin() + 261),
            std::vector<std::uint8_t>(4, 0));
  EXPECT_EQ(bytes[261], 4);  // "微笑" is four GBK bytes
  EXPECT_EQ(std::string(bytes.begin() + 312, bytes.begin() + 316), "\x03/wx");

  std::set<std::string> keys;
  for (const TEmoteInfo& info : model_.Items()) {
    EXPECT_TRUE(info.category == kEmoteSet1 || info.category == kEmoteSet2);
    EXPECT_TRUE(keys.insert(info.hot_key.str()).second) << info.hot_key.str();
    QImageReader reader(QString::fromStdString(model_.PicturePath(info).string()));
    EXPECT_EQ(reader.format(), "gif");
    EXPECT_GT(reader.imageCount(), 1) << info.file.str();  // animated
    EXPECT_EQ(reader.read().size(), QSize(24, 24));
  }
  EXPECT_FALSE(model_.IndexesOf(kEmoteSet1).empty());
  EXPECT_FALSE(model_.IndexesOf(kEmoteSet2).empty());
}

TEST_F(EmoteModelTest, HotKeysCompareExactlyAndTheFirstRecordWins) {
  std::filesystem::copy_file(Emotes() / "emote01.gif", Emotes() / "a.gif");
  std::filesystem::copy_file(Emotes() / "emote02.gif", Emotes() / "b.gif");
  ASSERT_EQ(model_.AddStoredPicture("a.gif"), QString());
  ASSERT_EQ(model_.AddFiles({Emotes() / "b.gif"}, "b", "/wx2"), QString());
  ASSERT_EQ(model_.AddFiles({Emotes() / "b.gif"}, "c", "/WX"),
            QString());  // another letter case is another key
  const TEmoteInfo* custom = model_.FindByHotKey("/a.gif");
  ASSERT_TRUE(custom);
  EXPECT_EQ(custom->name.str(), "a.gif");
  EXPECT_TRUE(custom->IsCustom());
  EXPECT_EQ(model_.FindByHotKey("/wx")->file.str(), "emote01.gif");
  EXPECT_EQ(model_.FindByHotKey("/WX")->name.str(), "c");
  EXPECT_EQ(model_.FindByHotKey("/wx2")->name.str(), "b");
  EXPECT_EQ(model_.FindByHotKey("/w"), nullptr);
  EXPECT_EQ(model_.FindByHotKey(""), nullptr);

  // Two records with one hot key (a list written elsewhere): the first is found.
  std::vector<TEmoteInfo> list = {model_.Items()[built_in_], model_.Items()[built_in_]};
  list[0].name = "first";
  list[1].name = "second";
  WriteBytes(model_.CustomListPath(), EncodeEmoteRecords(list));
  model_.Reload();
  EXPECT_EQ(model_.FindByHotKey("/a.gif")->name.str(), "first");
  EXPECT_EQ(model_.HotKeys().size(), static_cast<qsizetype>(built_in_ + 2));
}

TEST_F(EmoteModelTest, StoredPictureMessageTakesOnlyFilesOfTheEmoticonFolder) {
  std::filesystem::create_directories(dir_.path() / "EmoteInfo" / "sub");
  Picture("outside.png");
  for (const char* name :
       {"", ".", "..", "../outside.png", "sub", "sub/x.gif", "missing.gif", "/etc/passwd"}) {
    EXPECT_EQ(model_.AddStoredPicture(name), text::kNoFile) << name;
  }
  EXPECT_EQ(model_.Items().size(), built_in_);
  EXPECT_FALSE(std::filesystem::exists(model_.CustomListPath()));
}

TEST_F(EmoteModelTest, ManagementEdits) {
  const auto one = Picture("smile.png");
  EXPECT_EQ(model_.AddFiles({}, "x", "/x"), text::kNoPath);
  EXPECT_EQ(model_.AddFiles({dir_.path() / "nothing.png"}, "x", "/x"), text::kNoFile);
  EXPECT_EQ(model_.AddFiles({one}, "x", "/wx"), text::kDuplicateHotKey);
  std::filesystem::copy_file(one, dir_.path() / "fake.gif");
  WriteBytes(dir_.path() / "fake.gif", std::vector<std::uint8_t>(40, 'x'));
  EXPECT_EQ(model_.AddFiles({dir_.path() / "fake.gif"}, "x", "/x"), text::kBadPicture);
  EXPECT_EQ(model_.Items().size(), built_in_);

  ASSERT_EQ(model_.AddFiles({one}, "笑一个", "/xyg"), QString());
  const TEmoteInfo added = model_.Items().back();
  EXPECT_EQ(added.name.str(), "笑一个");
  EXPECT_TRUE(added.file.str().starts_with("Emote"));
  EXPECT_TRUE(added.file.str().ends_with(".png"));
  EXPECT_TRUE(std::filesystem::exists(model_.PicturePath(added)));

  // Several files: named after themselves; a derived hot key that exists stays empty.
  const auto two = Picture("wave.png", Qt::blue);
  const auto three = Picture("xyg.png", Qt::green);  // "/xyg" exists already
  ASSERT_EQ(model_.AddFiles({two, three}, "ignored", "ignored"), QString());
  ASSERT_EQ(model_.Items().size(), built_in_ + 3);
  EXPECT_EQ(model_.Items()[built_in_ + 1].name.str(), "wave");
  EXPECT_EQ(model_.Items()[built_in_ + 1].hot_key.str(), "/wave");
  EXPECT_EQ(model_.Items()[built_in_ + 2].name.str(), "xyg");
  EXPECT_EQ(model_.Items()[built_in_ + 2].hot_key.str(), "");

  const auto first = static_cast<std::ptrdiff_t>(built_in_);
  EXPECT_EQ(model_.Modify(-1, {one}, "n", "/n"), text::kSelectToModify);
  EXPECT_EQ(model_.Modify(0, {one}, "n", "/n"), text::kSelectToModify);  // built-in records stay
  EXPECT_EQ(model_.Modify(first, {one, two}, "n", "/n"), text::kModifyOneOnly);
  EXPECT_EQ(model_.Modify(first, {}, "n", "/n"), text::kModifyNoPath);
  EXPECT_EQ(model_.Modify(first, {dir_.path() / "gone.png"}, "n", "/n"), text::kModifyNoFile);
  EXPECT_EQ(model_.Modify(first, {model_.PicturePath(added)}, "n", "/wave"), text::kDuplicateHotKey);
  ASSERT_EQ(model_.Modify(first, {model_.PicturePath(added)}, "改名", "/xyg"),
            QString());                                   // its own key is fine
  EXPECT_EQ(model_.Items()[built_in_].file, added.file);  // same picture kept
  EXPECT_EQ(model_.Items()[built_in_].name.str(), "改名");

  ASSERT_TRUE(model_.MoveBefore(built_in_ + 2, built_in_));
  EXPECT_EQ(model_.Items()[built_in_].name.str(), "xyg");
  EXPECT_FALSE(model_.MoveBefore(built_in_, 0));  // not among the built-in ones

  EXPECT_EQ(model_.Remove(-1), text::kSelectToDelete);
  EXPECT_EQ(model_.Remove(0), text::kSelectToDelete);
  const std::filesystem::path kept = model_.PicturePath(model_.Items()[built_in_]);
  ASSERT_EQ(model_.Remove(first), QString());
  EXPECT_TRUE(std::filesystem::exists(kept));  // the picture file stays

  // What was saved is what loads: the built-in list untouched, the custom list in its order.
  const auto built_in_file = ReadBytes(model_.BuiltInListPath());
  TEmoteModel again;
  again.Sync(dir_.path(), 1000);
  EXPECT_EQ(again.Items(), model_.Items());
  EXPECT_EQ(ReadBytes(model_.CustomListPath()).size(), 2 * kEmoteRecordSize);
  EXPECT_EQ(built_in_file, ReadBytes(kApp / "EmoteInfo" / "EmoteInfo.dat"));
}

TEST_F(EmoteModelTest, EachUserSeesOnlyTheirOwnList) {
  ASSERT_EQ(model_.AddFiles({Picture("one.png")}, "one", "/one"), QString());
  EXPECT_TRUE(model_.Sync(dir_.path(), 2000));
  EXPECT_EQ(model_.Items().size(), built_in_);
  EXPECT_EQ(model_.FindByHotKey("/one"), nullptr);
  ASSERT_EQ(model_.AddFiles({Picture("two.png")}, "two", "/two"), QString());
  EXPECT_FALSE(model_.Sync(dir_.path(), 2000));  // same user: nothing to do

  model_.Sync(dir_.path(), 0);  // signed out: no own list, and nothing to add it to
  EXPECT_EQ(model_.Items().size(), built_in_);
  EXPECT_EQ(model_.AddFiles({Picture("three.png")}, "three", "/three"), text::kSignInFirst);

  model_.Sync(dir_.path(), 1000);
  ASSERT_EQ(model_.Items().size(), built_in_ + 1);
  EXPECT_EQ(model_.Items().back().name.str(), "one");
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "1000" / "EmoteInfo.dat"));
  EXPECT_TRUE(std::filesystem::exists(dir_.path() / "2000" / "EmoteInfo.dat"));
}

TEST_F(EmoteModelTest, PackageInstalls) {
  const std::vector<TPackageEntry> entries = {{"红", "/hong", ".png", Png(Qt::red)},
                                              {"蓝", "/lan", ".PNG", Png(Qt::blue)}};
  const auto package = EncodeEmotePackage(entries);
  WriteBytes(dir_.path() / "two.eif", package);
  ASSERT_EQ(model_.InstallPackage(dir_.path() / "two.eif"), QString());
  ASSERT_EQ(model_.Items().size(), built_in_ + 2);
  const TEmoteInfo& red = model_.Items()[built_in_];
  EXPECT_EQ(red.name.str(), "红");
  EXPECT_EQ(red.hot_key.str(), "/hong");
  EXPECT_TRUE(red.IsCustom());
  EXPECT_EQ(QImage(QString::fromStdString(model_.PicturePath(red).string())).pixelColor(0, 0),
            QColor(Qt::red));
  EXPECT_TRUE(model_.Items()[built_in_ + 1].file.str().ends_with(".png"));
  EXPECT_NE(model_.Items()[built_in_ + 1].file, red.file);
  EXPECT_EQ(ReadBytes(model_.CustomListPath()).size(), 2 * kEmoteRecordSize);
}

TEST_F(EmoteModelTest, AnUnsoundPackageWritesNothing) {
  const auto good = EncodeEmotePackage(std::vector<TPackageEntry>{{"红", "/hong", ".png", Png(Qt::red)}});
  auto patched = [&good](std::size_t offset, std::uint8_t value) {
    auto bytes = good;
    bytes[offset] = value;
    return bytes;
  };
  const std::size_t size_field = 4 + 110;
  const std::size_t picture = 4 + 114;
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
  } cases[] = {
      {"empty file", {}},
      {"wrong magic", patched(0, 0x84)},
      {"magic only", std::vector<std::uint8_t>(good.begin(), good.begin() + 4)},
      {"header cut short", std::vector<std::uint8_t>(good.begin(), good.begin() + 60)},
      {"picture cut short", std::vector<std::uint8_t>(good.begin(), good.end() - 10)},
      {"size larger than the file", patched(size_field + 3, 0x7F)},
      {"size zero",
       [&] {
         auto b = good;
         for (int i = 0; i < 4; ++i) b[size_field + i] = 0;
         return b;
       }()},
      {"name length past its field", patched(4, 50)},
      {"hot key length past its field", patched(4 + 50, 200)},
      {"extension length past its field", patched(4 + 100, 10)},
      {"unknown extension",
       [&] {
         auto b = good;
         b[4 + 100 + 2] = 'e';  // ".eng"
         return b;
       }()},
      {"picture that does not decode", patched(picture + 1, 'X')},
      {"good entry, then a damaged one",
       [&] {
         auto b = good;
         b.insert(b.end(), good.begin() + 4, good.begin() + 40);
         return b;
       }()},
  };
  const std::set<std::string> files_before = FilesIn(Emotes());
  for (const Case& c : cases) {
    WriteBytes(dir_.path() / "bad.eif", c.bytes);
    EXPECT_EQ(model_.InstallPackage(dir_.path() / "bad.eif"), text::kWrongPackage) << c.what;
    EXPECT_EQ(model_.Items().size(), built_in_) << c.what;
    EXPECT_EQ(FilesIn(Emotes()), files_before) << c.what;
    EXPECT_FALSE(std::filesystem::exists(model_.CustomListPath())) << c.what;
  }
  EXPECT_EQ(model_.InstallPackage(dir_.path() / "no such file"), text::kWrongPackage);
  model_.Sync(dir_.path(), 0);
  WriteBytes(dir_.path() / "good.eif", good);
  EXPECT_EQ(model_.InstallPackage(dir_.path() / "good.eif"), text::kSignInFirst);
}

}  // namespace
}  // namespace kiv::emote
