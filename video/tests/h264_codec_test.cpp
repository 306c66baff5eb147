#include "core/h264_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "core/picture.h"

namespace kiv::video {
namespace {

struct EncoderDeleter {
  void operator()(TH264Encoder* e) const { DeleteH264Encoder(e); }
};
struct DecoderDeleter {
  void operator()(TH264Decoder* d) const { DeleteH264Decoder(d); }
};
using Encoder = std::unique_ptr<TH264Encoder, EncoderDeleter>;
using Decoder = std::unique_ptr<TH264Decoder, DecoderDeleter>;

// A smooth moving picture (gradients and a bright square drifting across), bottom-up BGR24.
std::vector<std::uint8_t> MovingPicture(int w, int h, int frame) {
  std::vector<std::uint8_t> bits(BitmapBytes(w, h));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = &bits[(static_cast<std::size_t>(y) * w + x) * 3];
      const bool square = x >= frame * 2 % w && x < frame * 2 % w + w / 6 && y >= h / 3 && y < h / 3 + h / 5;
      p[0] = static_cast<std::uint8_t>(square ? 240 : x * 255 / w);
      p[1] = static_cast<std::uint8_t>(square ? 230 : y * 255 / h);
      p[2] = static_cast<std::uint8_t>(square ? 20 : (x + y + frame) % 256);
    }
  }
  return bits;
}

double Psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  const double mse = sum / static_cast<double>(a.size());
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// NAL unit types of an Annex B access unit, in order.
std::vector<int> NalTypes(const std::vector<std::uint8_t>& au) {
  std::vector<int> types;
  for (std::size_t i = 0; i + 3 < au.size(); ++i) {
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
      types.push_back(au[i + 3] & 0x1f);
      i += 2;
    }
  }
  return types;
}

struct EncodedFrame {
  std::vector<std::uint8_t> data;
  int type = -1;
};

EncodedFrame Encode(TH264Encoder* encoder, const std::vector<std::uint8_t>& picture) {
  EncodedFrame frame;
  frame.data.resize(kMaxCompressedFrameBytes);
  std::uint32_t size = static_cast<std::uint32_t>(frame.data.size());
  const int result = EncodeH264Data(encoder, picture.data(), static_cast<std::uint32_t>(picture.size()),
                                    frame.data.data(), &size, &frame.type);
  EXPECT_EQ(result, 0);
  frame.data.resize(result == 0 ? size : 0);
  return frame;
}

int Decode(TH264Decoder* decoder, const std::vector<std::uint8_t>& au, std::vector<std::uint8_t>& out) {
  std::uint32_t length = static_cast<std::uint32_t>(out.size());
  return DecodeH264Data(decoder, au.data(), static_cast<std::uint32_t>(au.size()), out.data(), &length,
                        kOutputBottomUpBgr24);
}

Encoder CameraEncoder(int w, int h) {
  return Encoder(CreateH264Encoder(kUsageCamera, kSentFramesPerSecond, w, h, 20, 4));
}

TEST(H264Encoder, RefusesSizesAndArgumentsOutOfRange) {
  EXPECT_EQ(CreateH264Encoder(kUsageCamera, 15, 0, 0, 20, 4), nullptr);
  EXPECT_EQ(CreateH264Encoder(kUsageCamera, 15, 177, 144, 20, 4), nullptr);
  EXPECT_EQ(CreateH264Encoder(kUsageCamera, 15, 640, 480, 20, 4), nullptr);
  EXPECT_EQ(CreateH264Encoder(kUsageCamera, 0, 176, 144, 20, 4), nullptr);
  EXPECT_EQ(CreateH264Encoder(kUsageCamera, 15, 176, 144, 0, 4), nullptr);
  EXPECT_EQ(CreateH264Encoder(kUsageCamera, 15, 176, 144, 20, 0), nullptr);
  EXPECT_EQ(CreateH264Encoder(7, 15, 176, 144, 20, 4), nullptr);
  EXPECT_EQ(CreateH264Decoder(0, 0), nullptr);
  EXPECT_EQ(CreateH264Decoder(353, 288), nullptr);
}

TEST(H264Encoder, FirstAndEveryTwentiethFrameAreKeyFramesWithTheirParameterSets) {
  const int w = 176, h = 144;
  Encoder encoder = CameraEncoder(w, h);
  ASSERT_NE(encoder, nullptr);
  for (int i = 0; i < 45; ++i) {
    const EncodedFrame frame = Encode(encoder.get(), MovingPicture(w, h, i));
    ASSERT_FALSE(frame.data.empty()) << "frame " << i;
    EXPECT_LE(frame.data.size(), kMaxCompressedFrameBytes);
    const std::vector<int> nals = NalTypes(frame.data);
    if (i % 20 == 0) {
      EXPECT_EQ(frame.type, kFrameTypeKey) << "frame " << i;
      EXPECT_EQ(nals, (std::vector<int>{7, 8, 5})) << "frame " << i;
    } else {
      EXPECT_EQ(frame.type, kFrameTypeDelta) << "frame " << i;
      EXPECT_EQ(nals, std::vector<int>{1}) << "frame " << i;
    }
  }
}

TEST(H264Encoder, NoiseAtTheLargestSizeStaysUnderTheFrameLimit) {
  const int w = 352, h = 288;
  Encoder encoder(CreateH264Encoder(kUsageCamera, kSentFramesPerSecond, w, h, 20, 16));
  ASSERT_NE(encoder, nullptr);
  std::mt19937 random(20);
  std::vector<std::uint8_t> picture(BitmapBytes(w, h));
  std::vector<std::uint8_t> out(kMaxCompressedFrameBytes);
  bool key_due = true;
  int produced = 0;
  for (int i = 0; i < 25; ++i) {
    for (auto& byte : picture) byte = static_cast<std::uint8_t>(random());
    std::uint32_t size = static_cast<std::uint32_t>(out.size());
    int type = -1;
    if (EncodeH264Data(encoder.get(), picture.data(), static_cast<std::uint32_t>(picture.size()), out.data(),
                       &size, &type) != 0) {
      key_due = true;  // the frame is not produced; the next one must be a key frame
      continue;
    }
    ++produced;
    EXPECT_LE(size, kMaxCompressedFrameBytes);
    if (key_due) {
      EXPECT_EQ(type, kFrameTypeKey) << "frame " << i;
    }
    key_due = false;
  }
  EXPECT_GT(produced, 20);
}

TEST(H264Encoder, ShortInputFailsAndTheNextFrameIsAKeyFrame) {
  Encoder encoder = CameraEncoder(160, 120);
  ASSERT_NE(encoder, nullptr);
  Encode(encoder.get(), MovingPicture(160, 120, 0));
  Encode(encoder.get(), MovingPicture(160, 120, 1));
  std::vector<std::uint8_t> picture = MovingPicture(160, 120, 2);
  std::vector<std::uint8_t> out(kMaxCompressedFrameBytes);
  std::uint32_t size = static_cast<std::uint32_t>(out.size());
  int type = -1;
  EXPECT_NE(EncodeH264Data(encoder.get(), picture.data(), static_cast<std::uint32_t>(picture.size() - 1),
                           out.data(), &size, &type),
            0);
  // An output area too small for the frame fails too, and asks for a key frame again.
  size = 10;
  EXPECT_NE(EncodeH264Data(encoder.get(), picture.data(), static_cast<std::uint32_t>(picture.size()),
                           out.data(), &size, &type),
            0);
  EXPECT_EQ(Encode(encoder.get(), picture).type, kFrameTypeKey);
  EXPECT_EQ(Encode(encoder.get(), MovingPicture(160, 120, 3)).type, kFrameTypeDelta);
}

TEST(H264Codec, RoundTripKeepsThePicture) {
  for (auto [w, h] : {std::pair{176, 144}, std::pair{352, 288}, std::pair{160, 120}}) {
    Encoder encoder = CameraEncoder(w, h);
    Decoder decoder(CreateH264Decoder(w, h));
    ASSERT_TRUE(encoder && decoder);
    std::vector<std::uint8_t> out(BitmapBytes(w, h));
    double worst = 99;
    for (int i = 0; i < 25; ++i) {
      const std::vector<std::uint8_t> picture = MovingPicture(w, h, i);
      ASSERT_EQ(Decode(decoder.get(), Encode(encoder.get(), picture).data, out), 0)
          << w << "x" << h << " #" << i;
      worst = std::min(worst, Psnr(picture, out));
    }
    EXPECT_GE(worst, 30.0) << w << "x" << h;
  }
}

TEST(H264Decoder, DropsWhatItCannotShowAndRecoversAtTheNextKeyFrame) {
  const int w = 176, h = 144;
  Encoder encoder = CameraEncoder(w, h);
  ASSERT_NE(encoder, nullptr);
  std::vector<EncodedFrame> stream;
  for (int i = 0; i < 22; ++i) stream.push_back(Encode(encoder.get(), MovingPicture(w, h, i)));
  ASSERT_EQ(stream[20].type, kFrameTypeKey);
  std::vector<std::uint8_t> out(BitmapBytes(w, h));

  Decoder decoder(CreateH264Decoder(w, h));
  // Delta frames before the first key frame are not decoded.
  EXPECT_NE(Decode(decoder.get(), stream[1].data, out), 0);
  EXPECT_NE(Decode(decoder.get(), stream[2].data, out), 0);
  // Empty, over-long, or for an output area too small.
  EXPECT_NE(Decode(decoder.get(), {}, out), 0);
  std::vector<std::uint8_t> over_long = stream[0].data;
  over_long.resize(kMaxCompressedFrameBytes + 1);
  EXPECT_NE(Decode(decoder.get(), over_long, out), 0);
  std::vector<std::uint8_t> small(BitmapBytes(w, h) - 1);
  EXPECT_NE(Decode(decoder.get(), stream[0].data, small), 0);
  // Garbage in between: dropped, and the stream goes on from the next key frame.
  EXPECT_EQ(Decode(decoder.get(), stream[0].data, out), 0);
  std::vector<std::uint8_t> garbage = {0, 0, 0, 1, 0x65, 0xff, 0x13, 0x00, 0x00, 0x01, 0x41, 0x9a};
  Decode(decoder.get(), garbage, out);
  std::vector<std::uint8_t> cut = stream[5].data;
  cut.resize(cut.size() / 2);
  Decode(decoder.get(), cut, out);
  EXPECT_EQ(Decode(decoder.get(), stream[20].data, out), 0);
  EXPECT_EQ(Decode(decoder.get(), stream[21].data, out), 0);

  // A stream whose SPS gives another size than the decoder's is dropped.
  Decoder other(CreateH264Decoder(160, 120));
  std::vector<std::uint8_t> out_other(BitmapBytes(160, 120));
  EXPECT_NE(Decode(other.get(), stream[0].data, out_other), 0);
  EXPECT_NE(Decode(other.get(), stream[1].data, out_other), 0);
}

}  // namespace
}  // namespace kiv::video
