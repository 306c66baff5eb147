#include "voice_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "voice_playout.h"

namespace kiv {
namespace {

std::vector<std::int16_t> Tone(int rate, int samples, double amplitude) {
  std::vector<std::int16_t> v(static_cast<std::size_t>(samples));
  for (int i = 0; i < samples; ++i) {
    v[static_cast<std::size_t>(i)] =
        static_cast<std::int16_t>(amplitude * 32767 * std::sin(2 * std::numbers::pi * 1000.0 * i / rate));
  }
  return v;
}

TEST(VoiceCodec, OnlyQualitiesOneAndTwoHaveAFormat) {
  EXPECT_FALSE(VoiceFormatOf(0));
  EXPECT_FALSE(VoiceFormatOf(3));
  EXPECT_EQ(VoiceFormatOf(1)->FrameSamples(), 320);
  EXPECT_EQ(VoiceFormatOf(2)->FrameSamples(), 960);
}

TEST(VoiceCodec, PeakLevelCoversTheFullScale) {
  const std::vector<std::int16_t> samples = {0, 5, -32768, 12};
  EXPECT_EQ(PeakLevel(samples), 32768);
  EXPECT_EQ(PeakLevel({}), 0);
}

// A tone at -20 dBFS survives encoding at either quality: blocks within the size bound, the level
// of the decoded block within 3 dB of the original peak, and the block length refused when wrong.
TEST(VoiceCodec, ToneRoundTripsAtBothQualities) {
  for (std::uint8_t quality : {1, 2}) {
    SCOPED_TRACE(int{quality});
    auto encoder = TVoiceEncoder::Create(quality);
    ASSERT_TRUE(encoder);
    const int frame = encoder->format().FrameSamples();
    const std::vector<std::int16_t> tone = Tone(encoder->format().sample_rate, frame * 50, 0.1);
    TVoicePlayout playout;
    std::int32_t last_level = 0;
    std::size_t bytes = 0;
    for (int f = 0; f < 50; ++f) {
      const std::vector<std::uint8_t> block = encoder->Encode(
          {tone.data() + static_cast<std::ptrdiff_t>(f) * frame, static_cast<std::size_t>(frame)});
      ASSERT_FALSE(block.empty());
      ASSERT_LE(block.size(), kMaxBlockBytes);
      bytes += block.size();
      last_level = playout.Play(quality, block.data(), static_cast<std::uint32_t>(block.size()));
    }
    EXPECT_NEAR(20 * std::log10(last_level / 3277.0), 0, 3);
    // About the configured bitrate over one second.
    EXPECT_NEAR(static_cast<double>(bytes) * 8, encoder->format().bitrate, encoder->format().bitrate * 0.5);
    EXPECT_TRUE(encoder->Encode({tone.data(), static_cast<std::size_t>(frame - 1)}).empty());
  }
}

}  // namespace
}  // namespace kiv
