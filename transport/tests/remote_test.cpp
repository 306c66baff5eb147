// TRemote as a state machine: fragmentation, the send window and its deadlines, acknowledgements
// and Ping, and the receive path with its ordering rules and bounds.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "udp_remote.h"

namespace kiv {
namespace {

#include "golden.inc"

class TFixedRandom final : public TScrambleRandom {
 public:
  TFixedRandom(std::vector<std::uint32_t> values) : values_(std::move(values)) {}
  std::uint32_t Uniform(std::uint32_t) override { return values_.at(next_++ % values_.size()); }

 private:
  std::vector<std::uint32_t> values_;
  std::size_t next_ = 0;
};

struct TCapture final : TRemoteOutput {
  std::vector<std::vector<std::uint8_t>> sent;
  std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>> delivered;
  void Transmit(const TRemote&, std::span<const std::uint8_t> datagram) override {
    sent.emplace_back(datagram.begin(), datagram.end());
  }
  void Deliver(const TRemote&, std::uint8_t channel, std::span<const std::uint8_t> message) override {
    delivered.emplace_back(channel, std::vector<std::uint8_t>(message.begin(), message.end()));
  }
  TDatagramHeader SentHeader(std::size_t i) const { return *DecodeHeader(sent.at(i)); }
};

// An unscrambled reliable frame with `f` payload bytes of `fill`.
std::vector<std::uint8_t> Frame(std::uint8_t type, std::uint32_t sequence, std::uint16_t f, std::uint32_t t,
                                std::uint8_t channel, std::uint8_t fill = 0x5A) {
  std::vector<std::uint8_t> d(kHeaderSize + f, fill);
  TDatagramHeader h;
  h.type = type;
  h.sequence = sequence;
  h.fragment_length = f;
  h.total_length = t;
  h.channel = channel;
  EncodeHeader(h, d.data());
  return d;
}

std::vector<std::uint8_t> Message(std::size_t n, std::uint8_t seed = 1) {
  std::vector<std::uint8_t> m(n);
  for (std::size_t i = 0; i < n; ++i) m[i] = static_cast<std::uint8_t>(i * 3 + seed);
  return m;
}

class RemoteTest : public ::testing::Test {
 protected:
  RemoteTest() : remote("10.0.0.9", 4000, 0, &random) {
    remote.State = kStateWorking;
    remote.RemoteID = 0x1234;
  }
  TFixedRandom random{{4, 100}};
  TRemote remote;
  TCapture out;
};

TEST_F(RemoteTest, SplitsMessagesIntoNumberedFragments) {
  struct {
    std::size_t length;
    std::vector<std::uint32_t> pieces;
  } cases[] = {{1, {1}}, {1024, {1024}}, {1025, {1024, 1}}, {3000, {1024, 1024, 952}}};
  std::uint32_t sequence = 101;
  for (const auto& c : cases) {
    const auto message = Message(c.length);
    ASSERT_TRUE(remote.SendData(message, 7, kTypeData));
    const TChannel& channel = *remote.GetSendChannel(7);
    ASSERT_EQ(channel.Fragments.size(), c.pieces.size());
    std::size_t offset = 0;
    for (std::size_t i = 0; i < c.pieces.size(); ++i) {
      const TChannelData& f = channel.Fragments[i];
      EXPECT_EQ(f.Sequence, sequence++);
      EXPECT_EQ(f.FragmentLength, c.pieces[i]);
      EXPECT_EQ(f.TotalLength, c.length);
      EXPECT_EQ(f.SendCount, 0u);
      EXPECT_TRUE(
          std::equal(f.Data.begin(), f.Data.end(), message.begin() + static_cast<std::ptrdiff_t>(offset)));
      EXPECT_EQ(f.Data.size(), c.pieces[i]);
      offset += c.pieces[i];
    }
    EXPECT_EQ(remote.GetSendChannelSize(7), c.length);
    remote.ClearData(0);
    remote.State = kStateWorking;
    sequence = 101;
  }
  EXPECT_EQ(remote.Ping, kPingAfterReset);
}

TEST_F(RemoteTest, RefusesWhatItMustNotQueue) {
  EXPECT_FALSE(remote.SendData({}, 1, kTypeData));  // an empty message is never sent
  EXPECT_FALSE(remote.SendData(std::vector<std::uint8_t>(kMaxMessageSize + 1), 1, kTypeData));
  EXPECT_EQ(remote.SendChannels().size(), 0u);
  for (std::uint8_t state : {kStateHalfConnected, kStateDisconnected}) {
    remote.State = state;
    EXPECT_FALSE(remote.SendData(Message(5), 1, kTypeData));
    EXPECT_FALSE(remote.Disconnect());
  }
  remote.State = kStateTemporary;
  remote.EarlyResends = false;
  EXPECT_TRUE(remote.SendData(Message(5), 1, kTypeTemporaryData));
  EXPECT_EQ(remote.RunSendWindow(0, out), 0 + 3 * (100 + 50) + 1);
  EXPECT_FALSE(
      remote.SendDataNow(std::vector<std::uint8_t>(kMaxUnreliablePayload + 1), kTypeUnreliable, out));
}

TEST_F(RemoteTest, SendsGoldenFrames) {
  ASSERT_TRUE(remote.SendData(std::vector<std::uint8_t>{'h', 'e', 'l', 'l', 'o'}, 0, kTypeData));
  auto message = Message(1025);
  message[1024] = 0xAB;
  ASSERT_TRUE(remote.SendData(message, 3, kTypeData));
  EXPECT_EQ(remote.NextDeadline(), kDueNow);
  remote.RunSendWindow(1000, out);
  ASSERT_EQ(out.sent.size(), 3u);
  EXPECT_EQ(out.sent[0], kRemoteChannel0);  // channel 0: scrambled
  EXPECT_EQ(out.sent[2], kRemoteChannel3Second);
  EXPECT_EQ(out.SentHeader(1).fragment_length, 1024);
  EXPECT_EQ(out.SentHeader(1).total_length, 1025u);

  // The receiving side acknowledges with its own RemoteID for us.
  TRemote receiver("10.0.0.8", 4000, 0);
  receiver.State = kStateWorking;
  receiver.RemoteID = 0x1234;
  TCapture back;
  EXPECT_EQ(receiver.RecvChannelData(out.sent[2], back), TReceiveResult::kAccepted);
  ASSERT_EQ(back.sent.size(), 1u);
  EXPECT_EQ(back.sent[0], kAck);

  out.sent.clear();
  remote.Disconnect();
  const std::uint8_t probe[] = {1, 2, 3};
  ASSERT_TRUE(remote.SendDataNow(probe, kTypeUnreliable, out));
  remote.RunSendWindow(1000, out);
  ASSERT_EQ(out.sent.size(), 2u);
  const std::vector<std::uint8_t> unreliable = {0x26, 0xE1, 0, 0, 0, 0, 0x34, 0x12, 2, 0, 0, 0,
                                                0,    0,    0, 0, 0, 0, 0,    0,    1, 2, 3};
  EXPECT_EQ(out.sent[0], unreliable);
  std::vector<std::uint8_t> disconnect = out.sent[1];
  ASSERT_TRUE(DataRestore(disconnect.data(), disconnect.size()));
  const auto h = *DecodeHeader(disconnect);
  EXPECT_EQ(h.type, kTypeDisconnect);
  EXPECT_EQ(h.channel, 0);
  EXPECT_EQ(h.sequence, 102u);
  ASSERT_EQ(disconnect.size(), kHeaderSize + 1);
  EXPECT_EQ(disconnect[kHeaderSize], 0);
}

TEST_F(RemoteTest, WindowOfSixteenAndResendDeadline) {
  remote.EarlyResends = false;  // the time-out alone
  ASSERT_TRUE(remote.SendData(Message(20 * 1024), 1, kTypeData));
  EXPECT_EQ(remote.RunSendWindow(1000, out), 1000 + 450 + 1);
  EXPECT_EQ(out.sent.size(), 16u);
  EXPECT_EQ(out.SentHeader(15).sequence, 116u);
  out.sent.clear();
  EXPECT_EQ(remote.RunSendWindow(1450, out), 1451);  // not yet: more than 450 ms must pass
  EXPECT_TRUE(out.sent.empty());
  // Each resend adds 1 to Ping and so 3 ms to the time-out of the fragments not yet resent: fragments
  // sent together are resent 3 ms apart, and the deadline says when the next one is due.
  std::int64_t now = 1451;
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(remote.RunSendWindow(now, out), i < 15 ? now + 3 : 1451 + 3 * (116 + 50) + 1) << i;
    EXPECT_EQ(out.sent.size(), static_cast<std::size_t>(i + 1));
    now += 3;
  }
  EXPECT_EQ(out.SentHeader(15).sequence, 116u);
  const TChannel& channel = *remote.GetSendChannel(1);
  EXPECT_EQ(channel.RepeatedCount, 16u);
  EXPECT_EQ(remote.Ping, 116);  // one per resend

  // An acknowledgement frees a slot: the 17th fragment is due at once.
  out.sent.clear();
  ASSERT_TRUE(remote.FinishChannelData(101, 1, 1500));
  EXPECT_EQ(remote.NextDeadline(), kDueNow);
  remote.RunSendWindow(1501, out);
  ASSERT_EQ(out.sent.size(), 1u);
  EXPECT_EQ(out.SentHeader(0).sequence, 117u);
  EXPECT_EQ(channel.DoneCount, 1u);
  EXPECT_EQ(channel.DoneBytes, 1024u);
  EXPECT_EQ(remote.GetSendChannelSize(1), 19u * 1024);
}

// A fragment whose acknowledgement is overdue by twice the smoothed round trip is sent once more
// early; the time-out and Ping go on as if it had not been.
TEST_F(RemoteTest, TailLossProbeResendsOnceFromTheSmoothedRoundTrip) {
  EXPECT_EQ(remote.SmoothedRoundTrip(), -1);
  EXPECT_EQ(remote.ProbeTimeout(), 2 * 100);  // from Ping until a round trip is measured
  ASSERT_TRUE(remote.SendData(Message(10), 1, kTypeData));
  EXPECT_EQ(remote.RunSendWindow(0, out), 200);
  EXPECT_EQ(remote.RunSendWindow(199, out), 200);
  EXPECT_EQ(out.sent.size(), 1u);
  EXPECT_EQ(remote.RunSendWindow(200, out), 451);  // probed; next: the time-out of the first send
  EXPECT_EQ(out.sent.size(), 2u);
  EXPECT_EQ(out.sent[1], out.sent[0]);  // the same frame
  EXPECT_EQ(remote.Ping, 100);
  // The time-out's resend; the next probe comes 2 x Ping after it.
  EXPECT_EQ(remote.RunSendWindow(451, out), 451 + 2 * 101);
  EXPECT_EQ(out.sent.size(), 3u);
  EXPECT_EQ(remote.Ping, 101);
  EXPECT_EQ(remote.GetSendChannel(1)->RepeatedCount, 2u);
  // A resent fragment says nothing about the round trip.
  ASSERT_TRUE(remote.FinishChannelData(101, 1, 470));
  EXPECT_EQ(remote.SmoothedRoundTrip(), -1);

  // Fragments sent once do: 20 ms, then 7/8 of it plus 1/8 of each new one.
  ASSERT_TRUE(remote.SendData(Message(10), 1, kTypeData));
  remote.RunSendWindow(1000, out);
  ASSERT_TRUE(remote.FinishChannelData(102, 1, 1020));
  EXPECT_EQ(remote.SmoothedRoundTrip(), 20);
  EXPECT_EQ(remote.ProbeTimeout(), 40);
  ASSERT_TRUE(remote.SendData(Message(10), 1, kTypeData));
  remote.RunSendWindow(2000, out);
  ASSERT_TRUE(remote.FinishChannelData(103, 1, 2100));
  EXPECT_EQ(remote.SmoothedRoundTrip(), (160 + 100 - 20) / 8);
  remote.Ping = 1;
  EXPECT_EQ(remote.ProbeTimeout(), 2 * 30);
  // Never sooner than 10 ms.
  remote.ClearData(0);
  remote.Ping = 1;
  EXPECT_EQ(remote.ProbeTimeout(), 10);
}

// Three later fragments acknowledged: the one still missing is resent at once, and only once.
TEST_F(RemoteTest, FastRetransmitAfterThreeLaterAcknowledgements) {
  ASSERT_TRUE(remote.SendData(Message(5 * 1024), 1, kTypeData));
  remote.RunSendWindow(0, out);
  ASSERT_EQ(out.sent.size(), 5u);
  ASSERT_TRUE(remote.FinishChannelData(102, 1, 5));
  ASSERT_TRUE(remote.FinishChannelData(103, 1, 5));
  EXPECT_NE(remote.NextDeadline(), kDueNow);
  ASSERT_TRUE(remote.FinishChannelData(104, 1, 6));
  EXPECT_EQ(remote.NextDeadline(), kDueNow);
  remote.RunSendWindow(6, out);
  ASSERT_EQ(out.sent.size(), 6u);
  EXPECT_EQ(out.SentHeader(5).sequence, 101u);
  ASSERT_TRUE(remote.FinishChannelData(105, 1, 7));
  remote.RunSendWindow(7, out);
  EXPECT_EQ(out.sent.size(), 6u);
  EXPECT_EQ(remote.Ping, 100 - 4);  // moved by the four acknowledgements alone
  ASSERT_TRUE(remote.FinishChannelData(101, 1, 12));
  EXPECT_EQ(remote.NextDeadline(), kNoDeadline);
}

TEST_F(RemoteTest, ResendTimeoutFollowsPing) {
  remote.Ping = 1000;
  EXPECT_EQ(remote.ResendTimeout(), 3150);
  remote.Ping = 1;
  EXPECT_EQ(remote.ResendTimeout(), 153);
}

TEST_F(RemoteTest, AcknowledgementMovesPingOneStepAndClamps) {
  struct {
    std::int64_t ping, round_trip, expected;
  } cases[] = {{100, 30, 99},      {100, 300, 101}, {100, 100, 100},
               {1000, 5000, 1000}, {1, 0, 1},       {1005, 0, 1000}};
  for (const auto& c : cases) {
    remote.ClearData(0);
    remote.Ping = c.ping;
    ASSERT_TRUE(remote.SendData(Message(10), 2, kTypeData));
    remote.RunSendWindow(10, out);
    ASSERT_TRUE(remote.FinishChannelData(101, 2, 10 + c.round_trip));
    EXPECT_EQ(remote.Ping, c.expected) << c.ping << " " << c.round_trip;
  }
}

TEST_F(RemoteTest, IgnoresAcknowledgementsItCannotMatch) {
  ASSERT_TRUE(remote.SendData(Message(20 * 1024), 1, kTypeData));
  EXPECT_FALSE(remote.FinishChannelData(101, 1, 0));  // not sent yet
  remote.RunSendWindow(0, out);
  EXPECT_FALSE(remote.FinishChannelData(117, 1, 0));  // beyond the window, never sent
  EXPECT_FALSE(remote.FinishChannelData(101, 9, 0));  // no such channel
  EXPECT_FALSE(remote.FinishChannelData(99, 1, 0));
  remote.State = kStateHalfConnected;
  EXPECT_FALSE(remote.FinishChannelData(101, 1, 0));
  remote.State = kStateWorking;
  EXPECT_TRUE(remote.FinishChannelData(101, 1, 0));
  EXPECT_FALSE(remote.FinishChannelData(101, 1, 0));  // already done
}

TEST_F(RemoteTest, DuplicatesAreAcknowledgedCountedAndHandedOnOnce) {
  const auto frame = Frame(kTypeData, 101, 10, 10, 4);
  EXPECT_EQ(remote.RecvChannelData(frame, out), TReceiveResult::kAccepted);
  EXPECT_EQ(remote.RecvChannelData(frame, out), TReceiveResult::kDuplicate);
  EXPECT_EQ(out.delivered.size(), 1u);
  EXPECT_EQ(out.sent.size(), 2u);
  // A held fragment that arrives again is a duplicate too.
  const auto ahead = Frame(kTypeData, 103, 10, 10, 4);
  EXPECT_EQ(remote.RecvChannelData(ahead, out), TReceiveResult::kAccepted);
  EXPECT_EQ(remote.RecvChannelData(ahead, out), TReceiveResult::kDuplicate);
  EXPECT_EQ(out.sent.size(), 4u);
  for (std::size_t i = 0; i < out.sent.size(); ++i) EXPECT_EQ(out.SentHeader(i).type, kTypeAck);
  const TChannel& channel = *remote.GetRecvChannel(4);
  EXPECT_EQ(channel.RepeatedCount, 2u);
  EXPECT_EQ(channel.DoneCount, 1u);
  EXPECT_EQ(channel.Sequence, 101u);
}

TEST_F(RemoteTest, ReversedFragmentsMakeOneMessageAfterTheLast) {
  for (std::uint32_t s : {103u, 102u}) {
    EXPECT_EQ(remote.RecvChannelData(Frame(kTypeData, s, 1024, 2100, 1, static_cast<std::uint8_t>(s)), out),
              TReceiveResult::kAccepted);
  }
  EXPECT_TRUE(out.delivered.empty());
  EXPECT_EQ(remote.HeldBytes(), 2048u);
  remote.RecvChannelData(Frame(kTypeData, 101, 52, 2100, 1, 101), out);
  ASSERT_EQ(out.delivered.size(), 1u);
  const auto& message = out.delivered[0].second;
  ASSERT_EQ(message.size(), 2100u);
  EXPECT_EQ(message[0], 101);
  EXPECT_EQ(message[52], 102);
  EXPECT_EQ(message[2099], 103);
  EXPECT_EQ(remote.HeldBytes(), 0u);
  EXPECT_EQ(remote.GetRecvChannel(1)->Sequence, 103u);
  EXPECT_EQ(remote.GetRecvChannel(1)->DoneCount, 3u);
}

TEST_F(RemoteTest, KeepAliveBehindALostFragmentIsNeverHandedOn) {
  // 101 (data) is lost; 102 is a keep-alive on channel 0; 103 is data.
  remote.RecvChannelData(Frame(kTypeKeepAlive, 102, 4, 4, 0, 0x77), out);
  remote.RecvChannelData(Frame(kTypeData, 103, 3, 3, 0, 3), out);
  EXPECT_TRUE(out.delivered.empty());
  remote.RecvChannelData(Frame(kTypeData, 101, 5, 5, 0, 1), out);
  ASSERT_EQ(out.delivered.size(), 2u);
  EXPECT_EQ(out.delivered[0].second, std::vector<std::uint8_t>(5, 1));
  EXPECT_EQ(out.delivered[1].second, std::vector<std::uint8_t>(3, 3));
  EXPECT_EQ(remote.GetRecvChannel(0)->Sequence, 103u);
  // In order, a keep-alive is consumed silently too.
  remote.RecvChannelData(Frame(kTypeKeepAlive, 104, 4, 4, 0), out);
  EXPECT_EQ(out.delivered.size(), 2u);
  EXPECT_EQ(remote.GetRecvChannel(0)->Sequence, 104u);
}

TEST_F(RemoteTest, ChannelFiveIsNotBlockedByAGapOnChannelZero) {
  remote.RecvChannelData(Frame(kTypeData, 102, 8, 8, 0), out);  // 101 on channel 0 missing
  for (std::uint32_t s = 101; s < 105; ++s) remote.RecvChannelData(Frame(kTypeData, s, 8, 8, 5), out);
  ASSERT_EQ(out.delivered.size(), 4u);
  for (const auto& [channel, message] : out.delivered) EXPECT_EQ(channel, 5);
}

TEST_F(RemoteTest, SequenceWrapsFromMaxTo101) {
  // Sending: the fragments after 0xFFFFFFFF are numbered from 101.
  remote.OpenSendChannel(2).Sequence = 0xFFFFFFFE;
  ASSERT_TRUE(remote.SendData(Message(3000), 2, kTypeData));
  const TChannel& send = *remote.GetSendChannel(2);
  EXPECT_EQ(send.Fragments[0].Sequence, 0xFFFFFFFEu);
  EXPECT_EQ(send.Fragments[1].Sequence, 0xFFFFFFFFu);
  EXPECT_EQ(send.Fragments[2].Sequence, 101u);
  EXPECT_EQ(send.Sequence, 102u);

  // Receiving: 101 arriving before 0xFFFFFFFF is held as the fragment after it, not taken for an
  // old one; handing on 0xFFFFFFFF leaves the channel expecting 101.
  remote.OpenRecvChannel(2).Sequence = 0xFFFFFFFD;
  EXPECT_EQ(remote.RecvChannelData(Frame(kTypeData, 101, 1, 1, 2, 3), out), TReceiveResult::kAccepted);
  EXPECT_EQ(remote.RecvChannelData(Frame(kTypeData, 0xFFFFFFFF, 1, 1, 2, 2), out), TReceiveResult::kAccepted);
  EXPECT_TRUE(out.delivered.empty());
  EXPECT_EQ(remote.RecvChannelData(Frame(kTypeData, 0xFFFFFFFE, 1, 1, 2, 1), out), TReceiveResult::kAccepted);
  ASSERT_EQ(out.delivered.size(), 3u);
  EXPECT_EQ(out.delivered[0].second[0], 1);
  EXPECT_EQ(out.delivered[1].second[0], 2);
  EXPECT_EQ(out.delivered[2].second[0], 3);
  EXPECT_EQ(remote.GetRecvChannel(2)->Sequence, 101u);
  // A message whose fragments straddle the wrap.
  remote.OpenRecvChannel(6).Sequence = 0xFFFFFFFE;
  remote.RecvChannelData(Frame(kTypeData, 101, 10, 1034, 6), out);
  remote.RecvChannelData(Frame(kTypeData, 0xFFFFFFFF, 1024, 1034, 6), out);
  ASSERT_EQ(out.delivered.size(), 4u);
  EXPECT_EQ(out.delivered[3].second.size(), 1034u);
  // Old numbers from before the wrap are duplicates.
  EXPECT_EQ(remote.RecvChannelData(Frame(kTypeData, 0xFFFFFFF0, 1, 1, 2), out), TReceiveResult::kDuplicate);
  EXPECT_EQ(remote.RecvChannelData(Frame(kTypeData, 50, 1, 1, 2), out), TReceiveResult::kDuplicate);
}

TEST_F(RemoteTest, DropsMalformedFramesWithoutAcknowledging) {
  auto shorter = Frame(kTypeData, 101, 10, 10, 1);
  shorter.pop_back();
  auto longer = Frame(kTypeData, 101, 10, 10, 1);
  longer.push_back(0);
  const auto empty = Frame(kTypeData, 101, 0, 0, 1);
  const std::vector<std::uint8_t> cases[] = {
      shorter,
      longer,
      Frame(kTypeData, 101, 0, 0, 1),                     // empty fragment
      Frame(kTypeData, 101, 0, 10, 1),                    // empty piece of a message
      Frame(kTypeData, 101, 10, 9, 1),                    // longer than its message
      Frame(kTypeData, 101, 1025, 5000, 1),               // over 1024 bytes
      Frame(kTypeData, 101 + kMaxHeldAhead, 10, 100, 1),  // too far ahead
      Frame(kTypeUnreliable, 101, 10, 10, 1),             // not a reliable type
      Frame(kTypeAck, 101, 0, 0, 1),
      std::vector<std::uint8_t>(empty.begin(), empty.end() - 1),  // shorter than the header
  };
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(remote.RecvChannelData(cases[i], out), TReceiveResult::kDropped) << i;
  EXPECT_TRUE(out.sent.empty());
  EXPECT_TRUE(out.delivered.empty());
  EXPECT_EQ(remote.RecvChannels().size(), 0u);
  // A message larger than any sender of ours makes, or fragments that overshoot their message's
  // length, can never complete: not dropped (the sender would resend them for ever) but reported,
  // so that the association ends.
  EXPECT_EQ(remote.RecvChannelData(Frame(kTypeData, 101, 10, kMaxMessageSize + 1, 1), out),
            TReceiveResult::kViolation);
  EXPECT_TRUE(out.sent.empty());
  {
    TRemote other("10.0.0.7", 4000, 0);
    other.State = kStateWorking;
    EXPECT_EQ(other.RecvChannelData(Frame(kTypeData, 101, 600, 1000, 2), out), TReceiveResult::kAccepted);
    EXPECT_EQ(other.RecvChannelData(Frame(kTypeData, 102, 600, 1000, 2), out), TReceiveResult::kViolation);
    EXPECT_TRUE(out.delivered.empty());
  }
  out.sent.clear();
  // The farthest fragment still held.
  EXPECT_EQ(remote.RecvChannelData(Frame(kTypeData, 100 + kMaxHeldAhead, 10, 100, 1), out),
            TReceiveResult::kAccepted);
}

TEST_F(RemoteTest, HeldBytesOfAPeerAreBounded) {
  // A peer that sends far ahead on several channels and never fills the gaps.
  std::size_t dropped = 0;
  for (std::uint8_t channel = 1; channel <= 3; ++channel) {
    for (std::uint32_t s = 102; s < 101 + kMaxHeldAhead; ++s) {
      const auto frame = Frame(kTypeData, s, 1024, kMaxMessageSize, channel);
      if (remote.RecvChannelData(frame, out) == TReceiveResult::kDropped) ++dropped;
    }
  }
  EXPECT_LE(remote.HeldCost(), kMaxHeldCostPerPeer);
  EXPECT_GT(remote.HeldCost(), kHeldBudgetPerPeer - 1024 - kHeldFragmentOverhead);
  EXPECT_GT(dropped, kMaxHeldAhead);
  EXPECT_EQ(out.sent.size() + dropped, 3 * (kMaxHeldAhead - 1));
  // A whole message that is next in order still gets through.
  out.sent.clear();
  EXPECT_EQ(remote.RecvChannelData(Frame(kTypeData, 101, 5, 5, 9), out), TReceiveResult::kAccepted);
  EXPECT_EQ(out.delivered.size(), 1u);
  // A reset frees them all.
  remote.ClearData(0);
  EXPECT_EQ(remote.HeldBytes(), 0u);
}

TEST_F(RemoteTest, LargeMessagesOnTwoChannelsBothCompleteWhenTheBudgetIsSpent) {
  // The sender is far ahead on channels 2 and 1 while fragment 101 of each is lost; together they
  // need more than the budget. Channel 2, holding the most, may still grow and completes; then
  // channel 1's resent fragments fit and it completes too.
  const std::uint32_t count = kMaxMessageFragments;
  auto feed = [&](std::uint8_t channel, std::uint32_t from, std::uint32_t to) {
    std::size_t dropped = 0;
    for (std::uint32_t i = from; i < to; ++i) {
      const auto frame = Frame(kTypeData, 101 + i, 1024, kMaxMessageSize, channel, channel);
      if (remote.RecvChannelData(frame, out) == TReceiveResult::kDropped) ++dropped;
      EXPECT_LE(remote.HeldCost(), kMaxHeldCostPerPeer);
    }
    return dropped;
  };
  EXPECT_EQ(feed(2, 1, 9000), 0u);
  const std::size_t dropped = feed(1, 1, count);
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(feed(2, 9000, count), 0u);  // beyond the budget, but channel 2 holds the most
  EXPECT_EQ(feed(2, 0, 1), 0u);
  ASSERT_EQ(out.delivered.size(), 1u);
  EXPECT_EQ(out.delivered[0].first, 2);
  EXPECT_EQ(out.delivered[0].second.size(), kMaxMessageSize);
  // The sender resends what was not acknowledged.
  EXPECT_EQ(feed(1, count - static_cast<std::uint32_t>(dropped), count), 0u);
  EXPECT_EQ(feed(1, 0, 1), 0u);
  ASSERT_EQ(out.delivered.size(), 2u);
  EXPECT_EQ(out.delivered[1].first, 1);
  EXPECT_EQ(out.delivered[1].second.size(), kMaxMessageSize);
  EXPECT_EQ(remote.HeldCost(), 0u);
}

TEST_F(RemoteTest, TinyHeldFragmentsAreChargedTheirOverhead) {
  for (std::uint32_t s = 102; s < 112; ++s) remote.RecvChannelData(Frame(kTypeData, s, 1, 50, 2), out);
  EXPECT_EQ(remote.HeldBytes(), 10u);
  EXPECT_EQ(remote.HeldCost(), 10 * (1 + kHeldFragmentOverhead));
}

TEST_F(RemoteTest, AMessageOfTheLargestSizeIsReassembled) {
  // Fragments arrive last to first, so all of them are held before the message completes.
  const std::uint32_t count = kMaxMessageFragments;
  for (std::uint32_t i = count; i-- > 0;)
    ASSERT_EQ(remote.RecvChannelData(
                  Frame(kTypeData, 101 + i, 1024, kMaxMessageSize, 3, static_cast<std::uint8_t>(i)), out),
              TReceiveResult::kAccepted);
  ASSERT_EQ(out.delivered.size(), 1u);
  EXPECT_EQ(out.delivered[0].second.size(), kMaxMessageSize);
  EXPECT_EQ(out.delivered[0].second[kMaxMessageSize - 1], static_cast<std::uint8_t>(count - 1));
  EXPECT_EQ(remote.HeldBytes(), 0u);
}

}  // namespace
}  // namespace kiv
