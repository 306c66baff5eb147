#include "netsim.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace kiv::netsim {
namespace {

using Clock = std::chrono::steady_clock;

class Socket {
 public:
  Socket() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int size = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  ~Socket() { ::close(fd_); }
  std::uint16_t port() const {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
  }
  void SendTo(std::uint16_t port, const std::vector<std::uint8_t>& bytes) const {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  // Receives until `idle_ms` pass without a datagram; echoes each one back when `echo`.
  std::vector<std::vector<std::uint8_t>> Drain(int idle_ms, bool echo = false) const {
    std::vector<std::vector<std::uint8_t>> got;
    pollfd p{fd_, POLLIN, 0};
    while (::poll(&p, 1, idle_ms) > 0) {
      std::vector<std::uint8_t> buffer(2048);
      sockaddr_in from{};
      socklen_t n = sizeof from;
      ssize_t size = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &n);
      if (size < 0) break;
      buffer.resize(static_cast<std::size_t>(size));
      if (echo) ::sendto(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), n);
      got.push_back(buffer);
    }
    return got;
  }

 private:
  int fd_;
};

std::vector<std::uint8_t> Numbered(std::uint32_t i, std::size_t size = 100) {
  std::vector<std::uint8_t> b(size, 0);
  std::memcpy(b.data(), &i, sizeof i);
  return b;
}

std::vector<std::uint32_t> Numbers(const std::vector<std::vector<std::uint8_t>>& got) {
  std::vector<std::uint32_t> out;
  for (const auto& b : got) {
    std::uint32_t i;
    std::memcpy(&i, b.data(), sizeof i);
    out.push_back(i);
  }
  return out;
}

struct Path {
  Socket client, target;
  Relay relay{"127.0.0.1", 0, "127.0.0.1", target.port(), 42};

  // Sends `n` numbered datagrams and returns the numbers that reached the target.
  std::vector<std::uint32_t> Send(std::uint32_t n, std::size_t size = 100, int idle_ms = 200) {
    for (std::uint32_t i = 0; i < n; ++i) client.SendTo(relay.port(), Numbered(i, size));
    return Numbers(target.Drain(idle_ms));
  }
};

TEST(Netsim, CleanPathDeliversEverythingInOrderBothWays) {
  Path path;
  ASSERT_TRUE(path.relay.ok()) << path.relay.error();
  for (std::uint32_t i = 0; i < 300; ++i) path.client.SendTo(path.relay.port(), Numbered(i));
  auto at_target = Numbers(path.target.Drain(200, /*echo=*/true));
  auto back = Numbers(path.client.Drain(200));
  std::vector<std::uint32_t> expected(300);
  for (std::uint32_t i = 0; i < 300; ++i) expected[i] = i;
  EXPECT_EQ(at_target, expected);
  EXPECT_EQ(back, expected);
}

TEST(Netsim, LossDuplicationAndReordering) {
  {
    Path path;
    path.relay.Set(Direction::kToTarget, {.loss = 0.3});
    auto got = path.Send(1000);
    EXPECT_GT(got.size(), 600u);
    EXPECT_LT(got.size(), 800u);
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
    EXPECT_EQ(path.relay.counters(Direction::kToTarget).dropped, 1000 - got.size());
  }
  {
    Path path;
    path.relay.Set(Direction::kToTarget, {.duplicate = 1.0});
    EXPECT_EQ(path.Send(100).size(), 200u);
  }
  {
    Path path;
    path.relay.Set(Direction::kToTarget, {.reorder = 0.2, .reorder_delay_ms = 20});
    auto got = path.Send(500);
    EXPECT_EQ(got.size(), 500u);
    EXPECT_FALSE(std::is_sorted(got.begin(), got.end()));
  }
}

TEST(Netsim, DelayAndRateLimitHoldDatagramsBack) {
  Path path;
  path.relay.Set(Direction::kToTarget, {.delay_ms = 40, .jitter_ms = 10});
  auto start = Clock::now();
  path.client.SendTo(path.relay.port(), Numbered(1));
  ASSERT_EQ(path.target.Drain(500).size(), 1u);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(40));

  // 50 datagrams of 1000 bytes at 100 000 bytes/s take at least 0.49 s to pass.
  path.relay.Set(Direction::kToTarget, {.rate_bytes_per_s = 100'000});
  start = Clock::now();
  for (std::uint32_t i = 0; i < 50; ++i) path.client.SendTo(path.relay.port(), Numbered(i, 1000));
  std::size_t received = 0;
  while (received < 50) {
    auto got = path.target.Drain(1000);
    if (got.empty()) break;
    received += got.size();
  }
  EXPECT_EQ(received, 50u);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(490));
}

}  // namespace
}  // namespace kiv::netsim
