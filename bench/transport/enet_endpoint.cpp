// ENet reliable channels behind the benchmark's Endpoint.
//
// ENet is not thread-safe, so one mutex guards the host. The service thread waits in poll() on
// ENet's socket and an eventfd (so sends from other threads go out at once), then services the host.
// While reliable data is in flight it wakes every millisecond for ENet's timers; when idle it wakes
// every 100 ms, a usual service interval for an ENet application (ENet pings each peer every 500 ms
// only while it is serviced).
#include <enet/enet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "endpoint.h"

namespace kivbench {
namespace {

class EnetEndpoint : public Endpoint {
 public:
  explicit EnetEndpoint(int max_peers) : max_peers_(max_peers) {
    static std::once_flag once;
    std::call_once(once, [] { enet_initialize(); });
  }

  ~EnetEndpoint() override {
    stop_ = true;
    Wake();
    if (thread_.joinable()) thread_.join();
    if (host_) enet_host_destroy(host_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
  }

  bool Start(std::uint16_t port, MessageHandler handler) override {
    handler_ = std::move(handler);
    ENetAddress address{};
    enet_address_set_host_ip(&address, "127.0.0.1");
    address.port = port;
    host_ = enet_host_create(&address, static_cast<std::size_t>(max_peers_), 8, 0, 0);
    if (!host_) return false;
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    port_ = host_->address.port;
    if (port_ == 0) {
      ENetAddress bound{};
      enet_socket_get_address(host_->socket, &bound);
      port_ = bound.port;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
  }

  std::uint16_t Port() const override { return port_; }

  PeerId Connect(std::uint16_t port, int timeout_ms) override {
    ENetPeer* peer = nullptr;
    {
      std::lock_guard lock(mutex_);
      ENetAddress address{};
      enet_address_set_host_ip(&address, "127.0.0.1");
      address.port = port;
      peer = enet_host_connect(host_, &address, 8, 0);
      if (!peer) return -1;
      enet_host_flush(host_);
    }
    Wake();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard lock(mutex_);
        if (peer->state == ENET_PEER_STATE_CONNECTED) return Id(peer);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::lock_guard lock(mutex_);
    enet_peer_reset(peer);
    return -1;
  }

  int ConnectedPeers() const override { return connected_.load(); }

  void Send(PeerId id, std::uint8_t channel, std::span<const std::uint8_t> data) override {
    std::lock_guard lock(mutex_);
    if (id < 0 || static_cast<std::size_t>(id) >= host_->peerCount) return;
    ENetPacket* packet = enet_packet_create(data.data(), data.size(), ENET_PACKET_FLAG_RELIABLE);
    ENetPeer* peer = &host_->peers[id];
    if (enet_peer_send(peer, channel, packet) != 0) enet_packet_destroy(packet);
    enet_host_flush(host_);
    if (!in_service_) Wake();
  }

  std::size_t Queued(PeerId id, std::uint8_t) const override {
    std::lock_guard lock(mutex_);
    if (id < 0 || static_cast<std::size_t>(id) >= host_->peerCount) return 0;
    const ENetPeer* peer = &host_->peers[id];
    return peer->reliableDataInTransit + QueuedOutgoing(peer);
  }

  std::vector<pid_t> Threads() const override { return {tid_.load()}; }
  int MaxPeers() const override { return max_peers_; }

 private:
  static std::size_t QueuedOutgoing(const ENetPeer* peer) {
    std::size_t bytes = 0;
    for (ENetListIterator it = enet_list_begin(&peer->outgoingCommands);
         it != enet_list_end(&peer->outgoingCommands); it = enet_list_next(it)) {
      auto* command = reinterpret_cast<const ENetOutgoingCommand*>(it);
      if (command->packet) bytes += command->fragmentLength;
    }
    return bytes;
  }

  PeerId Id(const ENetPeer* peer) const { return static_cast<PeerId>(peer - host_->peers); }

  void Wake() {
    std::uint64_t one = 1;
    if (wake_fd_ >= 0) [[maybe_unused]]
      auto n = ::write(wake_fd_, &one, sizeof one);
  }

  bool Busy() const {
    for (std::size_t i = 0; i < host_->peerCount; ++i) {
      const ENetPeer& p = host_->peers[i];
      if (p.state != ENET_PEER_STATE_DISCONNECTED &&
          (p.reliableDataInTransit > 0 || !enet_list_empty(&p.outgoingCommands) ||
           p.state != ENET_PEER_STATE_CONNECTED))
        return true;
    }
    return false;
  }

  void Run() {
    tid_ = static_cast<pid_t>(::syscall(SYS_gettid));
    while (!stop_) {
      int timeout;
      {
        std::lock_guard lock(mutex_);
        in_service_ = true;
        ENetEvent event;
        while (enet_host_service(host_, &event, 0) > 0) {
          switch (event.type) {
            case ENET_EVENT_TYPE_CONNECT:
              ++connected_;
              break;
            case ENET_EVENT_TYPE_DISCONNECT:
              --connected_;
              break;
            case ENET_EVENT_TYPE_RECEIVE:
              handler_(Id(event.peer), event.channelID, {event.packet->data, event.packet->dataLength});
              enet_packet_destroy(event.packet);
              break;
            default:
              break;
          }
        }
        enet_host_flush(host_);
        in_service_ = false;
        timeout = Busy() ? 1 : 100;
      }
      pollfd fds[2] = {{host_->socket, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      ::poll(fds, 2, timeout);
      if (fds[1].revents & POLLIN) {
        std::uint64_t drain;
        [[maybe_unused]] auto n = ::read(wake_fd_, &drain, sizeof drain);
      }
    }
  }

  int max_peers_;
  ENetHost* host_ = nullptr;
  std::uint16_t port_ = 0;
  int wake_fd_ = -1;
  MessageHandler handler_;
  mutable std::recursive_mutex mutex_;
  bool in_service_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> connected_{0};
  std::atomic<pid_t> tid_{0};
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Endpoint> MakeEnetEndpoint(int max_peers) {
  return std::make_unique<EnetEndpoint>(max_peers);
}

}  // namespace kivbench
