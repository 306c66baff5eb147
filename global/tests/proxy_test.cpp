// The SOCKS5 client against a scripted server: exact bytes sent, and every kind of refusing, short or
// malformed reply. The same client against a real SOCKS5 server is in proxy_dante_test.cpp.
#include "base/proxy.h"

#include <gtest/gtest.h>

#include <string>

#include "base/socket.h"
#include "fake_socks_server.h"

namespace kiv {
namespace {

using namespace std::chrono_literals;
using Bytes = FakeSocksServer::Bytes;

constexpr std::uint16_t kUdpPort = 0x2345;
const Bytes kPlainGreeting{5, 1, 0};
const Bytes kCredentialGreeting{5, 2, 0, 2};
const Bytes kAssociate{5, 3, 0, 1, 0, 0, 0, 0, 0x23, 0x45};
const Bytes kRelayReply{5, 0, 0, 1, 127, 0, 0, 1, 0x30, 0x39};  // relay 127.0.0.1:12345

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Text(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(TProxy, HandshakeBytesAndReplyChecks) {
  const std::string long_user(256, 'u');
  // The user/password message for a 5-byte user and a 3-byte password: 11 bytes.
  const Bytes user_password = Cat({{1, 5}, Text("alice"), {3}, Text("pwd")});
  ASSERT_EQ(user_password.size(), 11u);

  struct Case {
    const char* name;
    std::string user, password;
    std::vector<FakeSocksServer::Step> steps;
    bool hang_up;
    std::uint16_t expected;
    Bytes sent;
  };
  // clang-format off
  const Case cases[] = {
      {"no credentials", "", "",
       {{3, {5, 0}}, {10, kRelayReply}}, false, 12345, Cat({kPlainGreeting, kAssociate})},
      {"user and password", "alice", "pwd",
       {{4, {5, 2}}, {11, {1, 0}}, {10, kRelayReply}}, false, 12345,
       Cat({kCredentialGreeting, user_password, kAssociate})},
      {"password alone still offers credentials", "", "pwd",
       {{4, {5, 2}}, {6, {1, 0}}, {10, kRelayReply}}, false, 12345,
       Cat({kCredentialGreeting, {1, 0, 3}, Text("pwd"), kAssociate})},
      {"auth reply with version 5 accepted", "alice", "pwd",
       {{4, {5, 2}}, {11, {5, 0}}, {10, kRelayReply}}, false, 12345,
       Cat({kCredentialGreeting, user_password, kAssociate})},
      {"no acceptable method", "", "",
       {{3, {5, 0xFF}}}, false, 0, kPlainGreeting},
      {"credentials answered with no authentication", "alice", "pwd",
       {{4, {5, 0}}}, false, 0, kCredentialGreeting},
      {"password refused", "alice", "pwd",
       {{4, {5, 2}}, {11, {1, 1}}}, false, 0, Cat({kCredentialGreeting, user_password})},
      {"associate refused", "", "",
       {{3, {5, 0}}, {10, {5, 7, 0, 1, 0, 0, 0, 0, 0, 0}}}, false, 0, Cat({kPlainGreeting, kAssociate})},
      {"greeting reply of another version", "", "",
       {{3, {4, 0}}}, false, 0, kPlainGreeting},
      {"one-byte greeting reply", "", "",
       {{3, {5}}}, true, 0, kPlainGreeting},
      {"short auth reply", "alice", "pwd",
       {{4, {5, 2}}, {11, {1}}}, true, 0, Cat({kCredentialGreeting, user_password})},
      {"short associate reply", "", "",
       {{3, {5, 0}}, {10, {5, 0, 0, 1, 127, 0}}}, true, 0, Cat({kPlainGreeting, kAssociate})},
      {"associate reply cut after the status", "", "",
       {{3, {5, 0}}, {10, {5, 0}}}, true, 0, Cat({kPlainGreeting, kAssociate})},
      {"relay named by a domain", "", "",
       {{3, {5, 0}}, {10, Cat({{5, 0, 0, 3, 9}, Text("localhost"), {0x30, 0x39}})}}, false, 0,
       Cat({kPlainGreeting, kAssociate})},
      {"relay named by IPv6", "", "",
       {{3, {5, 0}}, {10, Cat({{5, 0, 0, 4}, Bytes(16, 0), {0x30, 0x39}})}}, false, 0,
       Cat({kPlainGreeting, kAssociate})},
      {"user name over 255 bytes", long_user, "pwd",
       {}, false, 0, {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSocksServer server(c.steps, c.hang_up);
    ASSERT_NE(server.port(), 0);
    TProxy proxy(5s);
    const std::uint16_t relay = proxy.StartProxy("127.0.0.1", server.port(), kUdpPort, c.user, c.password);
    EXPECT_EQ(relay, c.expected);
    EXPECT_EQ(proxy.connected(), c.expected != 0);
    EXPECT_EQ(proxy.relay_port(), c.expected);
    EXPECT_EQ(proxy.relay_address(), c.expected ? "127.0.0.1" : "");
    proxy.StopProxy();
    EXPECT_FALSE(proxy.connected());
    EXPECT_EQ(server.Finish(), c.sent);
  }
}

TEST(TProxy, FailsWithoutAServer) {
  TProxy proxy(5s);
  EXPECT_EQ(proxy.StartProxy("not an address", 1080, kUdpPort, "", ""), 0);
  // A closed port: connect is refused at once.
  FakeSocksServer placeholder(FakeSocksServer::Steps{});
  const std::uint16_t port = placeholder.port();
  placeholder.Finish();
  EXPECT_EQ(proxy.StartProxy("127.0.0.1", port, kUdpPort, "", ""), 0);
  EXPECT_FALSE(proxy.connected());
}

TEST(TProxy, WatchdogEndsAProxyThatNeverAnswers) {
  FakeSocksServer server(FakeSocksServer::Steps{{3, {}}});  // reads the greeting and stays silent
  TProxy proxy(100ms);
  EXPECT_EQ(proxy.StartProxy("127.0.0.1", server.port(), kUdpPort, "", ""), 0);
  EXPECT_FALSE(proxy.connected());
  EXPECT_EQ(server.Finish(), kPlainGreeting);
  EXPECT_TRUE(server.client_closed());
}

TEST(TProxy, WatchdogLeavesACompletedRelayAlone) {
  FakeSocksServer server({{3, {5, 0}}, {10, kRelayReply}});
  TProxy proxy(20ms);
  ASSERT_EQ(proxy.StartProxy("127.0.0.1", server.port(), kUdpPort, "", ""), 12345);
  std::this_thread::sleep_for(100ms);  // well past the watchdog's delay
  EXPECT_TRUE(proxy.connected());
  EXPECT_FALSE(server.client_closed());
  proxy.StopProxy();
  server.Finish();
}

TEST(LibSocketProxy, AnOlderWatchdogDoesNotCutOffALaterStart) {
  FakeSocksServer first({{3, {5, 0}}, {10, kRelayReply}});
  ASSERT_EQ(StartProxy("127.0.0.1", first.port(), kUdpPort, "", "", 100ms), 12345);
  // The second proxy answers only after the first one's watchdog delay has run out.
  FakeSocksServer second({{3, {5, 0}}, {10, {5, 0, 0, 1, 127, 0, 0, 1, 0x30, 0x3A}}}, false, 300ms);
  EXPECT_EQ(StartProxy("127.0.0.1", second.port(), kUdpPort, "", "", 5s), 12346);
  first.Finish();
  EXPECT_TRUE(first.client_closed());  // replaced: its control connection was closed
  EXPECT_FALSE(second.client_closed());
  EXPECT_TRUE(StopProxy());
  second.Finish();
  EXPECT_TRUE(second.client_closed());
  EXPECT_TRUE(StopProxy());  // nothing left to stop
}

TEST(LibSocketProxy, ReportsTheWatchdogTimeOut) {
  FakeSocksServer server(
      FakeSocksServer::Steps{{3, {5, 0}}, {10, {}}});  // accepts the greeting, never answers the associate
  EXPECT_EQ(StartProxy("127.0.0.1", server.port(), kUdpPort, "", "", 100ms), 0);
  EXPECT_EQ(server.Finish(), Cat({kPlainGreeting, kAssociate}));
  StopProxy();
}

}  // namespace
}  // namespace kiv
