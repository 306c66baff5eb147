// The engine's flat interface against a private sound server: capture from a pipe source, playback
// into a null sink whose monitor is recorded and analysed with sox.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cmath>
#include <numbers>
#include <thread>

#include "kiv_audio.h"
#include "pulse_daemon.h"
#include "qt_wait.h"
#include "voice_codec.h"

namespace kiv {
namespace {

// -20 dBFS: peak 0.1 of full scale, RMS 0.0707.
constexpr double kToneRms = 0.1 / std::numbers::sqrt2;

struct TBlockSink {
  std::vector<std::vector<std::uint8_t>> blocks;
  std::vector<std::int32_t> levels;
  std::int32_t play_handle = 0;
  std::uint8_t quality = 0;
  std::vector<std::int32_t> play_levels;

  static void Receive(void* object, const void* data, std::uint32_t size, std::int32_t level) {
    auto* sink = static_cast<TBlockSink*>(object);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    sink->blocks.emplace_back(bytes, bytes + size);
    sink->levels.push_back(level);
    if (sink->play_handle > 0)
      sink->play_levels.push_back(PlayAudioData(sink->play_handle, sink->quality, data, size));
  }
};

class AudioEngine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "kivaudio_tests";
    static char* argv[] = {name, nullptr};
    app_ = new QCoreApplication(argc, argv);
  }
  static void TearDownTestSuite() {
    delete app_;
    app_ = nullptr;
  }
  void SetUp() override {
    if (!daemon_.Available())
      GTEST_SKIP() << "pulseaudio, pactl, parec or sox missing: no private sound server";
  }
  void TearDown() override {
    StopAudioIn();
    SetAudioOutVolume(255);
  }

  // Feeds the source on a thread while the event loop delivers blocks; returns when both are done.
  void FeedAndDeliver(const std::vector<std::int16_t>& samples, TBlockSink& sink,
                      std::size_t blocks_expected) {
    std::jthread feeder([&] { daemon_.Feed(samples); });
    RunUntil([&] { return sink.blocks.size() >= blocks_expected; }, 20000);
    feeder.join();
    RunUntil([] { return false; }, 100);  // the stragglers
  }

  static QCoreApplication* app_;
  TPulseDaemon daemon_;
};
QCoreApplication* AudioEngine::app_ = nullptr;

TEST_F(AudioEngine, ToneGivesOneBlockPer20msAboveTheThresholdAndSilenceBelow) {
  for (std::uint8_t quality : {1, 2}) {
    SCOPED_TRACE(int{quality});
    TBlockSink sink;
    ASSERT_TRUE(StartAudioIn(quality, 0, nullptr, &TBlockSink::Receive, &sink));
    EXPECT_TRUE(CheckAudioInDeviceWorking());
    TBlockSink other;
    EXPECT_FALSE(StartAudioIn(quality, 0, nullptr, &TBlockSink::Receive, &other))
        << "one capture per process";

    std::vector<std::int16_t> audio(48000, 0);  // 1 s of silence, then 1 s of tone
    const std::vector<std::int16_t> tone = SoxSamples(1.0, "sine 1000 vol -20dB");
    audio.insert(audio.end(), tone.begin(), tone.end());
    FeedAndDeliver(audio, sink, 99);
    StopAudioIn();
    EXPECT_FALSE(CheckAudioInDeviceWorking());

    // Two seconds of sound are 100 blocks; the resampler may hold back the last few milliseconds.
    EXPECT_GE(sink.blocks.size(), 98u);
    EXPECT_LE(sink.blocks.size(), 100u);
    std::size_t loud = 0, quiet_before = 0;
    for (std::size_t i = 0; i < sink.levels.size(); ++i) {
      if (sink.levels[i] >= 100) {
        ++loud;
        EXPECT_NEAR(sink.levels[i], 3277, 400) << "block " << i;
      } else if (loud == 0) {
        ++quiet_before;
      }
      EXPECT_LE(sink.blocks[i].size(), kMaxBlockBytes);
    }
    EXPECT_GE(quiet_before, 49u);
    EXPECT_GE(loud, 48u);
    EXPECT_LE(loud, 51u);
    EXPECT_TRUE(other.blocks.empty());
  }
}

TEST_F(AudioEngine, NoBlockArrivesAfterStopAudioInReturns) {
  TBlockSink sink;
  ASSERT_TRUE(StartAudioIn(2, 0, nullptr, &TBlockSink::Receive, &sink));
  std::jthread feeder([&] { daemon_.Feed(SoxSamples(1.0, "sine 1000 vol -20dB")); });
  ASSERT_TRUE(RunUntil([&] { return sink.blocks.size() >= 10; }));
  // Blocks encoded meanwhile are already queued to the main thread: stopping drops them.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  StopAudioIn();
  const std::size_t at_stop = sink.blocks.size();
  RunUntil([] { return false; }, 300);
  feeder.join();
  RunUntil([] { return false; }, 100);
  EXPECT_EQ(sink.blocks.size(), at_stop);
  // Capture starts again after a stop.
  TBlockSink again;
  EXPECT_TRUE(StartAudioIn(1, 0, nullptr, &TBlockSink::Receive, &again));
}

TEST_F(AudioEngine, NoBlockReachesADestroyedOwner) {
  TBlockSink sink;
  auto owner = std::make_unique<QObject>();
  ASSERT_TRUE(StartAudioIn(1, 0, owner.get(), &TBlockSink::Receive, &sink));
  std::jthread feeder([&] { daemon_.Feed(SoxSamples(1.0, "sine 1000 vol -20dB")); });
  ASSERT_TRUE(RunUntil([&] { return sink.blocks.size() >= 5; }));
  owner.reset();
  const std::size_t at_destruction = sink.blocks.size();
  feeder.join();
  RunUntil([] { return false; }, 200);
  EXPECT_EQ(sink.blocks.size(), at_destruction);
  StopAudioIn();
}

// Capture -> blocks -> PlayAudioData on a second output -> null sink -> monitor: the tone comes out
// at its frequency and within 3 dB of its loudness.
TEST_F(AudioEngine, BlocksPlayedOnASecondHandleAreTheToneAtBothQualities) {
  for (std::uint8_t quality : {1, 2}) {
    SCOPED_TRACE(int{quality});
    const std::int32_t first = StartAudioOut(0, nullptr);
    const std::int32_t second = StartAudioOut(0, nullptr);
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    EXPECT_NE(first, second);
    const std::filesystem::path recording = daemon_.dir() / ("monitor" + std::to_string(quality) + ".raw");
    ASSERT_TRUE(daemon_.StartRecording(recording));
    TBlockSink sink;
    sink.play_handle = second;
    sink.quality = quality;
    ASSERT_TRUE(StartAudioIn(quality, 0, nullptr, &TBlockSink::Receive, &sink));
    FeedAndDeliver(SoxSamples(1.5, "sine 1000 vol -20dB"), sink, 74);
    RunUntil([] { return false; }, 300);  // let the last blocks play out
    StopAudioIn();
    daemon_.StopRecording();
    StopAudioOut(first);
    StopAudioOut(second);
    EXPECT_EQ(PlayAudioData(second, quality, sink.blocks[0].data(),
                            static_cast<std::uint32_t>(sink.blocks[0].size())),
              0)
        << "a stopped handle plays nothing";

    ASSERT_GE(sink.play_levels.size(), 70u);
    EXPECT_GE(sink.play_levels[40], 100);
    const TSoxStat stat = SoxStat(recording, 0.2, 1.0);
    EXPECT_NEAR(stat.frequency, 1000, 30);
    EXPECT_NEAR(20 * std::log10(stat.rms / kToneRms), 0, 3) << "rms " << stat.rms;
  }
}

TEST_F(AudioEngine, VolumeZeroSilencesAndTheVolumeIsClamped) {
  SetAudioOutVolume(0);
  EXPECT_EQ(GetAudioOutVolume(), 0);
  const std::int32_t handle = StartAudioOut(0, nullptr);
  ASSERT_GT(handle, 0);
  const std::filesystem::path recording = daemon_.dir() / "muted.raw";
  ASSERT_TRUE(daemon_.StartRecording(recording));
  auto encoder = TVoiceEncoder::Create(2);
  const std::vector<std::int16_t> tone = SoxSamples(1.0, "sine 1000 vol -20dB");
  std::int32_t level = 0;
  for (std::size_t at = 0; at + 960 <= tone.size(); at += 960) {  // at the pace of a talking peer
    const std::vector<std::uint8_t> block = encoder->Encode({tone.data() + at, 960});
    level = std::max(level, PlayAudioData(handle, 2, block.data(), static_cast<std::uint32_t>(block.size())));
    RunUntil([] { return false; }, 20);
  }
  RunUntil([] { return false; }, 200);
  daemon_.StopRecording();
  StopAudioOut(handle);
  EXPECT_GE(level, 100) << "the level is the speaker's, whatever the volume";
  std::error_code error;
  EXPECT_GT(std::filesystem::file_size(recording, error), 48000u) << "the monitor recorded";
  EXPECT_LT(SoxStat(recording, 0, 1.0, false).rms, 0.0005);

  SetAudioOutVolume(300);
  EXPECT_EQ(GetAudioOutVolume(), 255);
  SetAudioOutVolume(-4);
  EXPECT_EQ(GetAudioOutVolume(), 0);
}

TEST_F(AudioEngine, PlayAudioDataRefusesWhatItCannotPlay) {
  const std::int32_t handle = StartAudioOut(0, nullptr);
  ASSERT_GT(handle, 0);
  auto encoder = TVoiceEncoder::Create(1);
  const std::vector<std::int16_t> tone = SoxSamples(0.02, "sine 1000 vol -20dB", 16000);
  const std::vector<std::uint8_t> block = encoder->Encode(tone);
  ASSERT_FALSE(block.empty());
  const std::vector<std::uint8_t> oversized(kMaxBlockBytes + 1, 0x08);
  const std::uint8_t not_opus[] = {0x03, 0xFF};  // a code-3 packet that claims 63 frames in 2 bytes
  struct Case {
    const char* what;
    std::int32_t handle;
    std::uint8_t quality;
    const void* data;
    std::uint32_t size;
  };
  const Case cases[] = {
      {"unknown handle", handle + 1000, 1, block.data(), static_cast<std::uint32_t>(block.size())},
      {"handle -1", -1, 1, block.data(), static_cast<std::uint32_t>(block.size())},
      {"quality 0", handle, 0, block.data(), static_cast<std::uint32_t>(block.size())},
      {"quality 3", handle, 3, block.data(), static_cast<std::uint32_t>(block.size())},
      {"size 0", handle, 1, block.data(), 0},
      {"no data", handle, 1, nullptr, 10},
      {"oversized", handle, 1, oversized.data(), static_cast<std::uint32_t>(oversized.size())},
      {"not a block", handle, 1, not_opus, sizeof not_opus},
  };
  for (const Case& c : cases) EXPECT_EQ(PlayAudioData(c.handle, c.quality, c.data, c.size), 0) << c.what;
  StopAudioOut(handle + 1000);  // unknown: ignored
  StopAudioOut(handle);
}

}  // namespace
}  // namespace kiv
