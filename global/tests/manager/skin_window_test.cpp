#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <array>
#include <cstring>

#include "base/wire.h"
#include "manager/skin_engine.h"
#include "manager/sound_player.h"
#include "qt_app.h"
#include "system/window_helpers.h"
#include "test_dir.h"

namespace kiv {
namespace {

const std::filesystem::path kSkins = std::filesystem::path(KIV_BIN_DIR) / "skins";

TEST(SkinEngine, ColoursTurnWithHueAndSaturation) {
  struct Case {
    QColor in;
    TSkinSettings settings;
    QColor out;
  } cases[] = {
      {QColor(255, 0, 0), {0, 0, true, true}, QColor(255, 0, 0)},
      {QColor(255, 0, 0), {120, 0, true, true}, QColor(0, 255, 0)},
      {QColor(255, 0, 0), {480, 0, true, true}, QColor(0, 255, 0)},  // taken modulo 360
      {QColor(255, 0, 0), {0, -100, true, true}, QColor(128, 128, 128)},
      {QColor(255, 0, 0), {0, -500, true, true}, QColor(128, 128, 128)},      // clamped to -100
      {QColor(128, 128, 128), {200, 50, true, true}, QColor(128, 128, 128)},  // grey has no hue
  };
  for (const Case& c : cases) {
    const QColor got = TSkinEngine::AdjustColor(c.in, c.settings);
    EXPECT_LE(std::abs(got.red() - c.out.red()) + std::abs(got.green() - c.out.green()) +
                  std::abs(got.blue() - c.out.blue()),
              3)
        << c.in.name().toStdString() << " hue " << c.settings.hue << " -> " << got.name().toStdString();
  }
}

TEST(SkinEngine, SheetTakesColoursGlowAndBorders) {
  const QString sheet = QStringLiteral(
      "/* a { b } */\nQPushButton { color: #ff0000; border: 1px solid rgba(255, 0, 0, 128); }\n"
      "QPushButton:hover, QToolButton { background: #f00; }\nQLabel:hover { color: white; }\n"
      "QWidget#SkinnedWindow { color: #00ff00; }");
  const QString turned = TSkinEngine::ComposeStyleSheet(sheet, {120, 0, true, true});
  EXPECT_TRUE(turned.contains(QStringLiteral("color: #00ff00"))) << turned.toStdString();
  EXPECT_TRUE(turned.contains(QStringLiteral("rgba(0, 255, 0, 128)"))) << turned.toStdString();
  EXPECT_TRUE(turned.contains(QStringLiteral("QWidget#SkinnedWindow"))) << turned.toStdString();
  EXPECT_TRUE(turned.contains(QStringLiteral("QPushButton:hover")));
  EXPECT_TRUE(turned.contains(QStringLiteral("border-right: 3px solid")));

  const QString calm = TSkinEngine::ComposeStyleSheet(sheet, {0, 0, false, false});
  EXPECT_FALSE(calm.contains(QStringLiteral(":hover"))) << calm.toStdString();
  EXPECT_TRUE(calm.contains(QStringLiteral("QToolButton {")));  // the rest of the selector list stays
  EXPECT_FALSE(calm.contains(QStringLiteral("border-right")));
}

TEST(SkinEngine, LoadsTheShippedSkinsAndAppliesThem) {
  TSkinEngine engine(kSkins);
  const QStringList names = engine.SkinNames();
  for (const char* name : {"天空", "水晶", "冰激凌"})
    EXPECT_TRUE(names.contains(QString::fromUtf8(name))) << name;

  EXPECT_FALSE(engine.SetSkin("no such skin", {}));
  EXPECT_FALSE(engine.SetSkin("../skins", {}));
  ASSERT_TRUE(engine.SetSkin("天空", {}));
  ASSERT_TRUE(engine.SetActive(true));
  EXPECT_EQ(qApp->styleSheet(), engine.StyleSheet());
  EXPECT_TRUE(QFile::exists(QStringLiteral("skin:background.png")));
  EXPECT_FALSE(engine.SetSkin("no such skin", {}));  // the look stays
  EXPECT_EQ(engine.SkinName(), "天空");

  // A hue offset turns the pictures too: they come from a cache folder named first.
  TSkinSettings turned{180, 20, true, true};
  ASSERT_TRUE(engine.SetSkin("天空", turned));
  ASSERT_EQ(engine.SearchPaths().size(), 2);
  const QImage original(QString::fromStdString((kSkins / "天空" / "check_on.png").string()));
  const QImage adjusted(QStringLiteral("skin:check_on.png"));
  ASSERT_FALSE(adjusted.isNull());
  ASSERT_EQ(adjusted.size(), original.size());
  bool changed = false;
  for (int y = 0; y < original.height() && !changed; ++y) {
    for (int x = 0; x < original.width() && !changed; ++x)
      changed = original.pixel(x, y) != adjusted.pixel(x, y);
  }
  EXPECT_TRUE(changed);
  EXPECT_NE(engine.Palette().color(QPalette::Window), QColor());

  engine.SetActive(false);
  EXPECT_TRUE(qApp->styleSheet().isEmpty());
}

// Deliveries to windows: in this process and from a second program.
TEST(WindowHelpers, MailboxTakesTextsAndCloses) {
  QWidget window;
  window.setWindowTitle(QStringLiteral("Kiv 主窗口"));
  auto* mailbox = new TFormMailbox(&window, QStringLiteral("TMainForm"));
  QStringList received;
  QObject::connect(mailbox, &TFormMailbox::TextReceived, [&](const QString& t) { received << t; });
  window.show();

  EXPECT_FALSE(FindForm(QStringLiteral("TMainForm"), QStringLiteral("another caption")));
  TFormHandle found = FindForm(QStringLiteral("TMainForm"), QStringLiteral("Kiv 主窗口"));
  ASSERT_TRUE(found);
  EXPECT_EQ(SendMessageToForm(found, QStringLiteral("你好")), 1);
  EXPECT_EQ(received, QStringList{QStringLiteral("你好")});

  // The mailbox follows the caption.
  window.setWindowTitle(QStringLiteral("新标题"));
  EXPECT_FALSE(FindForm(QStringLiteral("TMainForm"), QStringLiteral("Kiv 主窗口")));
  found = FindForm(QStringLiteral("TMainForm"), QStringLiteral("新标题"));
  ASSERT_TRUE(found);

  // A second program finds it and sends "Close".
  QProcess sender;
  sender.start(QStringLiteral(KIV_TEST_DIR "/form_message_sender"),
               {QStringLiteral("TMainForm"), QStringLiteral("新标题"), QStringLiteral("Close")});
  while (sender.state() != QProcess::NotRunning || window.isVisible()) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    if (sender.state() == QProcess::NotRunning && sender.exitCode() != 0) break;
  }
  EXPECT_EQ(sender.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(sender.exitCode(), 0) << sender.readAllStandardError().toStdString();
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(received.last(), QStringLiteral("Close"));

  // Nobody listens under a caption no window has.
  QProcess missing;
  missing.start(QStringLiteral(KIV_TEST_DIR "/form_message_sender"),
                {QStringLiteral("TMainForm"), QStringLiteral("nobody"), QStringLiteral("Close")});
  ASSERT_TRUE(missing.waitForFinished(-1));
  EXPECT_EQ(missing.exitCode(), 1);
}

TEST(WindowHelpers, ForegroundAndTaskBar) {
  QWidget window;
  window.resize(200, 100);
  window.show();
  window.showMinimized();
  EXPECT_TRUE(BringToFont(&window));
  EXPECT_FALSE(window.isMinimized());
  EXPECT_TRUE(SwitchToWindow(&window, true));
  window.setEnabled(false);
  EXPECT_FALSE(SwitchToWindow(&window, false));
  window.setEnabled(true);
  window.hide();
  EXPECT_FALSE(SwitchToWindow(&window, true));
  EXPECT_FALSE(BringToFont(nullptr));
  EXPECT_GE(GetTaskBarHeight(), 0);
}

std::vector<std::uint8_t> Wave(std::uint16_t format, std::uint16_t channels, std::uint16_t bits,
                               std::uint32_t data_length, std::size_t data_present) {
  std::vector<std::uint8_t> w(44 + data_present, 0);
  std::memcpy(&w[0], "RIFF", 4);
  StoreU32(&w[4], static_cast<std::uint32_t>(w.size() - 8));
  std::memcpy(&w[8], "WAVEfmt ", 8);
  StoreU32(&w[16], 16);
  StoreU16(&w[20], format);
  StoreU16(&w[22], channels);
  StoreU32(&w[24], 22050);
  StoreU16(&w[34], bits);
  std::memcpy(&w[36], "data", 4);
  StoreU32(&w[40], data_length);
  return w;
}

TEST(Sound, WaveFilesAreCheckedBeforeTheyPlay) {
  struct Case {
    std::vector<std::uint8_t> file;
    bool ok;
    std::size_t samples;
  } cases[] = {
      {Wave(1, 1, 16, 100, 100), true, 100},
      {Wave(1, 2, 16, 1000, 100), true, 100},     // data claims more than the file holds
      {Wave(1, 2, 16, 0xFFFFFFFF, 10), true, 8},  // cut to whole frames
      {Wave(3, 1, 32, 100, 100), false, 0},       // float samples
      {Wave(1, 6, 16, 100, 100), false, 0},
      {std::vector<std::uint8_t>(30, 0), false, 0},
      {{'R', 'I', 'F', 'F'}, false, 0},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto wave = ParseWave(cases[i].file);
    ASSERT_EQ(wave.has_value(), cases[i].ok) << i;
    if (wave) {
      EXPECT_EQ(wave->samples.size(), cases[i].samples) << i;
    }
  }
  // Without a sound server the sounds are silence, and the player stops cleanly.
  TSoundPlayer player;
  player.Play(kSkins.parent_path() / "Sounds" / "Warning.wav");
  player.Play("/nonexistent.wav");
}

}  // namespace
}  // namespace kiv
