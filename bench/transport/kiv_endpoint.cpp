// Our transport (kiv::TKivUDP in mode 2: datagrams are read and callbacks run on the engine's read
// thread) behind the benchmark's Endpoint.
//
// The engine hands a message to the application without its channel number, so each message
// carries one byte in front: 0x80 | channel. Its high bit also keeps the first four bytes clear of
// the control codes the engine acts on itself (the probe and the termination order).
//
// For idle measurements with thousands of peers, KivSwarm completes the handshake from plain UDP
// sockets, one per peer: one client engine per peer would mean two threads and a 10 000-slot table
// for each, and one engine holds only one association per server address. The server then holds
// exactly what a connected client costs it, and the figure is the server's alone.
#include <dirent.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>

#include "base/wire.h"
#include "endpoint.h"
#include "udp_datagram.h"
#include "udp_kivudp.h"

namespace kivbench {
namespace {

constexpr std::uint8_t kChannelTag = 0x80;

std::set<pid_t> Tasks() {
  std::set<pid_t> tids;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') tids.insert(static_cast<pid_t>(std::atoi(entry->d_name)));
    }
    ::closedir(dir);
  }
  return tids;
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A handshake datagram: the header (type 5, unscrambled) and the 5-byte record.
std::size_t Handshake(std::uint8_t* out, std::uint8_t kind, std::uint16_t first, std::uint16_t second) {
  kiv::TDatagramHeader header;
  header.type = kiv::kTypeHandshake;
  kiv::EncodeHeader(header, out);
  out[kiv::kHeaderSize] = kind;
  kiv::StoreU16(out + kiv::kHeaderSize + 1, first);
  kiv::StoreU16(out + kiv::kHeaderSize + 3, second);
  return kiv::kHeaderSize + 5;
}

// Peers that complete the handshake from plain UDP sockets and then stay silent.
class KivSwarm : public Swarm {
 public:
  KivSwarm(std::uint16_t port, int count) : port_(port) {
    const sockaddr_in server = Loopback(port);
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    peers_.resize(static_cast<std::size_t>(std::max(count, 0)));
    for (std::size_t i = 0; i < peers_.size(); ++i) {
      int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      sockaddr_in any = Loopback(0);
      if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        if (fd >= 0) ::close(fd);
        peers_.resize(i);
        break;
      }
      peers_[i].fd = fd;
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = i;
      ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    }
    // At most kInFlight requests outstanding, so the server's socket buffer never overflows;
    // a request unanswered for kRetryMs is sent again.
    constexpr std::size_t kInFlight = 256;
    constexpr auto kRetry = std::chrono::milliseconds(300);
    using Clock = std::chrono::steady_clock;
    const auto give_up = Clock::now() + std::chrono::seconds(60);
    std::size_t next = 0, in_flight = 0;
    std::uint8_t datagram[64];
    while (connected_ < static_cast<int>(peers_.size()) && Clock::now() < give_up) {
      auto now = Clock::now();
      for (; next < peers_.size() && in_flight < kInFlight; ++next, ++in_flight) {
        std::size_t n = Handshake(datagram, 0, 0, Id(next));
        ::sendto(peers_[next].fd, datagram, n, 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
        peers_[next].sent = now;
      }
      for (std::size_t i = 0; i < next; ++i) {
        Peer& p = peers_[i];
        if (p.done || now - p.sent < kRetry) continue;
        std::size_t n = Handshake(datagram, 0, 0, Id(i));
        ::sendto(p.fd, datagram, n, 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
        p.sent = now;
      }
      epoll_event events[256];
      int ready = ::epoll_wait(epoll_, events, 256, 20);
      for (int e = 0; e < ready; ++e) {
        std::size_t i = events[e].data.u64;
        Peer& p = peers_[i];
        std::uint8_t reply[4096];
        for (ssize_t r; (r = ::recv(p.fd, reply, sizeof reply, 0)) >= 0;) {
          auto header = kiv::DecodeHeader({reply, static_cast<std::size_t>(r)});
          if (p.done || !header || header->type != kiv::kTypeHandshake ||
              static_cast<std::size_t>(r) < kiv::kHeaderSize + 5 || reply[kiv::kHeaderSize] != 1)
            continue;
          std::uint16_t server_handle = kiv::LoadU16(reply + kiv::kHeaderSize + 1);
          std::size_t n = Handshake(datagram, 3, server_handle, Id(i));
          ::sendto(p.fd, datagram, n, 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
          p.server_handle = server_handle;
          p.done = true;
          ++connected_;
          --in_flight;
        }
      }
    }
  }

  ~KivSwarm() override {
    for (auto& p : peers_) ::close(p.fd);
    if (epoll_ >= 0) ::close(epoll_);
  }

  int Connected() const override { return connected_; }

  // One whole-message frame on `channel` (unscrambled: not channel 0), numbered like a sender's
  // channel. Lost frames are not resent: on loopback at this rate none are lost, and the server's
  // acknowledgements are read and dropped so that they do not pile up.
  bool Send(int index, std::uint8_t channel, std::span<const std::uint8_t> data) override {
    if (index < 0 || static_cast<std::size_t>(index) >= peers_.size() || channel == 0) return false;
    Peer& p = peers_[static_cast<std::size_t>(index)];
    if (!p.done || data.size() + 1 > kiv::kMaxFragmentPayload) return false;
    std::uint8_t frame[kiv::kMaxFragmentDatagram];
    for (; ::recv(p.fd, frame, sizeof frame, MSG_DONTWAIT) >= 0;) {
    }
    kiv::TDatagramHeader header;
    header.type = kiv::kTypeData;
    header.remote_id = p.server_handle;
    header.sequence = p.next_sequence++;
    header.fragment_length = static_cast<std::uint16_t>(data.size() + 1);
    header.total_length = header.fragment_length;
    header.channel = channel;
    kiv::EncodeHeader(header, frame);
    frame[kiv::kHeaderSize] = static_cast<std::uint8_t>(kChannelTag | channel);
    if (!data.empty()) std::memcpy(frame + kiv::kHeaderSize + 1, data.data(), data.size());
    const sockaddr_in server = Loopback(port_);
    return ::sendto(p.fd, frame, kiv::kHeaderSize + header.fragment_length, 0,
                    reinterpret_cast<const sockaddr*>(&server), sizeof server) > 0;
  }

 private:
  struct Peer {
    int fd = -1;
    bool done = false;
    std::chrono::steady_clock::time_point sent;
    std::uint16_t server_handle = 0;
    std::uint32_t next_sequence = kiv::kFirstSequence;
  };
  static std::uint16_t Id(std::size_t i) { return static_cast<std::uint16_t>(i % 9999 + 1); }

  std::uint16_t port_;
  int epoll_ = -1;
  std::vector<Peer> peers_;
  int connected_ = 0;
};

class KivEndpoint : public Endpoint {
 public:
  KivEndpoint() : engine_(Options()) {}
  ~KivEndpoint() override { engine_.Stop(); }

  bool Start(std::uint16_t port, MessageHandler handler) override {
    handler_ = std::move(handler);
    engine_.SetCallbacks(
        [this](std::uint16_t handle, const std::uint8_t* data, std::uint32_t length) {
          if (length < 1) return;
          handler_(handle, static_cast<std::uint8_t>(data[0] & ~kChannelTag), {data + 1, length - 1u});
        },
        nullptr);
    auto before = Tasks();
    if (!engine_.Start(port, 2)) return false;
    for (pid_t tid : Tasks())
      if (!before.contains(tid)) threads_.push_back(tid);
    return true;
  }

  std::uint16_t Port() const override { return engine_.LocalPort(); }

  PeerId Connect(std::uint16_t port, int timeout_ms) override {
    std::uint16_t handle = engine_.Connect("127.0.0.1", port, static_cast<std::uint32_t>(timeout_ms));
    return handle ? handle : -1;
  }

  int ConnectedPeers() const override { return static_cast<int>(engine_.PeerCount()); }

  void Send(PeerId peer, std::uint8_t channel, std::span<const std::uint8_t> data) override {
    thread_local std::vector<std::uint8_t> framed;
    framed.resize(data.size() + 1);
    framed[0] = static_cast<std::uint8_t>(kChannelTag | channel);
    if (!data.empty()) std::memcpy(framed.data() + 1, data.data(), data.size());
    engine_.SendData(static_cast<std::uint16_t>(peer), framed, channel, 0, 0);
  }

  std::size_t Queued(PeerId peer, std::uint8_t channel) const override {
    return engine_.GetSendChannelSize(static_cast<std::uint16_t>(peer), channel);
  }

  double RoundTripEstimateMs(PeerId peer) const override {
    return engine_.GetPing(static_cast<std::uint16_t>(peer));
  }

  std::vector<pid_t> Threads() const override { return threads_; }
  int MaxPeers() const override { return kiv::TKivUDP::kMaxPeers; }

  std::unique_ptr<Swarm> ConnectSwarm(std::uint16_t port, int count) override {
    return std::make_unique<KivSwarm>(port, count);
  }

 private:
  static kiv::TEngineOptions Options() {
    kiv::TEngineOptions options;
    // Silent swarm peers never answer a disconnect request: do not wait long for them at the end.
    options.stop_wait_ms = 300;
    return options;
  }

  kiv::TKivUDP engine_;
  MessageHandler handler_;
  std::vector<pid_t> threads_;
};

}  // namespace

std::unique_ptr<Endpoint> MakeKivEndpoint() { return std::make_unique<KivEndpoint>(); }

}  // namespace kivbench
