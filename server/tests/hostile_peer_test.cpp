// Scripted peers that break the rules of the transport against the server's endpoints: frames that
// name another connection's handle, a peer that never acknowledges, a flood of half-open
// connections from one address. Each must leave the server answering honest clients.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server_fixture.h"
#include "udp_datagram.h"

namespace kiv::server {
namespace {

using namespace std::chrono_literals;
using kiv::testing::TProtocolClient;

// A bare UDP socket that writes transport datagrams by hand (unscrambled, as the format allows).
class TScriptedPeer {
 public:
  explicit TScriptedPeer(const char* ip = "127.0.0.1") {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  ~TScriptedPeer() { ::close(fd_); }
  TScriptedPeer(const TScriptedPeer&) = delete;
  TScriptedPeer& operator=(const TScriptedPeer&) = delete;

  void Send(std::uint16_t to, const TDatagramHeader& header, std::span<const std::uint8_t> payload) {
    Bytes d(kHeaderSize + payload.size());
    EncodeHeader(header, d.data());
    std::copy(payload.begin(), payload.end(), d.begin() + kHeaderSize);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(to);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  void Handshake(std::uint16_t to, std::uint8_t kind, std::uint16_t first, std::uint16_t second) {
    std::uint8_t record[5] = {kind};
    StoreU16(record + 1, first);
    StoreU16(record + 3, second);
    TDatagramHeader h;
    h.type = kTypeHandshake;
    Send(to, h, record);
  }
  // One message in one reliable frame on channel 0 (at most 1024 bytes).
  void SendMessage(std::uint16_t to, std::uint16_t remote_id, std::uint32_t sequence, const Bytes& message) {
    TDatagramHeader h;
    h.type = kTypeData;
    h.remote_id = remote_id;
    h.sequence = sequence;
    h.fragment_length = static_cast<std::uint16_t>(message.size());
    h.total_length = static_cast<std::uint32_t>(message.size());
    Send(to, h, message);
  }
  // One message as an unreliable datagram: the server's endpoints take it like any other.
  void SendUnreliable(std::uint16_t to, std::uint16_t remote_id, const Bytes& message) {
    TDatagramHeader h;
    h.type = kTypeUnreliable;
    h.remote_id = remote_id;
    Send(to, h, message);
  }
  // Asks `to` for an association and confirms it; the server's handle, 0 without an answer.
  std::uint16_t Associate(std::uint16_t to) {
    Handshake(to, 0, 0, 7);
    while (auto d = Receive(5000ms)) {
      if ((*d)[kOffType] != kTypeHandshake) continue;
      const std::uint16_t handle = LoadU16(d->data() + kHeaderSize + 1);
      Handshake(to, 3, handle, 7);
      return handle;
    }
    return 0;
  }
  // The next datagram, restored; none within `wait`.
  std::optional<Bytes> Receive(std::chrono::milliseconds wait) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
    Bytes d(kReceiveBufferSize);
    const ssize_t n = ::recv(fd_, d.data(), d.size(), 0);
    if (n < static_cast<ssize_t>(kHeaderSize)) return Bytes{};
    d.resize(static_cast<std::size_t>(n));
    if (!DataRestore(d.data(), d.size())) return Bytes{};
    return d;
  }
  // Whether a disconnect request is among the datagrams waiting now.
  bool ToldToDisconnect() {
    while (auto d = Receive(0ms))
      if (d->size() > kHeaderSize && (*d)[kOffType] == kTypeDisconnect && (*d)[kHeaderSize] == 0) return true;
    return false;
  }

 private:
  int fd_ = -1;
};

// `count` peers from `ip` that complete the handshake with `port` and then say nothing more: half
// open for the server, which sees no sign-in. All requests go out first (paced, so the server's
// socket keeps up); then a request from another address is the barrier: once it is answered, every
// answer to the earlier ones is in its socket, and each peer confirms what it was answered.
std::vector<std::unique_ptr<TScriptedPeer>> HalfOpen(const char* ip, std::size_t count, std::uint16_t port) {
  std::vector<std::unique_ptr<TScriptedPeer>> peers;
  for (std::size_t i = 0; i < count; ++i) {
    peers.push_back(std::make_unique<TScriptedPeer>(ip));
    peers.back()->Handshake(port, 0, 0, 7);
    if (i % 32 == 31) std::this_thread::sleep_for(1ms);
  }
  TScriptedPeer barrier("127.0.2.1");
  const bool ordered = barrier.Associate(port) != 0;  // none when the endpoint is full
  for (auto& peer : peers) {
    while (auto d = peer->Receive(ordered ? 0ms : 200ms)) {
      if (d->size() < kHeaderSize + 5 || (*d)[kOffType] != kTypeHandshake) continue;
      peer->Handshake(port, 3, LoadU16(d->data() + kHeaderSize + 1), 7);
      break;
    }
  }
  if (ordered) {  // the barrier leaves again
    TDatagramHeader h;
    h.type = kTypeDisconnect;
    const std::uint8_t request = 0;
    barrier.Send(port, h, {&request, 1});
  }
  return peers;
}

// Resident memory of this process (server and test together), in KiB.
long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

class HostilePeerTest : public ServerFixture {};

// A second socket names the home connections' handles in requests for the signed-in user's
// profile. Before, the transport moved the victim's connection to it and answered it; now none of
// it reaches the server, the victim keeps its connection and its answers, and the forged frames
// are counted.
TEST_F(HostilePeerTest, ASecondSocketCannotActForASignedInConnection) {
  TProtocolClient victim;
  auto s = SignIn(victim, 10001);
  ASSERT_TRUE(s.ok());
  TScriptedPeer forger;
  const std::uint16_t home = server_->HomePort();
  for (std::uint16_t handle = 1; handle <= 8; ++handle) {
    forger.SendMessage(home, handle, kFirstSequence, kiv::testing::ProfileRequest(10001));
    forger.SendUnreliable(home, handle, kiv::testing::ProfileRequest(10001));
  }
  // The barrier: the victim's own request, sent after the forged ones, is answered.
  ASSERT_TRUE(victim.Ask(s.home, kiv::testing::ProfileRequest(10001), proto::kProfileReply));
  EXPECT_FALSE(forger.Receive(0ms).has_value());
  EXPECT_GE(server_->HomeEndpoint().Guards().foreign_frames, 2u);
  const std::string online = server_->Admin({"online"});
  EXPECT_NE(online.find(":" + std::to_string(victim.LocalPort())), std::string::npos) << online;
  EXPECT_TRUE(victim.NothingOf(proto::kProfileReply, s.home, 1));  // exactly one answer
}

// A peer that asks for version information as fast as it likes and never acknowledges a reply:
// the server holds at most kMaxUnacknowledged bytes for it, then ends the connection as stalled,
// and answers an honest client as before.
TEST_F(HostilePeerTest, APeerThatNeverAcknowledgesIsEndedAndItsRepliesFreed) {
  TScriptedPeer greedy;
  const std::uint16_t login = server_->LoginPort();
  const std::uint16_t handle = greedy.Associate(login);
  ASSERT_NE(handle, 0);
  kiv::testing::TLoginFields check;
  check.state = proto::login::kStateVersionCheck;
  const Bytes request = kiv::testing::LoginRequest(check);
  const long before = ResidentKiB();
  // Each reply is about 200 bytes, so the bound is reached after some 40 000 requests; the hang
  // guard allows five times as many.
  bool told = false;
  for (int i = 1; i <= 200000 && !told; ++i) {
    greedy.SendUnreliable(login, handle, request);
    if (i % 64 == 0) {
      std::this_thread::sleep_for(1ms);  // lets the server's socket keep up
      told = greedy.ToldToDisconnect();
    }
  }
  for (int i = 0; i < 250 && !told; ++i) {  // the last replies may still be on their way
    std::this_thread::sleep_for(20ms);
    told = greedy.ToldToDisconnect();
  }
  ASSERT_TRUE(told);
  EXPECT_EQ(server_->LoginEndpoint().Guards().stalled, 1u);
  EXPECT_EQ(server_->LoginEndpoint().PeerCount(), 0u);
  std::ifstream log(dir_.path() / "data" / "server.log");
  const std::string logged((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(logged.find("login: association with 127.0.0.1:"), std::string::npos) << logged;
  EXPECT_NE(logged.find("stalled"), std::string::npos);
  const long after = ResidentKiB();
  std::printf("resident memory before %ld KiB, after %ld KiB\n", before, after);

  TProtocolClient honest;
  const std::uint16_t h = honest.Connect(Login());
  ASSERT_NE(h, 0);
  EXPECT_TRUE(honest.Ask(h, request, proto::kLoginReply));
}

// Thousands of half-open connections from one address: the home endpoint keeps at most
// kMaxConnectionsPerAddress of them, refuses the rest, ends those nobody signs in on after the
// grace, and meanwhile signs in and answers a client from another address.
TEST_F(HostilePeerTest, AFloodOfHalfOpenConnectionsFromOneAddressLeavesRoomForOthers) {
  const std::uint16_t home = server_->HomePort();
  constexpr int kFlood = 2000, kBatch = 250;  // sockets are opened a batch at a time
  const long before = ResidentKiB();
  for (int sent = 0; sent < kFlood; sent += kBatch) HalfOpen("127.0.0.2", kBatch, home);
  TProtocolClient honest;
  auto s = SignIn(honest, 10002);
  ASSERT_TRUE(s.ok());
  TEndpoint& endpoint = server_->HomeEndpoint();
  EXPECT_LE(endpoint.PeerCount(), kMaxConnectionsPerAddress + 1);
  // Loopback may drop some of a burst; most of the flood was refused all the same.
  EXPECT_GE(endpoint.Guards().refused, static_cast<std::uint64_t>(kFlood) / 2);
  // Nobody signs in on the half-open ones: they end, the signed-in client stays.
  for (int i = 0; i < 600 && endpoint.PeerCount() > 1; ++i) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(endpoint.PeerCount(), 1u);
  EXPECT_GE(endpoint.Guards().unclaimed, 1u);
  EXPECT_TRUE(honest.Ask(s.home, kiv::testing::ProfileRequest(10002), proto::kProfileReply));
  std::printf("resident memory before %ld KiB, after %ld KiB\n", before, ResidentKiB());
}

// A home endpoint without room would drop a client's handshake unanswered; the login role says
// "too many users" instead of sending the client there. The full endpoint is a stand-in, filled by
// scripted peers and adopted by hand: the server's own would end them after the grace.
TEST_F(HostilePeerTest, TheLoginRoleSaysTooManyUsersWhenTheHomeEndpointHasNoRoom) {
  TEndpoint full("full home");
  ASSERT_TRUE(full.Start(0));
  const std::uint32_t wanted = kEndpointCapacity - kHomeHeadroom;
  for (int address = 1; address <= 60 && full.PeerCount() < wanted; ++address) {
    const std::string ip = "127.0.1." + std::to_string(address);
    HalfOpen(ip.c_str(), kMaxConnectionsPerAddress, full.Port());
  }
  for (std::uint16_t h = 1; h <= kEndpointCapacity; ++h) full.Adopt(h);
  ASSERT_GE(full.PeerCount(), wanted);

  TServerContext& ctx = server_->Context();
  ctx.home_endpoint = &full;
  TProtocolClient refused;
  auto s = SignIn(refused, 10001);
  ctx.home_endpoint = &server_->HomeEndpoint();
  EXPECT_EQ(s.login_result, proto::login_reply::kTooManyUsers);
  EXPECT_EQ(s.home, 0);
  TProtocolClient later;
  EXPECT_TRUE(SignIn(later, 10001).ok());
}

}  // namespace
}  // namespace kiv::server
