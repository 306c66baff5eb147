// The SOCKS5 client against a real SOCKS5 server with UDP relay: Debian's dante-server (danted), started
// here on loopback ports with a generated configuration. A datagram with the 10-byte relay head goes through
// the relay to a local UDP echo and the answer comes back through the relay.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/proxy.h"
#include "base/socket.h"
#include "danted.h"
#include "test_dir.h"

extern char** environ;

namespace kiv {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

int BoundUdp(std::uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// Waits for a datagram; the bound only keeps a lost datagram from hanging the suite.
ssize_t Receive(int fd, std::uint8_t* buffer, std::size_t size, sockaddr_in* from = nullptr) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 10000) <= 0) return -1;
  socklen_t length = sizeof(sockaddr_in);
  return ::recvfrom(fd, buffer, size, 0, reinterpret_cast<sockaddr*>(from), from ? &length : nullptr);
}

// Answers each datagram with "echo:" and the datagram, until stopped.
class UdpEcho {
 public:
  UdpEcho() {
    fd_ = BoundUdp(&port_);
    thread_ = std::thread([this] {
      std::uint8_t buffer[2048];
      pollfd p{fd_, POLLIN, 0};
      while (!stop_) {
        if (fd_ < 0 || ::poll(&p, 1, 20) <= 0) continue;
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t got =
            ::recvfrom(fd_, buffer + 5, sizeof buffer - 5, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 0) continue;
        std::memcpy(buffer, "echo:", 5);
        ::sendto(fd_, buffer, static_cast<std::size_t>(got) + 5, 0, reinterpret_cast<sockaddr*>(&from),
                 length);
      }
    });
  }
  ~UdpEcho() {
    stop_ = true;
    thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  UdpEcho(const UdpEcho&) = delete;
  UdpEcho& operator=(const UdpEcho&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The 10-byte SOCKS5 UDP request head: reserved 0, fragment 0, address type 1, IPv4, port big-endian.
Bytes RelayHead(std::uint16_t port) {
  return {0, 0, 0, 1, 127, 0, 0, 1, static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port)};
}

// Sends `payload` to the echo through the relay and checks the answer that comes back through it.
void ExpectEchoThroughRelay(int client, std::uint16_t relay_port, const UdpEcho& echo,
                            const std::string& payload) {
  Bytes datagram = RelayHead(echo.port());
  datagram.insert(datagram.end(), payload.begin(), payload.end());
  sockaddr_in relay{};
  relay.sin_family = AF_INET;
  relay.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  relay.sin_port = htons(relay_port);
  ASSERT_EQ(::sendto(client, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&relay),
                     sizeof relay),
            static_cast<ssize_t>(datagram.size()));

  std::uint8_t buffer[2048];
  sockaddr_in from{};
  const ssize_t got = Receive(client, buffer, sizeof buffer, &from);
  ASSERT_GE(got, 10) << "no answer through the relay";
  EXPECT_EQ(ntohs(from.sin_port), relay_port);  // it came from the relay, not from the echo
  // The answer carries the echo's address in its relay head, then the echo's payload.
  EXPECT_EQ(Bytes(buffer, buffer + 10), RelayHead(echo.port()));
  EXPECT_EQ(std::string(buffer + 10, buffer + got), "echo:" + payload);
}

class DantedRelay : public testing::Test {
 protected:
  void SetUp() override {
    if (::access(kDanted, X_OK) != 0) GTEST_SKIP() << "danted is not installed (dante-server, scripts/setup)";
    client_ = BoundUdp(&client_port_);
    ASSERT_GE(client_, 0);
  }
  void TearDown() override {
    StopProxy();
    if (client_ >= 0) ::close(client_);
  }

  int client_ = -1;
  std::uint16_t client_port_ = 0;
  UdpEcho echo_;
};

TEST_F(DantedRelay, WithoutAuthentication) {
  Danted danted("none");
  if (!danted.error().empty()) GTEST_SKIP() << danted.error();

  const std::uint16_t relay = StartProxy("127.0.0.1", danted.port(), client_port_, "", "");
  ASSERT_NE(relay, 0) << danted.log();
  ExpectEchoThroughRelay(client_, relay, echo_, "first datagram");
  ExpectEchoThroughRelay(client_, relay, echo_, std::string(1000, 'x'));

  // A new StartProxy replaces the relay with a working one.
  const std::uint16_t again = StartProxy("127.0.0.1", danted.port(), client_port_, "", "");
  ASSERT_NE(again, 0) << danted.log();
  ExpectEchoThroughRelay(client_, again, echo_, "second relay");

  // Offering credentials to a proxy that wants none: it picks "no authentication", which is refused.
  EXPECT_EQ(StartProxy("127.0.0.1", danted.port(), client_port_, "someone", "secret"), 0);
}

TEST_F(DantedRelay, WithUserAndPassword) {
  SystemUser user;
  if (!user.error().empty()) GTEST_SKIP() << user.error();
  Danted danted("username");
  if (!danted.error().empty()) GTEST_SKIP() << danted.error();

  TProxy proxy(5s);
  const std::uint16_t relay =
      proxy.StartProxy("127.0.0.1", danted.port(), client_port_, user.name(), user.password());
  ASSERT_NE(relay, 0) << danted.log();
  EXPECT_EQ(proxy.relay_address(), "127.0.0.1");
  ExpectEchoThroughRelay(client_, relay, echo_, "through an authenticated relay");
  proxy.StopProxy();

  EXPECT_EQ(StartProxy("127.0.0.1", danted.port(), client_port_, user.name(), "wrong password"), 0);
  EXPECT_EQ(StartProxy("127.0.0.1", danted.port(), client_port_, "", ""), 0);  // no acceptable method
  EXPECT_NE(StartProxy("127.0.0.1", danted.port(), client_port_, user.name(), user.password()), 0)
      << danted.log();
}

}  // namespace
}  // namespace kiv
