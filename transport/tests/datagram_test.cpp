// Datagram header, scrambling and checksum, relay head, receive-path entry.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "base/wire.h"
#include "udp_datagram.h"
#include "udp_declare.h"

namespace kiv {
namespace {

#include "golden.inc"

// Returns the queued values in turn: first r, then k.
class TFixedRandom final : public TScrambleRandom {
 public:
  TFixedRandom(std::vector<std::uint32_t> values) : values_(std::move(values)) {}
  std::uint32_t Uniform(std::uint32_t bound) override {
    const std::uint32_t v = values_.at(next_++ % values_.size());
    EXPECT_LT(v, bound);
    return v;
  }

 private:
  std::vector<std::uint32_t> values_;
  std::size_t next_ = 0;
};

std::vector<std::uint8_t> Unscrambled(std::vector<std::uint8_t> d) {
  d[0] = 0x26, d[1] = 0xE1, d[2] = d[3] = d[4] = d[5] = 0;
  return d;
}

TEST(DatagramHeader, EncodesAndDecodesEveryField) {
  TDatagramHeader h;
  h.remote_id = 0x0102;
  h.type = kTypeData;
  h.sequence = 101;
  h.fragment_length = 10;
  h.total_length = 10;
  h.channel = 0;
  std::uint8_t bytes[kHeaderSize];
  EncodeHeader(h, bytes);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + kHeaderSize),
            std::vector<std::uint8_t>(kPlainFrame.begin(), kPlainFrame.begin() + kHeaderSize));
  EXPECT_EQ(DecodeHeader(kPlainFrame), h);
  EXPECT_FALSE(DecodeHeader(std::span(kPlainFrame).first(19)));
}

struct TGoldenCase {
  const char* name;
  const std::vector<std::uint8_t>* scrambled;
  std::uint32_t r, k;
};

TEST(Scrambling, MatchesGoldenDatagramsAndRestoresThem) {
  // The plain content of each case is the golden datagram restored; the golden frame pins it.
  const TGoldenCase cases[] = {{"10-byte fragment, L 16", &kScrambledFrame, 13, 200},
                               {"header only, L 20 > n - 6", &kScrambledHeaderOnly, 19, 1},
                               {"L wraps from 256 to 4", &kScrambledBlock4, 252, 253},
                               {"1044-byte fragment, L 252", &kScrambledFull, 249, 7}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> restored = *c.scrambled;
    ASSERT_TRUE(DataRestore(restored.data(), restored.size()));
    std::vector<std::uint8_t> again = Unscrambled(restored);
    TFixedRandom random({c.r, c.k});
    DataRecast(again.data(), again.size(), random);
    EXPECT_EQ(again, *c.scrambled);
  }
  std::vector<std::uint8_t> frame = kPlainFrame;
  TFixedRandom random({13, 200});
  DataRecast(frame.data(), frame.size(), random);
  EXPECT_EQ(frame, kScrambledFrame);
}

TEST(Scrambling, HeaderOnlyDatagramChecksumsAndScramblesBytes6To19) {
  std::vector<std::uint8_t> d = kScrambledHeaderOnly;
  ASSERT_TRUE(DataRestore(d.data(), d.size()));
  unsigned sum = 366;
  for (std::size_t i = 6; i < 20; ++i) sum += d[i];
  EXPECT_EQ(LoadU16(&kScrambledHeaderOnly[4]), sum & 0xFFFF);
  // L = 20 exceeds n - 6 = 14: no byte moves, each only gets the key (k = 1) added.
  for (std::size_t i = 6; i < 20; ++i)
    EXPECT_EQ(kScrambledHeaderOnly[i], static_cast<std::uint8_t>(d[i] + 1));
}

TEST(Scrambling, RestoresEveryLengthFrom6To4195) {
  std::mt19937 gen(7);
  std::vector<std::uint8_t> original(kMaxDatagram), work;
  for (auto& b : original) b = static_cast<std::uint8_t>(gen());
  for (std::size_t n = 6; n <= kMaxDatagram; ++n) {
    work.assign(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(n));
    DataRecast(work.data(), work.size());
    ASSERT_NE(work[2] | work[3] | work[4], 0) << n;
    ASSERT_TRUE(DataRestore(work.data(), work.size())) << n;
    ASSERT_TRUE(std::equal(work.begin() + 6, work.end(), original.begin() + 6)) << n;
  }
}

TEST(Scrambling, EveryBlockLengthAndKeyRestores) {
  std::vector<std::uint8_t> original(700);
  for (std::size_t i = 0; i < original.size(); ++i) original[i] = static_cast<std::uint8_t>(i * 13 + 5);
  for (std::uint32_t r = 0; r < 256; r += 4) {
    for (std::uint32_t k = 0; k < 254; k += 11) {
      auto work = original;
      TFixedRandom random({r, k});
      DataRecast(work.data(), work.size(), random);
      ASSERT_TRUE(DataRestore(work.data(), work.size())) << r << " " << k;
      ASSERT_TRUE(std::equal(work.begin() + 6, work.end(), original.begin() + 6)) << r << " " << k;
    }
  }
}

// The rule one byte at a time, as written: add (or subtract) the key to byte i, then, when (i - 5)
// is a multiple of L, exchange positions (i - L + 1 + m) and (i - m) for m = 0 .. L / 2.
void ReferenceRule(std::vector<std::uint8_t>& d, std::size_t block, std::uint8_t key, bool restore) {
  for (std::size_t i = 6; i < d.size(); ++i) {
    d[i] = static_cast<std::uint8_t>(restore ? d[i] - key : d[i] + key);
    if ((i - 5) % block == 0)
      for (std::size_t m = 0; m <= block / 2; ++m) std::swap(d[i - block + 1 + m], d[i - m]);
  }
}

TEST(Scrambling, MatchesTheByteByByteRuleForEveryBlockLength) {
  std::vector<std::uint8_t> original(1044);
  for (std::size_t i = 0; i < original.size(); ++i) original[i] = static_cast<std::uint8_t>(i * 29 + i / 7);
  for (std::uint32_t r = 0; r < 256; ++r) {
    auto ours = original, reference = original;
    TFixedRandom random({r, 77});
    DataRecast(ours.data(), ours.size(), random);
    const std::size_t block = ((r & ~3u) + 4) % 256 == 0 ? 4 : ((r & ~3u) + 4) % 256;
    ReferenceRule(reference, block, 77, false);
    ASSERT_TRUE(std::equal(ours.begin() + 6, ours.end(), reference.begin() + 6)) << r;
  }
  // Restoring with any block length a sender could forge, odd ones included.
  for (std::size_t block = 1; block < 256; ++block) {
    auto ours = original, reference = original;
    ours[2] = static_cast<std::uint8_t>(block + 9 - 220);  // key byte 3 = 9, so k = 74
    ours[3] = 9;
    ours[4] = 1;
    ours[0] = 0x26, ours[1] = 0xE1;
    DataRestore(ours.data(), ours.size());
    ReferenceRule(reference, block, 74, true);
    ASSERT_TRUE(std::equal(ours.begin() + 6, ours.end(), reference.begin() + 6)) << block;
  }
}

TEST(Scrambling, KeyThatWouldReadAsUnscrambledIsReplaced) {
  // r 216 gives L 220 and k 65 gives key bytes 0, 0; make the checksum's low byte 0 as well.
  std::vector<std::uint8_t> d(300, 0);
  d[6] = 0x92;  // 366 + 0x92 = 0x200
  TFixedRandom random({216, 65});
  DataRecast(d.data(), d.size(), random);
  EXPECT_EQ(d[4], 0);
  EXPECT_NE(d[2] | d[3], 0);
  EXPECT_TRUE(DataRestore(d.data(), d.size()));
  EXPECT_EQ(d[6], 0x92);
}

TEST(Scrambling, ChangedByteFailsUnlessTheSumIsKept) {
  std::vector<std::uint8_t> original = kScrambledFull;
  for (std::size_t i = 6; i < original.size(); i += 37) {
    auto d = original;
    d[i] ^= 0x10;
    EXPECT_FALSE(DataRestore(d.data(), d.size())) << i;
  }
  // Restoring is linear in the scrambled bytes: +1 on one byte and -1 on another keeps the sum.
  auto d = original;
  std::size_t up = 100, down = 500;
  while (d[up] == 0xFF) ++up;
  while (d[down] == 0) ++down;
  ++d[up];
  --d[down];
  EXPECT_TRUE(DataRestore(d.data(), d.size()));
}

TEST(Scrambling, RejectsWrongMagicZeroBlockAndShortDatagrams) {
  auto d = kScrambledFrame;
  d[1] = 0xE2;
  EXPECT_FALSE(DataRestore(d.data(), d.size()));
  // Key bytes giving L = (b2 - b3 + 220) mod 256 = 0.
  d = kScrambledFrame;
  d[2] = 36;
  d[3] = 0;
  EXPECT_FALSE(DataRestore(d.data(), d.size()));
  for (std::size_t n = 0; n < 6; ++n) EXPECT_FALSE(DataRestore(d.data(), n)) << n;
}

TEST(Scrambling, UnscrambledDatagramIsAcceptedAsItIs) {
  std::mt19937 gen(3);
  for (std::size_t n : {6u, 7u, 20u, 21u, 1044u, 4195u}) {
    std::vector<std::uint8_t> d(n);
    for (auto& b : d) b = static_cast<std::uint8_t>(gen());
    d[0] = 0x26, d[1] = 0xE1, d[2] = d[3] = d[4] = 0;
    auto copy = d;
    EXPECT_TRUE(DataRestore(d.data(), d.size())) << n;
    EXPECT_EQ(d, copy) << n;
  }
}

TEST(RelayHead, MakesAndReadsTheSocks5Head) {
  std::uint8_t buffer[64] = {1, 2, 3, 4, 5};
  ASSERT_TRUE(MakeProxyHead(buffer, 5, sizeof buffer, "192.168.1.20", 0x2331));
  const std::uint8_t head[] = {0, 0, 0, 1, 192, 168, 1, 20, 0x23, 0x31, 1, 2, 3, 4, 5};
  EXPECT_TRUE(std::equal(std::begin(head), std::end(head), buffer));

  std::size_t length = 15;
  std::string address;
  std::uint16_t port = 0;
  ASSERT_TRUE(GetProxyInfo(buffer, length, address, 255, port));
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(address, "192.168.1.20");
  EXPECT_EQ(port, 0x2331);
  EXPECT_EQ(buffer[0], 1);
  EXPECT_EQ(buffer[4], 5);

  // Cut to the maximum length.
  ASSERT_TRUE(MakeProxyHead(buffer, 5, sizeof buffer, "10.0.0.1", 1));
  length = 15;
  ASSERT_TRUE(GetProxyInfo(buffer, length, address, 4, port));
  EXPECT_EQ(address, "10.0");
}

TEST(RelayHead, RefusesWhatItCannotDo) {
  std::uint8_t buffer[20] = {};
  EXPECT_FALSE(MakeProxyHead(buffer, 11, sizeof buffer, "1.2.3.4", 1));  // no room
  EXPECT_FALSE(MakeProxyHead(buffer, 5, sizeof buffer, "example", 1));   // not IPv4 text
  std::string address;
  std::uint16_t port = 0;
  std::size_t length = 9;
  EXPECT_FALSE(GetProxyInfo(buffer, length, address, 255, port));  // shorter than the head
  buffer[3] = 3;                                                   // domain name
  length = 20;
  EXPECT_FALSE(GetProxyInfo(buffer, length, address, 255, port));
  EXPECT_EQ(length, 20u);
}

TEST(OpenReceived, DropsOversizeAndStripsTheRelayHead) {
  std::vector<std::uint8_t> d(kReceiveBufferSize + kProxyHeadSize, 0);
  d[0] = 0x26, d[1] = 0xE1;
  std::string address = "127.0.0.1";
  std::uint16_t port = 9;
  std::size_t length = 4196;
  EXPECT_FALSE(OpenReceived(d.data(), length, false, address, port));
  length = 4195;
  EXPECT_TRUE(OpenReceived(d.data(), length, false, address, port));
  EXPECT_EQ(length, 4195u);
  EXPECT_EQ(address, "127.0.0.1");

  // Through the relay: the source is the one in the head, the datagram the rest.
  std::vector<std::uint8_t> relayed = kScrambledFrame;
  relayed.resize(relayed.size() + kProxyHeadSize);
  ASSERT_TRUE(MakeProxyHead(relayed.data(), kScrambledFrame.size(), relayed.size(), "172.16.5.6", 4321));
  length = relayed.size();
  ASSERT_TRUE(OpenReceived(relayed.data(), length, true, address, port));
  EXPECT_EQ(address, "172.16.5.6");
  EXPECT_EQ(port, 4321);
  ASSERT_EQ(length, kPlainFrame.size());
  EXPECT_TRUE(std::equal(relayed.begin() + 6, relayed.begin() + static_cast<std::ptrdiff_t>(length),
                         kPlainFrame.begin() + 6));
}

TEST(Sequence, WrapsFromMaxTo101) {
  EXPECT_EQ(MYDWORD(0xFFFFFFFFu), 100u);
  EXPECT_EQ(MYDWORD(0xFFFFFFFEu), 0xFFFFFFFEu);
  EXPECT_EQ(MYDWORD(0), 0u);
  EXPECT_EQ(NextSequence(0xFFFFFFFFu), 101u);
  EXPECT_EQ(NextSequence(100), 101u);
  EXPECT_EQ(SequenceDistance(0xFFFFFFFFu, 101), 1u);
  EXPECT_EQ(SequenceDistance(0xFFFFFFF0u, 105), 20u);
  EXPECT_EQ(SequenceDistance(105, 0xFFFFFFF0u), kSequenceSpace - 20);
  EXPECT_EQ(Min(-3, 2), -3);
  EXPECT_EQ(Max(-3, 2), 2);
}

}  // namespace
}  // namespace kiv
