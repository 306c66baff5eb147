// TKivUDP on real loopback sockets: handshake, delivery in every mode, disconnects, flow control,
// the probe, ageing, repeated handshakes and the bounds on peers that arrive unannounced.
// Time-dependent rules run on a manual clock, so nothing waits for seconds of wall time.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/files.h"
#include "base/proxy.h"
#include "base/wire.h"
#include "danted.h"
#include "udp_datagram.h"
#include "udp_kivudp.h"

namespace kiv {
namespace {

using namespace std::chrono_literals;

// The "main thread" of mode 0 for tests. All mode-0 engines of a test share the test thread as their
// main thread, so processing events on any of them reads every engine's socket and runs every posted
// task, as one event loop would.
class TTestMainThread : public TMainThread {
 public:
  TTestMainThread() { All().push_back(this); }
  ~TTestMainThread() override { std::erase(All(), this); }
  void Attach(TKivSocket* socket) { socket_ = socket; }
  void SocketOpened(int fd) override { fd_ = fd; }
  void SocketClosing(int) override { fd_ = -1; }
  void Post(std::function<void()> task) override {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  void ProcessEvents() override {
    for (TTestMainThread* loop : All()) loop->RunOwn();
  }

 private:
  static std::vector<TTestMainThread*>& All() {
    static std::vector<TTestMainThread*> loops;
    return loops;
  }
  void RunOwn() {
    if (fd_ >= 0 && socket_) socket_->ReadData();
    std::vector<std::function<void()>> tasks;
    {
      std::lock_guard lock(mutex_);
      tasks.swap(tasks_);
    }
    for (auto& task : tasks) task();
  }

  TKivSocket* socket_ = nullptr;
  int fd_ = -1;
  std::mutex mutex_;
  std::vector<std::function<void()>> tasks_;
};

// An engine with its callbacks recorded.
struct TEndpoint {
  explicit TEndpoint(std::uint8_t mode, TClock* clock = nullptr, TEngineOptions options = {}) : mode(mode) {
    options.main_thread = &main_thread;
    options.clock = clock;
    options.stop_wait_ms = 500;  // raw peers never answer a disconnect
    engine = std::make_unique<TKivUDP>(options);
    main_thread.Attach(engine.get());
    engine->SetCallbacks(
        [this](std::uint16_t h, const std::uint8_t* d, std::uint32_t n) {
          std::lock_guard lock(mutex);
          messages.push_back({h, {d, d + n}});
          cv.notify_all();
        },
        [this](std::uint16_t h, std::uint8_t reason) {
          std::lock_guard lock(mutex);
          disconnects.emplace_back(h, reason);
          cv.notify_all();
        });
    started = engine->Start(0, mode);
  }
  ~TEndpoint() { engine.reset(); }

  // Waits until `done` holds, running mode 0's events meanwhile. A hang guard, not a timing check.
  bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      main_thread.ProcessEvents();
      {
        std::unique_lock lock(mutex);
        if (done()) return true;
        cv.wait_for(lock, 1ms);
      }
    }
    std::lock_guard lock(mutex);
    return done();
  }

  std::uint8_t mode;
  TTestMainThread main_thread;
  std::unique_ptr<TKivUDP> engine;
  bool started = false;
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> messages;
  std::vector<std::pair<std::uint16_t, std::uint8_t>> disconnects;
};

// Connects `a` to `b`. Mode-0 engines answer while `a` waits, since waiting processes the events
// of every mode-0 engine of the test.
std::uint16_t Join(TEndpoint& a, TEndpoint& b) {
  return a.engine->Connect("127.0.0.1", b.engine->LocalPort(), 5000);
}

std::vector<std::uint8_t> Message(std::size_t size, std::uint8_t seed) {
  std::vector<std::uint8_t> m(size);
  for (std::size_t i = 0; i < size; ++i) m[i] = static_cast<std::uint8_t>(seed + i * 13);
  return m;
}

// A bare UDP socket that speaks the handshake by hand, to see and forge exact datagrams.
class TRawPeer {
 public:
  // Bound to `ip` (any address of 127/8 is loopback), so that peers can differ by address too.
  explicit TRawPeer(const char* ip = "127.0.0.1") {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
  }
  ~TRawPeer() { ::close(fd_); }
  std::uint16_t port() const { return port_; }

  void Send(std::uint16_t to, std::uint8_t type, std::uint16_t remote_id, std::vector<std::uint8_t> payload) {
    std::vector<std::uint8_t> d(kHeaderSize + payload.size());
    TDatagramHeader h;
    h.type = type;
    h.remote_id = remote_id;
    EncodeHeader(h, d.data());
    std::copy(payload.begin(), payload.end(), d.begin() + kHeaderSize);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(to);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  // One reliable frame (unscrambled) of a message of `total` bytes.
  void SendFrame(std::uint16_t to, std::uint8_t type, std::uint16_t remote_id, std::uint8_t channel,
                 std::uint32_t sequence, std::uint32_t total, std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> d(kHeaderSize + payload.size());
    TDatagramHeader h;
    h.type = type;
    h.remote_id = remote_id;
    h.channel = channel;
    h.sequence = sequence;
    h.fragment_length = static_cast<std::uint16_t>(payload.size());
    h.total_length = total;
    EncodeHeader(h, d.data());
    std::copy(payload.begin(), payload.end(), d.begin() + kHeaderSize);
    SendBytes(to, d);
  }
  // A whole message as consecutive fragments from `first_sequence`; the next free sequence.
  std::uint32_t SendMessage(std::uint16_t to, std::uint8_t type, std::uint16_t remote_id,
                            std::uint8_t channel, std::uint32_t first_sequence,
                            std::span<const std::uint8_t> message) {
    std::uint32_t sequence = first_sequence;
    for (std::size_t offset = 0; offset < message.size(); offset += kMaxFragmentPayload, ++sequence) {
      SendFrame(to, type, remote_id, channel, sequence, static_cast<std::uint32_t>(message.size()),
                message.subspan(offset, std::min(kMaxFragmentPayload, message.size() - offset)));
      // Paced, so the receiver's socket buffer never overflows on a loaded machine.
      if (sequence % 64 == 0) std::this_thread::sleep_for(1ms);
    }
    return sequence;
  }
  void SendBytes(std::uint16_t to, std::span<const std::uint8_t> d) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(to);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  void SendHandshake(std::uint16_t to, std::uint8_t kind, std::uint16_t first, std::uint16_t second) {
    std::vector<std::uint8_t> r(5);
    r[0] = kind;
    StoreU16(&r[1], first);
    StoreU16(&r[3], second);
    Send(to, kTypeHandshake, 0, r);
  }
  // The next datagram, restored; none within `wait`.
  std::optional<std::vector<std::uint8_t>> Receive(std::chrono::milliseconds wait = 2000ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
    std::vector<std::uint8_t> d(kReceiveBufferSize);
    ssize_t n = ::recv(fd_, d.data(), d.size(), 0);
    if (n < 0) return std::nullopt;
    d.resize(static_cast<std::size_t>(n));
    if (!DataRestore(d.data(), d.size())) return std::nullopt;
    return d;
  }
  // Datagrams of `type` received until `wait` passes without one.
  std::vector<std::vector<std::uint8_t>> Drain(std::uint8_t type, std::chrono::milliseconds wait = 200ms) {
    std::vector<std::vector<std::uint8_t>> got;
    while (auto d = Receive(wait)) {
      if ((*d)[kOffType] == type) got.push_back(*d);
    }
    return got;
  }

 private:
  int fd_;
  std::uint16_t port_;
};

// Connects `e` to a raw peer that answers the handshake by hand (as handle 7) and then stays silent.
std::uint16_t ConnectToRaw(TEndpoint& e, TRawPeer& raw) {
  std::thread answer([&] {
    if (auto request = raw.Receive())
      raw.SendHandshake(e.engine->LocalPort(), 1, 7, LoadU16(request->data() + kHeaderSize + 3));
  });
  std::uint16_t handle = e.engine->Connect("127.0.0.1", raw.port(), 5000);
  answer.join();
  return handle;
}

// `raw` asks `e` for an association as handle `raw_handle`; with `confirm` it also sends the
// confirmation. The handle `e` gave the association, or 0.
std::uint16_t RawHandshake(TEndpoint& e, TRawPeer& raw, std::uint16_t raw_handle, bool confirm) {
  raw.SendHandshake(e.engine->LocalPort(), 0, 0, raw_handle);
  for (int i = 0; i < 5000; ++i) {
    e.main_thread.ProcessEvents();
    auto reply = raw.Receive(1ms);
    if (!reply || (*reply)[kOffType] != kTypeHandshake) continue;
    std::uint16_t handle = LoadU16(reply->data() + kHeaderSize + 1);
    if (confirm) raw.SendHandshake(e.engine->LocalPort(), 3, handle, raw_handle);
    return handle;
  }
  return 0;
}

class EngineModes : public ::testing::TestWithParam<int> {};

TEST_P(EngineModes, ConnectDeliverInOrderAndDisconnectBothSides) {
  auto mode = static_cast<std::uint8_t>(GetParam());
  TEndpoint a(mode), b(mode);
  ASSERT_TRUE(a.started && b.started);
  std::uint16_t handle = Join(a, b);
  ASSERT_NE(handle, 0);
  EXPECT_EQ(a.engine->Connect("127.0.0.1", b.engine->LocalPort(), 1000), handle);  // already working

  // Messages of many sizes on three channels arrive whole and in order per channel. Byte 0 numbers
  // each message and byte 1 names its channel (the application is not told the channel).
  std::vector<std::vector<std::uint8_t>> sent;
  for (int i = 0; i < 60; ++i) {
    auto m = Message(8 + static_cast<std::size_t>((i * 7919) % 9000), static_cast<std::uint8_t>(i));
    m[0] = static_cast<std::uint8_t>(i);
    m[1] = static_cast<std::uint8_t>(1 + i % 3);
    ASSERT_TRUE(a.engine->SendData(handle, m, m[1], 0, 0));
    sent.push_back(m);
  }
  ASSERT_TRUE(b.WaitFor([&] { return b.messages.size() == sent.size(); }));
  for (std::uint8_t channel = 1; channel <= 3; ++channel) {
    std::vector<std::vector<std::uint8_t>> expected, got;
    for (const auto& m : sent)
      if (m[1] == channel) expected.push_back(m);
    for (const auto& [h, m] : b.messages)
      if (m.size() > 1 && m[1] == channel) got.push_back(m);
    EXPECT_EQ(got, expected) << "channel " << int(channel);
  }

  // A reply from inside the data callback works (the lock is not held while calling out).
  std::uint16_t b_handle = b.messages.front().first;
  ASSERT_TRUE(b.engine->SendData(b_handle, Message(3000, 9), 5, 0, 0));
  ASSERT_TRUE(a.WaitFor([&] { return a.messages.size() == 1; }));
  EXPECT_EQ(a.messages[0].second, Message(3000, 9));

  ASSERT_TRUE(a.engine->Disconnect(handle));
  ASSERT_TRUE(a.WaitFor([&] { return !a.disconnects.empty() && !b.disconnects.empty(); }));
  EXPECT_EQ(a.disconnects,
            (std::vector<std::pair<std::uint16_t, std::uint8_t>>{{handle, kReasonDisconnected}}));
  EXPECT_EQ(b.disconnects,
            (std::vector<std::pair<std::uint16_t, std::uint8_t>>{{b_handle, kReasonDisconnected}}));
  EXPECT_EQ(a.engine->PeerCount(), 0u);
  EXPECT_FALSE(a.engine->Disconnect(handle));
}

INSTANTIATE_TEST_SUITE_P(AllModes, EngineModes, ::testing::Values(0, 1, 2));

TEST(Engine, ProbeIsAnsweredWithOneEightyByteReplyAndNotDelivered) {
  TEndpoint a(1), b(1);
  std::uint16_t handle = Join(a, b);
  ASSERT_NE(handle, 0);
  std::vector<std::uint8_t> probe(4);
  StoreU32(probe.data(), kCodeProbe);
  ASSERT_TRUE(a.engine->SendData(handle, probe, 0, 0, 0));
  ASSERT_TRUE(a.WaitFor([&] { return !a.messages.empty(); }));
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(a.messages.size(), 1u);
  const auto& reply = a.messages[0].second;
  ASSERT_EQ(reply.size(), kProbeReplySize);
  RecordReader r(reply);
  EXPECT_EQ(r.u32(0), kCodeProbeReply);
  // Bytes 4..24: the local address as a length byte and up to 20 characters, zero after them (a
  // machine without a network but loopback has no address to give).
  const std::string address = b.engine->LocalAddress();
  ASSERT_LE(address.size(), 20u);
  EXPECT_EQ(reply[4], address.size());
  EXPECT_EQ(std::string(reply.begin() + 5, reply.begin() + 5 + static_cast<std::ptrdiff_t>(address.size())),
            address);
  for (std::size_t i = 5 + address.size(); i <= 25; ++i) EXPECT_EQ(reply[i], 0) << i;
  EXPECT_EQ(r.u16(26), b.engine->LocalPort());
  EXPECT_EQ(r.u32(28), 1u);
  // The per-second figures: nothing has taken a second's snapshot yet.
  for (std::size_t offset : {32u, 36u, 40u, 44u}) EXPECT_EQ(r.u32(offset), 0u) << offset;
  EXPECT_LE(r.u32(48), 1u);  // the dispatch queue: at most the probe itself
  EXPECT_EQ(r.u32(52), 0u);
  const std::uint64_t memory = r.u32(56) | std::uint64_t{r.u32(60)} << 32;
  EXPECT_GT(memory, 1u << 20);  // the working set of this test process
  EXPECT_LT(memory, std::uint64_t{64} << 30);
  const std::uint64_t cpu = r.u32(64) | std::uint64_t{r.u32(68)} << 32;
  EXPECT_LE(cpu, 100u);  // a load in percent
  EXPECT_EQ(r.i32(72), 10005);
  EXPECT_EQ(r.u32(76), 0u);
  EXPECT_TRUE(b.messages.empty());
}

TEST(Engine, TerminationOrderFromAPeerThatIsNoServerIsDropped) {
  TEndpoint a(1), b(1);
  std::uint16_t handle = Join(a, b);
  ASSERT_NE(handle, 0);
  std::vector<std::uint8_t> order(4);
  StoreU32(order.data(), kCodeTerminate);
  ASSERT_TRUE(a.engine->SendData(handle, order, 0, 0, 0));
  ASSERT_TRUE(a.engine->SendData(handle, Message(10, 1), 0, 0, 0));
  ASSERT_TRUE(b.WaitFor([&] { return !b.messages.empty(); }));
  EXPECT_EQ(b.messages[0].second, Message(10, 1));  // still alive, order not delivered
}

// b marks a as its server; a orders b to end.
void ServerOrdersTermination() {
  TEndpoint a(1);
  TEndpoint b(1);
  std::uint16_t handle = Join(a, b);
  b.WaitFor([&] { return b.engine->PeerCount() == 1; });
  b.engine->SetServerPeer(1, true);
  std::vector<std::uint8_t> order(4);
  StoreU32(order.data(), kCodeTerminate);
  a.engine->SendData(handle, order, 0, 0, 0);
  std::this_thread::sleep_for(10s);
  std::exit(3);
}

TEST(EngineDeathTest, TerminationOrderFromAServerEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ServerOrdersTermination(), ::testing::ExitedWithCode(0), "");
}

TEST(Engine, FlowControlAnswersAtThreshold) {
  TRawPeer raw;  // completes the handshake, then never acknowledges anything
  TEndpoint a(1);
  std::uint16_t handle = ConnectToRaw(a, raw);
  ASSERT_NE(handle, 0);

  auto m1200 = Message(1200, 1), m100 = Message(100, 2);
  EXPECT_TRUE(a.engine->SendData(handle, m1200, 4, 1000, 0));  // nothing pending: accepted
  EXPECT_EQ(a.engine->GetSendChannelSize(handle, 4), 1200u);
  EXPECT_FALSE(a.engine->SendData(handle, m100, 4, 1000, 0));  // 1200 pending: refused, flag cleared
  EXPECT_FALSE(a.engine->SendData(handle, m100, 4, 1000, 0));  // refused until the channel is empty
  EXPECT_TRUE(a.engine->SendData(handle, m100, 4, 1000, 1));   // mode 1: 1200 < 2000
  EXPECT_TRUE(a.engine->SendData(handle, m100, 4, 1000, 1));   // 1300 < 2000
  EXPECT_TRUE(a.engine->SendData(handle, Message(700, 3), 4, 1000, 1));  // 1400 < 2000
  EXPECT_FALSE(a.engine->SendData(handle, m100, 4, 1000, 1));            // 2100 >= 2000
  EXPECT_TRUE(a.engine->SendData(handle, m100, 4, 0, 0));                // threshold 0 always queues
  EXPECT_FALSE(a.engine->SendData(0, m100, 4, 0, 0));
  EXPECT_FALSE(a.engine->SendData(9998, m100, 4, 0, 0));
}

TEST(Engine, RepeatedHandshakeKeepsOrResetsTheAssociation) {
  TManualClock clock(1'000'000);
  TEndpoint b(1, &clock);
  TRawPeer raw;
  raw.SendHandshake(b.engine->LocalPort(), 0, 0, 42);
  auto first = raw.Drain(kTypeHandshake);
  clock.Advance(3000);
  raw.SendHandshake(b.engine->LocalPort(), 0, 0, 42);
  auto second = raw.Drain(kTypeHandshake);
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(first[0], second[0]);  // two identical replies
  const std::uint8_t* record = first[0].data() + kHeaderSize;
  EXPECT_EQ(record[0], 1);
  std::uint16_t handle = LoadU16(record + 1);
  EXPECT_EQ(LoadU16(record + 3), 42);
  EXPECT_EQ(b.engine->PeerCount(), 1u);
  EXPECT_TRUE(b.disconnects.empty());

  clock.Advance(8000);  // 11 s after the first request
  raw.SendHandshake(b.engine->LocalPort(), 0, 0, 43);
  auto third = raw.Drain(kTypeHandshake);
  ASSERT_EQ(third.size(), 1u);
  EXPECT_EQ(LoadU16(third[0].data() + kHeaderSize + 1), handle);  // same handle kept
  EXPECT_EQ(LoadU16(third[0].data() + kHeaderSize + 3), 43);
  ASSERT_TRUE(b.WaitFor([&] { return !b.disconnects.empty(); }));
  EXPECT_EQ(b.disconnects[0], std::make_pair(handle, kReasonDisconnected));
  EXPECT_EQ(b.engine->PeerCount(), 1u);
}

// Requests are repeated after 250 ms, then after twice as long each time, up to once a second.
// On the steady clock: a manual one stepped by a thread would make the gaps depend on the load.
TEST(Engine, ConnectRetriesWithBackOffToOneSecondAndGivesUp) {
  TEndpoint a(1);
  TRawPeer silent;
  std::atomic<bool> done{false};
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::int64_t> arrivals;
  std::thread listener([&] {
    while (!done) {
      if (auto d = silent.Receive(20ms); d && (*d)[kOffType] == kTypeHandshake)
        arrivals.push_back(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count());
    }
  });
  std::uint16_t handle = a.engine->Connect("127.0.0.1", silent.port(), 3200);
  std::this_thread::sleep_for(50ms);
  done = true;
  listener.join();
  EXPECT_EQ(handle, 0);
  const std::vector<std::int64_t> expected = {0, 250, 750, 1750, 2750};
  ASSERT_EQ(arrivals.size(), expected.size());
  for (std::size_t i = 1; i < expected.size(); ++i)
    EXPECT_NEAR(arrivals[i] - arrivals[0], expected[i], 150) << i;
  EXPECT_EQ(a.engine->PeerCount(), 0u);
}

TEST(Engine, SilentPeerIsAgedOutWithReasonZero) {
  TManualClock clock(0);
  TEndpoint a(2, &clock);
  TRawPeer raw;
  std::uint16_t handle = ConnectToRaw(a, raw);
  ASSERT_NE(handle, 0);
  for (int pass = 1; pass <= 3; ++pass) {
    clock.Advance(a.engine->Constants().AgeingInterval);
    a.engine->Wake();
    if (pass < 3) {
      std::this_thread::sleep_for(50ms);
      EXPECT_TRUE(a.disconnects.empty()) << pass;
    }
  }
  ASSERT_TRUE(a.WaitFor([&] { return !a.disconnects.empty(); }));
  EXPECT_EQ(a.disconnects[0], std::make_pair(handle, kReasonAgedOut));
}

// Handles go out in order from 1 and are reused only after the range up to 9999 was passed; with
// 9999 peers a request is ignored, and with a slot free again the same request is answered.
TEST(Engine, FullTableIgnoresNewRequestsAndHandlesWrapAfter9999) {
  TEndpoint b(1);
  TRawPeer first, late;
  ASSERT_EQ(RawHandshake(b, first, 7, true), 1);  // the positive control: a request is answered
  for (int i = 2; i <= TKivUDP::kMaxPeers; ++i)
    ASSERT_EQ(b.engine->CreateTempRemote("10.9.0.1", static_cast<std::uint16_t>(1000 + i)), i);
  EXPECT_EQ(b.engine->CreateTempRemote("10.9.0.2", 1), 0);
  late.SendHandshake(b.engine->LocalPort(), 0, 0, 5);
  EXPECT_TRUE(late.Drain(kTypeHandshake, 300ms).empty());
  EXPECT_EQ(b.engine->PeerCount(), 9999u);
  EXPECT_EQ(b.engine->Guards().RefusedPeers, 1u);
  // `first` leaves; its handle is the first free one after 9999.
  first.Send(b.engine->LocalPort(), kTypeDisconnect, 0, {0});
  ASSERT_TRUE(b.WaitFor([&] { return b.engine->PeerCount() == 9998; }));
  EXPECT_EQ(RawHandshake(b, late, 5, true), 1);
}

// An association answers only the address that made it. Handles are given out in order, so a
// second socket can name the victim's handle in every kind of frame; each is dropped and counted,
// and leaves the victim's association as it was: same address, its data unacknowledged by the
// forger still queued, its next sequence still free. After each forged frame the victim sends a
// message on a channel of its own; once that arrived, whatever the engine sent the forger is in
// the forger's socket.
TEST(Engine, FramesNamingAHandleFromAnotherAddressAreDroppedAndCounted) {
  TEndpoint b(1);
  TRawPeer victim, forger;
  const std::uint16_t handle = RawHandshake(b, victim, 7, true);
  ASSERT_NE(handle, 0);
  const auto queued = Message(300, 5);
  ASSERT_TRUE(b.engine->SendData(handle, queued, 3, 0, 0));  // the victim never acknowledges it
  const std::uint16_t port = b.engine->LocalPort();
  auto handshake = [&](std::uint8_t kind, std::uint16_t first, std::uint16_t second) {
    forger.SendHandshake(port, kind, first, second);
  };
  const struct {
    const char* name;
    std::function<void()> forge;
  } cases[] = {
      {"data", [&] { forger.SendFrame(port, kTypeData, handle, 2, kFirstSequence, 5, Message(5, 1)); }},
      {"keep-alive",
       [&] { forger.SendFrame(port, kTypeKeepAlive, handle, 0, kFirstSequence, 4, Message(4, 2)); }},
      {"acknowledgement", [&] { forger.SendFrame(port, kTypeAck, handle, 3, kFirstSequence, 0, {}); }},
      {"unreliable", [&] { forger.Send(port, kTypeUnreliable, handle, Message(9, 3)); }},
      {"confirmation", [&] { handshake(3, handle, 7); }},
      {"reply", [&] { handshake(1, 9, handle); }},
  };
  std::uint8_t channel = 10;
  std::uint64_t forged = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.forge();
    ++forged;
    const auto barrier = Message(6, channel);
    victim.SendFrame(port, kTypeData, handle, channel++, kFirstSequence, 6, barrier);
    ASSERT_TRUE(b.WaitFor([&] { return !b.messages.empty(); }));
    {
      std::lock_guard lock(b.mutex);
      EXPECT_EQ(b.messages,
                (std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>>{{handle, barrier}}));
      b.messages.clear();
    }
    EXPECT_FALSE(forger.Receive(0ms).has_value());
    std::string address;
    std::uint16_t peer_port = 0;
    ASSERT_TRUE(b.engine->GetRemoteAdd(handle, address, peer_port));
    EXPECT_EQ(peer_port, victim.port());
    EXPECT_EQ(b.engine->GetSendChannelSize(handle, 3), queued.size());
    EXPECT_EQ(b.engine->Guards().ForeignFrames, forged);
  }
  // The victim's own next frame on the forged data's channel is news, not a duplicate.
  victim.SendFrame(port, kTypeData, handle, 2, kFirstSequence, 5, Message(5, 8));
  ASSERT_TRUE(b.WaitFor([&] { return b.messages.size() == 1; }));
  EXPECT_EQ(b.messages[0].second, Message(5, 8));
  const auto rows = b.engine->Snapshot(false);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].Foreign, forged);
  EXPECT_TRUE(b.disconnects.empty());
}

// A connecting engine takes the handshake reply only from the address it asked: a forger that
// answers first, naming the handle the request carried, gets nothing, and the real reply completes
// the association with the address asked.
TEST(Engine, AHandshakeReplyFromAnotherAddressIsIgnored) {
  TEndpoint a(1);
  TRawPeer server, forger;
  std::thread answer([&] {
    auto request = server.Receive();
    if (!request) return;
    const std::uint16_t asked = LoadU16(request->data() + kHeaderSize + 3);
    forger.SendHandshake(a.engine->LocalPort(), 1, 9, asked);
    // The forged reply is read before the real one: both come from loopback in order of sending.
    server.SendHandshake(a.engine->LocalPort(), 1, 7, asked);
  });
  const std::uint16_t handle = a.engine->Connect("127.0.0.1", server.port(), 5000);
  answer.join();
  ASSERT_NE(handle, 0);
  std::string address;
  std::uint16_t port = 0;
  ASSERT_TRUE(a.engine->GetRemoteAdd(handle, address, port));
  EXPECT_EQ(port, server.port());
  EXPECT_EQ(a.engine->Guards().ForeignFrames, 1u);
  EXPECT_EQ(a.engine->Snapshot(false).at(0).RemoteID, 7);
}

// With a bound on what a peer may leave unacknowledged, a send past it ends the association as
// stalled: refused, the peer told, the application sees reason 1; before it, sends are queued.
// Sends with a threshold are governed by their threshold alone.
TEST(Engine, APeerThatNeverAcknowledgesIsEndedAsStalled) {
  TEngineOptions options;
  options.max_unacknowledged_bytes = 10000;
  TEndpoint b(1, nullptr, options);
  TRawPeer silent;
  const std::uint16_t handle = RawHandshake(b, silent, 7, true);
  ASSERT_NE(handle, 0);
  ASSERT_TRUE(b.engine->SendData(handle, Message(4000, 1), 3, 0, 0));
  ASSERT_TRUE(b.engine->SendData(handle, Message(4000, 2), 4, 0, 0));
  ASSERT_TRUE(b.engine->SendData(handle, Message(1500, 3), 5, 1000, 1));  // paced: not counted here
  EXPECT_FALSE(b.engine->SendData(handle, Message(1000, 4), 3, 0, 0));
  ASSERT_TRUE(b.WaitFor([&] { return !b.disconnects.empty(); }));
  EXPECT_EQ(b.disconnects,
            (std::vector<std::pair<std::uint16_t, std::uint8_t>>{{handle, kReasonDisconnected}}));
  EXPECT_EQ(b.engine->PeerCount(), 0u);
  EXPECT_EQ(b.engine->Guards().Stalled, 1u);
  bool told = false;
  while (auto d = silent.Receive(2000ms)) {
    if ((*d)[kOffType] == kTypeDisconnect && d->size() > kHeaderSize && (*d)[kHeaderSize] == 0) {
      told = true;
      break;
    }
  }
  EXPECT_TRUE(told);
}

// A mode-1 receiver whose application stops taking messages holds no more of one peer's messages
// than max_waiting_bytes_per_peer: the rest stay unacknowledged at the sender, and once the
// application takes messages again every one arrives, in order.
TEST(Engine, APeerFasterThanTheApplicationWaitsAtTheSender) {
  TEngineOptions options;
  options.max_waiting_bytes_per_peer = 20000;
  TEndpoint b(1, nullptr, options);
  std::mutex gate_mutex;
  std::condition_variable gate_cv;
  bool open = false;
  std::vector<std::vector<std::uint8_t>> taken;
  auto open_gate = [&] {
    {
      std::lock_guard lock(gate_mutex);
      open = true;
    }
    gate_cv.notify_all();
  };
  // However the test ends, the dispatch thread must not stay blocked, or stopping would wait for it.
  struct OpenOnExit {
    std::function<void()> open;
    ~OpenOnExit() { open(); }
  } open_on_exit{open_gate};
  b.engine->SetCallbacks(
      [&](std::uint16_t, const std::uint8_t* d, std::uint32_t n) {
        std::unique_lock lock(gate_mutex);
        gate_cv.wait(lock, [&] { return open; });
        taken.emplace_back(d, d + n);
        gate_cv.notify_all();
      },
      [](std::uint16_t, std::uint8_t) {});
  TEndpoint a(1);
  ASSERT_TRUE(a.started && b.started);
  const std::uint16_t handle = Join(a, b);
  ASSERT_NE(handle, 0);
  constexpr int kMessages = 300;
  for (int i = 0; i < kMessages; ++i) ASSERT_TRUE(a.engine->SendData(handle, Message(1000, i), 3, 0, 0));
  // The receiver refuses frames once the bound is reached: the event itself, not a pause.
  ASSERT_TRUE(a.WaitFor([&] { return b.engine->Guards().Backlogged > 0; }));
  EXPECT_LE(b.engine->DispatchQueueLength(), 20000u / 1000u + 1u);
  EXPECT_GT(a.engine->GetSendChannelSize(handle, 3), 0u);
  open_gate();
  std::unique_lock lock(gate_mutex);
  ASSERT_TRUE(gate_cv.wait_for(lock, 60s, [&] { return taken.size() == kMessages; }));
  for (int i = 0; i < kMessages; ++i) EXPECT_EQ(taken[i], Message(1000, i)) << i;
}

// One address holds at most max_peers_per_address peers: further handshake requests and temporary
// data from it make none (counted), while another address is answered at once.
TEST(Engine, PeersPerAddressAreBounded) {
  TEngineOptions options;
  options.max_peers_per_address = 3;
  TEndpoint b(1, nullptr, options);
  std::vector<std::unique_ptr<TRawPeer>> crowd;
  for (int i = 0; i < 3; ++i) {
    crowd.push_back(std::make_unique<TRawPeer>("127.0.0.2"));
    ASSERT_NE(RawHandshake(b, *crowd.back(), 7, false), 0) << i;
  }
  TRawPeer refused("127.0.0.2"), temporary("127.0.0.2"), honest;
  refused.SendHandshake(b.engine->LocalPort(), 0, 0, 7);
  temporary.SendFrame(b.engine->LocalPort(), kTypeTemporaryData, 0, 0, kFirstSequence, 4, Message(4, 1));
  ASSERT_NE(RawHandshake(b, honest, 7, true), 0);  // the barrier: later, from another address
  EXPECT_FALSE(refused.Receive(0ms).has_value());
  EXPECT_FALSE(temporary.Receive(0ms).has_value());
  EXPECT_EQ(b.engine->PeerCount(), 4u);
  EXPECT_EQ(b.engine->Guards().RefusedPeers, 2u);
  EXPECT_TRUE(b.messages.empty());
  // A slot of that address frees up, and the same request is answered.
  crowd.back()->Send(b.engine->LocalPort(), kTypeDisconnect, 0, {0});
  ASSERT_TRUE(b.WaitFor([&] { return b.engine->PeerCount() == 3; }));
  EXPECT_NE(RawHandshake(b, refused, 7, true), 0);
}

// Peers from the network that the application does not adopt within claim_grace_ms are ended (the
// peer told, reason 1); adopted ones and the engine's own connections stay. A new handshake that
// resets an adopted peer starts a new claim period.
TEST(Engine, UnclaimedPeersAreEndedAfterTheGrace) {
  TManualClock clock(1'000'000);
  TEngineOptions options;
  options.claim_grace_ms = 5000;
  TEndpoint b(1, &clock, options);
  TRawPeer kept, dropped, dialled, temporary;
  const std::uint16_t adopted = RawHandshake(b, kept, 7, true);
  const std::uint16_t idle = RawHandshake(b, dropped, 7, true);
  const std::uint16_t own = ConnectToRaw(b, dialled);
  temporary.SendFrame(b.engine->LocalPort(), kTypeTemporaryData, 0, 0, kFirstSequence, 4, Message(4, 1));
  ASSERT_TRUE(b.WaitFor([&] { return b.messages.size() == 1; }));
  const std::uint16_t temp = b.messages[0].first;
  ASSERT_TRUE(adopted && idle && own && temp);
  ASSERT_TRUE(b.engine->Adopt(adopted));
  EXPECT_FALSE(b.engine->Adopt(9000));
  clock.Advance(4999);
  b.engine->Wake();
  kept.SendFrame(b.engine->LocalPort(), kTypeData, adopted, 2, kFirstSequence, 3, Message(3, 1));
  ASSERT_TRUE(b.WaitFor([&] { return b.messages.size() == 2; }));  // a barrier through the engine
  EXPECT_TRUE(b.disconnects.empty());
  clock.Advance(1);
  b.engine->Wake();
  ASSERT_TRUE(b.WaitFor([&] { return b.disconnects.size() == 2; }));
  std::sort(b.disconnects.begin(), b.disconnects.end());
  auto expected = std::vector<std::pair<std::uint16_t, std::uint8_t>>{{idle, kReasonDisconnected},
                                                                      {temp, kReasonDisconnected}};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(b.disconnects, expected);
  EXPECT_EQ(b.engine->PeerCount(), 2u);
  EXPECT_EQ(b.engine->Guards().Unclaimed, 2u);
  for (const TPeerRow& row : b.engine->Snapshot(false)) EXPECT_TRUE(row.Claimed) << row.LocalID;
  // 11 s later the adopted peer's address asks again: a new association, to be claimed anew.
  clock.Advance(11000);
  b.disconnects.clear();
  ASSERT_EQ(RawHandshake(b, kept, 8, true), adopted);
  ASSERT_TRUE(b.WaitFor([&] { return b.disconnects.size() == 1; }));  // the old association ended
  clock.Advance(5000);
  b.engine->Wake();
  ASSERT_TRUE(b.WaitFor([&] { return b.disconnects.size() == 2; }));
  EXPECT_EQ(b.disconnects[1], (std::pair<std::uint16_t, std::uint8_t>{adopted, kReasonDisconnected}));
  EXPECT_TRUE(b.engine->HasPeer("127.0.0.1", dialled.port()));
}

TEST(Engine, UnannouncedPeersAreBoundedAndWorkingPeersKeepWorking) {
  TEngineOptions options;
  options.max_unconfirmed_peers = 50;
  TEndpoint b(1, nullptr, options), a(1);
  std::uint16_t handle = Join(a, b);
  ASSERT_NE(handle, 0);
  {
    std::vector<std::unique_ptr<TRawPeer>> flood;
    for (int i = 0; i < 300; ++i) {
      flood.push_back(std::make_unique<TRawPeer>());
      flood.back()->SendHandshake(b.engine->LocalPort(), 0, 0, 1);
    }
    ASSERT_TRUE(b.WaitFor([&] { return b.engine->PeerCount() >= 50; }));
    std::this_thread::sleep_for(200ms);
  }
  EXPECT_LE(b.engine->PeerCount(), 51u);  // the bound plus the working peer
  ASSERT_TRUE(a.engine->SendData(handle, Message(5000, 4), 3, 0, 0));
  ASSERT_TRUE(b.WaitFor([&] { return !b.messages.empty(); }));
  EXPECT_EQ(b.messages[0].second, Message(5000, 4));
}

TEST(Engine, TemporaryDataReachesAPeerWithoutHandshake) {
  TEndpoint a(1), b(1);
  std::uint16_t temp = a.engine->CreateTempRemote("127.0.0.1", b.engine->LocalPort());
  ASSERT_NE(temp, 0);
  EXPECT_EQ(a.engine->CreateTempRemote("127.0.0.1", b.engine->LocalPort()), temp);
  EXPECT_EQ(a.engine->Connect("127.0.0.1", b.engine->LocalPort(), 100), 0);  // temporary: 0 at once
  EXPECT_TRUE(a.engine->HasPeer("127.0.0.1", b.engine->LocalPort()));
  ASSERT_TRUE(a.engine->SendTempData(temp, Message(2500, 6), 0));
  ASSERT_TRUE(b.WaitFor([&] { return !b.messages.empty(); }));
  EXPECT_EQ(b.messages[0].second, Message(2500, 6));
  std::string address;
  std::uint16_t port = 0;
  EXPECT_TRUE(b.engine->GetRemoteAdd(b.messages[0].first, address, port));
  EXPECT_EQ(address, "127.0.0.1");
  EXPECT_EQ(port, a.engine->LocalPort());
  EXPECT_FALSE(b.engine->GetRemoteAdd(9000, address, port));
}

TEST(Engine, StopDisconnectsPeersAndIsFinal) {
  TEndpoint a(1), b(1);
  ASSERT_NE(Join(a, b), 0);
  EXPECT_TRUE(a.engine->Stop());
  EXPECT_FALSE(a.engine->Stop());
  ASSERT_TRUE(b.WaitFor([&] { return !b.disconnects.empty(); }));
  EXPECT_EQ(b.disconnects[0].second, kReasonDisconnected);
  EXPECT_EQ(a.engine->Connect("127.0.0.1", b.engine->LocalPort(), 100), 0);
}

// A responder whose handshake confirmation was lost still takes a message larger than what it
// holds for unannounced peers, and a small one on another channel: the peer's first frame that
// names its handle from its own address confirms it, and frames in order are never refused.
TEST(Engine, LostConfirmationDoesNotFreezeTheAssociation) {
  TEndpoint b(1);
  TRawPeer raw;
  std::uint16_t handle = RawHandshake(b, raw, 7, /*confirm=*/false);
  ASSERT_NE(handle, 0);
  auto big = Message(300 * 1024, 3), small = Message(40, 4);
  raw.SendMessage(b.engine->LocalPort(), kTypeData, handle, 3, kFirstSequence, big);
  raw.SendMessage(b.engine->LocalPort(), kTypeData, handle, 5, kFirstSequence, small);
  ASSERT_TRUE(b.WaitFor([&] { return b.messages.size() == 2; }));
  EXPECT_EQ(b.messages[0].second, big);
  EXPECT_EQ(b.messages[1].second, small);
  EXPECT_EQ(b.engine->HeldBytes(), 0u);
}

// Temporary data never becomes a handshake, yet a large temporary message arrives, and a peer that
// has exchanged data is not pushed out by a flood of new requests.
TEST(Engine, TemporaryDataOf300KiBArrivesAndItsPeerSurvivesAFlood) {
  TEngineOptions options;
  options.max_unconfirmed_peers = 4;
  TEndpoint a(1), b(1, nullptr, options);
  std::uint16_t temp = a.engine->CreateTempRemote("127.0.0.1", b.engine->LocalPort());
  ASSERT_NE(temp, 0);
  auto big = Message(300 * 1024, 8);
  ASSERT_TRUE(a.engine->SendTempData(temp, big, 0));
  ASSERT_TRUE(b.WaitFor([&] { return b.messages.size() == 1; }));
  EXPECT_EQ(b.messages[0].second, big);
  std::vector<std::unique_ptr<TRawPeer>> flood;
  for (int i = 0; i < 20; ++i) {
    flood.push_back(std::make_unique<TRawPeer>());
    flood.back()->SendHandshake(b.engine->LocalPort(), 0, 0, 1);
  }
  for (auto& raw : flood) ASSERT_TRUE(raw->Receive().has_value());
  EXPECT_LE(b.engine->PeerCount(), 5u);
  EXPECT_TRUE(b.engine->HasPeer("127.0.0.1", a.engine->LocalPort()));
  ASSERT_TRUE(a.engine->SendTempData(temp, Message(10, 9), 0));
  ASSERT_TRUE(b.WaitFor([&] { return b.messages.size() == 2; }));
  EXPECT_EQ(b.messages[1].second, Message(10, 9));
}

// In mode 2 a disconnect found by ageing reaches the application on the read thread, like every
// message, and a send made from that callback (right after the timer pass) is planned for its
// resend at once rather than at the next ageing pass.
TEST(Engine, ModeTwoAgeingRunsOnTheReadThreadAndASendAfterThePassIsResentOnTime) {
  TManualClock clock(1'000'000);
  TEndpoint a(2, &clock);
  TRawPeer silent, partner;
  std::uint16_t gone = ConnectToRaw(a, silent);
  std::uint16_t kept = ConnectToRaw(a, partner);
  ASSERT_NE(gone, 0);
  ASSERT_NE(kept, 0);
  partner.Drain(kTypeData, 50ms);

  std::mutex m;
  std::thread::id data_thread, disconnect_thread;
  std::int64_t sent_at = 0;
  std::atomic<int> data_seen{0};
  a.engine->SetCallbacks(
      [&](std::uint16_t, const std::uint8_t*, std::uint32_t) {
        std::lock_guard lock(m);
        data_thread = std::this_thread::get_id();
        ++data_seen;
      },
      [&](std::uint16_t h, std::uint8_t reason) {
        std::lock_guard lock(m);
        disconnect_thread = std::this_thread::get_id();
        sent_at = clock.NowMs();
        a.engine->SendData(kept, Message(30, 1), 4, 0, 0);
        std::lock_guard records(a.mutex);
        a.disconnects.emplace_back(h, reason);
      });
  for (int pass = 1; pass <= 3; ++pass) {
    if (pass == 1 || pass == 3) {  // the partner speaks and stays fresh; the other falls silent
      partner.SendFrame(a.engine->LocalPort(), kTypeData, kept, 6, kFirstSequence + pass / 3, 12,
                        Message(12, 1));
      ASSERT_TRUE(a.WaitFor([&] { return data_seen == 1 + pass / 3; }));
    }
    clock.Advance(a.engine->Constants().AgeingInterval);
    a.engine->Wake();
    std::this_thread::sleep_for(30ms);
  }
  ASSERT_TRUE(a.WaitFor([&] { return !a.disconnects.empty(); }));
  EXPECT_EQ(a.disconnects[0], std::make_pair(gone, kReasonAgedOut));
  std::lock_guard lock(m);
  EXPECT_EQ(disconnect_thread, data_thread);
  EXPECT_NE(data_thread, std::thread::id{});
  // The resend of the message sent from the callback is planned no later than its time-out.
  EXPECT_LE(a.engine->PlannedWake(), sent_at + 3 * (kPingAtCreate + 1 + kResendSlackMs) + 1);
  EXPECT_EQ(partner.Drain(kTypeData, 100ms).size(), 1u);
}

// A callback that runs a nested event loop does not let later messages overtake the rest of the
// batch that one datagram completed.
TEST(Engine, NestedEventLoopInAModeZeroCallbackKeepsTheOrderOfAChannel) {
  TEndpoint a(0);
  TRawPeer raw;
  std::uint16_t handle = RawHandshake(a, raw, 7, /*confirm=*/true);
  ASSERT_NE(handle, 0);
  std::vector<std::string> seen;
  bool nested = false;
  a.engine->SetCallbacks(
      [&](std::uint16_t, const std::uint8_t* d, std::uint32_t n) {
        seen.emplace_back(reinterpret_cast<const char*>(d), n);
        if (nested) return;
        nested = true;
        // As a question window would: events run while the callback waits for the user.
        raw.SendFrame(a.engine->LocalPort(), kTypeData, handle, 3, 104, 1, std::vector<std::uint8_t>{'D'});
        for (int i = 0; i < 100; ++i) {
          a.main_thread.ProcessEvents();
          std::this_thread::sleep_for(1ms);
        }
      },
      nullptr);
  const std::uint16_t port = a.engine->LocalPort();
  raw.SendFrame(port, kTypeData, handle, 3, 102, 1, std::vector<std::uint8_t>{'B'});
  raw.SendFrame(port, kTypeData, handle, 3, 103, 1, std::vector<std::uint8_t>{'C'});
  a.WaitFor([&] { return a.engine->HeldBytes() == 2; }, 5s);
  raw.SendFrame(port, kTypeData, handle, 3, 101, 1, std::vector<std::uint8_t>{'A'});
  ASSERT_TRUE(a.WaitFor([&] { return seen.size() == 4; }));
  EXPECT_EQ(seen, (std::vector<std::string>{"A", "B", "C", "D"}));
}

TEST(Engine, StartOnARunningEngineFailsAndLeavesItRunning) {
  TEndpoint a(1), b(1);
  ASSERT_TRUE(a.started);
  EXPECT_FALSE(a.engine->Start(0, 1));
  EXPECT_FALSE(a.engine->Start(a.engine->LocalPort(), 2));
  std::uint16_t handle = Join(a, b);
  ASSERT_NE(handle, 0);
  ASSERT_TRUE(a.engine->SendData(handle, Message(2000, 2), 1, 0, 0));
  ASSERT_TRUE(b.WaitFor([&] { return b.messages.size() == 1; }));
  // Stopped, it starts again.
  EXPECT_TRUE(a.engine->Stop());
  EXPECT_TRUE(a.engine->Start(0, 1));
  EXPECT_NE(Join(a, b), 0);
}

// A message over the largest size is refused by the sender; a peer that announces one anyway
// loses its association (with a disconnect to both sides) instead of stalling its channel.
TEST(Engine, MessagesOverTheLargestSizeAreRefusedAndEndTheSendersAssociation) {
  TEndpoint a(1), b(1);
  std::uint16_t handle = Join(a, b);
  ASSERT_NE(handle, 0);
  std::vector<std::uint8_t> huge(kMaxMessageSize + 1, 1);
  EXPECT_FALSE(a.engine->SendData(handle, huge, 1, 0, 0));
  EXPECT_FALSE(a.engine->SendTempData(handle, huge, 0));
  EXPECT_EQ(a.engine->GetSendChannelSize(handle, 1), 0u);
  huge.resize(kMaxMessageSize);
  EXPECT_TRUE(a.engine->SendData(handle, huge, 1, 0, 0));

  TRawPeer raw;
  std::uint16_t raw_handle = RawHandshake(b, raw, 7, /*confirm=*/true);
  ASSERT_NE(raw_handle, 0);
  raw.SendFrame(b.engine->LocalPort(), kTypeData, raw_handle, 2, kFirstSequence, kMaxMessageSize + 1,
                Message(1024, 1));
  ASSERT_TRUE(b.WaitFor([&] { return !b.disconnects.empty(); }));
  EXPECT_EQ(b.disconnects[0], std::make_pair(raw_handle, kReasonDisconnected));
  EXPECT_FALSE(b.engine->HasPeer("127.0.0.1", raw.port()));
  auto told = raw.Drain(kTypeDisconnect);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0][kHeaderSize], 0);  // a disconnect request
}

// The whole engine through a real SOCKS5 relay: every datagram of one side carries the relay head
// and goes through danted, and the association works both ways as it does directly.
TEST(Engine, WorksThroughASocks5Relay) {
  if (::access(kDanted, X_OK) != 0) GTEST_SKIP() << "dante-server (" << kDanted << ") is not installed";
  Danted danted("none");
  if (!danted.error().empty()) GTEST_SKIP() << danted.error();
  TEndpoint a(1), b(1);
  TProxy proxy;
  const std::uint16_t relay = proxy.StartProxy("127.0.0.1", danted.port(), a.engine->LocalPort(), "", "");
  ASSERT_NE(relay, 0) << danted.log();
  ASSERT_TRUE(a.engine->SetProxy("127.0.0.1", relay));
  std::uint16_t handle = Join(a, b);
  ASSERT_NE(handle, 0) << danted.log();
  auto big = Message(40000, 3);
  ASSERT_TRUE(a.engine->SendData(handle, big, 0, 0, 0));  // channel 0: scrambled inside the relay head
  ASSERT_TRUE(a.engine->SendData(handle, Message(10, 4), 7, 0, 0));
  ASSERT_TRUE(b.WaitFor([&] { return b.messages.size() == 2; }));
  EXPECT_TRUE(std::ranges::count_if(b.messages, [&](const auto& m) { return m.second == big; }) == 1);
  // b sees the relay's address, not a's own port.
  std::string address;
  std::uint16_t port = 0;
  ASSERT_TRUE(b.engine->GetRemoteAdd(b.messages[0].first, address, port));
  EXPECT_NE(port, a.engine->LocalPort());
  ASSERT_TRUE(b.engine->SendData(b.messages[0].first, Message(3000, 5), 2, 0, 0));
  ASSERT_TRUE(a.WaitFor([&] { return a.messages.size() == 1; }));
  EXPECT_EQ(a.messages[0].second, Message(3000, 5));
  ASSERT_TRUE(a.engine->Disconnect(handle));
  ASSERT_TRUE(a.WaitFor([&] { return !a.disconnects.empty() && !b.disconnects.empty(); }));
}

std::size_t CountInFile(const std::filesystem::path& path, const std::string& text) {
  std::ifstream in(path, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t count = 0;
  for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
  return count;
}

// Any peer may send termination orders; the line that records an ignored one is written at most
// once in a while, so a peer cannot grow the error log without bound.
TEST(Engine, IgnoredTerminationOrdersAreLoggedAtARateThatIsBounded) {
  const auto log = ApplicationFolder() / "UDPError.txt";
  const std::string line = "termination order from a peer that is no server ignored";
  const std::size_t before = CountInFile(log, line);
  TEndpoint a(1), b(1);
  std::uint16_t handle = Join(a, b);
  ASSERT_NE(handle, 0);
  std::vector<std::uint8_t> order(4);
  StoreU32(order.data(), kCodeTerminate);
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(a.engine->SendData(handle, order, 0, 0, 0));
  ASSERT_TRUE(a.engine->SendData(handle, Message(10, 1), 0, 0, 0));
  ASSERT_TRUE(b.WaitFor([&] { return !b.messages.empty(); }));
  const std::size_t written = CountInFile(log, line) - before;
  EXPECT_GE(written, 1u);
  EXPECT_LE(written, 2u);
}

// Several ageing passes that were due while the main thread stalled run as one, after the
// datagrams that arrived meanwhile: a peer that spoke during the stall stays.
TEST(Engine, ModeZeroAgeingAfterAStallKeepsAPeerThatSpoke) {
  TManualClock clock(0);
  TEndpoint a(0, &clock);
  TRawPeer raw;
  std::uint16_t handle = RawHandshake(a, raw, 7, /*confirm=*/true);
  ASSERT_NE(handle, 0);
  // The main thread stalls: nothing is read, while three ageing intervals pass.
  raw.Send(a.engine->LocalPort(), kTypeUnreliable, handle, {1});
  for (int pass = 0; pass < 3; ++pass) {
    clock.Advance(a.engine->Constants().AgeingInterval);
    a.engine->Wake();
    std::this_thread::sleep_for(30ms);
  }
  for (int i = 0; i < 50; ++i) {
    a.main_thread.ProcessEvents();
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(a.disconnects.empty());
  EXPECT_EQ(a.engine->PeerCount(), 1u);
}

}  // namespace
}  // namespace kiv
