// TKivUDP: the transport engine. One per process in the client (the updater and the server use the
// same class). It owns the peer table, runs the handshake and the disconnect exchange, classifies
// every received datagram, applies flow control to sends, answers the diagnostic probe and hands
// complete messages and disconnect events to the application.
//
// Threads and locks
//   engine lock (`lock_`): guards the peer table and every TRemote in it, the deadline heap and the
//     delivery queue. It is held by the receive path, the send functions, the timer pass and the
//     queries, and never while the application is called or while anything waits. Callbacks may
//     therefore call every send function.
//   timer thread: sleeps on a kernel timer armed for the earliest resend deadline (a heap of the
//     busy peers' deadlines), keep-alive or ageing pass. A send that makes an earlier deadline
//     re-arms the timer under the engine lock, without waking the thread. No polling: an idle
//     engine wakes only for its keep-alive and ageing passes. It never calls the application.
//   delivery: messages and disconnect events leave the engine in the order the lock produced them,
//     through one queue per engine.
//   Mode 0: the receive path and every callback run on the main thread, which the owner reaches
//     through TMainThread (the Qt adapter in KivUDP, or a test loop). Only the outermost delivery
//     on the main thread drains the queue, so a callback that runs a nested event loop (a question
//     window, Connect) sees the messages that arrive meanwhile after it returns, in order. The
//     ageing pass is posted to the main thread (at most one pending), and reads the waiting
//     datagrams first.
//   Mode 1: datagrams are read on the read thread; callbacks run on the dispatch thread, which
//     waits on a condition variable, never polls.
//   Mode 2: datagrams are read and every callback runs on the read thread; disconnects found by
//     the ageing pass are handed to it, so callbacks never run concurrently. The acknowledgements of
//     a datagram go out once its messages were delivered, so a reply sent from the callback leaves
//     first (callbacks here must return quickly).
// Connect and Stop wait; in mode 0 they let the main thread's events run while they wait, so they
// must be called on the main thread there. Stop may be called from a mode-0 callback; it refuses
// (false) on the dispatch or read thread.
//
// Addresses: a peer keeps the address and port that made its association for its whole life. A
// frame that names its handle from anywhere else is dropped and counted (Guards), so a handle, which
// anyone can guess, never lets a second host act for the peer; a client whose address changes
// connects again. Servers bound what one peer may hold (TEngineOptions).
//
// Ownership: the engine owns every peer; the data given to a send function is copied; the data
// handed to the data callback lives for the call only.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "udp_clock.h"
#include "udp_remote.h"
#include "udp_socket.h"

namespace kiv {

// The three timings in which the client's and the updater's builds differ.
struct TEngineConstants {
  std::int64_t KeepAliveInterval = 10000;  // ms between keep-alive passes (mode 0)
  std::int64_t AgeingInterval = 10000;     // ms between ageing passes
  std::int64_t RehandshakeWindow = 10000;  // a repeated request within this keeps the association

  static TEngineConstants Client() { return {}; }
  static TEngineConstants Updater() { return {20000, 20000, 5000}; }
};

// Mode 0: how the engine reaches the main thread of its owner.
class TMainThread : public TSocketReadiness {
 public:
  // Runs `task` on the main thread soon. Callable from any thread.
  virtual void Post(std::function<void()> task) = 0;
  // Lets pending events run (socket readiness, posted tasks). Called on the main thread only.
  virtual void ProcessEvents() = 0;
};

using TDataCallback =
    std::function<void(std::uint16_t handle, const std::uint8_t* data, std::uint32_t length)>;
using TDisconnectCallback = std::function<void(std::uint16_t handle, std::uint8_t reason)>;

// Disconnect reasons.
inline constexpr std::uint8_t kReasonAgedOut = 0;
inline constexpr std::uint8_t kReasonDisconnected = 1;

// Control codes (first four bytes of a message).
inline constexpr std::uint32_t kCodeProbe = 0x00090000;
inline constexpr std::uint32_t kCodeTerminate = 0x00090001;
inline constexpr std::uint32_t kCodeProbeReply = 0x00090002;
inline constexpr std::size_t kProbeReplySize = 80;

struct TEngineOptions {
  TEngineConstants constants;
  TClock* clock = nullptr;             // null: the steady clock
  TMainThread* main_thread = nullptr;  // required for mode 0
  TScrambleRandom* random = nullptr;   // null: the per-thread default
  // Peers that came from the network and have not yet shown they are real: a responder's new peer
  // until the confirmation, or any frame that names its handle from its address, arrives; a
  // temporary peer created by temporary data until a message from it or an acknowledgement of ours
  // arrives. Beyond this count the oldest such peer is dropped, so a flood of requests from many
  // addresses cannot fill the table; a peer that has exchanged data is never dropped for it.
  std::size_t max_unconfirmed_peers = 1024;
  // Bytes such a peer may hold out of order in reassembly; frames beyond it are dropped
  // unacknowledged. Frames in order are never refused (see TRemote::RecvChannelData).
  std::size_t max_unconfirmed_held_bytes = 256 * 1024;
  // Bytes all peers together may hold out of order; frames beyond it are dropped unacknowledged
  // (the sender sends them again later, so nothing is lost).
  std::size_t max_total_held_bytes = std::size_t{1} << 30;
  // How long Stop waits for the peers to answer their disconnect requests.
  std::int64_t stop_wait_ms = 5000;
  // Payload bytes a peer may have queued and unacknowledged over all its send channels. A send
  // without a threshold (SendData with threshold 0, SendTempData) that would go past it is refused
  // and the association ends as stalled: the peer is told, the application sees a disconnect with
  // reason 1. 0: no bound.
  std::uint64_t max_unacknowledged_bytes = 0;
  // Peers one IPv4 address (any port) may hold at once. Handshake requests and temporary data
  // that would make a new peer beyond it are dropped and counted; Connect and CreateTempRemote
  // are never refused by it. 0: no bound.
  std::size_t max_peers_per_address = 0;
  // How long a peer that came from the network (a responder's peer, a temporary peer made by
  // temporary data, a peer reset by a new handshake) may stay without the application claiming it
  // (Adopt); after it the association ends as in max_unacknowledged_bytes. 0: never.
  std::int64_t claim_grace_ms = 0;
  // Mode 1: bytes of one peer's messages that may wait for the dispatch thread. While a peer has
  // more waiting, its reliable frames are dropped unacknowledged (its sender sends them again
  // later, so nothing is lost) and its unreliable ones dropped: a sender faster than the
  // application slows to the application's pace instead of filling the queue. 0: no bound.
  std::size_t max_waiting_bytes_per_peer = 0;
};

// What the engine refused from the network, since Start.
struct TEngineGuards {
  std::uint64_t ForeignFrames = 0;  // frames naming a peer's handle from another address
  // New peers refused: beyond max_peers_per_address, or a handshake request at a full table.
  std::uint64_t RefusedPeers = 0;
  std::uint64_t Stalled = 0;    // associations ended by max_unacknowledged_bytes
  std::uint64_t Unclaimed = 0;  // associations ended by claim_grace_ms
  std::uint64_t Backlogged = 0;  // frames dropped by max_waiting_bytes_per_peer
};

// A row of the diagnostics table.
struct TChannelRow {
  std::uint8_t Number = 0;
  bool HasSend = false, HasRecv = false;
  std::uint32_t NextSequence = 0;
  std::uint64_t QueuedFragments = 0, QueuedBytes = 0;
  std::uint32_t SentFragments = 0, SentBytes = 0, SentSinceDisplay = 0;
  std::uint32_t RecvFragments = 0, RecvBytes = 0, RecvSinceDisplay = 0;
  std::uint32_t Resent = 0, Duplicates = 0;
};
struct TPeerRow {
  std::uint8_t State = 0;
  std::uint16_t LocalID = 0, RemoteID = 0;
  std::int32_t Active = 0;
  std::string IP;
  std::uint16_t Port = 0;
  std::int64_t Ping = 0;
  std::uint32_t Foreign = 0;          // frames naming this peer's handle that came from another address
  bool Claimed = true;                // the application has adopted it (or made it)
  std::vector<TChannelRow> Channels;  // by number, 0..254
};

class TKivUDP : public TKivSocket {
 public:
  static constexpr std::uint16_t kMaxPeers = 9999;

  explicit TKivUDP(TEngineOptions options = {});
  ~TKivUDP() override;

  // The callbacks. Set them before Start; nothing is delivered while they are empty.
  void SetCallbacks(TDataCallback on_data, TDisconnectCallback on_disconnect);

  bool Start(std::uint16_t port, std::uint8_t mode) override;
  bool Stop() override;

  // Handshake with address:port; the handle, or 0 on failure or time-out.
  std::uint16_t Connect(const std::string& address, std::uint16_t port, std::uint32_t timeout_ms);
  // Queues a disconnect request; false when there is no such peer.
  bool Disconnect(std::uint16_t handle);
  // Ends the association at once: tells the peer unreliably, frees it with everything it had
  // queued and reports the disconnect. For a peer that does not acknowledge, whose queued
  // disconnect request would wait behind the data it never takes. False when there is no such peer.
  bool End(std::uint16_t handle, const char* why);
  // Reliable send with flow control (threshold 0: none).
  bool SendData(std::uint16_t handle, std::span<const std::uint8_t> data, std::uint8_t channel,
                std::uint32_t threshold, std::uint8_t mode);
  // One unreliable, unscrambled datagram of `type` to the peer.
  void SendDataNow(std::uint16_t handle, std::span<const std::uint8_t> data, std::uint8_t type);
  // One unscrambled datagram of `type` to an address, with RemoteID 0.
  void SendDataNow(const std::string& address, std::uint16_t port, std::span<const std::uint8_t> data,
                   std::uint8_t type);
  // Reliable send of temporary data (type 10) on `channel`, without flow control.
  bool SendTempData(std::uint16_t handle, std::span<const std::uint8_t> data, std::uint8_t channel);
  // One raw datagram without transport header, through the relay when one is set.
  void SendMSGData(const std::string& address, std::uint16_t port, std::span<const std::uint8_t> data);
  // The peer of address:port, created in the temporary state if missing; 0 when none can be made.
  std::uint16_t CreateTempRemote(const std::string& address, std::uint16_t port);

  bool HasPeer(const std::string& address, std::uint16_t port) const;
  bool GetRemoteAdd(std::uint16_t handle, std::string& address, std::uint16_t& port) const;
  std::uint32_t GetPing(std::uint16_t handle) const;
  std::uint64_t GetSendChannelSize(std::uint16_t handle, std::uint8_t channel) const;
  float GetResendRate(std::uint16_t handle, std::uint8_t position) const;
  std::uint32_t PeerCount() const;
  // Payload bytes all peers together hold out of order in reassembly (bounded by
  // max_total_held_bytes).
  std::size_t HeldBytes() const;
  // Marks the peer as a server of ours: only servers may give the termination order.
  void SetServerPeer(std::uint16_t handle, bool is_server);
  // Claims a peer that came from the network, so that claim_grace_ms does not end it. False when
  // there is no such peer.
  bool Adopt(std::uint16_t handle);
  TEngineGuards Guards() const;
  // Where the engine's error lines go (still at most one per 10 s); empty: UDPError.txt in the
  // application folder. Called with the engine lock held: it must not call the engine.
  void SetLogSink(std::function<void(const std::string&)> sink);

  bool HasDispatchThread() const { return dispatch_thread_.joinable(); }
  std::size_t DispatchQueueLength() const;

  // The table for the diagnostics window; with `mark_displayed` the per-refresh byte counts start
  // again from now.
  std::vector<TPeerRow> Snapshot(bool mark_displayed);

  // Wakes the timer thread so that it reads the clock again (tests that step a manual clock).
  void Wake();
  // When the timer thread is armed to run next (engine clock, ms); kNoDeadline when stopped.
  std::int64_t PlannedWake() const;

  const TEngineConstants& Constants() const { return options_.constants; }

 protected:
  void DataRecive(const std::string& address, std::uint16_t port, std::uint8_t* data,
                  std::size_t length) override;
  void ReaderWoken() override;
  void ReadBatchDone() override;

 private:
  // What must reach the application once the lock is released.
  struct Event {
    enum Kind : std::uint8_t { kMessage = 1, kDisconnected = 2, kAgedOut = 3 } kind;
    std::uint16_t handle;
    std::vector<std::uint8_t> data;
  };
  using Events = std::vector<Event>;

  class Output;  // TRemoteOutput of the engine
  struct Slot {
    std::unique_ptr<TRemote> peer;
    bool confirmed = false;  // shown to be real (see max_unconfirmed_peers), or created by us
    bool server = false;     // may give the termination order
    bool network = false;    // made by a request or temporary data from the network
    bool claimed = true;     // adopted by the application, or made by it
    std::uint32_t foreign = 0;            // frames naming this slot's handle from another address
    std::int64_t claim_by = kNoDeadline;  // when an unclaimed peer ends
    std::uint64_t serial = 0;
    std::int64_t scheduled = kNoDeadline;  // the live entry of this peer in the deadline heap
  };
  using Deadline = std::pair<std::int64_t, std::uint16_t>;  // (when, handle)
  struct HeldAck {  // mode 2: an acknowledgement waiting for the end of the read batch
    std::string ip;
    std::uint16_t port;
    std::array<std::uint8_t, kHeaderSize> bytes;
  };

  std::int64_t Now() const { return clock_->NowMs(); }

  // ---- called with lock_ held ----
  TRemote* Peer(std::uint16_t handle) const;
  TRemote* FindByAddress(const std::string& address, std::uint16_t port) const;
  // The peer a frame of types 0, 1, 2 and 7 belongs to: the one its remote id names, provided the
  // frame comes from that peer's address (else it is counted and none is returned), or, when the
  // id names no peer, the peer of its source address.
  TRemote* FindForFrame(std::uint16_t remote_id, const std::string& address, std::uint16_t port);
  // Counts a frame that named `handle` from an address other than its peer's.
  void CountForeign(std::uint16_t handle);
  std::uint16_t AddRemote(std::unique_ptr<TRemote> peer, bool confirmed);
  void DelRemote(std::uint16_t handle);
  void MakeRoomForUnconfirmed(Events& events);
  // Whether another peer of the network may come from `address` (max_peers_per_address); counts
  // the refusal when not.
  bool MayAddFrom(const std::string& address);
  // Starts the claim period of a peer that came from the network (claim_grace_ms).
  void AwaitClaim(std::uint16_t handle);
  void EndUnclaimed(std::int64_t now, Events& events);
  void Touch(TRemote& peer);
  void Index(std::uint16_t handle, bool add);
  void Pump(TRemote& peer, std::int64_t now);  // runs the send window, schedules the deadline
  void Schedule(std::uint16_t handle, std::int64_t deadline);
  void Arm(std::int64_t deadline);  // the kernel timer, when `deadline` is earlier than armed
  void TimerPass();
  void EndAssociation(TRemote& peer, const char* why, Events& events);
  void Queue(Events& events);  // hands the events of a locked operation to their delivery path
  void SendHandshake(TRemote& peer, std::uint8_t kind, std::uint16_t first, std::uint16_t second);
  void SendActiveMsg(std::int64_t now);
  void AgeingPass(Events& events);
  void HandleHandshake(std::span<const std::uint8_t> datagram, const std::string& address, std::uint16_t port,
                       Events& events);
  void HandleDisconnect(std::span<const std::uint8_t> datagram, const std::string& address,
                        std::uint16_t port, Events& events);
  void ReceiveFrame(TRemote& peer, std::span<const std::uint8_t> datagram, Events& events);
  void Report(Events& events, std::uint16_t handle, std::uint8_t reason);
  // Ends the association as stalled when `more` bytes would take what it holds unacknowledged past
  // max_unacknowledged_bytes; its disconnect event is queued (deliver it with DeliverLater).
  bool Stalls(TRemote& peer, std::size_t more);
  // SendData's flow control and queueing, for a peer that exists.
  bool QueueSend(TRemote& peer, std::span<const std::uint8_t> data, std::uint8_t channel,
                 std::uint32_t threshold, std::uint8_t mode);

  // ---- called without the lock ----
  // Modes 0 and 2, on the delivering thread: runs the queued events unless a delivery further out
  // on the stack is already doing so.
  void DrainDeliveries();
  // After an operation outside the receive path queued events: has them delivered on the thread
  // of the mode (mode 2: the read thread; mode 0: the main thread; mode 1 needs nothing).
  void DeliverLater();
  void AgeOnMainThread();  // mode 0: the posted ageing pass
  // Appends a line to the error log, at most one per kLogIntervalMs per engine.
  void LogLimited(const std::string& text);
  void DealReciveData(std::uint16_t handle, const std::uint8_t* data, std::uint32_t length);
  void RunEvent(Event& event);
  void TimerLoop(std::stop_token stop);
  void DispatchLoop(std::stop_token stop);
  void WaitStep();  // one millisecond of waiting in Connect and Stop

  TEngineOptions options_;
  TClock* clock_;
  // Tasks posted to the main thread hold a weak reference, so one that runs after the engine is
  // gone does nothing.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  std::unique_ptr<Output> output_;

  mutable std::mutex lock_;  // the engine lock
  std::vector<Slot> table_;  // kMaxPeers + 1 slots; slot 0 unused
  std::uint16_t last_handle_ = 0;
  std::uint32_t peer_count_ = 0;
  std::uint64_t next_serial_ = 1;
  // Handles by address and port, for the lookups of the receive path (a table scan for each
  // datagram would cost 10 000 steps).
  std::unordered_map<std::uint64_t, std::vector<std::uint16_t>> by_address_;
  std::deque<std::uint16_t> unconfirmed_;  // oldest first
  // Peers per IPv4 address (the address part of the index key), for max_peers_per_address.
  std::unordered_map<std::uint64_t, std::uint32_t> per_address_;
  // Claim deadlines (when, handle), in the order they come due (the grace is one constant). An entry
  // is live while it matches its slot's `claim_by` and the slot is unclaimed.
  std::deque<Deadline> claims_;
  TEngineGuards guards_;
  // Resend deadlines of busy peers, earliest on top. An entry is live while it matches its slot's
  // `scheduled`; others are left to drop out when they come up.
  std::priority_queue<Deadline, std::vector<Deadline>, std::greater<>> deadlines_;
  std::vector<std::uint16_t> due_;  // the timer pass's peers to pump (kept to reuse its memory)
  std::size_t total_held_ = 0;      // out-of-order bytes of all peers
  std::int64_t next_keep_alive_ = 0, next_ageing_ = 0;
  bool running_ = false;              // started and not stopping
  bool ageing_posted_ = false;        // mode 0: an ageing pass waits on the main thread
  std::deque<Event> deliveries_;      // modes 0 and 2, in the order the lock produced them
  std::vector<HeldAck> held_acks_;    // mode 2: to send when the read thread's batch is done
  bool draining_ = false;             // a DrainDeliveries is running on the delivering thread
  std::int64_t armed_ = kNoDeadline;  // what the kernel timer is armed for

  TDataCallback on_data_;
  TDisconnectCallback on_disconnect_;

  int timer_fd_ = -1;       // the kernel timer of the timer thread
  int timer_wake_fd_ = -1;  // eventfd: Wake() and Stop()
  std::jthread timer_thread_;

  std::mutex log_mutex_;
  std::int64_t last_log_ = 0;
  bool logged_ = false;
  std::uint32_t unlogged_ = 0;
  std::function<void(const std::string&)> log_sink_;

  mutable std::mutex dispatch_mutex_;  // after lock_ when both are taken
  std::condition_variable_any dispatch_cv_;
  std::deque<Event> dispatch_queue_;
  // Mode 1: message bytes waiting in dispatch_queue_ (or being handled) by handle, for
  // max_waiting_bytes_per_peer. A reused handle inherits what its predecessor still has waiting,
  // which only delays its first frames until the dispatch thread has caught up.
  std::vector<std::size_t> waiting_bytes_ = std::vector<std::size_t>(kMaxPeers + 1);
  bool Backlogged(std::uint16_t handle) const;  // called with lock_ held
  std::jthread dispatch_thread_;
};

}  // namespace kiv
