#include "core/picture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kiv::video {
namespace {

struct Yuy2Case {
  const char* what;
  std::vector<std::uint8_t> source;
  int width, height;
  std::vector<std::uint8_t> expected;  // bottom-up BGR24
};

// Expected pixels worked out by hand from the conversion's coefficients.
TEST(Yuy2ToBgr24, GoldenVectors) {
  const std::vector<Yuy2Case> cases = {
      {"white and black, Y1's pixel first", {16, 128, 235, 128}, 2, 1, {0xFF, 0xFF, 0xFF, 0, 0, 0}},
      {"a half rounds up: 1.164 x 125 = 145.5",
       {141, 128, 141, 128},
       2,
       1,
       {0x92, 0x92, 0x92, 0x92, 0x92, 0x92}},
      {"colour with clamping at both ends", {81, 90, 210, 240}, 2, 1, {0x95, 0x96, 0xFF, 0x00, 0x00, 0xFE}},
      {"groups from the last one backwards, odd tail ignored",
       {16, 128, 16, 128, 235, 128, 141, 128, 0xAA, 0xBB},
       4,
       1,
       {0x92, 0x92, 0x92, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}},
      {"a full bitmap stops the conversion",
       {16, 128, 16, 128, 235, 128, 141, 128},
       2,
       1,
       {0x92, 0x92, 0x92, 0xFF, 0xFF, 0xFF}},
      {"a short source leaves the rest black",
       {235, 128, 235, 128},
       2,
       2,
       {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0}},
      {"nothing but a tail", {235, 128, 235}, 2, 1, {0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> out(BitmapBytes(c.width, c.height), 0x55);
    ConvertYuy2ToBgr24(c.source.data(), c.source.size(), c.width, c.height, out.data());
    EXPECT_EQ(out, c.expected) << c.what;
  }
}

TEST(Yuy2ToBgr24, TopDownPictureBecomesUprightMirroredBitmap) {
  // Two rows of two pixels, top-down: row 0 = (A, B), row 1 = (C, D) with distinct grey levels.
  const std::uint8_t a = 16, b = 70, c = 141, d = 235;
  const std::vector<std::uint8_t> source = {a, 128, b, 128, c, 128, d, 128};
  std::vector<std::uint8_t> out(BitmapBytes(2, 2));
  ConvertYuy2ToBgr24(source.data(), source.size(), 2, 2, out.data());
  // Bottom-up: the first row written is the picture's bottom row (C, D), mirrored to (D, C).
  EXPECT_EQ(out[0], 0xFF);  // D
  EXPECT_EQ(out[3], 0x92);  // C
  EXPECT_EQ(out[6], 0x3F);  // B: 1.164 x 54 = 62.856
  EXPECT_EQ(out[9], 0x00);  // A
}

TEST(VideoSize, AcceptsOnlyEvenSizesThatFit) {
  struct {
    std::int64_t w, h;
    bool ok;
  } cases[] = {{160, 120, true},    {176, 144, true},
               {352, 288, true},    {320, 240, true},
               {0, 0, false},       {176, 0, false},
               {-176, -144, false}, {175, 144, false},
               {176, 143, false},   {354, 288, false},
               {704, 576, false},   {2, 50688, true},
               {2, 50690, false},   {0x40000000, 0x40000000, false}};
  for (const auto& c : cases) EXPECT_EQ(IsValidVideoSize(c.w, c.h), c.ok) << c.w << "x" << c.h;
}

}  // namespace
}  // namespace kiv::video
