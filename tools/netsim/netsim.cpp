#include "netsim.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <queue>
#include <random>
#include <vector>

namespace kiv::netsim {
namespace {

using Clock = std::chrono::steady_clock;

int OpenUdp(const sockaddr_in& bind_to) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int size = 4 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&bind_to), sizeof bind_to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

sockaddr_in Address(const std::string& ip, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  return a;
}

std::uint64_t Key(const sockaddr_in& a) {
  return (static_cast<std::uint64_t>(a.sin_addr.s_addr) << 16) | a.sin_port;
}

}  // namespace

struct Relay::State {
  struct Pending {
    Clock::time_point due;
    std::uint64_t order;  // keeps equal deadlines in arrival order
    int fd;
    sockaddr_in to;
    std::vector<std::uint8_t> bytes;
    Direction direction;
    bool counted;  // its bytes count against the rate limit's queue
    bool operator>(const Pending& o) const { return due != o.due ? due > o.due : order > o.order; }
  };
  struct Lane {  // one direction
    Impairment impairment;
    Counters counters;
    Clock::time_point last_due{};      // jitter never moves a datagram before the previous one
    Clock::time_point link_free_at{};  // rate limit: when the serialised link is idle again
    std::size_t queued_bytes = 0;
  };
  struct Client {
    sockaddr_in address;
    int back_fd;
  };

  mutable std::mutex mutex;
  Lane lanes[2];
  std::mt19937_64 random;
  int front_fd = -1;
  int wake_fd = -1;
  sockaddr_in target{};
  std::map<std::uint64_t, Client> clients;  // by client address
  std::map<int, std::uint64_t> back_to_client;
  std::priority_queue<Pending, std::vector<Pending>, std::greater<>> queue;
  std::uint64_t next_order = 0;
  std::atomic<bool> stop{false};

  static constexpr std::size_t kMaxClients = 1024;

  Lane& lane(Direction d) { return lanes[d == Direction::kToTarget ? 0 : 1]; }

  double Uniform() { return std::uniform_real_distribution<double>(0, 1)(random); }

  // Decides the fate of one datagram and schedules its copies. Called with the mutex held.
  void Admit(Direction direction, int fd, const sockaddr_in& to, const std::uint8_t* data, std::size_t size,
             Clock::time_point now) {
    Lane& l = lane(direction);
    const Impairment& im = l.impairment;
    ++l.counters.received;
    if (Uniform() < im.loss) {
      ++l.counters.dropped;
      return;
    }
    int copies = Uniform() < im.duplicate ? 2 : 1;
    if (copies == 2) ++l.counters.duplicated;
    for (int c = 0; c < copies; ++c) {
      auto start = now;
      if (im.rate_bytes_per_s > 0) {
        if (l.queued_bytes + size > im.queue_limit_bytes) {
          ++l.counters.dropped;
          return;
        }
        start = std::max(now, l.link_free_at);
        l.link_free_at = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                     static_cast<double>(size) / im.rate_bytes_per_s));
        l.queued_bytes += size;
      }
      double ms = im.delay_ms + im.jitter_ms * Uniform();
      auto due = std::max(
          start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms)),
          l.last_due);
      l.last_due = due;
      if (Uniform() < im.reorder) {
        ++l.counters.reordered;
        due += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::milli>(im.reorder_delay_ms));
      }
      queue.push({due, next_order++, fd, to, std::vector<std::uint8_t>(data, data + size), direction,
                  im.rate_bytes_per_s > 0});
    }
  }
};

Relay::Relay(const std::string& listen_ip, std::uint16_t listen_port, const std::string& target_ip,
             std::uint16_t target_port, std::uint64_t seed)
    : state_(std::make_unique<State>()) {
  state_->random.seed(seed);
  state_->target = Address(target_ip, target_port);
  state_->front_fd = OpenUdp(Address(listen_ip, listen_port));
  state_->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (state_->front_fd < 0 || state_->wake_fd < 0) {
    error_ = std::string("cannot open the relay socket: ") + std::strerror(errno);
    return;
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  ::getsockname(state_->front_fd, reinterpret_cast<sockaddr*>(&bound), &length);
  listen_port_ = ntohs(bound.sin_port);
  ok_ = true;
  thread_ = std::thread([this] { Run(); });
}

Relay::~Relay() {
  state_->stop = true;
  std::uint64_t one = 1;
  if (state_->wake_fd >= 0) [[maybe_unused]]
    auto n = ::write(state_->wake_fd, &one, sizeof one);
  if (thread_.joinable()) thread_.join();
  for (auto& [key, client] : state_->clients) ::close(client.back_fd);
  if (state_->front_fd >= 0) ::close(state_->front_fd);
  if (state_->wake_fd >= 0) ::close(state_->wake_fd);
}

void Relay::Set(Direction direction, const Impairment& impairment) {
  std::lock_guard lock(state_->mutex);
  state_->lane(direction).impairment = impairment;
}

Counters Relay::counters(Direction direction) const {
  std::lock_guard lock(state_->mutex);
  return state_->lane(direction).counters;
}

void Relay::Run() {
  State& s = *state_;
  std::vector<std::uint8_t> buffer(65536);
  while (!s.stop) {
    std::vector<pollfd> fds;
    // Until the next datagram is due, to the microsecond: a timeout in whole milliseconds would add
    // up to a millisecond to every delay (2 ms to a round trip) on top of the one asked for.
    timespec timeout{};
    bool wait_for_ever = true;
    {
      std::lock_guard lock(s.mutex);
      fds.push_back({s.wake_fd, POLLIN, 0});
      fds.push_back({s.front_fd, POLLIN, 0});
      for (auto& [key, client] : s.clients) fds.push_back({client.back_fd, POLLIN, 0});
      if (!s.queue.empty()) {
        auto wait = std::chrono::ceil<std::chrono::microseconds>(s.queue.top().due - Clock::now()).count();
        wait = std::clamp<long long>(wait, 0, 1'000'000);
        timeout.tv_sec = static_cast<time_t>(wait / 1'000'000);
        timeout.tv_nsec = static_cast<long>(wait % 1'000'000) * 1000;
        wait_for_ever = false;
      }
    }
    ::ppoll(fds.data(), fds.size(), wait_for_ever ? nullptr : &timeout, nullptr);
    auto now = Clock::now();
    std::lock_guard lock(s.mutex);
    if (fds[0].revents & POLLIN) {
      std::uint64_t drain;
      [[maybe_unused]] auto n = ::read(s.wake_fd, &drain, sizeof drain);
    }
    for (std::size_t i = 1; i < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      for (int burst = 0; burst < 256; ++burst) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t n = ::recvfrom(fds[i].fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                               &length);
        if (n < 0) break;
        if (fds[i].fd == s.front_fd) {
          auto key = Key(from);
          auto it = s.clients.find(key);
          if (it == s.clients.end()) {
            if (s.clients.size() >= State::kMaxClients) continue;
            int back = OpenUdp(Address("0.0.0.0", 0));
            if (back < 0) continue;
            it = s.clients.emplace(key, State::Client{from, back}).first;
            s.back_to_client[back] = key;
          }
          s.Admit(Direction::kToTarget, it->second.back_fd, s.target, buffer.data(),
                  static_cast<std::size_t>(n), now);
        } else {
          auto client = s.clients.find(s.back_to_client[fds[i].fd]);
          if (client == s.clients.end()) continue;
          s.Admit(Direction::kToClient, s.front_fd, client->second.address, buffer.data(),
                  static_cast<std::size_t>(n), now);
        }
      }
    }
    while (!s.queue.empty() && s.queue.top().due <= now) {
      const auto& p = s.queue.top();
      ::sendto(p.fd, p.bytes.data(), p.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&p.to),
               sizeof p.to);
      auto& lane = s.lane(p.direction);
      ++lane.counters.forwarded;
      if (p.counted) lane.queued_bytes -= std::min(lane.queued_bytes, p.bytes.size());
      s.queue.pop();
    }
  }
}

}  // namespace kiv::netsim
