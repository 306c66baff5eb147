#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QPushButton>

#include <array>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "base/socket.h"
#include "base/wire.h"
#include "manager/skin_engine.h"
#include "manager/sound_player.h"
#include "qt_app.h"
#include "qt_wait.h"
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
  TestDir dir;
  std::filesystem::copy(kSkins, dir.path() / "skins", std::filesystem::copy_options::recursive);
  TSkinEngine engine(dir.path() / "skins");
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
  EXPECT_TRUE(engine.SearchPaths().first().contains(QStringLiteral("/skins/.adjusted/")));
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
  EXPECT_EQ(engine.SkinNames().size(), names.size());  // the adjusted pictures are no skin

  // A named section restyles the control at once.
  QPushButton tile(QStringLiteral("房间"));
  tile.resize(120, 30);
  SetSkinSection(&tile, kSectionToolButton);
  const QImage flat = tile.grab().toImage();
  SetSkinSection(&tile, kSectionPanel);
  EXPECT_EQ(tile.property(kSkinSectionProperty).toString(), QStringLiteral("PANEL"));
  EXPECT_NE(tile.grab().toImage(), flat);

  engine.SetActive(false);
  EXPECT_TRUE(qApp->styleSheet().isEmpty());
}

// Deliveries to windows: in this process and from a second program.
TEST(WindowHelpers, MailboxTakesTextsAndCloses) {
  // Captions unique to this test process: other test programs may run beside it.
  const QString pid = QString::number(QCoreApplication::applicationPid());
  const QString caption = QStringLiteral("Kiv 主窗口 ") + pid;
  const QString renamed = QStringLiteral("新标题 ") + pid;
  QWidget window;
  window.setWindowTitle(caption);
  auto* mailbox = new TFormMailbox(&window, QStringLiteral("TMainForm"));
  QStringList received;
  QObject::connect(mailbox, &TFormMailbox::TextReceived, [&](const QString& t) { received << t; });
  window.show();

  EXPECT_FALSE(FindForm(QStringLiteral("TMainForm"), QStringLiteral("another caption")));
  TFormHandle found = FindForm(QStringLiteral("TMainForm"), caption);
  ASSERT_TRUE(found);
  EXPECT_EQ(SendMessageToForm(found, QStringLiteral("你好")), 1);
  EXPECT_EQ(received, QStringList{QStringLiteral("你好")});

  // The mailbox follows the caption.
  window.setWindowTitle(renamed);
  EXPECT_FALSE(FindForm(QStringLiteral("TMainForm"), caption));
  found = FindForm(QStringLiteral("TMainForm"), renamed);
  ASSERT_TRUE(found);

  // A second program finds it and sends "Close".
  QProcess sender;
  sender.start(QStringLiteral(KIV_TEST_DIR "/form_message_sender"),
               {QStringLiteral("TMainForm"), renamed, QStringLiteral("Close")});
  EXPECT_TRUE(RunUntil([&] {
    return (sender.state() == QProcess::NotRunning && !window.isVisible()) ||
           (sender.state() == QProcess::NotRunning && sender.exitCode() != 0);
  }));
  EXPECT_EQ(sender.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(sender.exitCode(), 0) << sender.readAllStandardError().toStdString();
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(received.last(), QStringLiteral("Close"));

  // Nobody listens under a caption no window has.
  QProcess missing;
  missing.start(QStringLiteral(KIV_TEST_DIR "/form_message_sender"),
                {QStringLiteral("TMainForm"), QStringLiteral("nobody ") + pid, QStringLiteral("Close")});
  ASSERT_TRUE(missing.waitForFinished(20000));
  EXPECT_EQ(missing.exitCode(), 1);
}

TEST(WindowHelpers, SocketLeftByAnEndedProgramIsTakenOver) {
  const QString caption = QStringLiteral("stale ") + QString::number(QCoreApplication::applicationPid());
  const std::string path = FormMailboxName(QStringLiteral("TStale"), caption).toStdString();
  ASSERT_FALSE(path.empty());
  // A bound socket file nobody listens on, as a crashed program leaves it.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof(address.sun_path));
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ::close(fd);

  QWidget window;
  window.setWindowTitle(caption);
  TFormMailbox mailbox(&window, QStringLiteral("TStale"));
  EXPECT_FALSE(mailbox.Mailbox().isEmpty());
  EXPECT_EQ(SendMessageToForm(FindForm(QStringLiteral("TStale"), caption), QStringLiteral("ping")), 1);
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (old_)
      ::setenv(name_, old_->c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(WindowHelpers, MailboxesLiveWhereOnlyThisUserReaches) {
  TestDir runtime, temp;
  ::chmod(runtime.path().c_str(), 0700);
  ScopedEnv xdg("XDG_RUNTIME_DIR", runtime.path().string());
  ScopedEnv tmp("TMPDIR", temp.path().string());
  const std::string uid = std::to_string(::getuid());

  // The runtime folder of this user.
  EXPECT_EQ(FormMailboxFolder().toStdString(), (runtime.path() / "kivora").string());
  EXPECT_TRUE(FormMailboxName(QStringLiteral("TMainForm"), QStringLiteral("x"))
                  .startsWith(QString::fromStdString((runtime.path() / "kivora/form-").string())));

  // A runtime folder others can write to is not used; a private folder of the temporary folder is.
  ::chmod(runtime.path().c_str(), 0777);
  EXPECT_EQ(FormMailboxFolder().toStdString(), (temp.path() / ("kivora-" + uid)).string());
  struct stat info {};
  ASSERT_EQ(::stat((temp.path() / ("kivora-" + uid)).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  // A name another account took first (here: a folder open to all, or a link) gives no mailbox at all.
  ScopedEnv no_runtime("XDG_RUNTIME_DIR", "");
  std::filesystem::remove_all(temp.path() / ("kivora-" + uid));
  std::filesystem::create_directory(temp.path() / ("kivora-" + uid));
  ::chmod((temp.path() / ("kivora-" + uid)).c_str(), 0777);
  EXPECT_TRUE(FormMailboxFolder().isEmpty());
  std::filesystem::remove_all(temp.path() / ("kivora-" + uid));
  std::filesystem::create_directory_symlink(runtime.path(), temp.path() / ("kivora-" + uid));
  EXPECT_TRUE(FormMailboxFolder().isEmpty());
  QWidget window;
  window.setWindowTitle(QStringLiteral("unsafe"));
  TFormMailbox mailbox(&window, QStringLiteral("TUnsafe"));
  EXPECT_TRUE(mailbox.Mailbox().isEmpty());
  EXPECT_FALSE(FindForm(QStringLiteral("TUnsafe"), QStringLiteral("unsafe")));
}

TEST(WindowHelpers, PeerOfAnotherUserIsRefused) {
  // A listening socket any account can reach, and a client that runs as another user.
  TestDir dir;
  ::chmod(dir.path().c_str(), 0777);
  const std::string path = (dir.path() / "s").string();
  const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(server, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ::chmod(path.c_str(), 0777);
  ASSERT_EQ(::listen(server, 4), 0);

  auto connect_as = [&](bool other_user) {
    const pid_t child = ::fork();
    if (child == 0) {
      if (other_user && ::setuid(65534) != 0) ::_exit(2);
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      ::_exit(ok ? 0 : 1);
    }
    const int accepted = ::accept(server, nullptr, nullptr);
    int status = 0;
    ::waitpid(child, &status, 0);
    const bool same = accepted >= 0 && PeerIsSameUser(accepted);
    if (accepted >= 0) ::close(accepted);
    return same;
  };
  EXPECT_TRUE(connect_as(false));
  if (::getuid() == 0) {
    EXPECT_FALSE(connect_as(true));
  } else {
    GTEST_SKIP() << "changing to another user needs root";
  }
  ::close(server);
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

TEST(Sound, QueueIsBoundedAndDropsRepeats) {
  TSoundQueue queue;
  EXPECT_TRUE(queue.Push("a.wav"));
  EXPECT_FALSE(queue.Push("a.wav"));  // already waiting
  EXPECT_TRUE(queue.Push("b.wav"));
  EXPECT_TRUE(queue.Push("c.wav"));
  EXPECT_TRUE(queue.Push("d.wav"));
  EXPECT_FALSE(queue.Push("e.wav"));  // full: a burst of notices does not play for minutes
  EXPECT_EQ(queue.Pop(), std::filesystem::path("a.wav"));
  EXPECT_TRUE(queue.Push("a.wav"));  // playing now, no longer waiting: it may come again
  for (const char* next : {"b.wav", "c.wav", "d.wav", "a.wav"})
    EXPECT_EQ(queue.Pop(), std::filesystem::path(next));
  EXPECT_EQ(queue.Pop(), std::nullopt);
  EXPECT_TRUE(queue.empty());
}

}  // namespace
}  // namespace kiv
