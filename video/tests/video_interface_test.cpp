#include "video_interface.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPixmap>
#include <memory>

#include "core/h264_codec.h"
#include "core/picture.h"
#include "qt_wait.h"
#include "video_test_support.h"

namespace kiv::video {
namespace {

using testing::Frames;
using testing::RecordFrame;

int TestCameraIndex() {
  std::unique_ptr<QStringList> names(GetVideoDeviceList());
  return names ? static_cast<int>(names->indexOf(QStringLiteral("测试摄像头"))) : -1;
}

// Compressed frames of a plain moving picture, made by the engine's own encoder.
std::vector<std::vector<std::uint8_t>> EncodedStream(int w, int h, int frames) {
  TH264Encoder* encoder = CreateH264Encoder(kUsageCamera, kSentFramesPerSecond, w, h, 20, 4);
  std::vector<std::vector<std::uint8_t>> stream;
  std::vector<std::uint8_t> bits(BitmapBytes(w, h));
  for (int i = 0; i < frames && encoder; ++i) {
    for (std::size_t p = 0; p < bits.size(); ++p) bits[p] = static_cast<std::uint8_t>((p / 3 + i * 7) % 251);
    std::vector<std::uint8_t> out(kMaxCompressedFrameBytes);
    std::uint32_t size = static_cast<std::uint32_t>(out.size());
    int type = 0;
    if (EncodeH264Data(encoder, bits.data(), static_cast<std::uint32_t>(bits.size()), out.data(), &size,
                       &type) == 0) {
      out.resize(size);
      stream.push_back(std::move(out));
    }
  }
  DeleteH264Encoder(encoder);
  return stream;
}

bool Play(const std::vector<std::uint8_t>& frame, QLabel* picture, int w, int h) {
  return PlayVideoData(frame.data(), static_cast<std::int32_t>(frame.size()), picture, w, h);
}

bool HasPicture(const QLabel& label) { return !label.pixmap().isNull(); }

class VideoInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::ResetFrames();
    camera_ = TestCameraIndex();
    ASSERT_GE(camera_, 0);
  }
  void TearDown() override {
    StopVideo();
    StopPlayVideoData(&first_);
    StopPlayVideoData(&second_);
    testing::ResetFrames();
  }
  int camera_ = -1;
  QLabel first_;
  QLabel second_;
};

TEST_F(VideoInterfaceTest, SecondStartVideoFailsAndLeavesTheCameraRunning) {
  EXPECT_FALSE(CheckDeviceWorking());
  std::int32_t w = -1, h = -1;
  GetVideoFormat(&w, &h);
  EXPECT_EQ(w, 0);
  EXPECT_EQ(h, 0);
  EXPECT_FALSE(StopVideo());

  ASSERT_TRUE(StartVideo(nullptr, camera_, 176, 144, &RecordFrame, 15));
  EXPECT_FALSE(StartVideo(nullptr, camera_, 352, 288, &RecordFrame, 15));
  EXPECT_TRUE(CheckDeviceWorking());
  GetVideoFormat(&w, &h);
  EXPECT_EQ(w, 176);
  EXPECT_EQ(h, 144);
  ASSERT_TRUE(RunUntil([] { return Frames().count >= 3; }));
  EXPECT_EQ(Frames().sizes.back(), 176u * 144 * 3);
  EXPECT_TRUE(RestartVideo());
  EXPECT_TRUE(CheckDeviceWorking());

  EXPECT_TRUE(StopVideo());
  EXPECT_FALSE(StopVideo());
  EXPECT_FALSE(CheckDeviceWorking());
  const void* data = Frames().last_buffer.data();
  std::uint32_t size = static_cast<std::uint32_t>(Frames().last_buffer.size());
  bool key = false;
  EXPECT_FALSE(CompressData(&data, &size, &key));
}

TEST_F(VideoInterfaceTest, StartVideoRefusesBadSizesAndDevices) {
  EXPECT_FALSE(StartVideo(nullptr, camera_, 176, 145, &RecordFrame, 15));
  EXPECT_FALSE(StartVideo(nullptr, camera_, 704, 576, &RecordFrame, 15));
  EXPECT_FALSE(StartVideo(nullptr, camera_ + 1, 176, 144, &RecordFrame, 15));
  EXPECT_FALSE(CheckDeviceWorking());
}

TEST_F(VideoInterfaceTest, StopVideoInsideTheFrameCallbackEndsDelivery) {
  Frames().on_frame = [] { EXPECT_TRUE(StopVideo()); };
  ASSERT_TRUE(StartVideo(nullptr, camera_, 176, 144, &RecordFrame, 15));
  ASSERT_TRUE(RunUntil([] { return Frames().count >= 1; }));
  RunUntil([] { return false; }, 400);
  EXPECT_EQ(Frames().count, 1);
  EXPECT_FALSE(CheckDeviceWorking());
  // The camera is free again.
  Frames().on_frame = nullptr;
  ASSERT_TRUE(StartVideo(nullptr, camera_, 176, 144, &RecordFrame, 15));
  EXPECT_TRUE(RunUntil([] { return Frames().count >= 2; }));
}

TEST_F(VideoInterfaceTest, CapturedFramesRoundTripIntoAPictureControlUpright) {
  StartPlayVideoData(&first_);
  int played = 0;
  bool first_key = false;
  QImage sent;
  Frames().on_frame = [&] {
    const void* data = Frames().last_buffer.data();
    std::uint32_t size = static_cast<std::uint32_t>(Frames().last_buffer.size());
    bool key = false;
    if (!CompressData(&data, &size, &key)) return;
    if (played == 0) first_key = key;
    EXPECT_LE(size, 102400u);
    EXPECT_TRUE(PlayVideoData(data, static_cast<std::int32_t>(size), &first_, 176, 144));
    sent = Frames().last_bitmap;
    ++played;
  };
  ASSERT_TRUE(StartVideo(nullptr, camera_, 176, 144, &RecordFrame, 15));
  ASSERT_TRUE(RunUntil([&] { return played >= 8; }));
  StopVideo();
  EXPECT_TRUE(first_key);
  ASSERT_TRUE(HasPicture(first_));
  const QImage shown = first_.pixmap().toImage();
  ASSERT_EQ(shown.size(), QSize(176, 144));
  const double psnr = testing::Psnr(shown, sent);
  RecordProperty("psnr_db", std::to_string(psnr));
  EXPECT_GE(psnr, 30.0);
  // Upright: the picture upside down matches far worse.
  EXPECT_GT(psnr, testing::Psnr(shown, sent.mirrored(false, true)) + 6);
  EXPECT_EQ(GetPlayFormat(&first_), 2);
}

TEST_F(VideoInterfaceTest, NewPictureSizeRestartsTheDecoderAndSwitchesThePlayFormat) {
  EXPECT_EQ(GetPlayFormat(&first_), 1);  // no display list
  StartPlayVideoData(&first_);
  StartPlayVideoData(&first_);  // one player per control
  const auto small = EncodedStream(160, 120, 3);
  const auto large = EncodedStream(320, 240, 3);
  ASSERT_EQ(small.size(), 3u);
  ASSERT_EQ(large.size(), 3u);
  for (const auto& frame : small) EXPECT_TRUE(Play(frame, &first_, 160, 120));
  EXPECT_EQ(GetPlayFormat(&first_), 1);
  EXPECT_EQ(first_.pixmap().size(), QSize(160, 120));
  // A delta frame of the new size cannot start the new decoder: the old picture is cleared.
  EXPECT_TRUE(Play(large[1], &first_, 320, 240));
  EXPECT_EQ(GetPlayFormat(&first_), 2);
  EXPECT_FALSE(HasPicture(first_));
  EXPECT_TRUE(Play(large[0], &first_, 320, 240));
  EXPECT_EQ(first_.pixmap().size(), QSize(320, 240));
  EXPECT_EQ(GetPlayFormat(&second_), 1);  // no player
}

TEST_F(VideoInterfaceTest, OverlongAndHostileFramesAreDropped) {
  StartPlayVideoData(&first_);
  const auto stream = EncodedStream(176, 144, 1);
  ASSERT_EQ(stream.size(), 1u);
  // A key frame padded with trailing zero bytes to the limit decodes; one byte more is dropped.
  std::vector<std::uint8_t> padded = stream[0];
  padded.resize(102401, 0);
  EXPECT_TRUE(Play(padded, &first_, 176, 144));
  EXPECT_FALSE(HasPicture(first_));
  padded.resize(102400);
  EXPECT_TRUE(Play(padded, &first_, 176, 144));
  EXPECT_TRUE(HasPicture(first_));

  // Sizes the engine does not accept, a size the stream does not have, and garbage.
  StartPlayVideoData(&second_);
  for (auto [w, h] : {std::pair{0, 0}, std::pair{-176, 144}, std::pair{640, 480}, std::pair{175, 144},
                      std::pair{160, 120}}) {
    EXPECT_TRUE(Play(stream[0], &second_, w, h));
    EXPECT_FALSE(HasPicture(second_)) << w << "x" << h;
  }
  const std::vector<std::uint8_t> garbage = {0, 0, 1, 0x67, 0xff, 0xff, 0xff, 0, 0, 1, 0x65, 1, 2, 3};
  EXPECT_TRUE(Play(garbage, &second_, 176, 144));
  EXPECT_TRUE(PlayVideoData(nullptr, 0, &second_, 176, 144));
  EXPECT_TRUE(PlayVideoData(stream[0].data(), -5, &second_, 176, 144));
  EXPECT_FALSE(HasPicture(second_));
}

TEST_F(VideoInterfaceTest, LastStopPlayVideoDataEndsPlaying) {
  const auto stream = EncodedStream(176, 144, 1);
  EXPECT_FALSE(Play(stream[0], &first_, 176, 144));  // no player yet
  EXPECT_FALSE(StartPlayVideoData(&first_));
  StartPlayVideoData(&second_);
  EXPECT_TRUE(Play(stream[0], &first_, 176, 144));
  EXPECT_TRUE(StopPlayVideoData(&first_));
  EXPECT_FALSE(Play(stream[0], &first_, 176, 144));
  EXPECT_TRUE(Play(stream[0], &second_, 176, 144));
  EXPECT_TRUE(StopPlayVideoData(&second_));
  EXPECT_FALSE(Play(stream[0], &second_, 176, 144));
  EXPECT_EQ(GetPlayFormat(&second_), 1);
  EXPECT_TRUE(StopPlayVideoData(&second_));
}

TEST_F(VideoInterfaceTest, PlayerOutlivingItsControlDrawsNothing) {
  auto label = std::make_unique<QLabel>();
  QLabel* control = label.get();
  StartPlayVideoData(control);
  label.reset();
  const auto stream = EncodedStream(176, 144, 1);
  EXPECT_TRUE(Play(stream[0], control, 176, 144));
  EXPECT_TRUE(StopPlayVideoData(control));
}

}  // namespace
}  // namespace kiv::video
