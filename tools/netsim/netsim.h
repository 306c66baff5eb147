// A seeded UDP relay that impairs the path between two endpoints: loss, delay with jitter,
// reordering, duplication and a rate limit, set per direction and changeable while it runs.
//
// Clients send to the relay's front port; each distinct client address gets its own back socket
// towards the target, so the target sees one peer per client and its answers find their way back.
// One thread runs the relay; every public member may be called from any thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kiv::netsim {

struct Impairment {
  double loss = 0;       // probability that a datagram is dropped
  double duplicate = 0;  // probability that a datagram is sent twice
  double reorder = 0;    // probability that a datagram is held back by `reorder_delay_ms`
  double delay_ms = 0;   // one-way delay
  double jitter_ms = 0;  // uniform extra delay in [0, jitter_ms]; never reorders by itself
  double reorder_delay_ms = 10;
  double rate_bytes_per_s = 0;              // 0: unlimited
  std::size_t queue_limit_bytes = 1 << 20;  // beyond this a rate-limited direction drops (tail drop)
};

struct Counters {
  std::uint64_t received = 0, forwarded = 0, dropped = 0, duplicated = 0, reordered = 0;
};

enum class Direction { kToTarget, kToClient };

class Relay {
 public:
  // Listens on `listen_ip:listen_port` (0 picks a free port) and forwards to `target_ip:target_port`.
  Relay(const std::string& listen_ip, std::uint16_t listen_port, const std::string& target_ip,
        std::uint16_t target_port, std::uint64_t seed);
  ~Relay();
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  // False when the sockets could not be opened; error() says why.
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  std::uint16_t port() const { return listen_port_; }

  void Set(Direction direction, const Impairment& impairment);
  void SetBoth(const Impairment& impairment) {
    Set(Direction::kToTarget, impairment);
    Set(Direction::kToClient, impairment);
  }
  Counters counters(Direction direction) const;

 private:
  struct State;
  void Run();

  std::unique_ptr<State> state_;
  bool ok_ = false;
  std::string error_;
  std::uint16_t listen_port_ = 0;
  std::thread thread_;
};

}  // namespace kiv::netsim
