// Soak: two engines on loopback joined through an impairing relay (10 % loss, 2 % reordering, 1 %
// duplicates each way, the round trip stepping from 20 to 300 ms while traffic flows). 100 000
// messages of random sizes on 8 channels must each arrive once, whole and in order on their channel,
// while what the engines hold (reassembly, send queues, the dispatch queue) stays within a bound.
//
// Sizes: 99.5 % of the messages are 5..200 bytes (one fragment), 0.4 % 1..8 KiB and 0.1 % 16..48
// KiB (up to 48 fragments, so reassembly across losses and reordering is exercised): about 105 000
// fragments and 17 MB in all. The run is bound by the window rules, not by the CPU: a channel keeps
// at most 16 fragments unacknowledged, and a lost one holds its slot for a resend time-out of
// 3 x (ping + 50) ms, so at 20 ms a channel moves about 250 fragments a second and at 300 ms about
// 30. The step therefore comes once 97 % of the messages are in, and the last 3 000 cross the slow
// path; carrying half of them at 300 ms would take minutes by itself.
//
// Memory: the engine's held bytes, the send queue and the dispatch queue are sampled throughout
// and bounded. Resident memory is bounded too, except under AddressSanitizer, whose quarantine keeps
// freed memory resident by design.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/wire.h"
#include "netsim.h"
#include "udp_kivudp.h"

#if defined(__SANITIZE_ADDRESS__)
#define KIV_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KIV_SOAK_ASAN 1
#endif
#endif

namespace kiv {
namespace {

using namespace std::chrono_literals;

constexpr int kChannels = 8;
constexpr std::uint32_t kPerChannel = 12500;  // 100 000 messages in all
constexpr std::uint32_t kTotal = kChannels * kPerChannel;
constexpr std::uint32_t kStepAt = kTotal / 100 * 97;  // messages in when the round trip steps up
constexpr std::uint64_t kQueueLimit = 16 * 1024;      // bytes the sender keeps queued per channel
constexpr std::size_t kHeaderBytes = 5;               // tag and channel, then the index
// The first byte of a message: its high bit keeps the first four bytes clear of the control codes
// the engine acts on itself (0x00090000 and 0x00090001 read as little-endian).
constexpr std::uint8_t kTag = 0x80;

std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Message `index` of `channel`: its size and bytes follow from the pair alone, so the receiver can
// rebuild what it must get.
std::vector<std::uint8_t> MakeMessage(std::uint8_t channel, std::uint32_t index) {
  std::uint64_t seed = Mix((std::uint64_t{channel} << 32) | index);
  std::uint32_t pick = static_cast<std::uint32_t>(seed % 1000);
  std::uint32_t r = static_cast<std::uint32_t>(seed >> 32);
  std::size_t size = pick < 995   ? kHeaderBytes + r % 196
                     : pick < 999 ? 1024 + r % (7 * 1024)
                                  : 16 * 1024 + r % (32 * 1024);
  std::vector<std::uint8_t> bytes(size);
  bytes[0] = kTag | channel;
  StoreU32(bytes.data() + 1, index);
  std::uint64_t x = seed | 1;
  for (std::size_t i = kHeaderBytes; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    bytes[i] = static_cast<std::uint8_t>(x);
  }
  return bytes;
}

std::size_t ResidentBytes() {
  std::ifstream in("/proc/self/statm");
  std::size_t size = 0, resident = 0;
  in >> size >> resident;
  return resident * 4096;
}

netsim::Impairment Path(double one_way_ms) {
  netsim::Impairment path;
  path.loss = 0.10;
  path.reorder = 0.02;
  path.duplicate = 0.01;
  path.delay_ms = one_way_ms;
  path.jitter_ms = 1;
  path.reorder_delay_ms = 20;
  return path;
}

// What the receiving side saw.
struct Receiver {
  std::mutex mutex;
  std::condition_variable cv;
  std::array<std::uint32_t, kChannels + 1> next{};  // next expected index per channel
  std::uint32_t received = 0;
  std::uint32_t errors = 0;
  std::string first_error;

  void Fail(std::string what) {
    if (errors++ == 0) first_error = std::move(what);
  }

  void OnData(const std::uint8_t* data, std::uint32_t length) {
    std::lock_guard lock(mutex);
    ++received;
    cv.notify_all();
    std::uint8_t channel = length >= kHeaderBytes ? data[0] ^ kTag : 0;
    if (channel < 1 || channel > kChannels)
      return Fail("message of " + std::to_string(length) + " bytes without a valid header");
    std::uint32_t index = LoadU32(data + 1);
    if (index != next[channel])
      return Fail("channel " + std::to_string(channel) + ": got message " + std::to_string(index) +
                  ", expected " + std::to_string(next[channel]));
    ++next[channel];
    auto expected = MakeMessage(channel, index);
    if (expected.size() != length || std::memcmp(expected.data(), data, length) != 0)
      Fail("channel " + std::to_string(channel) + ": message " + std::to_string(index) + " damaged");
  }
};

TEST(Soak, HundredThousandMessagesOnEightChannelsThroughALossyPathWithAnRttStep) {
  TEngineOptions options;
  options.stop_wait_ms = 3000;
  Receiver receiver;
  TKivUDP server(options), client(options);
  server.SetCallbacks([&](std::uint16_t, const std::uint8_t* d, std::uint32_t n) { receiver.OnData(d, n); },
                      nullptr);
  client.SetCallbacks(nullptr, nullptr);
  ASSERT_TRUE(server.Start(0, 1));  // callbacks on the dispatch thread
  ASSERT_TRUE(client.Start(0, 2));

  netsim::Relay relay("127.0.0.1", 0, "127.0.0.1", server.LocalPort(), 20261210);
  ASSERT_TRUE(relay.ok()) << relay.error();
  relay.SetBoth(Path(10));  // 20 ms round trip
  std::uint16_t handle = client.Connect("127.0.0.1", relay.port(), 30000);
  ASSERT_NE(handle, 0);

  std::atomic<bool> stop_sending{false};
  std::thread sender([&] {
    std::array<std::uint32_t, kChannels + 1> next{};
    for (std::uint32_t sent = 0; sent < kTotal && !stop_sending;) {
      bool progressed = false;
      for (std::uint8_t c = 1; c <= kChannels; ++c) {
        while (next[c] < kPerChannel && client.GetSendChannelSize(handle, c) < kQueueLimit) {
          auto message = MakeMessage(c, next[c]);
          if (!client.SendData(handle, message, c, 0, 0)) return;
          ++next[c];
          ++sent;
          progressed = true;
        }
      }
      if (!progressed) std::this_thread::sleep_for(1ms);
    }
  });

  // Sample what the engines hold until every message is in.
  std::size_t max_held = 0, max_queued = 0, max_dispatch = 0;
  std::size_t resident_at_step = 0, max_resident = 0;
  bool stepped = false, stalled = false;
  std::uint32_t last_received = 0;
  auto begin = std::chrono::steady_clock::now();
  auto last_progress = std::chrono::steady_clock::now();
  for (;;) {
    std::uint32_t received;
    {
      std::unique_lock lock(receiver.mutex);
      receiver.cv.wait_for(lock, 50ms, [&] { return receiver.received >= kTotal; });
      received = receiver.received;
    }
    max_held = std::max(max_held, server.HeldBytes());
    std::uint64_t queued = 0;
    for (std::uint8_t c = 1; c <= kChannels; ++c) queued += client.GetSendChannelSize(handle, c);
    max_queued = std::max<std::size_t>(max_queued, queued);
    max_dispatch = std::max(max_dispatch, server.DispatchQueueLength());
    if (received >= kTotal / 10) max_resident = std::max(max_resident, ResidentBytes());
    if (!stepped && received >= kStepAt) {
      relay.SetBoth(Path(150));  // 300 ms round trip
      resident_at_step = ResidentBytes();
      std::printf("soak: step at %.1f s\n",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
      stepped = true;
    }
    if (received >= kTotal) break;
    // A hang guard, not a speed limit: the run fails only when nothing at all arrives for a minute.
    if (received != last_received) {
      last_received = received;
      last_progress = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - last_progress > 60s) {
      stalled = true;

      break;
    }
  }
  stop_sending = true;
  sender.join();
  ASSERT_FALSE(stalled) << "no progress for a minute at " << last_received << " messages; "
                        << receiver.first_error;
  EXPECT_TRUE(stepped);

  // Everything is acknowledged in the end, and nothing arrives twice meanwhile.
  for (auto start = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() - start < 60s;) {
    std::uint64_t queued = 0;
    for (std::uint8_t c = 1; c <= kChannels; ++c) queued += client.GetSendChannelSize(handle, c);
    if (queued == 0) break;
    std::this_thread::sleep_for(20ms);
  }
  for (std::uint8_t c = 1; c <= kChannels; ++c) EXPECT_EQ(client.GetSendChannelSize(handle, c), 0u);
  std::this_thread::sleep_for(200ms);  // room for a stray duplicate to show up

  {
    std::lock_guard lock(receiver.mutex);
    EXPECT_EQ(receiver.errors, 0u) << receiver.first_error;
    EXPECT_EQ(receiver.received, kTotal);
    for (int c = 1; c <= kChannels; ++c) EXPECT_EQ(receiver.next[c], kPerChannel) << "channel " << c;
  }
  EXPECT_EQ(server.PeerCount(), 1u);
  EXPECT_EQ(server.HeldBytes(), 0u);

  // The path did what it was told.
  auto to_server = relay.counters(netsim::Direction::kToTarget);
  EXPECT_GT(to_server.dropped, to_server.received / 20);
  EXPECT_GT(to_server.duplicated, 0u);
  EXPECT_GT(to_server.reordered, 0u);

  // Bounds on memory. Reassembly holds what arrives behind a lost fragment: about one resend
  // time-out of traffic per channel. The send queue stays within the sender's limit plus one
  // message per channel; the dispatch queue within what one burst of datagrams completes.
  EXPECT_LE(max_held, std::size_t{4} << 20);
  EXPECT_LE(max_queued, kChannels * (kQueueLimit + 64 * 1024));
  EXPECT_LE(max_dispatch, 20000u);
#ifndef KIV_SOAK_ASAN
  EXPECT_LE(max_resident, resident_at_step + (std::size_t{32} << 20));
#endif
  std::printf(
      "soak: held max %zu B, queued max %zu B, dispatch max %zu, resident at step %zu MB, max %zu MB, "
      "to server: %llu received, %llu dropped, %llu duplicated, %llu reordered\n",
      max_held, max_queued, max_dispatch, resident_at_step >> 20, max_resident >> 20,
      static_cast<unsigned long long>(to_server.received), static_cast<unsigned long long>(to_server.dropped),
      static_cast<unsigned long long>(to_server.duplicated),
      static_cast<unsigned long long>(to_server.reordered));

  relay.SetBoth({});  // let the disconnect exchange of Stop through quickly
  client.Stop();
  server.Stop();
}

}  // namespace
}  // namespace kiv
