#include "video_manager.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>

#include "core/capture_source.h"
#include "property_page.h"
#include "qt_wait.h"
#include "video_test_support.h"

namespace kiv::video {
namespace {

using testing::Frames;
using testing::RecordFrame;

class VideoManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::ResetFrames(); }
  void TearDown() override { testing::ResetFrames(); }

  static TDevice TestCamera() {
    TDevice device;
    device.name = kTestCameraName;
    return device;
  }
};

TEST_F(VideoManagerTest, DeviceListEndsWithTheTestCamera) {
  const std::vector<TDevice> devices = ListCaptureDevices();
  ASSERT_FALSE(devices.empty());
  EXPECT_EQ(devices.back().name, "测试摄像头");
  EXPECT_TRUE(devices.back().path.empty());
}

TEST_F(VideoManagerTest, TestCameraDeliversFifteenBitmapsASecond) {
  TVideoManager manager({TestCamera()});
  ASSERT_TRUE(manager.Open(nullptr, 0, 176, 144, &RecordFrame, 15));
  ASSERT_TRUE(RunUntil([] { return Frames().count >= 1; }));
  const int first_count = Frames().count;
  const double first_seconds = manager.LastFrameSeconds();
  QElapsedTimer wall;
  wall.start();
  // About five seconds of frames: enough that one late timer tick does not move the figure.
  ASSERT_TRUE(RunUntil([&] { return Frames().count >= first_count + 75; }, 60000));
  const int frames = Frames().count - first_count;
  const double capture_seconds = manager.LastFrameSeconds() - first_seconds;
  const double wall_rate = frames * 1000.0 / static_cast<double>(wall.elapsed());
  manager.Close();

  // Frames per second of the picture's own clock; the wall clock of a busy machine only for the record.
  ASSERT_GT(capture_seconds, 0);
  RecordProperty("frames_per_second", std::to_string(frames / capture_seconds));
  EXPECT_NEAR(frames / capture_seconds, 15.0, 2.0) << "wall clock: " << wall_rate << " frames/s";
  for (std::uint32_t size : Frames().sizes) ASSERT_EQ(size, 176u * 144 * 3);
  EXPECT_EQ(Frames().last_bitmap.size(), QSize(176, 144));
}

TEST_F(VideoManagerTest, FrameRateZeroCapturesButDeliversNothing) {
  TVideoManager manager({TestCamera()});
  ASSERT_TRUE(manager.Open(nullptr, 0, 176, 144, &RecordFrame, 0));
  EXPECT_TRUE(manager.IsOpen());
  EXPECT_TRUE(RunUntil([&] { return manager.FramesCaptured() >= 5; }));
  EXPECT_EQ(Frames().count, 0);
}

TEST_F(VideoManagerTest, SourceLargerThanRequestedIsScaledIntoTheBitmap) {
  TDevice big = TestCamera();
  big.fixed_width = 640;
  big.fixed_height = 480;
  TVideoManager manager({big});
  ASSERT_TRUE(manager.Open(nullptr, 0, 176, 144, &RecordFrame, 15));
  ASSERT_TRUE(RunUntil([] { return Frames().count >= 3; }));
  manager.Close();
  for (std::uint32_t size : Frames().sizes) ASSERT_EQ(size, 176u * 144 * 3);
  EXPECT_EQ(Frames().last_buffer.size(), 176u * 144 * 3);
  EXPECT_EQ(Frames().last_bitmap.size(), QSize(176, 144));
}

TEST_F(VideoManagerTest, OpenRefusesWhatItCannotServe) {
  TVideoManager manager({TestCamera()});
  EXPECT_FALSE(manager.Open(nullptr, 1, 176, 144, &RecordFrame, 15));
  EXPECT_FALSE(manager.Open(nullptr, -1, 176, 144, &RecordFrame, 15));
  EXPECT_FALSE(manager.Open(nullptr, 0, 177, 144, &RecordFrame, 15));
  EXPECT_FALSE(manager.Open(nullptr, 0, 640, 480, &RecordFrame, 15));
  EXPECT_FALSE(manager.Open(nullptr, 0, 0, 0, &RecordFrame, 15));
  TDevice missing;
  missing.name = "gone";
  missing.path = "/nonexistent/video9";
  TVideoManager broken({missing});
  EXPECT_FALSE(broken.Open(nullptr, 0, 176, 144, &RecordFrame, 15));

  ASSERT_TRUE(manager.Open(nullptr, 0, 160, 120, &RecordFrame, 15));
  EXPECT_FALSE(manager.Open(nullptr, 0, 160, 120, &RecordFrame, 15));
  EXPECT_EQ(manager.Width(), 160);
}

TEST_F(VideoManagerTest, NothingIsDeliveredAfterClose) {
  TVideoManager manager({TestCamera()});
  ASSERT_TRUE(manager.Open(nullptr, 0, 176, 144, &RecordFrame, 15));
  ASSERT_TRUE(RunUntil([] { return Frames().count >= 2; }));
  manager.Close();
  EXPECT_FALSE(manager.IsOpen());
  const int count = Frames().count;
  RunUntil([] { return false; }, 400);
  EXPECT_EQ(Frames().count, count);
  const void* data = Frames().last_buffer.data();
  std::uint32_t size = static_cast<std::uint32_t>(Frames().last_buffer.size());
  bool key = false;
  EXPECT_FALSE(manager.CompressData(data, size, key));
  // The manager opens again after a close.
  ASSERT_TRUE(manager.Open(nullptr, 0, 176, 144, &RecordFrame, 15));
  EXPECT_TRUE(RunUntil([&] { return Frames().count > count; }));
}

TEST_F(VideoManagerTest, CompressedFramesStartWithAKeyFrameAndStayUnderTheLimit) {
  TVideoManager manager({TestCamera()});
  std::vector<std::pair<std::uint32_t, bool>> compressed;
  Frames().on_frame = [&] {
    const void* data = Frames().last_buffer.data();
    std::uint32_t size = static_cast<std::uint32_t>(Frames().last_buffer.size());
    bool key = false;
    if (manager.CompressData(data, size, key)) compressed.emplace_back(size, key);
  };
  ASSERT_TRUE(manager.Open(nullptr, 0, 352, 288, &RecordFrame, 15));
  ASSERT_TRUE(RunUntil([&] { return compressed.size() >= 21; }));
  manager.Close();
  for (std::size_t i = 0; i < compressed.size(); ++i) {
    EXPECT_LE(compressed[i].first, 102400u);
    EXPECT_EQ(compressed[i].second, i % 20 == 0) << "frame " << i;
  }
}

TEST(VideoBitmap, FillsFromTheBottomRowAndNeverPastTheBitmap) {
  const std::uint8_t bits[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 99, 99};
  std::unique_ptr<QImage> bitmap(MakeBitmap(bits, sizeof(bits), 2, 2));
  ASSERT_EQ(bitmap->size(), QSize(2, 2));
  EXPECT_EQ(bitmap->pixelColor(0, 1), QColor(3, 2, 1));  // bottom-left: the buffer's first pixel
  EXPECT_EQ(bitmap->pixelColor(1, 0), QColor(12, 11, 10));
  std::unique_ptr<QImage> partial(MakeBitmap(bits, 6, 2, 2));
  EXPECT_EQ(partial->pixelColor(1, 1), QColor(6, 5, 4));
  EXPECT_EQ(partial->pixelColor(0, 0), QColor(0, 0, 0));
}

TEST(VideoConversions, Yuy2BitmapAndJpeg) {
  std::vector<std::uint8_t> buffer = {16, 128, 235, 128, 0xAA};
  std::uint32_t size = static_cast<std::uint32_t>(buffer.size());
  std::unique_ptr<QImage> bitmap(YUY2toRGB24(buffer, size, 2, 1));
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(buffer, (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0, 0, 0}));
  EXPECT_EQ(bitmap->pixelColor(0, 0), QColor(255, 255, 255));

  QImage picture(32, 16, QImage::Format_RGB888);
  picture.fill(QColor(200, 40, 40));
  QByteArray jpeg;
  {
    QBuffer out(&jpeg);
    out.open(QIODevice::WriteOnly);
    ASSERT_TRUE(picture.save(&out, "JPEG", 95));
  }
  std::unique_ptr<QImage> decoded(JPGtoRGB24(reinterpret_cast<const std::uint8_t*>(jpeg.constData()),
                                             static_cast<std::uint32_t>(jpeg.size())));
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(decoded->size(), QSize(32, 16));
  EXPECT_GT(testing::Psnr(*decoded, picture), 30);
  const std::uint8_t junk[] = {0xFF, 0xD8, 0x00, 0x01};
  EXPECT_EQ(JPGtoRGB24(junk, sizeof(junk)), nullptr);
}

TEST(VideoPropertyPage, TestCameraSaysItHasNoSettings) {
  TDevice device;
  device.name = kTestCameraName;
  std::unique_ptr<QDialog> page(CreateDevicePropertyPage(device, nullptr));
  EXPECT_EQ(page->windowTitle(), QStringLiteral("视频"));
  const QList<QLabel*> labels = page->findChildren<QLabel*>();
  ASSERT_EQ(labels.size(), 1);
  EXPECT_EQ(labels[0]->text(), QStringLiteral("此视频设备没有可以调整的属性。"));
}

}  // namespace
}  // namespace kiv::video
