// The recording-source choice against a private sound server with two pipe sources.
#include "mixer/global_audio.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>

#include "pulse_daemon.h"

namespace kiv {
namespace {

class GlobalAudio : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "global_mixer_tests";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
  }
  static void TearDownTestSuite() {
    delete app_;
    app_ = nullptr;
  }
  void SetUp() override {
    if (!daemon_.Available())
      GTEST_SKIP() << "pulseaudio, pactl, parec or sox missing: no private sound server";
    ASSERT_TRUE(daemon_.AddSource("line"));
    ASSERT_TRUE(daemon_.Ctl("set-source-volume mic 30000"));
  }
  TAudioDevice DeviceAt(int item) const { return box_.itemData(item).value<TAudioDevice>(); }

  static QApplication* app_;
  TPulseDaemon daemon_;
  QComboBox box_;
};
QApplication* GlobalAudio::app_ = nullptr;

TEST_F(GlobalAudio, ListsTheSourcesInOrderWithoutMonitorsAndSelectsTheDefault) {
  box_.addItem(QStringLiteral("stale"));
  EXPECT_EQ(ListAudioInDevice(&box_), 30000);
  ASSERT_EQ(box_.count(), 2);
  EXPECT_TRUE(box_.itemText(0).contains(QStringLiteral("mic.fifo"))) << box_.itemText(0).toStdString();
  EXPECT_TRUE(box_.itemText(1).contains(QStringLiteral("line.fifo"))) << box_.itemText(1).toStdString();
  EXPECT_EQ(box_.currentIndex(), 0);
  EXPECT_TRUE(DeviceAt(0).selected);
  EXPECT_FALSE(DeviceAt(1).selected);
  EXPECT_LT(DeviceAt(0).mixer_id, DeviceAt(1).mixer_id);
  EXPECT_EQ(DeviceAt(0).volume, 30000);
}

TEST_F(GlobalAudio, ChoosingASourceMakesItTheDefaultAndMutesNothingElse) {
  ListAudioInDevice(&box_);
  ASSERT_EQ(box_.count(), 2);
  ASSERT_TRUE(daemon_.Ctl("set-source-mute line 1"));
  TAudioDevice line = DeviceAt(1);
  SetDeviceVolume(line, -1);
  EXPECT_TRUE(line.selected);
  EXPECT_EQ(line.volume, 65535);  // a new source starts at 100 %
  EXPECT_EQ(daemon_.CtlOutput("get-default-source"), "line");
  EXPECT_EQ(daemon_.CtlOutput("get-source-mute line"), "Mute: no") << "the chosen source records";
  EXPECT_EQ(daemon_.CtlOutput("get-source-mute mic"), "Mute: no") << "the other one is left alone";

  EXPECT_EQ(ListAudioInDevice(&box_), 65535);
  EXPECT_EQ(box_.currentIndex(), 1);
  EXPECT_FALSE(DeviceAt(0).selected);
}

TEST_F(GlobalAudio, SetVolumeReadsBack) {
  ListAudioInDevice(&box_);
  TAudioDevice mic = DeviceAt(0);
  SetDeviceVolume(mic, 40000);
  EXPECT_EQ(mic.volume, 40000);
  EXPECT_TRUE(daemon_.Ctl("get-source-volume mic", "grep -q ' 40000 /'"));
  EXPECT_EQ(ListAudioInDevice(&box_), 40000);
  SetDeviceVolume(mic, 70000);  // beyond 100 %: held at the top of the slider
  EXPECT_EQ(ListAudioInDevice(&box_), 65535);
}

TEST_F(GlobalAudio, AGoneSourceReportsVolumeZero) {
  ListAudioInDevice(&box_);
  TAudioDevice line = DeviceAt(1);
  const std::string module = daemon_.CtlOutput("list short modules | grep line.fifo | cut -f1");
  ASSERT_FALSE(module.empty());
  ASSERT_TRUE(daemon_.Ctl("unload-module " + module));
  SetDeviceVolume(line, -1);
  EXPECT_EQ(line.volume, 0);
  EXPECT_EQ(daemon_.CtlOutput("get-default-source"), "mic");
}

TEST(GlobalAudioWithoutServer, ListsNothing) {
  int argc = 1;
  char name[] = "global_mixer_tests";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  TestDir dir;
  ::setenv("PULSE_SERVER", ("unix:" + (dir.path() / "nothing").string()).c_str(), 1);
  QComboBox box;
  box.addItem(QStringLiteral("stale"));
  EXPECT_EQ(ListAudioInDevice(&box), 0);
  EXPECT_EQ(box.count(), 0);
  TAudioDevice device{1, 0, 0, 1234, true};
  SetDeviceVolume(device, -1);
  EXPECT_EQ(device.volume, 0);
  ::unsetenv("PULSE_SERVER");
}

}  // namespace
}  // namespace kiv
