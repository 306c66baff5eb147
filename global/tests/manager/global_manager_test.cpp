#include <gtest/gtest.h>

#include <QAction>
#include <QBuffer>
#include <QDialog>
#include <QEventLoop>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cstring>
#include <fstream>
#include <vector>

#include "base/graphic_archive.h"
#include "declare/declare.h"
#include "file_size_limit.h"
#include "manager/global_manager.h"
#include "manager/message_forms.h"
#include "qt_app.h"
#include "qt_wait.h"
#include "system/window_helpers.h"
#include "test_dir.h"

namespace kiv {
namespace {

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

QByteArray EncodeImage(const QImage& image, const char* format) {
  QByteArray data;
  QBuffer buffer(&data);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, format);
  return data;
}

// A 1 x 1 GIF picture (Qt reads GIF but does not write it).
const char kGif[] =
    "GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\x00\x00\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00"
    "\x02\x02D\x01\x00;";

std::vector<std::uint8_t> PhotoFile(std::uint32_t code, const std::string& name, const QByteArray& picture) {
  std::vector<std::uint8_t> bytes(104 + static_cast<std::size_t>(picture.size()), 0);
  StoreU32(bytes.data(), code);
  bytes[4] = static_cast<std::uint8_t>(name.size());
  std::memcpy(bytes.data() + 5, name.data(), name.size());
  std::copy(picture.begin(), picture.end(), bytes.begin() + 104);
  return bytes;
}

// Brand row 1 without any deployment file; the application folder is a fresh folder.
class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetAppType(1, dir_.path() / "no-DBConfig.ini");
    std::filesystem::copy(std::filesystem::path(KIV_BIN_DIR) / "skins", dir_.path() / "skins",
                          std::filesystem::copy_options::recursive);
  }
  std::filesystem::path SystemFile() const { return dir_.path() / "Datas" / "SystemInfo.dat"; }

  TestDir dir_;
};

TEST_F(ManagerTest, SystemRecordOfWrongLengthIsRewrittenWithDefaults) {
  for (std::size_t size : {std::size_t{0}, std::size_t{451}, std::size_t{453}}) {
    SCOPED_TRACE(size);
    if (size > 0)
      WriteBytes(SystemFile(), std::vector<std::uint8_t>(size, 0xAB));
    else
      std::filesystem::remove(SystemFile());
    TGlobalManager manager(dir_.path());
    const std::vector<std::uint8_t> file = ReadBytes(SystemFile());
    ASSERT_EQ(file.size(), 452u);
    EXPECT_EQ(manager.SystemInfo.SkinName.Text(), SKINNAME);
    EXPECT_EQ(file[0], Utf8ToGbk(SKINNAME).size());
    EXPECT_EQ(LoadU32(&file[417]), 0xFFFFFFFFu);  // main window top: not stored
    EXPECT_EQ(LoadU32(&file[429]), 0xFFFFFFFFu);
    EXPECT_EQ(file[285], 1);  // glow
    EXPECT_EQ(file[286], 1);  // extended borders
    EXPECT_EQ(file[449], 2);  // high audio quality
    EXPECT_EQ(LoadU16(&file[450]), 9522);
    EXPECT_EQ(std::int32_t{manager.SystemInfo.ClientVersion}, CURRENTVERSION);
    EXPECT_EQ(std::uint16_t{manager.SystemInfo.LoginServerPort}, LOGINSERVERPORT);
    EXPECT_EQ(manager.SkinManager->SkinName(), SKINNAME);
  }
}

TEST_F(ManagerTest, SystemRecordKeepsItsBytesAndTakesVersionAndPortAtLoad) {
  std::vector<std::uint8_t> bytes(452);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const std::string skin = Utf8ToGbk("水晶");
  bytes[0] = static_cast<std::uint8_t>(skin.size());
  std::memcpy(&bytes[1], skin.data(), skin.size());
  StoreU32(&bytes[277], 40);  // hue
  StoreU32(&bytes[281], 0);   // saturation
  StoreU32(&bytes[433], 1);   // an old version
  StoreU16(&bytes[415], 1);   // an old port
  WriteBytes(SystemFile(), bytes);
  {
    TGlobalManager manager(dir_.path());
    EXPECT_EQ(manager.SystemInfo.SkinName.Text(), "水晶");
    EXPECT_EQ(manager.SkinManager->SkinName(), "水晶");
    EXPECT_EQ(manager.SkinManager->Settings().hue, 40);
    EXPECT_EQ(std::int32_t{manager.SystemInfo.ClientVersion}, CURRENTVERSION);
  }
  const std::vector<std::uint8_t> saved = ReadBytes(SystemFile());
  ASSERT_EQ(saved.size(), 452u);
  for (std::size_t i = 0; i < saved.size(); ++i) {
    if ((i >= 415 && i < 417) || (i >= 433 && i < 437)) continue;
    ASSERT_EQ(saved[i], bytes[i]) << "byte " << i;
  }
  EXPECT_EQ(LoadU16(&saved[415]), LOGINSERVERPORT);
  EXPECT_EQ(static_cast<std::int32_t>(LoadU32(&saved[433])), CURRENTVERSION);
}

TEST_F(ManagerTest, CheckPermit) {
  TGlobalManager manager(dir_.path());
  struct Case {
    std::uint8_t type;
    TPermitType permit;
    bool expected;
  } cases[] = {
      {20, TPermitType::Chat, false},    {1, TPermitType::CustomFace, true}, {2, TPermitType::Chat, false},
      {1, TPermitType::UserType, false}, {0, TPermitType::Chat, true},       {200, TPermitType::Chat, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(manager.CheckPermit(c.type, c.permit), c.expected)
        << int(c.type) << " permit " << int(static_cast<std::uint8_t>(c.permit));
  }
}

TEST_F(ManagerTest, SetupRecordDefaultsAndUnlistedBytes) {
  TGlobalManager manager(dir_.path());
  EXPECT_FALSE(manager.SaveSetupInfo());  // nobody signed in
  EXPECT_FALSE(manager.LoadSetupInfo());
  manager.Me->SetUserCode(80001);
  const std::filesystem::path file = dir_.path() / "80001" / "SetupInfo.dat";

  // Missing: defaults written, the received-files folder created.
  ASSERT_TRUE(manager.LoadSetupInfo());
  std::vector<std::uint8_t> bytes = ReadBytes(file);
  ASSERT_EQ(bytes.size(), 2648u);
  EXPECT_EQ(LoadU32(&bytes[0]), 80001u);
  EXPECT_EQ(LoadU16(&bytes[10]), 0x805A);
  EXPECT_EQ(bytes[5], 1);
  EXPECT_EQ(bytes[12], 1);
  EXPECT_EQ(LoadU32(&bytes[2104]), 9u);
  EXPECT_EQ(LoadU32(&bytes[2376]), 176u);
  EXPECT_EQ(LoadU32(&bytes[2380]), 144u);
  EXPECT_EQ(bytes[2389], 1);
  EXPECT_EQ(manager.SetupInfo.FontName.Text(), "宋体");
  // Paths inside the application folder are stored relative to it and resolved when used.
  EXPECT_EQ(manager.SetupInfo.Sounds[kSoundFriendNudge].Text(), "Sounds/knock.wav");
  EXPECT_EQ(manager.SetupInfo.Sounds[kSoundMoneyIncrease].Text(), "Sounds/Sound1.wav");
  EXPECT_EQ(manager.SetupInfo.ReceiveFolder.Text(), "80001/接受到的文件");
  EXPECT_EQ(manager.SoundFile(kSoundFriendNudge), dir_.path() / "Sounds" / "knock.wav");
  EXPECT_EQ(manager.ReceiveFolder(), dir_.path() / "80001" / "接受到的文件");
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / "80001" / "接受到的文件"));

  // Every byte of a stored record survives a load and a save; only the changed field differs.
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + 1);
  WriteBytes(file, bytes);
  ASSERT_TRUE(manager.LoadSetupInfo());
  manager.SetupInfo.SoundOn = 0;
  ASSERT_TRUE(manager.SaveSetupInfo());
  std::vector<std::uint8_t> saved = ReadBytes(file);
  ASSERT_EQ(saved.size(), 2648u);
  for (std::size_t i = 0; i < saved.size(); ++i) {
    if (i != 12) {
      ASSERT_EQ(saved[i], bytes[i]) << "byte " << i;
    }
  }
  EXPECT_EQ(saved[12], 0);

  // Wrong length: defaults over the record in memory; unlisted bytes keep what memory held, except
  // the five the defaults clear.
  WriteBytes(file, std::vector<std::uint8_t>(2647, 0xEE));
  ASSERT_TRUE(manager.LoadSetupInfo());
  saved = ReadBytes(file);
  ASSERT_EQ(saved.size(), 2648u);
  EXPECT_EQ(LoadU32(&saved[0]), 80001u);
  EXPECT_EQ(saved[12], 1);
  for (std::size_t cleared : {2384u, 2387u, 2388u, 2390u, 2646u}) EXPECT_EQ(saved[cleared], 0) << cleared;
  for (std::size_t kept : {9u, 2103u, 2375u, 2386u, 2400u, 2647u})
    EXPECT_EQ(saved[kept], bytes[kept]) << kept;
}

TEST_F(ManagerTest, SetupPathsAreStoredRelativeToTheApplicationFolder) {
  // An application folder whose name GBK cannot hold and that is too long for a string[255] field.
  const std::filesystem::path app = dir_.path() / std::string(250, 'k') / "Kivora 😀";
  std::filesystem::create_directories(app);
  TGlobalManager manager(app);
  manager.Me->SetUserCode(80003);
  ASSERT_TRUE(manager.LoadSetupInfo());
  EXPECT_TRUE(std::filesystem::is_directory(app / "80003" / "接受到的文件"));
  EXPECT_EQ(manager.SoundFile(kSoundSystemMessage), app / "Sounds" / "Sound5.wav");

  struct Case {
    std::filesystem::path given;
    bool stored;
    std::string text;  // what the record holds
    std::filesystem::path resolved;
  } cases[] = {
      {app / "Sounds" / "ding.wav", true, "Sounds/ding.wav", app / "Sounds" / "ding.wav"},
      {app / "Sounds" / ".." / "my.wav", true, "my.wav", app / "my.wav"},
      {"/usr/share/sounds/bell.wav", true, "/usr/share/sounds/bell.wav", "/usr/share/sounds/bell.wav"},
      {dir_.path() / "elsewhere.wav", true, (dir_.path() / "elsewhere.wav").string(),
       dir_.path() / "elsewhere.wav"},
      {app.parent_path() / "x.wav", false, "", {}},  // outside the folder and too long to store
      {"/srv/声音/😀.wav", false, "", {}},            // a character GBK lacks
  };
  for (const Case& c : cases) {
    const std::string before = manager.SetupInfo.Sounds[kSoundUserMessage].Text();
    EXPECT_EQ(manager.SetSoundFile(kSoundUserMessage, c.given), c.stored) << c.given;
    if (!c.stored) {
      EXPECT_EQ(manager.SetupInfo.Sounds[kSoundUserMessage].Text(), before);
      continue;
    }
    EXPECT_EQ(manager.SetupInfo.Sounds[kSoundUserMessage].Text(), c.text);
    EXPECT_EQ(manager.SoundFile(kSoundUserMessage), c.resolved);
  }

  // Records written earlier hold absolute paths, or Windows separators: they still resolve.
  manager.SetupInfo.ReceiveFolder.SetText("/home/someone/接受到的文件");
  EXPECT_EQ(manager.ReceiveFolder(), std::filesystem::path("/home/someone/接受到的文件"));
  manager.SetupInfo.Sounds[kSoundFriendNudge].SetText("Sounds\\knock.wav");
  EXPECT_EQ(manager.SoundFile(kSoundFriendNudge), app / "Sounds" / "knock.wav");
  ASSERT_TRUE(manager.SetReceiveFolder(app / "80003" / "收到"));
  EXPECT_EQ(manager.SetupInfo.ReceiveFolder.Text(), "80003/收到");
}

TEST_F(ManagerTest, FailedSavesKeepTheStoredRecords) {
  TGlobalManager manager(dir_.path());
  manager.Me->SetUserCode(80002);
  ASSERT_TRUE(manager.LoadSetupInfo());
  manager.SetupInfo.FontSize = 12;
  manager.SystemInfo.SkinHue = 120;
  ASSERT_TRUE(manager.SaveSetupInfo());
  ASSERT_TRUE(manager.SaveSystemInfo());
  const std::vector<std::uint8_t> setup = ReadBytes(manager.SetupInfoPath());
  const std::vector<std::uint8_t> system = ReadBytes(SystemFile());

  // The disk fills up part-way through both writes: the stored records stay whole, so the next load
  // reads them instead of falling back to the defaults.
  manager.SetupInfo.FontSize = 20;
  manager.SystemInfo.SkinHue = 240;
  {
    FileSizeLimit full(100);
    EXPECT_FALSE(manager.SaveSetupInfo());
    EXPECT_FALSE(manager.SaveSystemInfo());
  }
  EXPECT_EQ(ReadBytes(manager.SetupInfoPath()), setup);
  EXPECT_EQ(ReadBytes(SystemFile()), system);
  ASSERT_TRUE(manager.LoadSetupInfo());
  EXPECT_EQ(std::int32_t{manager.SetupInfo.FontSize}, 12);
  manager.LoadSystemInfo();
  EXPECT_EQ(std::int32_t{manager.SystemInfo.SkinHue}, 120);
}

TEST_F(ManagerTest, CaptionsHintsAndMenusGetBrandNames) {
  TGlobalManager manager(dir_.path());
  ASSERT_EQ(MONEYNAME, "Kiv币");
  QWidget form;
  form.setWindowTitle(QStringLiteral("$MONEY赠送"));
  auto* button = new QPushButton(QStringLiteral("$APP首页"), &form);
  button->setToolTip(QStringLiteral("$MONEY余额"));
  auto* label = new QLabel(QStringLiteral("欢迎使用$APP"), &form);
  QFont small = label->font();
  small.setPointSize(7);
  label->setFont(small);
  auto* menu = new QMenu(&form);
  QAction* action = menu->addAction(QStringLiteral("充值$MONEY"));
  manager.UpdateFormSkin(&form);
  EXPECT_EQ(form.windowTitle(), QStringLiteral("Kiv币赠送"));
  EXPECT_EQ(button->text(), QString::fromStdString(APPNAME) + QStringLiteral("首页"));
  EXPECT_EQ(button->toolTip(), QStringLiteral("Kiv币余额"));
  EXPECT_EQ(label->text(), QStringLiteral("欢迎使用") + QString::fromStdString(APPNAME));
  EXPECT_EQ(label->font().pointSize(), 9);
  EXPECT_EQ(action->text(), QStringLiteral("充值Kiv币"));
  // The window now takes texts from other programs under its class name and new caption.
  EXPECT_TRUE(FindForm(QStringLiteral("QWidget"), QStringLiteral("Kiv币赠送")));

  // A fixed dialog frame becomes a sizeable one; a frame that chose its buttons gets minimise.
  QDialog dialog(nullptr, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                              Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  manager.UpdateFormSkin(&dialog);
  EXPECT_FALSE(dialog.windowFlags() & Qt::MSWindowsFixedSizeDialogHint);
  EXPECT_TRUE(dialog.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(dialog.windowFlags() & Qt::WindowCloseButtonHint);
}

TEST_F(ManagerTest, PhotoFiles) {
  TGlobalManager manager(dir_.path());
  manager.Me->SetUserCode(1000);
  const std::filesystem::path faces = dir_.path() / "1000" / "FriendFace";
  QImage square(40, 20, QImage::Format_RGB32);
  square.fill(Qt::red);
  const QByteArray png = EncodeImage(square, "PNG");
  WriteBytes(faces / "Me.pho", PhotoFile(1000, "me.png", png));
  WriteBytes(faces / "2000.pho", PhotoFile(2000, "friend.png", png));
  WriteBytes(faces / "2001.pho", std::vector<std::uint8_t>(50, 1));  // header cut short
  WriteBytes(faces / "2002.pho", PhotoFile(2002, "x.jpg", QByteArray("not a picture at all")));
  WriteBytes(faces / "2003.pho", PhotoFile(2003, "../../../escape.gif", QByteArray(kGif, sizeof(kGif) - 1)));

  // One's own photo counts only while the custom photo is in use.
  EXPECT_EQ(manager.GetPhotoSize(1000), 0);
  EXPECT_TRUE(manager.GetPhoto(1000, 60, false, 60).isNull());
  manager.SetupInfo.UseCustomPhoto = 1;
  EXPECT_EQ(manager.GetPhotoSize(1000), static_cast<std::int64_t>(104 + png.size()));
  EXPECT_EQ(manager.GetPhotoSize(2000), static_cast<std::int64_t>(104 + png.size()));
  EXPECT_EQ(manager.GetPhotoSize(3000), 0);

  const QImage fitted = manager.GetPhoto(2000, 60, false, 60);
  ASSERT_FALSE(fitted.isNull());
  EXPECT_EQ(fitted.size(), QSize(60, 60));
  EXPECT_EQ(fitted.pixelColor(30, 30), QColor(Qt::red));
  // Scaled by the smaller ratio, 57 x 27 centred: white above and below.
  EXPECT_EQ(fitted.pixelColor(30, 0), QColor(Qt::white));
  EXPECT_EQ(fitted.pixelColor(30, 59), QColor(Qt::white));
  EXPECT_TRUE(manager.GetPhoto(2001, 60, false, 60).isNull());
  EXPECT_TRUE(manager.GetPhoto(2002, 60, false, 60).isNull());
  EXPECT_TRUE(manager.GetPhoto(3000, 60, false, 60).isNull());
  const QImage gif = manager.GetPhoto(2003, 60, false, 60);
  EXPECT_EQ(gif.size(), QSize(1, 1));  // GIF pictures keep their size
  EXPECT_FALSE(std::filesystem::exists(dir_.path().parent_path() / "escape.gif"));

  // A friend's photo, or the friend's face: grey while offline.
  QImage face(32, 32, QImage::Format_RGB32);
  face.fill(QColor(0, 0, 255));
  manager.FaceList32.assign(3, face);
  manager.SetupInfo.ShowCustomPhotos = 1;
  TFriend with_photo;
  with_photo.SetUserCode(2000);
  EXPECT_EQ(manager.GetFriendPhoto(with_photo).size(), QSize(60, 60));
  manager.SetupInfo.ShowCustomPhotos = 0;
  with_photo.face = 2;
  with_photo.state = kStateOnline;
  EXPECT_EQ(manager.GetFriendPhoto(with_photo).pixelColor(5, 5), QColor(0, 0, 255));
  with_photo.state = kStateOffline;
  const int grey = (255 * 28) >> 8;
  EXPECT_EQ(manager.GetFriendPhoto(with_photo).pixelColor(5, 5), QColor(grey, grey, grey));
  with_photo.face = 9;  // no such face
  EXPECT_TRUE(manager.GetFriendPhoto(with_photo).isNull());
}

TEST_F(ManagerTest, GraphicsAreFoundIgnoringCase) {
  GraphicArchive archive;
  QImage first(8, 8, QImage::Format_RGB32);
  first.fill(Qt::green);
  QImage second(4, 4, QImage::Format_RGB32);
  second.fill(Qt::blue);
  const auto bytes = [](const QByteArray& data) { return Bytes(data.begin(), data.end()); };
  ASSERT_TRUE(archive.Add("logo2.png", bytes(EncodeImage(first, "PNG"))));
  ASSERT_TRUE(archive.Add("LOGO2.png", bytes(EncodeImage(second, "PNG"))));
  ASSERT_TRUE(archive.Add("Broken.png", Bytes{1, 2, 3}));
  std::filesystem::create_directories(dir_.path() / "skins");
  ASSERT_TRUE(WriteGraphicArchiveFile((dir_.path() / "skins" / SKINIMAGENAME).string(), archive));

  TGlobalManager manager(dir_.path());
  EXPECT_EQ(manager.SkinImagePath(), manager.AppPath + "skins/" + SKINIMAGENAME);
  ASSERT_TRUE(manager.LoadGraphics());
  EXPECT_EQ(manager.GraphicList.size(), 2u);  // the picture that does not decode is left out
  const QImage* found = manager.GetGraphic(QStringLiteral("Logo2"));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->size(), QSize(8, 8));
  EXPECT_EQ(manager.GetGraphic(QStringLiteral("LOGO2")), found);
  EXPECT_EQ(manager.GetGraphic(QStringLiteral("Broken")), nullptr);
  QImage copy;
  manager.SetGraphic(QStringLiteral("logo2"), copy);
  EXPECT_EQ(copy.pixelColor(1, 1), QColor(Qt::green));
}

TEST_F(ManagerTest, BuiltArchiveHoldsThePicturesTheWindowsUse) {
  TGlobalManager manager(dir_.path());
  ASSERT_TRUE(manager.LoadGraphics());
  for (const char* name : {"Logo2", "MessageIcon", "loginimage", "ICO7"}) {
    EXPECT_NE(manager.GetGraphic(QString::fromLatin1(name)), nullptr) << name;
  }
}

TEST_F(ManagerTest, FriendLookupsAndWaitingWindows) {
  TGlobalManager manager(dir_.path());
  for (std::uint32_t id : {1u, 3u}) {
    auto group = std::make_unique<TFriendGroupInfo>();
    group->id = id;
    for (std::uint32_t n = 0; n < 2; ++n) {
      auto person = std::make_unique<TFriend>();
      person->SetUserCode(id * 100 + n);
      person->remote = n == 0 ? 0 : id * 10;
      group->members.push_back(std::move(person));
    }
    manager.FriendGroupList.push_back(std::move(group));
  }
  ASSERT_NE(manager.GetFriendInfo(301), nullptr);
  EXPECT_EQ(manager.GetFriendInfo(301)->UserCode(), 301u);
  EXPECT_EQ(manager.GetFriendInfo(999), nullptr);
  ASSERT_NE(manager.GetFriendInfoByAddress(30), nullptr);
  EXPECT_EQ(manager.GetFriendInfoByAddress(30)->UserCode(), 301u);
  EXPECT_EQ(manager.GetFriendInfoByAddress(0), nullptr);  // no connection is nobody's

  QWidget a, b;
  TWaitShowForm* older = manager.AddWaitShowForm(kWaitChatMessage, 100, &a);
  TWaitShowForm* newer = manager.AddWaitShowForm(2, 101, &a);
  EXPECT_EQ(manager.GetWaitShowForm(&a), newer);
  EXPECT_EQ(manager.GetWaitShowForm(&b), nullptr);
  manager.RemoveWaitShowForm(newer);
  EXPECT_EQ(manager.GetWaitShowForm(&a), older);
}

TEST_F(ManagerTest, MessageWindows) {
  TGlobalManager manager(dir_.path());
  manager.LoadGraphics();
  ASSERT_EQ(manager.ShowMessage(QStringLiteral("abc")), 0);
  QPointer<TMessageForm> form;
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (auto* m = qobject_cast<TMessageForm*>(w); m && m->isVisible()) form = m;
  }
  ASSERT_TRUE(form);
  EXPECT_EQ(form->windowTitle(), QStringLiteral("提示"));
  EXPECT_EQ(form->width(), 177);  // the minimum
  EXPECT_TRUE(form->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(TMessageForm::WidthForText(QStringLiteral("用户名或密码错误请重新输入")), 7 * 26 + 114);
  TMessageForm long_text(QString(400, QLatin1Char('x')), QImage());
  EXPECT_LE(long_text.width(), QGuiApplication::primaryScreen()->availableGeometry().width());
  form->findChild<QPushButton*>(QStringLiteral("CloseButton"))->click();
  EXPECT_TRUE(RunUntil([&] { return form.isNull(); }));  // it frees itself

  for (bool yes : {true, false}) {
    QTimer::singleShot(0, [yes] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      box->findChild<QPushButton*>(yes ? QStringLiteral("YesButton") : QStringLiteral("NoButton"))->click();
    });
    EXPECT_EQ(manager.ShowMessage(QStringLiteral("确定删除?"), kMessageQuestion), yes ? 1 : 0);
  }

  manager.ShowHintForm(QStringLiteral("正在连接服务器..."));
  QPointer<THintForm> hint = manager.HintForm();
  ASSERT_TRUE(hint);
  manager.ShowHintForm(QStringLiteral("正在登录..."));
  EXPECT_EQ(manager.HintForm(), hint.data());  // at most one
  EXPECT_EQ(hint->Text(), QStringLiteral("正在登录..."));
  EXPECT_EQ(hint->size(), QSize(275, 75));
  EXPECT_EQ(hint->windowTitle(), QStringLiteral("系统提示"));
  manager.HideHintForm();
  EXPECT_TRUE(RunUntil([&] { return hint.isNull(); }));
  EXPECT_EQ(manager.HintForm(), nullptr);

  manager.ShowHintForm(QStringLiteral("点击关闭"));
  hint = manager.HintForm();
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QCoreApplication::sendEvent(hint.data(), &press);
  EXPECT_TRUE(RunUntil([&] { return hint.isNull(); }));
}

}  // namespace
}  // namespace kiv
