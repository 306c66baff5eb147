// The appearance window's skin gallery against the real web role, and the skin package unpacking.
#include <QPushButton>
#include <cstdlib>
#include <fstream>

#include "base/graphic_archive.h"
#include "controls/frame_bar.h"
#include "declare/declare.h"
#include "ma_appearance.h"
#include "ma_download.h"
#include "manager/global_manager.h"
#include "manager/qt_app.h"
#include "manager/skin_engine.h"
#include "qt_wait.h"
#include "server.h"
#include "test_dir.h"

namespace kiv {
namespace {

namespace fs = std::filesystem;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(SkinPackageTest, UnpacksIntoItsFolderAndRefusesEntriesOutside) {
  TestDir dir;
  GraphicArchive good;
  ASSERT_TRUE(good.Add("skin.qss", Text("QWidget{}")));
  ASSERT_TRUE(good.Add("background.png", Text("png")));
  ASSERT_TRUE(WriteGraphicArchiveFile((dir.path() / "good.asz").string(), good));
  EXPECT_TRUE(InstallSkinPackage(dir.path() / "good.asz", dir.path() / "skins", "好看"));
  EXPECT_TRUE(fs::exists(dir.path() / "skins" / "好看" / "skin.qss"));

  for (const char* hostile : {"../escape.qss", "/tmp/kivora-abs.qss", "a\\b.qss", ".."}) {
    GraphicArchive bad;
    ASSERT_TRUE(bad.Add("skin.qss", Text("QWidget{}")));
    ASSERT_TRUE(bad.Add(hostile, Text("x")));
    ASSERT_TRUE(WriteGraphicArchiveFile((dir.path() / "bad.asz").string(), bad));
    EXPECT_FALSE(InstallSkinPackage(dir.path() / "bad.asz", dir.path() / "skins", "坏的")) << hostile;
  }
  EXPECT_FALSE(fs::exists(dir.path() / "skins" / "坏的"));
  EXPECT_FALSE(fs::exists(dir.path() / "skins" / "escape.qss"));
  EXPECT_FALSE(fs::exists("/tmp/kivora-abs.qss"));
  EXPECT_FALSE(InstallSkinPackage(dir.path() / "good.asz", dir.path() / "skins", "../up"));
}

TEST(AppearanceTest, AGallerySkinDownloadsOnClickAppliesAndIsRemembered) {
  SetAppType(1);
  TestDir dir;
  server::TServerOptions options;
  options.update_port = 0;  // tests run side by side: any free port
  options.data_dir = dir.path() / "server";
  options.login_port = 0;
  options.home_port = 0;
  options.web_port = 0;
  options.web_content = std::string(KIV_BIN_DIR) + "/web";
  options.hash_cost = "min";
  options.log_to_stderr = false;
  server::TServer server(options);
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  const std::string site = "http://127.0.0.1:" + std::to_string(server.WebPort());
  const fs::path app = dir.path() / "app";
  TDownloadThread(
      app, {site + "/Download/Version.txt", site + "/present/", site + "/stamp/", site + "/skins/"}, nullptr)
      .Run();
  ASSERT_TRUE(fs::exists(app / "skins" / "SkinInfo.dat"));

  TGlobalManager manager(app);
  GlobalManager = &manager;
  {
    TAppearanceForm form(site + "/skins/");
    form.show();
    QList<TWebImage*> tiles = form.Gallery()->widget()->findChildren<TWebImage*>();
    ASSERT_EQ(tiles.size(), 3);
    TWebImage* crystal = nullptr;
    for (TWebImage* t : tiles)
      if (t->objectName() == QStringLiteral("水晶")) crystal = t;
    ASSERT_NE(crystal, nullptr);
    EXPECT_EQ(crystal->size(), QSize(95, 150));
    EXPECT_TRUE(crystal->toolTip().endsWith(QStringLiteral("点击下载")));
    // The previews come from the site in the background.
    ASSERT_TRUE(RunUntil([&] { return !crystal->pixmap().isNull(); }, 10000));
    // KIV_SCREENSHOT_DIR: the window as a person sees it, for a look by eye.
    auto shot = [&form](const char* name) {
      if (const char* folder = std::getenv("KIV_SCREENSHOT_DIR"))
        form.grab().save(QString::fromUtf8(folder) + QLatin1Char('/') + QLatin1String(name));
    };
    for (TWebImage* t : tiles) RunUntil([&] { return !t->pixmap().isNull(); }, 10000);
    shot("appearance.png");

    std::vector<std::pair<QString, bool>> chosen;
    QObject::connect(&form, &TAppearanceForm::SkinChosen,
                     [&](const QString& name, bool applied) { chosen.emplace_back(name, applied); });
    crystal->findChild<QPushButton*>(QStringLiteral("choose"))->click();
    ASSERT_TRUE(RunUntil([&] { return !chosen.empty(); }, 20000));
    EXPECT_EQ(chosen[0], std::make_pair(QStringLiteral("水晶"), true));
    EXPECT_TRUE(fs::exists(app / "skins" / "水晶.asz"));
    EXPECT_TRUE(fs::exists(app / "skins" / "水晶" / "skin.qss"));
    EXPECT_EQ(manager.SkinManager->SkinName(), "水晶");
    EXPECT_EQ(server.Web()->Requests("/skins/水晶.rar"), 1u);
    shot("appearance-crystal.png");

    // On disk now: chosen again without a download.
    form.ChooseSkin("水晶");
    EXPECT_EQ(chosen.size(), 2u);
    EXPECT_EQ(server.Web()->Requests("/skins/水晶.rar"), 1u);
  }
  // Remembered: the saved system record names the skin.
  TGlobalManager reloaded(app);
  GlobalManager = &reloaded;
  reloaded.LoadSystemInfo();
  EXPECT_EQ(reloaded.SystemInfo.SkinName.Text(), "水晶");
  GlobalManager = nullptr;
}

}  // namespace
}  // namespace kiv
