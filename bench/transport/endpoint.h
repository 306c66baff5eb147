// A message transport endpoint as the transport benchmark drives it, so that our transport and its
// peers (ENet, TCP) run the same scenarios in the same run.
//
// Each endpoint runs its own service thread(s). The message handler runs on one of them and may call
// Send. Every member may be called from any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kivbench {

using PeerId = int;  // -1 names none
using MessageHandler =
    std::function<void(PeerId peer, std::uint8_t channel, std::span<const std::uint8_t> data)>;

// Peers connected to a server without a client endpoint each (see Endpoint::ConnectSwarm).
class Swarm {
 public:
  virtual ~Swarm() = default;
  virtual int Connected() const = 0;
  // Sends one small reliable message from peer `index` (0 .. Connected() - 1) on `channel`, as a
  // connected client would; false when this kind of swarm cannot send. Called from one thread.
  virtual bool Send(int /*index*/, std::uint8_t /*channel*/, std::span<const std::uint8_t> /*data*/) {
    return false;
  }
};

class Endpoint {
 public:
  virtual ~Endpoint() = default;
  // Opens the endpoint on 127.0.0.1:`port` (0: any free port). The handler is set before any
  // message can arrive.
  virtual bool Start(std::uint16_t port, MessageHandler handler) = 0;
  virtual std::uint16_t Port() const = 0;
  // Connects to 127.0.0.1:`port`, waiting up to `timeout_ms`; -1 on failure.
  virtual PeerId Connect(std::uint16_t port, int timeout_ms) = 0;
  // Peers connected to this endpoint (accepted or connected).
  virtual int ConnectedPeers() const = 0;
  // Queues a reliable, ordered message on `channel`.
  virtual void Send(PeerId peer, std::uint8_t channel, std::span<const std::uint8_t> data) = 0;
  // Bytes queued towards `peer` and not yet acknowledged (or not yet handed to the kernel).
  virtual std::size_t Queued(PeerId peer, std::uint8_t channel) const = 0;
  // The threads whose CPU time and wake-ups count as this endpoint's cost.
  virtual std::vector<pid_t> Threads() const = 0;
  // The round-trip estimate that sets the peer's resend time-out, in ms; -1 when not known.
  virtual double RoundTripEstimateMs(PeerId /*peer*/) const { return -1; }
  // Largest number of peers one endpoint can hold.
  virtual int MaxPeers() const { return 1 << 30; }
  // Connects `count` lightweight peers that stay silent to a server of this kind at 127.0.0.1:`port`
  // and keeps them until destroyed; null when this kind has no such client (the caller then uses
  // client endpoints). Called on an endpoint that was not started.
  virtual std::unique_ptr<Swarm> ConnectSwarm(std::uint16_t /*port*/, int /*count*/) { return nullptr; }
};

using EndpointFactory = std::function<std::unique_ptr<Endpoint>()>;

std::unique_ptr<Endpoint> MakeEnetEndpoint(int max_peers);
std::unique_ptr<Endpoint> MakeTcpEndpoint();

}  // namespace kivbench
