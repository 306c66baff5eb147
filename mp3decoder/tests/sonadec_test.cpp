#include "sonadec.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dither.h"

namespace kiv::sonadec {
namespace {

using ByteVector = std::vector<std::uint8_t>;

// Fixtures made here with sox and lame: 0.5 s of 440 Hz, mono, 44.1 kHz, 48 kbit/s; and 0.6 s of 440 Hz
// left and 880 Hz right, 44.1 kHz, 96 kbit/s. Each opens with lame's information frame.
ByteVector Fixture(const char* name) {
  std::ifstream in(std::string(KIV_SOURCE_DIR) + "/mp3decoder/tests/data/" + name, std::ios::binary);
  return ByteVector(std::istreambuf_iterator<char>(in), {});
}

struct Decoded {
  ByteVector pcm;
  std::vector<std::uint32_t> produced;  // per frame
  std::vector<std::uint32_t> consumed;  // per frame
};

struct Decoder {
  Decoder() : handle(CreateMp3Decoder()) {}
  ~Decoder() { DeleteMp3Decoder(handle); }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  int Call(const std::uint8_t* input, std::size_t length) {
    consumed = produced = 12345;
    return DecodeMp3Data(handle, input, static_cast<uint32_t>(length), out, sizeof out, &consumed, &produced);
  }
  // Hands over one piece, then drains every frame it completed, as the protocol asks.
  void Feed(const std::uint8_t* input, std::size_t length, Decoded& decoded) {
    int rc = Call(input, length);
    while (rc == 0) {
      decoded.pcm.insert(decoded.pcm.end(), out, out + produced);
      decoded.produced.push_back(produced);
      decoded.consumed.push_back(consumed);
      rc = Call(nullptr, 0);
    }
    EXPECT_EQ(consumed, 0u);
    EXPECT_EQ(produced, 0u);
  }

  void* handle;
  std::uint8_t out[SONADEC_MAX_FRAME_BYTES];
  std::uint32_t consumed = 0, produced = 0;
};

Decoded DecodeInPieces(const ByteVector& mp3, std::size_t piece) {
  Decoder d;
  Decoded decoded;
  for (std::size_t pos = 0; pos < mp3.size(); pos += piece) {
    d.Feed(mp3.data() + pos, std::min(piece, mp3.size() - pos), decoded);
  }
  return decoded;
}

std::vector<std::int16_t> Channel(const ByteVector& pcm, unsigned channels, unsigned channel) {
  std::vector<std::int16_t> out;
  for (std::size_t i = 2 * channel; i + 1 < pcm.size(); i += 2 * channels) {
    out.push_back(static_cast<std::int16_t>(pcm[i] | (pcm[i + 1] << 8)));
  }
  return out;
}

// Tone frequency from the rising zero crossings of the middle of a channel (the ends hold the
// encoder's delay and padding).
double Frequency(const std::vector<std::int16_t>& samples) {
  const std::size_t from = samples.size() / 4, to = samples.size() * 3 / 4;
  int crossings = 0;
  for (std::size_t i = from + 1; i < to; ++i) crossings += samples[i - 1] < 0 && samples[i] >= 0;
  return crossings * 44100.0 / static_cast<double>(to - from);
}

int Peak(const std::vector<std::int16_t>& samples) {
  int peak = 0;
  for (auto s : samples) peak = std::max(peak, std::abs(int{s}));
  return peak;
}

TEST(SonadecDither, MatchesTheNoiseShapedDitherSampleForSample) {
  // Silence: the rectangular dither and the error feedback toggle the lowest bit.
  DitherState d;
  std::vector<int> silence;
  for (int i = 0; i < 8; ++i) silence.push_back(Dither(0, d));
  EXPECT_EQ(silence, (std::vector<int>{1, -1, 1, -1, 0, 0, 0, 1}));
  EXPECT_EQ(d.e0, -8192);
  EXPECT_EQ(d.e1, -512);
  EXPECT_EQ(d.e2, 0);
  EXPECT_EQ(d.r, 2748932008u);

  // Full scale clips (the error term stays small), extreme values clip instead of wrapping, and half
  // scale and small values quantise with the feedback of their predecessors.
  DitherState e;
  const std::int32_t in[] = {0x10000000, 0x7FFFFFFF,  -0x10000000, INT32_MIN,
                             0x08000000, -0x08000000, 12345678,    -12345678};
  std::vector<int> out;
  for (auto s : in) out.push_back(Dither(s, e));
  EXPECT_EQ(out, (std::vector<int>{32767, 32767, -32767, -32768, 16384, -16383, 1506, -1506}));
  EXPECT_EQ(e.e0, -2049);
  EXPECT_EQ(e.e1, 679);
  EXPECT_EQ(e.e2, -2048);
}

TEST(Sonadec, DecodesMonoFramesOf2304Bytes) {
  const auto mp3 = Fixture("tone_mono.mp3");
  ASSERT_GT(mp3.size(), 3000u);
  const auto decoded = DecodeInPieces(mp3, mp3.size());
  // 21 frames of 156 or 157 bytes; the last lacks the bytes libmad wants to see after a frame.
  ASSERT_EQ(decoded.produced.size(), 20u);
  for (auto p : decoded.produced) EXPECT_EQ(p, 2304u);
  for (auto c : decoded.consumed) EXPECT_TRUE(c == 156 || c == 157) << c;
  const auto left = Channel(decoded.pcm, 1, 0);
  EXPECT_NEAR(Frequency(left), 440, 15);
  EXPECT_NEAR(Peak(left), 16384, 2000);
}

TEST(Sonadec, DecodesStereoInterleavedLeftThenRight) {
  const auto mp3 = Fixture("tone_stereo.mp3");
  const auto decoded = DecodeInPieces(mp3, mp3.size());
  ASSERT_GE(decoded.produced.size(), 20u);
  for (auto p : decoded.produced) EXPECT_EQ(p, 4608u);
  EXPECT_NEAR(Frequency(Channel(decoded.pcm, 2, 0)), 440, 15);
  EXPECT_NEAR(Frequency(Channel(decoded.pcm, 2, 1)), 880, 25);
}

TEST(Sonadec, PiecesOf1000BytesGiveTheSamePcmAsTheWholeStream) {
  for (const char* name : {"tone_mono.mp3", "tone_stereo.mp3"}) {
    SCOPED_TRACE(name);
    const auto mp3 = Fixture(name);
    const auto whole = DecodeInPieces(mp3, mp3.size());
    ASSERT_FALSE(whole.pcm.empty());
    for (std::size_t piece : {1000, 417, 1}) {
      SCOPED_TRACE(piece);
      const auto pieces = DecodeInPieces(mp3, piece);
      EXPECT_EQ(pieces.produced, whole.produced);
      EXPECT_TRUE(pieces.pcm == whole.pcm);
    }
  }
}

TEST(Sonadec, KeepsBytesThatDoNotYetMakeAFrame) {
  const auto mp3 = Fixture("tone_stereo.mp3");
  const auto whole = DecodeInPieces(mp3, mp3.size());
  Decoder d;
  Decoded decoded;
  // Less than one frame: refused for now, but kept.
  EXPECT_EQ(d.Call(mp3.data(), 100), -1);
  EXPECT_EQ(d.consumed, 0u);
  EXPECT_EQ(d.produced, 0u);
  // Input that does not fit beside the kept bytes is refused without disturbing them.
  const ByteVector huge(SONADEC_INPUT_AREA - 99, 0xAA);
  EXPECT_EQ(d.Call(huge.data(), huge.size()), -1);
  EXPECT_EQ(d.produced, 0u);
  // The rest of the stream continues where the kept bytes end.
  d.Feed(mp3.data() + 100, mp3.size() - 100, decoded);
  EXPECT_EQ(decoded.produced, whole.produced);
  EXPECT_TRUE(decoded.pcm == whole.pcm);
}

TEST(Sonadec, SkipsDamagedStretchesAndCarriesOn) {
  const auto clean = Fixture("tone_stereo.mp3");
  const auto whole = DecodeInPieces(clean, clean.size());
  // A 5000-byte tag of noise in front, the sync word of frame 10 wiped and frames 15 and 16 scrambled.
  ByteVector mp3(5000);
  std::uint32_t x = 1;
  for (auto& b : mp3) b = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 16) & 0x7F;
  mp3.insert(mp3.end(), clean.begin(), clean.end());
  std::vector<std::size_t> starts = {5000};
  for (auto c : whole.consumed) starts.push_back(starts.back() + c);
  ASSERT_EQ(mp3[starts[10]], 0xFF);
  mp3[starts[10]] = 0x00;
  for (std::size_t i = starts[15] + 6; i < starts[17]; ++i)
    mp3[i] = static_cast<std::uint8_t>(mp3[i] * 7 + 3);

  const auto decoded = DecodeInPieces(mp3, 1000);
  // The frames around the damage go (later ones may draw on the bit reservoir of lost ones); the rest decode.
  EXPECT_GE(decoded.produced.size(), whole.produced.size() - 9);
  EXPECT_LT(decoded.produced.size(), whole.produced.size());
  // Fed whole, the stream decodes to the same PCM: damage never stops a caller that has no more to give.
  const auto at_once = DecodeInPieces(mp3, mp3.size());
  EXPECT_EQ(at_once.produced, decoded.produced);
  EXPECT_TRUE(at_once.pcm == decoded.pcm);
  // Large pieces are never refused: the area does not fill up with what was skipped.
  Decoder d;
  Decoded big;
  for (std::size_t pos = 0; pos < mp3.size(); pos += 4000) {
    const std::size_t n = std::min<std::size_t>(4000, mp3.size() - pos);
    d.Feed(mp3.data() + pos, n, big);
  }
  EXPECT_TRUE(big.pcm == decoded.pcm);
}

TEST(Sonadec, RefusesCallsItCannotServe) {
  const auto mp3 = Fixture("tone_mono.mp3");
  std::uint8_t out[SONADEC_MAX_FRAME_BYTES];
  std::uint32_t consumed = 9, produced = 9;
  EXPECT_EQ(DecodeMp3Data(nullptr, mp3.data(), 1000, out, sizeof out, &consumed, &produced), -1);
  EXPECT_EQ(consumed, 0u);
  EXPECT_EQ(produced, 0u);
  // A cell without state, as when memory ran out for it.
  void* empty_cell[1] = {nullptr};
  consumed = produced = 9;
  EXPECT_EQ(DecodeMp3Data(empty_cell, mp3.data(), 1000, out, sizeof out, &consumed, &produced), -1);
  EXPECT_EQ(consumed + produced, 0u);

  Decoder d;
  EXPECT_EQ(DecodeMp3Data(d.handle, mp3.data(), 1000, out, SONADEC_MAX_FRAME_BYTES - 1, &consumed, &produced),
            -1);
  EXPECT_EQ(DecodeMp3Data(d.handle, mp3.data(), 1000, nullptr, sizeof out, &consumed, &produced), -1);
  EXPECT_EQ(DecodeMp3Data(d.handle, nullptr, 1000, out, sizeof out, &consumed, &produced), -1);
  // None of them took the input: the stream still decodes from its start.
  Decoded decoded;
  d.Feed(mp3.data(), mp3.size(), decoded);
  EXPECT_TRUE(decoded.pcm == DecodeInPieces(mp3, mp3.size()).pcm);
  DeleteMp3Decoder(nullptr);
}

TEST(Sonadec, ExportsTheThreeCallsByName) {
  void* lib = dlopen(KIV_BIN_DIR "/libSonadec.so", RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const char* name : {"CreateMp3Decoder", "DecodeMp3Data", "DeleteMp3Decoder"}) {
    EXPECT_NE(dlsym(lib, name), nullptr) << name;
  }
  dlclose(lib);
}

}  // namespace
}  // namespace kiv::sonadec
