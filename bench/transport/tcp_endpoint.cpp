// TCP with TCP_NODELAY behind the benchmark's Endpoint: each message is framed as a u32 length and
// a channel byte. One service thread polls the listening socket and every connection; senders write
// directly under a per-connection lock.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "endpoint.h"

namespace kivbench {
namespace {

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

void Tune(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

class TcpEndpoint : public Endpoint {
 public:
  ~TcpEndpoint() override {
    stop_ = true;
    std::uint64_t one = 1;
    if (wake_fd_ >= 0) [[maybe_unused]]
      auto n = ::write(wake_fd_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    for (auto& [id, c] : connections_) ::close(c->fd);
    if (listen_fd_ >= 0) ::close(listen_fd_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
  }

  bool Start(std::uint16_t port, MessageHandler handler) override {
    handler_ = std::move(handler);
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(port);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_fd_, 1024) != 0)
      return false;
    socklen_t n = sizeof a;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &n);
    port_ = ntohs(a.sin_port);
    wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
    return true;
  }

  std::uint16_t Port() const override { return port_; }

  PeerId Connect(std::uint16_t port, int) override {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd);
      return -1;
    }
    Tune(fd);
    return Add(fd);
  }

  int ConnectedPeers() const override {
    std::lock_guard lock(mutex_);
    return static_cast<int>(connections_.size());
  }

  void Send(PeerId id, std::uint8_t channel, std::span<const std::uint8_t> data) override {
    Connection* c = Find(id);
    if (!c) return;
    std::uint8_t head[5];
    auto length = static_cast<std::uint32_t>(data.size());
    std::memcpy(head, &length, 4);
    head[4] = channel;
    std::lock_guard lock(c->write_mutex);
    WriteAll(c->fd, head, sizeof head);
    WriteAll(c->fd, data.data(), data.size());
  }

  std::size_t Queued(PeerId id, std::uint8_t) const override {
    Connection* c = const_cast<TcpEndpoint*>(this)->Find(id);
    int queued = 0;
    if (c) ::ioctl(c->fd, SIOCOUTQ, &queued);
    return static_cast<std::size_t>(queued);
  }

  std::vector<pid_t> Threads() const override { return {tid_.load()}; }

 private:
  struct Connection {
    int fd;
    std::mutex write_mutex;
    std::vector<std::uint8_t> in;
  };

  static void WriteAll(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
      ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
      if (w > 0) {
        p += w;
        n -= static_cast<std::size_t>(w);
      } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
        pollfd pfd{fd, POLLOUT, 0};
        ::poll(&pfd, 1, 100);
      } else {
        return;
      }
    }
  }

  PeerId Add(int fd) {
    std::lock_guard lock(mutex_);
    PeerId id = next_id_++;
    auto c = std::make_unique<Connection>();
    c->fd = fd;
    connections_[id] = std::move(c);
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_fd_, &one, sizeof one);
    return id;
  }

  Connection* Find(PeerId id) {
    std::lock_guard lock(mutex_);
    auto it = connections_.find(id);
    return it == connections_.end() ? nullptr : it->second.get();
  }

  void Run() {
    tid_ = static_cast<pid_t>(::syscall(SYS_gettid));
    std::vector<std::uint8_t> buffer(256 * 1024);
    while (!stop_) {
      std::vector<pollfd> fds = {{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
      std::vector<std::pair<PeerId, Connection*>> order;
      {
        std::lock_guard lock(mutex_);
        for (auto& [id, c] : connections_) {
          fds.push_back({c->fd, POLLIN, 0});
          order.emplace_back(id, c.get());
        }
      }
      ::poll(fds.data(), fds.size(), -1);
      if (fds[0].revents & POLLIN) {
        std::uint64_t drain;
        [[maybe_unused]] auto n = ::read(wake_fd_, &drain, sizeof drain);
      }
      if (fds[1].revents & POLLIN) {
        for (int fd; (fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
          Tune(fd);
          Add(fd);
        }
      }
      for (std::size_t i = 2; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        auto [id, c] = order[i - 2];
        for (;;) {
          ssize_t r = ::recv(c->fd, buffer.data(), buffer.size(), 0);
          if (r <= 0) break;
          c->in.insert(c->in.end(), buffer.begin(), buffer.begin() + r);
        }
        std::size_t at = 0;
        while (c->in.size() - at >= 5) {
          std::uint32_t length;
          std::memcpy(&length, c->in.data() + at, 4);
          if (c->in.size() - at - 5 < length) break;
          handler_(id, c->in[at + 4], {c->in.data() + at + 5, length});
          at += 5 + length;
        }
        c->in.erase(c->in.begin(), c->in.begin() + static_cast<std::ptrdiff_t>(at));
      }
    }
  }

  MessageHandler handler_;
  int listen_fd_ = -1, wake_fd_ = -1;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::map<PeerId, std::unique_ptr<Connection>> connections_;
  PeerId next_id_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<pid_t> tid_{0};
  std::thread thread_;
};

}  // namespace

std::unique_ptr<Endpoint> MakeTcpEndpoint() { return std::make_unique<TcpEndpoint>(); }

}  // namespace kivbench
