// The platform pieces of the main program without a window manager: the edge slide geometry, the
// hot key codes, the autostart entry and the soft keyboard (offscreen; the QApplication comes from
// global_manager_test.cpp).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QLineEdit>
#include <QPointer>
#include <QSet>
#include <fstream>

#include "controls/soft_keyboard.h"
#include "system/auto_run.h"
#include "system/edge_dock.h"
#include "system/hot_key.h"
#include "test_dir.h"

namespace kiv {
namespace {

constexpr int kScreen = 1024;

TEST(EdgeDockTest, EachEdgeSlidesInLeavingFivePixelsAndBackFlush) {
  const struct {
    QRect window;
    TDockEdge edge;
    QPoint hidden;
    QPoint shown;
  } cases[] = {
      // top -3: up until 5 pixels remain, back to top 0 (moved off the left edge first)
      {QRect(0, -3, 241, 480), TDockEdge::Top, QPoint(1, 5 - 480), QPoint(1, 0)},
      // top edge while touching the right edge: one pixel left so it counts as top only
      {QRect(kScreen - 241, 0, 241, 480), TDockEdge::Top, QPoint(kScreen - 242, 5 - 480), QPoint(kScreen - 242, 0)},
      {QRect(-2, 100, 241, 480), TDockEdge::Left, QPoint(5 - 241, 100), QPoint(0, 100)},
      {QRect(kScreen - 241, 100, 241, 480), TDockEdge::Right, QPoint(kScreen - 5, 100), QPoint(kScreen - 241, 100)},
      {QRect(kScreen - 200, 100, 241, 480), TDockEdge::Right, QPoint(kScreen - 5, 100), QPoint(kScreen - 241, 100)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.window.topLeft().x());
    EXPECT_EQ(TouchedEdge(c.window, kScreen), c.edge);
    const std::vector<QPoint> hide = HideToEdgeSteps(c.window, kScreen);
    ASSERT_FALSE(hide.empty());
    EXPECT_EQ(hide.back(), c.hidden);
    for (std::size_t i = 1; i < hide.size(); ++i)
      EXPECT_LE((hide[i] - hide[i - 1]).manhattanLength(), kDockStep);
    const QRect slid(c.hidden, c.window.size());
    EXPECT_EQ(SlidEdge(slid, kScreen), c.edge);
    const std::vector<QPoint> show = ShowFromEdgeSteps(slid, kScreen);
    ASSERT_FALSE(show.empty());
    EXPECT_EQ(show.back(), c.shown);
  }
  // Touching no edge: nothing to slide.
  EXPECT_EQ(TouchedEdge(QRect(100, 50, 241, 480), kScreen), TDockEdge::None);
  EXPECT_TRUE(HideToEdgeSteps(QRect(100, 50, 241, 480), kScreen).empty());
  EXPECT_TRUE(ShowFromEdgeSteps(QRect(100, 50, 241, 480), kScreen).empty());
}

TEST(EdgeDockTest, TimerTickDecision) {
  TDockTick docked;
  docked.window = QRect(kScreen - 241, 100, 241, 480);
  docked.screen_width = kScreen;
  docked.edge_hiding_on = true;
  docked.mouse = QPoint(10, 10);  // outside
  EXPECT_EQ(DockTickAction(docked), TDockAction::Hide);

  TDockTick t = docked;
  t.left_button_down = true;
  EXPECT_EQ(DockTickAction(t), TDockAction::None);
  t = docked;
  t.edge_hiding_on = false;
  EXPECT_EQ(DockTickAction(t), TDockAction::None);
  t = docked;
  t.window = QRect(0, 100, kScreen, 480);  // as wide as the screen
  EXPECT_EQ(DockTickAction(t), TDockAction::None);
  t = docked;
  t.window = QRect(100, 50, 241, 480);  // touching no edge, whatever the mouse does
  EXPECT_EQ(DockTickAction(t), TDockAction::None);
  t.mouse = QPoint(150, 60);
  EXPECT_EQ(DockTickAction(t), TDockAction::None);
  t = docked;
  t.normal_state = false;
  EXPECT_EQ(DockTickAction(t), TDockAction::None);

  // Slid in; the mouse on the visible strip (edges included) brings it out.
  TDockTick slid = docked;
  slid.window = QRect(kScreen - 5, 100, 241, 480);
  slid.shown = false;
  slid.mouse = QPoint(kScreen - 5, 100);
  EXPECT_EQ(DockTickAction(slid), TDockAction::Show);
  slid.mouse = QPoint(kScreen - 6, 100);
  EXPECT_EQ(DockTickAction(slid), TDockAction::None);
}

TEST(HotKeyTest, ShortcutsMapToX11ModifiersAndKeys) {
  const struct {
    std::uint16_t shortcut;
    std::uint16_t modifiers;
    std::uint32_t keysym;
  } cases[] = {
      {0x805A, kX11Mod1Mask, 'z'},                              // Alt+Z
      {0x4000 | 0x2000 | 0x70, kX11ControlMask | kX11ShiftMask, 0xFFBE},  // Ctrl+Shift+F1
      {0x4000 | 'Q', kX11ControlMask, 'q'},
      {0xE000 | '5', kX11Mod1Mask | kX11ControlMask | kX11ShiftMask, '5'},
      {0x2000 | 0x87, kX11ShiftMask, 0xFFD5},  // Shift+F24
      {0x0000, 0, 0},                          // switched off: no key
      {0x8000 | 0xFF, kX11Mod1Mask, 0},        // unknown key code
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shortcut);
    EXPECT_EQ(HotKeyModifiers(c.shortcut), c.modifiers);
    EXPECT_EQ(HotKeyKeysym(c.shortcut), c.keysym);
  }
  // Without an X server (offscreen) registering is a no-op that reports failure.
  THotKey key;
  EXPECT_FALSE(key.Register(0x805A));
  EXPECT_FALSE(key.Register(0));
  EXPECT_EQ(key.Shortcut(), 0);
}

TEST(AutoRunTest, EntryIsWrittenQuotedAndRemoved) {
  TestDir dir;
  const auto folder = dir.path() / "autostart";
  const QString program = QStringLiteral("/opt/my \"app\"/bin/Kivora$1");
  ASSERT_TRUE(SetAutoRun(true, QStringLiteral("Kivora"), program, folder));
  std::ifstream in(folder / "Kivora.desktop");
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(text.find("[Desktop Entry]\nType=Application\nName=Kivora\n"), std::string::npos);
  EXPECT_NE(text.find("Exec=\"/opt/my \\\"app\\\"/bin/Kivora\\$1\"\n"), std::string::npos);
  ASSERT_TRUE(SetAutoRun(false, QStringLiteral("Kivora"), program, folder));
  EXPECT_FALSE(std::filesystem::exists(folder / "Kivora.desktop"));
  // A name that is no bare file name never becomes a path.
  EXPECT_FALSE(SetAutoRun(true, QStringLiteral("../evil"), program, folder));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "evil.desktop"));
}

TEST(SoftKeyboardTest, RotationDiffersBetweenOpeningsWhileThePairsStay) {
  QSet<QChar> all;
  for (int i = 0; i < kSoftKeyCount; ++i) {
    all.insert(SoftKeyPair(i).first);
    all.insert(SoftKeyPair(i).second);
  }
  ASSERT_EQ(all.size(), 2 * kSoftKeyCount);

  QWidget owner;
  QLineEdit box(&owner);
  box.setMaxLength(20);
  QSet<int> rotations;
  for (int opening = 0; opening < 8; ++opening) {
    auto* keyboard = new TSoftKeyboard(&owner, &box);
    rotations.insert(keyboard->Rotation());
    EXPECT_GE(keyboard->Rotation(), 1);
    EXPECT_LT(keyboard->Rotation(), kSoftKeyCount);
    QSet<QChar> lower, upper;
    for (int k = 1; k <= kSoftKeyCount; ++k) lower.insert(keyboard->Key(k)->toolTip().at(0));
    keyboard->Key(48)->click();
    EXPECT_EQ(keyboard->Key(48)->text(), QStringLiteral("小"));
    for (int k = 1; k <= kSoftKeyCount; ++k) upper.insert(keyboard->Key(k)->toolTip().at(0));
    EXPECT_EQ(lower.size() + upper.size(), 2 * kSoftKeyCount);
    EXPECT_EQ(lower + upper, all);
    delete keyboard;
  }
  // Eight random draws from 46 all alike would be a broken random draw.
  EXPECT_GT(rotations.size(), 1);

  // Key k shows pair (k - 1 + r) mod 47; clicks append to the box within its limit.
  TSoftKeyboard keyboard(&owner, &box, 5);
  EXPECT_EQ(keyboard.Key(1)->text(), QString(SoftKeyPair(5).first));
  EXPECT_EQ(keyboard.Key(47)->toolTip(), QString(SoftKeyPair(51).first));
  keyboard.Key(1)->click();
  keyboard.Key(48)->click();
  keyboard.Key(1)->click();
  EXPECT_EQ(box.text(), QString(SoftKeyPair(5).first) + SoftKeyPair(5).second);
  for (int i = 0; i < 30; ++i) keyboard.Key(20)->click();
  EXPECT_EQ(box.text().size(), 20);
  // The key showing "&" shows it, not a shortcut marker.
  TSoftKeyboard ampersand(&owner, &box, 17);  // key 1 shows pair 17: "7" "&"
  ampersand.Key(48)->click();
  EXPECT_EQ(ampersand.Key(1)->toolTip(), QStringLiteral("&"));
  EXPECT_EQ(ampersand.Key(1)->text(), QStringLiteral("&&"));
}

TEST(SoftKeyboardTest, ClosesWhenTheOwnerHides) {
  auto* owner = new QWidget;
  auto* box = new QLineEdit(owner);
  owner->show();
  QPointer<TSoftKeyboard> keyboard = new TSoftKeyboard(owner, box);
  keyboard->show();
  owner->hide();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(!keyboard || !keyboard->isVisible());
  delete owner;
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_FALSE(keyboard);
}

}  // namespace
}  // namespace kiv
