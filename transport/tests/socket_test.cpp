// TKivSocket on real loopback sockets: the modes, counters, the relay head and the start/stop rules.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "udp_socket.h"

namespace kiv {
namespace {

struct TReceived {
  std::string address;
  std::uint16_t port;
  std::vector<std::uint8_t> bytes;
};

// Collects what arrives; Wait blocks until `count` datagrams are there (a hang guard, not a timing
// check: loopback does not lose datagrams).
class TCollectingSocket : public TKivSocket {
 public:
  ~TCollectingSocket() override { Stop(); }
  std::vector<TReceived> Wait(std::size_t count) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(30), [&] { return received_.size() >= count; });
    return received_;
  }
  std::function<void()> on_receive;

 protected:
  void DataRecive(const std::string& address, std::uint16_t port, std::uint8_t* data,
                  std::size_t length) override {
    if (on_receive) on_receive();
    std::lock_guard lock(mutex_);
    received_.push_back({address, port, {data, data + length}});
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<TReceived> received_;
};

class TRecordingReadiness : public TSocketReadiness {
 public:
  void SocketOpened(int fd) override { opened = fd; }
  void SocketClosing(int fd) override { closed = fd; }
  int opened = -1, closed = -1;
};

std::vector<std::uint8_t> Bytes(std::size_t n) {
  std::vector<std::uint8_t> b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7);
  return b;
}

TEST(KivSocket, ReadThreadReceivesAndCounts) {
  for (std::uint8_t mode : {1, 2}) {
    TCollectingSocket a, b;
    ASSERT_TRUE(a.Start(0, mode));
    ASSERT_TRUE(b.Start(0, mode));
    ASSERT_NE(a.LocalPort(), 0);
    const auto small = Bytes(20), large = Bytes(kMaxDatagram);
    ASSERT_TRUE(a.SendUDPData("127.0.0.1", b.LocalPort(), small.data(), small.size()));
    ASSERT_TRUE(a.SendUDPData("127.0.0.1", b.LocalPort(), large.data(), large.size()));
    const auto got = b.Wait(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].address, "127.0.0.1");
    EXPECT_EQ(got[0].port, a.LocalPort());
    EXPECT_EQ(got[0].bytes, small);
    EXPECT_EQ(got[1].bytes, large);
    EXPECT_EQ(a.Counters(), (TSocketCounters{0, 0, 2, 20 + kMaxDatagram}));
    EXPECT_EQ(b.Counters(), (TSocketCounters{2, 20 + kMaxDatagram, 0, 0}));
    b.TakeSecondSnapshot();
    EXPECT_EQ(b.PerSecond(), (TSocketCounters{2, 20 + kMaxDatagram, 0, 0}));
    EXPECT_EQ(b.Counters(), TSocketCounters{});
  }
}

TEST(KivSocket, ModeZeroReadsWhenTheDriverSaysSo) {
  TCollectingSocket a, b;
  TRecordingReadiness readiness;
  b.SetReadiness(&readiness);
  ASSERT_TRUE(a.Start(0, 1));
  ASSERT_TRUE(b.Start(0, 0));
  ASSERT_EQ(readiness.opened, b.Handle());
  EXPECT_EQ(b.ReadData(), 0);  // nothing waiting: returns at once
  const auto data = Bytes(100);
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(a.SendUDPData("127.0.0.1", b.LocalPort(), data.data(), data.size()));
  int read = 0;
  while (read < 3) {
    pollfd fd{readiness.opened, POLLIN, 0};
    ASSERT_EQ(poll(&fd, 1, 30000), 1);
    read += b.ReadData();
  }
  EXPECT_EQ(b.Wait(3).size(), 3u);
  const int fd = b.Handle();
  EXPECT_TRUE(b.Stop());
  EXPECT_EQ(readiness.closed, fd);
  EXPECT_EQ(b.ReadData(), 0);
}

TEST(KivSocket, RelayHeadGoesInFrontWhenAProxyIsSet) {
  TCollectingSocket sender, relay;
  ASSERT_TRUE(relay.Start(0, 1));
  ASSERT_TRUE(sender.Start(0, 1));
  EXPECT_FALSE(sender.SetProxy("relay.example", relay.LocalPort()));
  ASSERT_TRUE(sender.SetProxy("127.0.0.1", relay.LocalPort()));
  EXPECT_TRUE(sender.ProxyFlag());
  const std::vector<std::uint8_t> data = {0x26, 0xE1, 9, 8, 7};
  ASSERT_TRUE(sender.SendUDPData("10.1.2.3", 777, data.data(), data.size()));
  auto got = relay.Wait(1);
  ASSERT_EQ(got.size(), 1u);
  const std::vector<std::uint8_t> expected = {0, 0, 0, 1, 10, 1, 2, 3, 0x03, 0x09, 0x26, 0xE1, 9, 8, 7};
  EXPECT_EQ(got[0].bytes, expected);
  EXPECT_EQ(sender.Counters().SentBytes, expected.size());

  // A large datagram with its head; the relay unset sends directly again.
  const auto large = Bytes(4000);
  ASSERT_TRUE(sender.SendUDPData("10.1.2.3", 777, large.data(), large.size()));
  sender.ClearProxy();
  ASSERT_TRUE(sender.SendUDPData("127.0.0.1", relay.LocalPort(), data.data(), data.size()));
  got = relay.Wait(3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1].bytes.size(), 4000 + kProxyHeadSize);
  EXPECT_EQ(got[2].bytes, data);
}

TEST(KivSocket, StartAndStopRules) {
  TCollectingSocket a, b;
  EXPECT_FALSE(a.Stop());
  EXPECT_FALSE(a.Start(0, 3));
  ASSERT_TRUE(a.Start(0, 1));
  EXPECT_FALSE(a.Start(0, 1));
  EXPECT_FALSE(b.Start(a.LocalPort(), 1));  // port in use
  EXPECT_FALSE(b.Started());
  const auto oversize = Bytes(kMaxDatagram + 1);
  EXPECT_FALSE(a.SendUDPData("127.0.0.1", a.LocalPort(), oversize.data(), oversize.size()));
  EXPECT_FALSE(a.SendUDPData("not an address", 1, oversize.data(), 1));
  const std::uint16_t port = a.LocalPort();
  EXPECT_TRUE(a.Stop());
  EXPECT_FALSE(a.SendUDPData("127.0.0.1", port, oversize.data(), 1));
  EXPECT_TRUE(b.Start(port, 2));  // free again, and a stopped socket starts again
  EXPECT_TRUE(a.Start(0, 0));
}

TEST(KivSocket, StopOnTheReadThreadIsRefused) {
  TCollectingSocket a, b;
  ASSERT_TRUE(b.Start(0, 2));
  ASSERT_TRUE(a.Start(0, 1));
  bool stopped = true;
  b.on_receive = [&] { stopped = b.Stop(); };
  const auto data = Bytes(30);
  ASSERT_TRUE(a.SendUDPData("127.0.0.1", b.LocalPort(), data.data(), data.size()));
  ASSERT_EQ(b.Wait(1).size(), 1u);
  EXPECT_FALSE(stopped);
  EXPECT_TRUE(b.Started());
  b.on_receive = nullptr;
  EXPECT_TRUE(b.Stop());
}

}  // namespace
}  // namespace kiv
