// Two TRemote ends over a seeded lossy in-memory link: every message arrives once, whole and in
// order per channel, whatever the link drops, duplicates and reorders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "testing/memory_link.h"

namespace kiv {
namespace {

using testing::TLinkConditions;
using testing::TMemoryLink;

// A message's bytes follow from its channel and its number on that channel, so the receiver can
// check each one without keeping copies.
std::vector<std::uint8_t> Content(std::uint8_t channel, std::uint32_t index, std::size_t length) {
  std::vector<std::uint8_t> m(length);
  std::uint32_t x = channel * 2654435761u + index * 40503u + 1;
  for (auto& b : m) b = static_cast<std::uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  return m;
}

struct TExpect {
  std::map<std::uint8_t, std::vector<std::size_t>> sent;  // lengths in sending order
  std::map<std::uint8_t, std::size_t> next;               // next index expected per channel
  std::size_t delivered = 0;
  std::size_t bad = 0;

  void Check(std::uint8_t channel, std::span<const std::uint8_t> message) {
    const std::size_t index = next[channel]++;
    auto& lengths = sent[channel];
    if (index >= lengths.size() || message.size() != lengths[index] ||
        !std::ranges::equal(message, Content(channel, static_cast<std::uint32_t>(index), lengths[index]))) {
      ++bad;
      ADD_FAILURE() << "channel " << int{channel} << " message " << index << " length " << message.size();
    }
    ++delivered;
  }
};

// Sizes from 1 byte to 200 KiB, most of them small, as chat traffic is.
std::size_t DrawLength(std::mt19937_64& random) {
  const double p = std::uniform_real_distribution<double>(0, 1)(random);
  const std::size_t top = p < 0.70 ? 2048 : p < 0.95 ? 20 * 1024 : 200 * 1024;
  return std::uniform_int_distribution<std::size_t>(1, top)(random);
}

void Soak(TLinkConditions conditions, std::uint64_t seed, std::size_t messages,
          const std::vector<std::uint8_t>& channels, std::uint32_t first_sequence = kFirstSequence,
          bool early_resends = true) {
  TExpect expect;
  TMemoryLink link(conditions, seed, [&](int end, std::uint8_t channel, std::span<const std::uint8_t> m) {
    EXPECT_EQ(end, 1);
    expect.Check(channel, m);
  });
  link.End(0).EarlyResends = early_resends;
  link.End(1).EarlyResends = early_resends;
  for (std::uint8_t channel : channels) {
    link.End(0).OpenSendChannel(channel).Sequence = first_sequence;
    link.End(1).OpenRecvChannel(channel).Sequence = first_sequence - 1;
  }
  std::mt19937_64 random(seed ^ 0x5eed);
  std::size_t queued = 0;
  // Queue in bursts and let time run between them, so messages overlap in flight.
  while (queued < messages) {
    const std::size_t burst = std::min<std::size_t>(messages - queued, 40);
    for (std::size_t i = 0; i < burst; ++i, ++queued) {
      const std::uint8_t channel = channels[random() % channels.size()];
      std::size_t length = DrawLength(random);
      auto& lengths = expect.sent[channel];
      const auto message = Content(channel, static_cast<std::uint32_t>(lengths.size()), length);
      ASSERT_TRUE(link.Send(0, message, channel));
      lengths.push_back(length);
      // Keep-alives travel on channel 0 among the data; none may ever be handed on.
      if (channel == 0 && random() % 4 == 0) {
        const std::uint8_t keep_alive[4] = {1, 0, 0, 0};
        ASSERT_TRUE(link.Send(0, keep_alive, 0, kTypeKeepAlive));
      }
    }
    link.RunUntilIdle(200);
  }
  ASSERT_TRUE(link.RunUntilIdle(3'600'000)) << "link did not settle";
  EXPECT_EQ(expect.delivered, messages);
  EXPECT_EQ(expect.bad, 0u);
  for (std::uint8_t channel : channels) {
    EXPECT_EQ(expect.next[channel], expect.sent[channel].size()) << int{channel};
    EXPECT_EQ(link.End(0).GetSendChannelSize(channel), 0u);
    EXPECT_TRUE(link.End(1).GetRecvChannel(channel)->Held.empty());
  }
  EXPECT_EQ(link.End(1).HeldBytes(), 0u);
}

TEST(MemoryLink, LossyLinkDeliversEveryMessageOnceInOrder) {
  Soak({.loss = 0.10, .duplicate = 0.03, .delay_ms = 5, .jitter_ms = 40}, 42, 2500, {0, 1, 5, 21, 200});
}

TEST(MemoryLink, HeavyLossAcrossTheSequenceWrap) {
  // Every channel starts a little before 0xFFFFFFFF, so fragments after the wrap (101, 102, ...)
  // arrive ahead of and interleaved with those before it.
  Soak({.loss = 0.30, .duplicate = 0.05, .delay_ms = 1, .jitter_ms = 60}, 7, 400, {0, 3}, 0xFFFFFF00u);
}

TEST(MemoryLink, CleanLinkSendsEachFragmentOnce) {
  TExpect expect;
  TMemoryLink link({.delay_ms = 15}, 1, [&](int, std::uint8_t channel, std::span<const std::uint8_t> m) {
    expect.Check(channel, m);
  });
  for (std::uint32_t i = 0; i < 8; ++i) {
    expect.sent[9].push_back(100'000);
    ASSERT_TRUE(link.Send(0, Content(9, i, 100'000), 9));
  }
  ASSERT_TRUE(link.RunUntilIdle(1'000'000));
  EXPECT_EQ(expect.delivered, 8u);
  const TChannel& channel = *link.End(0).GetSendChannel(9);
  EXPECT_EQ(channel.RepeatedCount, 0u);
  EXPECT_EQ(channel.DoneCount, 8u * 98);
  // Each fragment once, each acknowledgement once.
  EXPECT_EQ(link.Transmitted(), 2u * 8 * 98);
  // Ping moved towards the 30 ms round trip, one step per acknowledgement.
  EXPECT_EQ(link.End(0).Ping, 30);
}

// The same soak with the early resends off: what they add must not change what arrives.
TEST(MemoryLink, LossyLinkWithoutEarlyResendsDeliversTheSame) {
  Soak({.loss = 0.10, .duplicate = 0.03, .delay_ms = 5, .jitter_ms = 40}, 42, 600, {0, 1, 5}, kFirstSequence,
       /*early_resends=*/false);
}

// A lone small message whose only datagram is lost arrives after about twice the round trip (the
// tail-loss probe), not after the time-out of 3 x (Ping + 50) ms; a lost fragment in a burst comes
// back once three later ones are acknowledged. Nothing arrives twice.
TEST(MemoryLink, LostFragmentsComeBackBeforeTheTimeOut) {
  std::vector<std::pair<std::int64_t, std::size_t>> arrivals;  // (time, length)
  TMemoryLink* link_ptr = nullptr;
  // Datagrams 0..19 are ten warm-up messages and their acknowledgements; 20 is the next message.
  TMemoryLink link({.delay_ms = 10}, 3, [&](int, std::uint8_t, std::span<const std::uint8_t> m) {
    arrivals.emplace_back(link_ptr->Now(), m.size());
  });
  link.Drop(20);
  link_ptr = &link;
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(link.Send(0, Content(1, 0, 10), 1));
    ASSERT_TRUE(link.RunUntilIdle(10'000));
  }
  ASSERT_EQ(link.Transmitted(), 20u);
  EXPECT_EQ(link.End(0).SmoothedRoundTrip(), 20);
  const std::int64_t sent = link.Now();
  ASSERT_TRUE(link.Send(0, Content(1, 0, 33), 1));
  ASSERT_TRUE(link.RunUntilIdle(10'000));
  ASSERT_EQ(arrivals.size(), 11u);
  EXPECT_EQ(arrivals.back(), std::make_pair(sent + 2 * 20 + 10, std::size_t{33}));
  EXPECT_LT(arrivals.back().first - sent, link.End(0).ResendTimeout());

  // Eight fragments; the first is lost, the seven after it are acknowledged.
  TMemoryLink burst({.delay_ms = 10}, 4, [&](int, std::uint8_t, std::span<const std::uint8_t> m) {
    arrivals.emplace_back(link_ptr->Now(), m.size());
  });
  burst.Drop(0);
  link_ptr = &burst;
  arrivals.clear();
  ASSERT_TRUE(burst.Send(0, Content(2, 0, 8 * 1024), 2));
  ASSERT_TRUE(burst.RunUntilIdle(10'000));
  ASSERT_EQ(arrivals.size(), 1u);
  // Sent at 0, the third later acknowledgement is back at 20, the resent fragment arrives at 30.
  EXPECT_EQ(arrivals[0], std::make_pair(std::int64_t{30}, std::size_t{8 * 1024}));
  EXPECT_EQ(burst.End(0).GetSendChannel(2)->RepeatedCount, 1u);
  EXPECT_EQ(burst.End(1).GetRecvChannel(2)->RepeatedCount, 0u);  // no copy arrived twice
}

// Ping-pong of small messages on a link that loses 5 % each way: a lost message or reply comes
// back after the probe's 10 ms floor rather than the 156 ms time-out, so the 99th percentile round
// trip stays near it; each message arrives once and in turn.
TEST(MemoryLink, PingPongUnderLossRecoversWithinTheProbeTime) {
  std::vector<std::int64_t> round_trips;
  TMemoryLink* link_ptr = nullptr;
  std::int64_t sent = 0;
  std::uint32_t replies = 0, requests = 0;
  TMemoryLink link({.loss = 0.05, .delay_ms = 1}, 9,
                   [&](int end, std::uint8_t, std::span<const std::uint8_t> m) {
                     const std::uint32_t index = static_cast<std::uint32_t>(m[0] | m[1] << 8);
                     if (end == 1) {
                       EXPECT_EQ(index, requests++);
                       link_ptr->Send(1, m, 2);
                       return;
                     }
                     EXPECT_EQ(index, replies++);
                     round_trips.push_back(link_ptr->Now() - sent);
                     if (replies == 3000) return;
                     sent = link_ptr->Now();
                     std::vector<std::uint8_t> next(100, 1);
                     next[0] = static_cast<std::uint8_t>(replies);
                     next[1] = static_cast<std::uint8_t>(replies >> 8);
                     link_ptr->Send(0, next, 2);
                   });
  link_ptr = &link;
  std::vector<std::uint8_t> first(100, 1);
  first[0] = first[1] = 0;
  ASSERT_TRUE(link.Send(0, first, 2));
  ASSERT_TRUE(link.RunUntilIdle(100'000'000));
  ASSERT_EQ(round_trips.size(), 3000u);
  std::sort(round_trips.begin(), round_trips.end());
  EXPECT_LE(round_trips[round_trips.size() * 99 / 100], 2 + 2 * kProbeFloorMs);
  EXPECT_GT(round_trips.back(), link.End(0).ResendTimeout() - 10);  // a lost probe waits for it
}

}  // namespace
}  // namespace kiv
