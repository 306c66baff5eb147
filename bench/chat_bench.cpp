// bench/run chat: one-to-one chat messages through kivora-server (release build, its own process)
// and directly between two transport endpoints, against TCP with TCP_NODELAY carrying the same
// bytes (each message framed by its 32-bit length) in the same run:
//   latency_{100B,100KB}_{stored,relayed,direct}_{p50,p99}_ms
//       one 0x10001 message at a time from A to B, A's send to B's receipt:
//       stored   A's home connection → the server keeps it → B's home connection (B signed in);
//       relayed  A as temporary data to B's home node → B's session (two nodes on PostgreSQL;
//                skipped when no cluster can start);
//       direct   A's transport connection to B's endpoint;
//       peers: a TCP relay thread (A → relay → B, routing by the target field) for the server
//       paths, one TCP connection A → B for the direct path.
//   msgs_per_s_{stored,relayed}_1000_pairs
//       messages per second one server routes for 1000 pairs of clients (each its own endpoint),
//       every sender sending --messages N (default 10) at once: 100-byte 0x10001 texts kept and
//       handed out, or 0x10002 operations forwarded; peer: the TCP relay with 2000 connections.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/text_checks.h"
#include "chat_store.h"
#include "declare/chat_wire.h"
#include "declare/friend_wire.h"
#include "friend_store.h"
#include "password_hash.h"
#include "pg_cluster.h"
#include "protocol_client.h"
#include "report.h"
#include "server_process.h"
#include "store.h"
#include "test_dir.h"

namespace {

using namespace kiv;
using Clock = std::chrono::steady_clock;
namespace cw = chat_wire;

constexpr std::uint32_t kFirstCode = 60001;
constexpr const char* kPassword = "bench-pass";
constexpr double kSendTime = 46000.5;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Percentiles {
  double p50 = 0, p99 = 0;
  bool ok = false;
};
Percentiles Of(std::vector<double> v) {
  Percentiles p;
  if (v.empty()) return p;
  std::sort(v.begin(), v.end());
  p.p50 = v[v.size() / 2];
  p.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
  p.ok = true;
  return p;
}

// ---- TCP with TCP_NODELAY: frames of [u32 length][message] ------------------------------------------

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}
bool ReadAll(int fd, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::recv(fd, data, size, 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}
bool SendFrame(int fd, const Bytes& message) {
  Bytes frame(4 + message.size());
  StoreU32(frame.data(), static_cast<std::uint32_t>(message.size()));
  std::memcpy(frame.data() + 4, message.data(), message.size());
  return WriteAll(fd, frame.data(), frame.size());
}
bool ReadFrame(int fd, Bytes& message) {
  std::uint8_t length[4];
  if (!ReadAll(fd, length, 4)) return false;
  message.resize(LoadU32(length));
  return ReadAll(fd, message.data(), message.size());
}
void NoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}
int ListenTcp(std::uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4096) != 0) {
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}
int ConnectTcp(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  NoDelay(fd);
  return fd;
}

// A relay over TCP: every connection first says its user code (4 bytes); each frame after that goes
// to the connection of the message's target (offset 4 of a chat message), as a server routes it.
class TTcpRelay {
 public:
  TTcpRelay() {
    listen_fd_ = ListenTcp(port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~TTcpRelay() {
    stop_ = true;
    thread_.join();
    for (auto& c : conns_) ::close(c.fd);
    ::close(listen_fd_);
  }
  std::uint16_t Port() const { return port_; }
  // Whether `users` connections have said their code within `timeout_ms`.
  bool WaitForUsers(std::size_t users, int timeout_ms) const {
    for (int waited = 0; known_ < users; waited += 10) {
      if (waited >= timeout_ms) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  // Connects as `user`.
  int Join(std::uint32_t user) {
    int fd = ConnectTcp(port_);
    std::uint8_t code[4];
    StoreU32(code, user);
    WriteAll(fd, code, 4);
    return fd;
  }

 private:
  struct Conn {
    int fd;
    Bytes in;
    std::uint32_t user = 0;
  };
  void Run() {
    std::vector<pollfd> fds;
    while (!stop_) {
      fds.clear();
      fds.push_back({listen_fd_, POLLIN, 0});
      for (auto& c : conns_) fds.push_back({c.fd, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        // Every connection waiting, not one per pass: thousands join at once.
        for (int fd; (fd = ::accept(listen_fd_, nullptr, nullptr)) >= 0;) {
          NoDelay(fd);
          conns_.push_back({fd, {}, 0});
          pollfd more{listen_fd_, POLLIN, 0};
          if (::poll(&more, 1, 0) <= 0) break;
        }
      }
      for (std::size_t i = 1; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        Conn& c = conns_[i - 1];
        std::uint8_t buffer[65536];
        ssize_t n = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0) continue;
        c.in.insert(c.in.end(), buffer, buffer + n);
        std::size_t at = 0;
        if (c.user == 0 && c.in.size() >= 4) {
          c.user = LoadU32(c.in.data());
          by_user_[c.user] = c.fd;
          ++known_;
          at = 4;
        }
        while (c.user != 0 && c.in.size() - at >= 4) {
          const std::size_t length = LoadU32(c.in.data() + at);
          if (c.in.size() - at - 4 < length) break;
          if (length >= 8) {
            auto target = by_user_.find(LoadU32(c.in.data() + at + 4 + cw::text::kTarget));
            if (target != by_user_.end()) WriteAll(target->second, c.in.data() + at, 4 + length);
          }
          at += 4 + length;
        }
        c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(at));
      }
    }
  }
  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::vector<Conn> conns_;
  std::unordered_map<std::uint32_t, int> by_user_;
  std::atomic<std::size_t> known_{0};
  std::thread thread_;
};

Percentiles TcpLatency(int from, int to, const Bytes& message, int rounds) {
  std::vector<double> samples;
  Bytes got;
  for (int i = 0; i < rounds; ++i) {
    auto start = Clock::now();
    if (!SendFrame(from, message) || !ReadFrame(to, got)) return {};
    samples.push_back(Ms(Clock::now() - start));
  }
  return Of(samples);
}

// ---- Our side ------------------------------------------------------------------------------------------

// Accounts and friendships (user i with user i+1, for every even i) before the server starts.
bool Seed(const std::string& location, int users) {
  std::unique_ptr<server::IAccountStore> store = server::OpenStore(location);
  std::unique_ptr<server::IFriendStore> friends = server::OpenFriendStore(location);
  server::TPasswordHasher hasher(server::THashCost::kMin);
  server::TAccount a;
  a.password_hash = hasher.Hash(MD5(kPassword, 2));
  for (int i = 0; i < users; ++i) {
    a.code = kFirstCode + static_cast<std::uint32_t>(i);
    a.nickname = "用户" + std::to_string(a.code);
    if (store->Create(a) != a.code) return false;
    if (i % 2 == 1) friends->MakeFriends(a.code - 1, a.code);
  }
  return true;
}

struct TNode {
  testing::TServerProcess process;
  bool Start(const std::string& data, const std::string& store, const std::string& node) {
    std::vector<std::string> args{"--data",     data, "--login-port", "0",  "--home-port", "0",
                                  "--web-port", "0",  "--hash-cost",  "min", "--sign-in-rate", "0"};
    if (!store.empty()) args.insert(args.end(), {"--store", store, "--node", node});
    std::string error;
    if (!process.Start(testing::ServerBinary(), args, 30000, &error)) {
      std::fprintf(stderr, "server did not start: %s\n", error.c_str());
      return false;
    }
    return true;
  }
  ~TNode() {
    if (process.Running()) {
      process.Signal(SIGTERM);
      process.Wait();
    }
  }
};

struct TUser {
  testing::TProtocolClient client;
  testing::TProtocolClient::SignIn session;
  bool SignIn(const WireAddress& login, std::uint32_t code) {
    session = client.SignInVia(login, {code, kPassword}, 600000);
    // The friend list is there: kept messages are handed out from now on.
    return session.ok() &&
           client.Ask(session.home, testing::FriendListRequest(code), friend_wire::kList, 60000);
  }
};

// One message at a time from `send` until B has it.
Percentiles OurLatency(const std::function<bool(const Bytes&)>& send, testing::TProtocolClient& b,
                       std::uint32_t from, std::uint32_t to, std::size_t size, int rounds) {
  std::vector<double> samples;
  for (int i = 0; i < rounds; ++i) {
    Bytes message = testing::ChatText(from, to, kSendTime + i, size);
    auto start = Clock::now();
    if (!send(message) || !b.WaitFor(cw::kChatMessage, 0, 30000)) return {};
    samples.push_back(Ms(Clock::now() - start));
  }
  return Of(samples);
}

void PrintLatency(const std::string& what, const Percentiles& ours, const std::string& peer,
                  const Percentiles& theirs) {
  kivbench::Print({"chat", "latency_" + what + "_p50_ms", "ms", ours.p50, {{peer, theirs.p50}}});
  kivbench::Print({"chat", "latency_" + what + "_p99_ms", "ms", ours.p99, {{peer, theirs.p99}}});
  std::fprintf(stderr, "%-22s ours p50 %8.3f p99 %8.3f ms   %s p50 %8.3f p99 %8.3f ms\n", what.c_str(),
               ours.p50, ours.p99, peer.c_str(), theirs.p50, theirs.p99);
}

struct TSizeCase {
  const char* name;
  std::size_t size;
  int rounds;
};
constexpr TSizeCase kSizes[] = {{"100B", 100 - cw::text::kHeaderSize, 300}, {"100KB", 100 * 1024, 100}};

// The TCP figures for every size: through the relay and direct.
struct TTcpFigures {
  Percentiles relay[2], direct[2];
};
TTcpFigures MeasureTcp() {
  TTcpFigures f;
  TTcpRelay relay;
  int a = relay.Join(kFirstCode), b = relay.Join(kFirstCode + 1);
  std::uint16_t port = 0;
  int listener = ListenTcp(port);
  int da = ConnectTcp(port);
  int db = ::accept(listener, nullptr, nullptr);
  NoDelay(db);
  relay.WaitForUsers(2, 10000);
  for (int i = 0; i < 2; ++i) {
    Bytes message = testing::ChatText(kFirstCode, kFirstCode + 1, kSendTime, kSizes[i].size);
    f.relay[i] = TcpLatency(a, b, message, kSizes[i].rounds);
    f.direct[i] = TcpLatency(da, db, message, kSizes[i].rounds);
  }
  for (int fd : {a, b, da, db, listener}) ::close(fd);
  return f;
}

// Messages per second for `pairs` pairs of clients, each sender sending `messages` of `code`.
double OurThroughput(const WireAddress& login, int pairs, int messages, std::uint32_t code) {
  std::vector<std::unique_ptr<TUser>> users(static_cast<std::size_t>(2 * pairs));
  for (auto& u : users) u = std::make_unique<TUser>();
  std::atomic<int> next{0}, ok{0};
  // The test clients' transports send no keep-alives of their own: while the others sign in, each
  // signed-in one says its state every few seconds so that the server does not age it out.
  std::atomic<bool> waiting{true};
  std::vector<std::atomic<bool>> ready(users.size());
  std::thread keeper([&] {
    while (waiting) {
      for (std::size_t i = 0; i < users.size() && waiting; ++i)
        if (ready[i])
          users[i]->client.Send(users[i]->session.home, testing::UserState(users[i]->session.user, 1));
      for (int k = 0; k < 30 && waiting; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 32; ++t)
    threads.emplace_back([&] {
      for (int i; (i = next++) < 2 * pairs;)
        if (users[static_cast<std::size_t>(i)]->SignIn(login, kFirstCode + static_cast<std::uint32_t>(i))) {
          ready[static_cast<std::size_t>(i)] = true;
          ++ok;
        }
    });
  for (auto& t : threads) t.join();
  threads.clear();
  waiting = false;
  keeper.join();
  if (ok != 2 * pairs) {
    std::fprintf(stderr, "only %d of %d clients signed in\n", ok.load(), 2 * pairs);
    return 0;
  }
  auto start = Clock::now();
  for (int p = 0; p < pairs; ++p) {
    TUser& sender = *users[static_cast<std::size_t>(2 * p)];
    const std::uint32_t from = kFirstCode + static_cast<std::uint32_t>(2 * p);
    for (int m = 0; m < messages; ++m) {
      Bytes message = code == cw::kChatMessage ? testing::ChatText(from, from + 1, kSendTime + m, 76)
                                               : testing::ChatOperate(from, from + 1, 100000 + m, 4, 1);
      sender.client.Send(sender.session.home, message);
    }
  }
  std::atomic<int> received{0};
  next = 0;
  for (int t = 0; t < 16; ++t)
    threads.emplace_back([&] {
      for (int p; (p = next++) < pairs;) {
        TUser& receiver = *users[static_cast<std::size_t>(2 * p + 1)];
        for (int m = 0; m < messages; ++m)
          if (receiver.client.WaitFor(code, receiver.session.home, 120000)) ++received;
      }
    });
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (received != pairs * messages) {
    std::fprintf(stderr, "only %d of %d messages arrived\n", received.load(), pairs * messages);
    return 0;
  }
  return received / seconds;
}

double TcpThroughput(int pairs, int messages, std::uint32_t code) {
  TTcpRelay relay;
  std::vector<int> fds;
  for (int i = 0; i < 2 * pairs; ++i) {
    fds.push_back(relay.Join(kFirstCode + static_cast<std::uint32_t>(i)));
    // A lost frame fails the figure instead of blocking the run.
    timeval timeout{30, 0};
    ::setsockopt(fds.back(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
  if (!relay.WaitForUsers(fds.size(), 60000)) {
    std::fprintf(stderr, "the TCP relay did not see every user join\n");
    for (int fd : fds) ::close(fd);
    return 0;
  }
  auto start = Clock::now();
  for (int p = 0; p < pairs; ++p) {
    const std::uint32_t from = kFirstCode + static_cast<std::uint32_t>(2 * p);
    for (int m = 0; m < messages; ++m)
      SendFrame(fds[static_cast<std::size_t>(2 * p)],
                code == cw::kChatMessage ? testing::ChatText(from, from + 1, kSendTime + m, 76)
                                         : testing::ChatOperate(from, from + 1, 100000 + m, 4, 1));
  }
  std::atomic<int> received{0}, next{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 16; ++t)
    threads.emplace_back([&] {
      Bytes got;
      for (int p; (p = next++) < pairs;)
        for (int m = 0; m < messages; ++m)
          if (ReadFrame(fds[static_cast<std::size_t>(2 * p + 1)], got)) ++received;
    });
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (int fd : fds) ::close(fd);
  return received == pairs * messages ? received / seconds : 0;
}

}  // namespace

int main(int argc, char** argv) {
  int pairs = 1000, messages = 10;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--pairs") == 0) pairs = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--messages") == 0) messages = std::max(1, std::atoi(argv[i + 1]));
  }
  const TTcpFigures tcp = MeasureTcp();

  // Stored and direct on one node (SQLite).
  {
    TestDir dir;
    const std::string db = (dir.path() / "kivora.db").string();
    if (!Seed(db, std::max(2, 2 * pairs))) return 1;
    TNode node;
    if (!node.Start(dir.path().string(), "", "")) return 1;
    TUser a, b;
    if (!a.SignIn(node.process.Login(), kFirstCode) || !b.SignIn(node.process.Login(), kFirstCode + 1))
      return 1;
    testing::TProtocolClient da, db_client;
    const std::uint16_t direct = da.Connect({"127.0.0.1", db_client.LocalPort()});
    for (int i = 0; i < 2; ++i) {
      Percentiles stored = OurLatency([&](const Bytes& m) { return a.client.Send(a.session.home, m); },
                                      b.client, kFirstCode, kFirstCode + 1, kSizes[i].size, kSizes[i].rounds);
      Percentiles ours_direct =
          OurLatency([&](const Bytes& m) { return direct != 0 && da.SendOn(direct, m, cw::kTextChannel); },
                     db_client, kFirstCode, kFirstCode + 1, kSizes[i].size, kSizes[i].rounds);
      if (!stored.ok || !ours_direct.ok) return 1;
      PrintLatency(std::string(kSizes[i].name) + "_stored", stored, "tcp_nodelay_relay", tcp.relay[i]);
      PrintLatency(std::string(kSizes[i].name) + "_direct", ours_direct, "tcp_nodelay_direct", tcp.direct[i]);
    }
    a.client.Disconnect(a.session.home);
    b.client.Disconnect(b.session.home);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    for (std::uint32_t code : {cw::kChatMessage, cw::kOperate}) {
      const char* what = code == cw::kChatMessage ? "stored" : "relayed";
      const double ours = OurThroughput(node.process.Login(), pairs, messages, code);
      const double theirs = TcpThroughput(pairs, messages, code);
      if (ours == 0 || theirs == 0) return 1;
      kivbench::Print({"chat",
                       std::string("msgs_per_s_") + what + "_" + std::to_string(pairs) + "_pairs",
                       "messages/s",
                       ours,
                       {{"tcp_nodelay_relay", theirs}}});
      std::fprintf(stderr, "%-22s ours %10.0f msgs/s   tcp relay %10.0f msgs/s\n", what, ours, theirs);
      if (code == cw::kChatMessage) {
        // The clients of the first run sign out before the second signs in again.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
      }
    }
  }

  // Relayed as temporary data to the friend's node: two nodes on PostgreSQL.
  testing::TPgCluster cluster;
  if (!cluster.Available()) {
    std::fprintf(stderr, "relayed latency skipped: %s\n", cluster.Reason().c_str());
    return 0;
  }
  const std::string url = cluster.CreateDatabase("bench_chat");
  if (url.empty() || !Seed(url, 2)) return 1;
  TestDir dir;
  TNode node_a, node_b;
  if (!node_a.Start((dir.path() / "a").string(), url, "a") ||
      !node_b.Start((dir.path() / "b").string(), url, "b"))
    return 1;
  TUser a, b;
  if (!a.SignIn(node_a.process.Login(), kFirstCode) || !b.SignIn(node_b.process.Login(), kFirstCode + 1))
    return 1;
  for (int i = 0; i < 2; ++i) {
    Percentiles relayed =
        OurLatency([&](const Bytes& m) { return a.client.SendTemp(node_b.process.Home(), m) != 0; }, b.client,
                   kFirstCode, kFirstCode + 1, kSizes[i].size, kSizes[i].rounds);
    if (!relayed.ok) return 1;
    PrintLatency(std::string(kSizes[i].name) + "_relayed", relayed, "tcp_nodelay_relay", tcp.relay[i]);
  }
  return 0;
}
