// One UDP port of the server (TEndpoint) and the message router that hands each received message to
// the role handler registered for its code.
//
// Threads: each endpoint runs its transport in mode 1, so every handler and the disconnect hooks of
// one endpoint run on that endpoint's dispatch thread, one at a time. Send and Disconnect may be
// called from any thread (the transport copies what it sends).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/wire.h"

namespace kiv {
class TKivUDP;
}

namespace kiv::server {

class TEndpoint;

// One received message. `body` covers the whole message, code included, exactly as received.
struct TRequest {
  TEndpoint& endpoint;
  std::uint16_t handle;
  std::uint32_t code;
  RecordReader body;
};

// Returns false when the message is not this handler's after all (the router then tries the next
// handler of the same code).
using THandler = std::function<bool(const TRequest&)>;
using TDisconnectHook = std::function<void(TEndpoint&, std::uint16_t handle)>;

class TWorkPool;

struct TRouterCounters {
  std::uint64_t handled = 0;
  std::uint64_t dropped_busy = 0;     // a slow handler's queue was full
  std::uint64_t dropped_short = 0;    // shorter than its code's fixed length
  std::uint64_t dropped_unknown = 0;  // no handler took it
  std::uint64_t failed = 0;           // a handler threw
};

class TMessageRouter {
 public:
  // Messages of `code` shorter than `length` bytes are dropped and counted before any handler runs.
  // With `slow` the handlers of the code run on the work pool (when one is set) on a copy of the
  // message, so a password hash does not hold up the endpoint's other messages; they must then be
  // safe to run beside each other and beside the endpoint's dispatch thread.
  void On(std::uint32_t code, std::size_t length, THandler handler, bool slow = false);
  // The pool for slow handlers; without one they run on the dispatch thread. Not owned.
  void SetPool(TWorkPool* pool) { pool_ = pool; }
  void OnDisconnect(TDisconnectHook hook);
  // Every connection whose message a handler takes is adopted (TEndpoint::Adopt): for endpoints
  // whose dialogue needs no sign-in (login, update). Without it the roles adopt by themselves.
  void AdoptWhenTaken() { adopt_when_taken_ = true; }
  // Called (on the dispatch thread) when a handler throws; the message is dropped either way.
  using TErrorReporter =
      std::function<void(TEndpoint&, std::uint16_t handle, std::uint32_t code, const char* what)>;
  void SetErrorReporter(TErrorReporter reporter) { reporter_ = std::move(reporter); }

  void Dispatch(TEndpoint& endpoint, std::uint16_t handle, const std::uint8_t* data, std::size_t size);
  void Disconnected(TEndpoint& endpoint, std::uint16_t handle);

  TRouterCounters Counters() const;
  // The codes with a handler, for the fuzz target.
  std::vector<std::uint32_t> Codes() const;

 private:
  struct Route {
    std::size_t length = 0;
    bool slow = false;
    std::vector<THandler> handlers;
  };
  void Run(const Route& route, TEndpoint& endpoint, std::uint16_t handle, std::uint32_t code,
           const std::uint8_t* data, std::size_t size);
  std::map<std::uint32_t, Route> routes_;
  std::vector<TDisconnectHook> disconnect_hooks_;
  TErrorReporter reporter_;
  TWorkPool* pool_ = nullptr;
  bool adopt_when_taken_ = false;
  std::atomic<std::uint64_t> handled_{0}, dropped_busy_{0}, dropped_short_{0}, dropped_unknown_{0},
      failed_{0};
};

// A role of the server: registers its handlers on the router of its endpoint. The login, home and
// every later role (web, update, friends, chat, lobby, room, data) is one implementation.
class TRole {
 public:
  virtual ~TRole() = default;
  virtual const char* Name() const = 0;
  virtual void Attach(TMessageRouter& router) = 0;
};

// What one endpoint holds for the network.
//  - A connection may leave kMaxUnacknowledged bytes of what we send it unacknowledged; a reply
//    past that is dropped and the connection ended as stalled (a peer that never acknowledges
//    would make us hold every reply). Above what the chat role lets wait per channel, so a slow
//    honest receiver of relayed data is not cut off.
//  - One IPv4 address holds at most kMaxConnectionsPerAddress connections (clients behind one
//    NAT share an address).
//  - A connection that no role adopts within kClaimGraceMs ends: the login and update roles adopt
//    on the first message they take, the home role on sign-in.
//  - A connection may have kMaxWaitingPerConnection bytes of messages waiting for the dispatch
//    thread; beyond that its frames go unacknowledged until the handlers have caught up, so a client
//    that sends faster than the roles answer slows down instead of filling memory.
inline constexpr std::uint64_t kMaxUnacknowledged = std::uint64_t{8} << 20;
inline constexpr std::size_t kMaxWaitingPerConnection = std::size_t{1} << 20;
inline constexpr std::size_t kMaxConnectionsPerAddress = 256;
inline constexpr std::int64_t kClaimGraceMs = 10000;
// The most connections an endpoint can hold (the transport's peer table).
inline constexpr std::uint32_t kEndpointCapacity = 9999;
// Connections the home endpoint keeps free beyond its signed-in users: sign-ins under way, relayed
// data from other nodes' clients. The login role stops sending clients to a home endpoint that has
// less room than this.
inline constexpr std::uint32_t kHomeHeadroom = 500;

class TEndpoint {
 public:
  explicit TEndpoint(std::string name);
  ~TEndpoint();
  TEndpoint(const TEndpoint&) = delete;
  TEndpoint& operator=(const TEndpoint&) = delete;

  const std::string& Name() const { return name_; }
  TMessageRouter& Router() { return router_; }

  // Opens the port (0: any free one). False when it cannot be bound.
  bool Start(std::uint16_t port);
  void Stop();
  std::uint16_t Port() const;

  bool Send(std::uint16_t handle, std::span<const std::uint8_t> message);
  // Sends unless `channel` already holds `threshold` unacknowledged bytes (then false, nothing sent).
  // `mode` 1 lets a message through up to twice the threshold (a video key frame).
  bool SendPaced(std::uint16_t handle, std::span<const std::uint8_t> message, std::uint8_t channel,
                 std::uint32_t threshold, std::uint8_t mode = 0);
  // Bytes on `channel` of the connection that its peer has not acknowledged yet (0 without a peer).
  std::uint64_t Unacknowledged(std::uint16_t handle, std::uint8_t channel) const;
  void Disconnect(std::uint16_t handle);
  // Where the transport's lines (an association ended as stalled, unclaimed, …) go, at most one per
  // 10 s; each starts with the endpoint's name.
  void SetLog(std::function<void(const std::string&)> log);
  // Keeps the connection past kClaimGraceMs: it belongs to a client of ours now.
  void Adopt(std::uint16_t handle);
  // Ends the connection at once, dropping what it had queued (a peer that stopped acknowledging).
  void End(std::uint16_t handle, const char* why);
  // The peer's address as this endpoint sees it; empty when the handle is unknown.
  WireAddress Peer(std::uint16_t handle) const;
  std::uint32_t PeerCount() const;
  // Fewer than `room` more connections fit.
  bool NearlyFull(std::uint32_t room) const { return PeerCount() + room >= kEndpointCapacity; }
  // What the transport refused (forged frames, connections beyond the bounds above).
  struct TGuards {
    std::uint64_t foreign_frames = 0, refused = 0, stalled = 0, unclaimed = 0;
  };
  TGuards Guards() const;

 private:
  std::string name_;
  TMessageRouter router_;
  std::unique_ptr<TKivUDP> udp_;
};

}  // namespace kiv::server
