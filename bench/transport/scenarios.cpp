#include "scenarios.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace kivbench {
namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

Latency Percentiles(std::vector<double> samples) {
  if (samples.empty()) return {};
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) {
    return samples[std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()))];
  };
  return {at(0.50), at(0.99), at(0.999)};
}

// A server and a client endpoint, joined directly or through a relay.
struct Pair {
  std::unique_ptr<Endpoint> server, client;
  std::unique_ptr<kiv::netsim::Relay> relay;
  PeerId peer = -1;  // the client's handle of the server

  bool Open(const EndpointFactory& make, MessageHandler on_server, MessageHandler on_client,
            const PathSettings& path) {
    server = make();
    client = make();
    if (!server->Start(0, std::move(on_server)) || !client->Start(0, std::move(on_client))) return false;
    std::uint16_t port = server->Port();
    if (path.impairment) {
      relay = std::make_unique<kiv::netsim::Relay>("127.0.0.1", 0, "127.0.0.1", port, 7);
      relay->SetBoth(*path.impairment);
      port = relay->port();
    }
    peer = client->Connect(port, 30000);
    return peer >= 0;
  }
};

class Latch {
 public:
  void Open() {
    std::lock_guard lock(m_);
    open_ = true;
    cv_.notify_all();
  }
  bool Wait(std::chrono::seconds limit) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, limit, [&] { return open_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

struct ThreadCost {
  double cpu_s = 0;
  long long switches = 0;
};

// CPU time from schedstat (nanoseconds; the tick counts of stat are 10 ms coarse, a fifth of
// the whole idle budget of a 10 s window) and the context switches of each thread.
ThreadCost Cost(const std::vector<pid_t>& tids) {
  ThreadCost cost;
  for (pid_t tid : tids) {
    std::string base = "/proc/self/task/" + std::to_string(tid);
    std::ifstream schedstat(base + "/schedstat");
    unsigned long long run_ns = 0;
    if (schedstat >> run_ns) cost.cpu_s += static_cast<double>(run_ns) / 1e9;
    std::ifstream status(base + "/status");
    for (std::string key; status >> key;) {
      long long v;
      if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
        status >> v;
        cost.switches += v;
      }
    }
  }
  return cost;
}

long long ResidentBytes() {
  std::ifstream in("/proc/self/statm");
  long long size = 0, resident = 0;
  in >> size >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

std::uint64_t Stamp(std::span<const std::uint8_t> data) {
  std::uint64_t v = 0;
  if (data.size() >= sizeof v) std::memcpy(&v, data.data(), sizeof v);
  return v;
}

}  // namespace

Latency PingPong(const EndpointFactory& make, int count, std::size_t size, const PathSettings& path) {
  std::vector<double> samples;
  samples.reserve(static_cast<std::size_t>(count));
  Latch done;
  Pair pair;
  std::vector<std::uint8_t> message(std::max<std::size_t>(size, 8), 0x5A);
  Endpoint* client = nullptr;
  PeerId peer = -1;
  auto on_server = [&](PeerId from, std::uint8_t channel, std::span<const std::uint8_t> data) {
    pair.server->Send(from, channel, data);
  };
  int warm_up = std::max(10, count / 100);  // the first round trips create channels and buffers
  auto on_client = [&](PeerId, std::uint8_t channel, std::span<const std::uint8_t> data) {
    auto sent = Clock::time_point(Clock::duration(Stamp(data)));
    if (warm_up > 0) {
      --warm_up;
    } else {
      samples.push_back(Micros(Clock::now() - sent));
    }
    if (static_cast<int>(samples.size()) >= count) return done.Open();
    auto now = Clock::now().time_since_epoch().count();
    std::memcpy(message.data(), &now, sizeof now);
    client->Send(peer, channel, message);
  };
  if (!pair.Open(make, on_server, on_client, path)) return {};
  client = pair.client.get();
  peer = pair.peer;
  auto now = Clock::now().time_since_epoch().count();
  std::memcpy(message.data(), &now, sizeof now);
  client->Send(peer, 2, message);
  done.Wait(std::chrono::seconds(120));
  Latency result = Percentiles(samples);
  result.rtt_estimate_ms = client->RoundTripEstimateMs(peer);
  return result;
}

double Bulk(const EndpointFactory& make, std::size_t total, std::size_t chunk, std::size_t window,
            const PathSettings& path) {
  std::atomic<std::size_t> received{0};
  Latch done;
  Pair pair;
  auto on_server = [&](PeerId, std::uint8_t, std::span<const std::uint8_t> data) {
    if (received.fetch_add(data.size()) + data.size() >= total) done.Open();
  };
  if (!pair.Open(
          make, on_server, [](PeerId, std::uint8_t, std::span<const std::uint8_t>) {}, path))
    return 0;
  std::vector<std::uint8_t> message(chunk, 0xA5);
  auto start = Clock::now();
  for (std::size_t sent = 0; sent < total;) {
    if (pair.client->Queued(pair.peer, 1) >= window) {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      continue;
    }
    std::size_t n = std::min(chunk, total - sent);
    pair.client->Send(pair.peer, 1, {message.data(), n});
    sent += n;
  }
  if (!done.Wait(std::chrono::seconds(300))) return 0;
  return static_cast<double>(total) / std::chrono::duration<double>(Clock::now() - start).count() / 1e6;
}

Latency PingPongBesideBulk(const EndpointFactory& make, int count, const PathSettings& path) {
  std::vector<double> samples;
  Latch done;
  std::atomic<bool> stop{false};
  Pair pair;
  std::vector<std::uint8_t> ping(100, 0x11);
  auto on_server = [&](PeerId from, std::uint8_t channel, std::span<const std::uint8_t> data) {
    if (channel == 2) pair.server->Send(from, 2, data);
  };
  auto on_client = [&](PeerId, std::uint8_t channel, std::span<const std::uint8_t> data) {
    if (channel != 2) return;
    samples.push_back(Micros(Clock::now() - Clock::time_point(Clock::duration(Stamp(data)))));
    if (static_cast<int>(samples.size()) >= count) return done.Open();
    auto now = Clock::now().time_since_epoch().count();
    std::memcpy(ping.data(), &now, sizeof now);
    pair.client->Send(pair.peer, 2, ping);
  };
  if (!pair.Open(make, on_server, on_client, path)) return {};
  std::thread bulk([&] {
    std::vector<std::uint8_t> chunk(16 * 1024, 0x33);
    while (!stop) {
      if (pair.client->Queued(pair.peer, 1) >= 256 * 1024) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      pair.client->Send(pair.peer, 1, chunk);
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the bulk flow fill its window
  auto now = Clock::now().time_since_epoch().count();
  std::memcpy(ping.data(), &now, sizeof now);
  pair.client->Send(pair.peer, 2, ping);
  done.Wait(std::chrono::seconds(300));
  stop = true;
  bulk.join();
  Latency result = Percentiles(samples);
  result.rtt_estimate_ms = pair.client->RoundTripEstimateMs(pair.peer);
  return result;
}

Idle MeasureIdle(const EndpointFactory& make, int peers, int peers_per_client, double seconds) {
  Idle result;
  auto ignore = [](PeerId, std::uint8_t, std::span<const std::uint8_t>) {};
  auto server = make();
  if (!server->Start(0, ignore)) return result;
  long long before = ResidentBytes();
  std::vector<std::unique_ptr<Endpoint>> clients;
  int connected = 0;
  auto swarm_maker = make();
  std::unique_ptr<Swarm> swarm = swarm_maker->ConnectSwarm(server->Port(), peers);
  if (swarm) {
    connected = swarm->Connected();
  } else {
    while (connected < peers) {
      auto client = make();
      if (!client->Start(0, ignore)) break;
      int here = std::min(peers_per_client, peers - connected);
      int before_client = connected;
      for (int i = 0; i < here; ++i) {
        if (client->Connect(server->Port(), 10000) < 0) break;
        ++connected;
      }
      clients.push_back(std::move(client));
      if (connected - before_client < here) break;  // the server takes no more
    }
  }
  auto settle_limit = Clock::now() + std::chrono::seconds(10);
  while (server->ConnectedPeers() < connected && Clock::now() < settle_limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  result.peers = server->ConnectedPeers();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  long long after = ResidentBytes();
  // Clients live in this process too, so the figure covers both ends of each connection.
  result.rss_per_peer = result.peers ? static_cast<double>(after - before) / result.peers : 0;
  ThreadCost start = Cost(server->Threads());
  auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  ThreadCost end = Cost(server->Threads());
  double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  result.cpu_percent = (end.cpu_s - start.cpu_s) / elapsed * 100.0;
  result.wakeups_per_s = static_cast<double>(end.switches - start.switches) / elapsed;
  return result;
}

Handshakes ConnectMany(const EndpointFactory& make, int count, const PathSettings& path, int timeout_ms) {
  Handshakes result;
  auto ignore = [](PeerId, std::uint8_t, std::span<const std::uint8_t>) {};
  auto server = make();
  if (!server->Start(0, ignore)) return result;
  kiv::netsim::Relay relay("127.0.0.1", 0, "127.0.0.1", server->Port(), 11);
  if (path.impairment) relay.SetBoth(*path.impairment);
  std::vector<std::unique_ptr<Endpoint>> clients;
  for (int i = 0; i < count; ++i) {
    clients.push_back(make());
    clients.back()->Start(0, ignore);
  }
  std::vector<double> times(static_cast<std::size_t>(count), -1);
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      auto start = Clock::now();
      if (clients[static_cast<std::size_t>(i)]->Connect(relay.port(), timeout_ms) >= 0)
        times[static_cast<std::size_t>(i)] =
            std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    });
  }
  for (auto& t : threads) t.join();
  double sum = 0;
  for (double t : times) {
    if (t < 0) continue;
    ++result.connected;
    sum += t;
    result.max_ms = std::max(result.max_ms, t);
  }
  result.mean_ms = result.connected ? sum / result.connected : 0;
  return result;
}

FanIn ManyToOne(const EndpointFactory& make, int peers, int peers_per_client, double seconds) {
  FanIn result;
  std::mutex samples_mutex;
  std::vector<double> samples;
  std::atomic<long long> delivered{0};
  auto server = make();
  auto on_server = [&](PeerId, std::uint8_t, std::span<const std::uint8_t> data) {
    const double us = Micros(Clock::now() - Clock::time_point(Clock::duration(Stamp(data))));
    ++delivered;
    std::lock_guard lock(samples_mutex);
    samples.push_back(us);
  };
  if (!server->Start(0, on_server)) return result;
  auto ignore = [](PeerId, std::uint8_t, std::span<const std::uint8_t>) {};
  // Senders: a swarm that can send, or client endpoints.
  auto swarm_maker = make();
  std::unique_ptr<Swarm> swarm = swarm_maker->ConnectSwarm(server->Port(), peers);
  std::vector<std::unique_ptr<Endpoint>> clients;
  std::vector<std::pair<Endpoint*, PeerId>> links;
  std::vector<std::uint8_t> probe(8, 0);
  if (!swarm || !swarm->Send(0, 1, probe)) {
    swarm.reset();
    while (static_cast<int>(links.size()) < peers) {
      auto client = make();
      if (!client->Start(0, ignore)) break;
      const int here = std::min(peers_per_client, peers - static_cast<int>(links.size()));
      int made = 0;
      for (; made < here; ++made) {
        PeerId id = client->Connect(server->Port(), 10000);
        if (id < 0) break;
        links.emplace_back(client.get(), id);
      }
      clients.push_back(std::move(client));
      if (made < here) break;
    }
  }
  const int senders = swarm ? swarm->Connected() : static_cast<int>(links.size());
  auto settle_limit = Clock::now() + std::chrono::seconds(10);
  while (server->ConnectedPeers() < senders && Clock::now() < settle_limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  result.peers = server->ConnectedPeers();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  {
    std::lock_guard lock(samples_mutex);
    samples.clear();
  }
  delivered = 0;
  if (senders == 0) return result;

  std::vector<std::uint8_t> message(32, 0x77);
  const auto interval = std::chrono::duration<double>(1.0 / senders);
  const long long total = static_cast<long long>(seconds * senders);
  ThreadCost before = Cost(server->Threads());
  const auto start = Clock::now();
  for (long long k = 0; k < total; ++k) {
    std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(interval * k));
    const int index = static_cast<int>(k % senders);
    auto now = Clock::now().time_since_epoch().count();
    std::memcpy(message.data(), &now, sizeof now);
    if (swarm) {
      swarm->Send(index, 1, message);
    } else {
      links[static_cast<std::size_t>(index)].first->Send(links[static_cast<std::size_t>(index)].second, 1,
                                                         message);
    }
  }
  result.sent = total;
  auto drain_limit = Clock::now() + std::chrono::seconds(5);
  while (delivered < total && Clock::now() < drain_limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ThreadCost after = Cost(server->Threads());
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  result.cpu_percent = (after.cpu_s - before.cpu_s) / elapsed * 100.0;
  result.wakeups_per_s = static_cast<double>(after.switches - before.switches) / elapsed;
  result.delivered = delivered;
  std::lock_guard lock(samples_mutex);
  result.delivery = Percentiles(samples);
  return result;
}

namespace {

int UdpSocket(sockaddr_in& bound) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int size = 8 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  bound = {};
  bound.sin_family = AF_INET;
  bound.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound);
  socklen_t n = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &n);
  return fd;
}

}  // namespace

Latency RawUdpPingPong(int count, std::size_t size) {
  sockaddr_in a, b;
  int fa = UdpSocket(a), fb = UdpSocket(b);
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    std::vector<std::uint8_t> buffer(65536);
    pollfd p{fb, POLLIN, 0};
    while (!stop) {
      if (::poll(&p, 1, 100) <= 0) continue;
      sockaddr_in from{};
      socklen_t n = sizeof from;
      ssize_t r = ::recvfrom(fb, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &n);
      if (r > 0)
        ::sendto(fb, buffer.data(), static_cast<std::size_t>(r), 0, reinterpret_cast<sockaddr*>(&from), n);
    }
  });
  std::vector<std::uint8_t> message(size, 0x42), reply(65536);
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    ::sendto(fa, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&b), sizeof b);
    pollfd p{fa, POLLIN, 0};
    if (::poll(&p, 1, 1000) <= 0) continue;
    ::recv(fa, reply.data(), reply.size(), 0);
    samples.push_back(Micros(Clock::now() - start));
  }
  stop = true;
  echo.join();
  ::close(fa);
  ::close(fb);
  return Percentiles(samples);
}

double RawUdpBulk(std::size_t total, std::size_t datagram) {
  sockaddr_in a, b;
  int fa = UdpSocket(a), fb = UdpSocket(b);
  std::atomic<std::size_t> received{0};
  std::atomic<bool> sending{true};
  Clock::time_point last;
  std::thread receiver([&] {
    std::vector<std::uint8_t> buffer(65536);
    pollfd p{fb, POLLIN, 0};
    while (::poll(&p, 1, sending ? 200 : 50) > 0) {
      ssize_t r = ::recv(fb, buffer.data(), buffer.size(), 0);
      if (r > 0) {
        received += static_cast<std::size_t>(r);
        last = Clock::now();
      }
    }
  });
  std::vector<std::uint8_t> message(datagram, 0x42);
  auto start = Clock::now();
  for (std::size_t sent = 0; sent < total; sent += datagram)
    ::sendto(fa, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&b), sizeof b);
  sending = false;
  receiver.join();
  ::close(fa);
  ::close(fb);
  return static_cast<double>(received) / std::chrono::duration<double>(last - start).count() / 1e6;
}

}  // namespace kivbench
