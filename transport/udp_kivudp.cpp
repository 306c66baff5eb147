#include "udp_kivudp.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "base/files.h"
#include "base/log.h"
#include "base/socket.h"
#include "base/system_load.h"
#include "base/wire.h"
#include "udp_datagram.h"

namespace kiv {

namespace {

constexpr std::size_t kHandshakeSize = 5;
constexpr std::uint8_t kHandshakeRequest = 0, kHandshakeReply = 1, kHandshakeConfirm = 3;
// Handshake requests are repeated after 250 ms, then after twice as long each time, up to 1 s.
constexpr std::int64_t kConnectFirstRetryMs = 250;
constexpr std::int64_t kConnectRetryMs = 1000;
constexpr std::int64_t kLogIntervalMs = 10000;
// Datagram batches the mode-0 ageing pass reads before it runs, so it sees what arrived during a
// stall; bounded, so a flood cannot hold it off for ever.
constexpr int kAgeingReadBatches = 64;
constexpr std::int32_t kDiagnosticMagic = 10005;

// Runs `fn`, swallowing what it throws: no error from the network path reaches the caller.
template <typename Fn>
void Guarded(Fn&& fn) {
  try {
    fn();
  } catch (...) {
  }
}

}  // namespace

// Collects what a TRemote produces while the lock is held: datagrams go out at once, messages are
// kept for delivery after the lock is released.
class TKivUDP::Output : public TRemoteOutput {
 public:
  explicit Output(TKivUDP& engine) : engine_(engine) {}
  void Transmit(const TRemote& peer, std::span<const std::uint8_t> datagram) override {
    if (held_acks_ && datagram.size() == kHeaderSize && datagram[kOffType] == kTypeAck) {
      held_acks_->push_back({peer.IP, peer.Port, {}});
      std::copy(datagram.begin(), datagram.end(), held_acks_->back().bytes.begin());
      return;
    }
    engine_.SendUDPData(peer.IP, peer.Port, datagram.data(), datagram.size());
  }
  // Mode 2: acknowledgements wait in `acks` until the messages of the batch were delivered.
  void HoldAcks(std::vector<HeldAck>* acks) { held_acks_ = acks; }
  void Deliver(const TRemote& peer, std::uint8_t, std::span<const std::uint8_t> message) override {
    if (events_) events_->push_back({Event::kMessage, peer.LocalID, {message.begin(), message.end()}});
  }
  // Where messages go during the current locked operation (null: they are dropped).
  void Collect(Events* events) { events_ = events; }

 private:
  TKivUDP& engine_;
  Events* events_ = nullptr;
  std::vector<HeldAck>* held_acks_ = nullptr;
};

// Binds the output's message list to one locked operation.
template <typename O, typename E>
class CollectScope {
 public:
  CollectScope(O& output, E& events) : output_(output) { output.Collect(&events); }
  ~CollectScope() { output_.Collect(nullptr); }
  CollectScope(const CollectScope&) = delete;
  CollectScope& operator=(const CollectScope&) = delete;

 private:
  O& output_;
};

TKivUDP::TKivUDP(TEngineOptions options)
    : options_(options),
      clock_(options.clock ? options.clock : &TSteadyClock::Instance()),
      output_(std::make_unique<Output>(*this)),
      table_(kMaxPeers + 1) {}

TKivUDP::~TKivUDP() {
  alive_.reset();
  Stop();
  TKivSocket::Stop();
}

void TKivUDP::SetCallbacks(TDataCallback on_data, TDisconnectCallback on_disconnect) {
  std::lock_guard lock(lock_);
  on_data_ = std::move(on_data);
  on_disconnect_ = std::move(on_disconnect);
}

// ---- Start and stop ---------------------------------------------------------------------------------

bool TKivUDP::Start(std::uint16_t port, std::uint8_t mode) {
  if (mode == 0 && !options_.main_thread) return false;
  {
    std::lock_guard lock(lock_);
    // A running engine stays as it is.
    if (running_ || Started() || timer_thread_.joinable()) return false;
  }
  timer_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  timer_wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  auto close_timer = [this] {
    for (int* fd : {&timer_fd_, &timer_wake_fd_}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  };
  if (timer_fd_ < 0 || timer_wake_fd_ < 0) {
    close_timer();
    return false;
  }
  if (mode == 0) SetReadiness(options_.main_thread);
  {
    std::lock_guard lock(lock_);
    running_ = true;
    ageing_posted_ = false;
    guards_ = {};
    armed_ = kNoDeadline;
    std::int64_t now = Now();
    next_keep_alive_ = now + options_.constants.KeepAliveInterval;
    next_ageing_ = now + options_.constants.AgeingInterval;
    Arm(std::min(mode == 0 ? next_keep_alive_ : kNoDeadline, next_ageing_));
  }
  if (!TKivSocket::Start(port, mode)) {
    std::lock_guard lock(lock_);
    running_ = false;
    close_timer();
    return false;
  }
  SetLocalAddress(GetIPForServer());
  timer_thread_ = std::jthread([this](std::stop_token stop) { TimerLoop(stop); });
  if (mode != 0) dispatch_thread_ = std::jthread([this](std::stop_token stop) { DispatchLoop(stop); });
  return true;
}

void TKivUDP::WaitStep() {
  // Only the main thread reads in mode 0. A Connect from another thread (a friend's connection
  // thread) just waits: the main thread reads the answer and the loop sees the peer's state.
  if (Mode() == 0 && options_.main_thread && OnOwnerThread()) {
    options_.main_thread->ProcessEvents();
    // Called from a callback that runs inside the socket's own notification, the event loop does
    // not notify it again: read directly, so that Connect and Stop see their answers there too.
    ReadData();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool TKivUDP::Stop() {
  if (!Started()) return false;
  // The threads that run callbacks cannot wait for themselves to end.
  if (OnReadThread() || std::this_thread::get_id() == dispatch_thread_.get_id()) return false;
  {
    std::lock_guard lock(lock_);
    if (!running_) return false;
    std::int64_t now = Now();
    for (std::uint16_t h = 1; h <= kMaxPeers; ++h) {
      if (TRemote* peer = Peer(h)) {
        peer->Disconnect();
        Pump(*peer, now);
      }
    }
  }
  for (auto start = std::chrono::steady_clock::now();
       PeerCount() > 0 &&
       std::chrono::steady_clock::now() - start < std::chrono::milliseconds(options_.stop_wait_ms);) {
    WaitStep();
  }
  {
    std::lock_guard lock(lock_);
    running_ = false;
  }
  timer_thread_.request_stop();
  Wake();
  if (timer_thread_.joinable()) timer_thread_.join();
  for (int* fd : {&timer_fd_, &timer_wake_fd_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
  dispatch_thread_.request_stop();
  dispatch_cv_.notify_all();
  if (dispatch_thread_.joinable()) dispatch_thread_.join();
  TKivSocket::Stop();
  std::lock_guard lock(lock_);
  for (std::uint16_t h = 1; h <= kMaxPeers; ++h) table_[h] = Slot{};
  by_address_.clear();
  per_address_.clear();
  claims_.clear();
  peer_count_ = 0;
  deadlines_ = {};
  armed_ = kNoDeadline;
  unconfirmed_.clear();
  deliveries_.clear();
  total_held_ = 0;
  {
    std::lock_guard dispatch(dispatch_mutex_);
    dispatch_queue_.clear();
    std::fill(waiting_bytes_.begin(), waiting_bytes_.end(), 0);
  }
  return true;
}

// ---- Peer table (lock held) ---------------------------------------------------------------------------

TRemote* TKivUDP::Peer(std::uint16_t handle) const {
  if (handle == 0 || handle > kMaxPeers) return nullptr;
  return table_[handle].peer.get();
}

namespace {

// The index key of an address: its IPv4 value and the port; text that is not IPv4 gets a key that
// no IPv4 address has, and is then compared as text.
std::uint64_t AddressKey(const std::string& address, std::uint16_t port) {
  in_addr parsed{};
  std::uint64_t ip =
      ::inet_pton(AF_INET, address.c_str(), &parsed) == 1 ? ntohl(parsed.s_addr) : 0x100000000ull;
  return (ip << 16) | port;
}

}  // namespace

void TKivUDP::Index(std::uint16_t handle, bool add) {
  const TRemote& peer = *table_[handle].peer;
  auto key = AddressKey(peer.IP, peer.Port);
  auto& handles = by_address_[key];
  if (add) {
    handles.insert(std::lower_bound(handles.begin(), handles.end(), handle), handle);
    ++per_address_[key >> 16];
  } else {
    std::erase(handles, handle);
    if (handles.empty()) by_address_.erase(key);
    if (auto it = per_address_.find(key >> 16); it != per_address_.end() && --it->second == 0)
      per_address_.erase(it);
  }
}

bool TKivUDP::MayAddFrom(const std::string& address) {
  if (options_.max_peers_per_address == 0) return true;
  auto it = per_address_.find(AddressKey(address, 0) >> 16);
  if (it == per_address_.end() || it->second < options_.max_peers_per_address) return true;
  ++guards_.RefusedPeers;
  return false;
}

TRemote* TKivUDP::FindByAddress(const std::string& address, std::uint16_t port) const {
  auto it = by_address_.find(AddressKey(address, port));
  if (it == by_address_.end()) return nullptr;
  // The first in table order whose address matches.
  for (std::uint16_t h : it->second) {
    TRemote* peer = table_[h].peer.get();
    if (peer && peer->Port == port && peer->IP == address) return peer;
  }
  return nullptr;
}

TRemote* TKivUDP::FindForFrame(std::uint16_t remote_id, const std::string& address, std::uint16_t port) {
  if (TRemote* peer = Peer(remote_id)) {
    // A handle is no credential: handles are given out in order, so anyone can name one. Only
    // the address that made the association speaks for it.
    if (peer->Port == port && peer->IP == address) return peer;
    CountForeign(remote_id);
    return nullptr;
  }
  return FindByAddress(address, port);
}

void TKivUDP::CountForeign(std::uint16_t handle) {
  ++guards_.ForeignFrames;
  ++table_[handle].foreign;
}

std::uint16_t TKivUDP::AddRemote(std::unique_ptr<TRemote> peer, bool confirmed) {
  if (peer_count_ >= kMaxPeers) return 0;
  std::uint16_t handle = last_handle_;
  do {
    handle = handle >= kMaxPeers ? 1 : handle + 1;
  } while (table_[handle].peer);
  ++peer_count_;
  last_handle_ = handle;
  peer->LocalID = handle;
  Slot& slot = table_[handle];
  slot = Slot{};
  slot.peer = std::move(peer);
  slot.confirmed = confirmed;
  slot.network = !confirmed;
  slot.serial = next_serial_++;
  Index(handle, true);
  if (!confirmed) {
    unconfirmed_.push_back(handle);
    AwaitClaim(handle);
  }
  return handle;
}

void TKivUDP::AwaitClaim(std::uint16_t handle) {
  if (options_.claim_grace_ms <= 0) return;
  Slot& slot = table_[handle];
  slot.claimed = false;
  slot.claim_by = Now() + options_.claim_grace_ms;
  // Peers that come and go within the grace leave stale entries; drop them before they outnumber
  // the live ones, so a stream of short associations cannot grow the list.
  if (claims_.size() > 4 * static_cast<std::size_t>(peer_count_) + 1024) {
    std::erase_if(claims_, [&](const Deadline& d) {
      const Slot& s = table_[d.second];
      return !s.peer || s.claimed || s.claim_by != d.first;
    });
  }
  claims_.emplace_back(slot.claim_by, handle);
  Arm(slot.claim_by);
}

void TKivUDP::EndUnclaimed(std::int64_t now, Events& events) {
  while (!claims_.empty() && claims_.front().first <= now) {
    const auto [when, handle] = claims_.front();
    claims_.pop_front();
    Slot& slot = table_[handle];
    if (!slot.peer || slot.claimed || slot.claim_by != when) continue;  // stale
    ++guards_.Unclaimed;
    EndAssociation(*slot.peer, "the application did not take it up in time", events);
  }
}

void TKivUDP::DelRemote(std::uint16_t handle) {
  Slot& slot = table_[handle];
  if (!slot.peer) return;
  total_held_ -= std::min(total_held_, slot.peer->OutOfOrderBytes());
  Index(handle, false);
  slot = Slot{};  // its heap entries are stale now
  --peer_count_;
  // The unconfirmed list drops stale handles lazily (MakeRoomForUnconfirmed checks each slot).
}

void TKivUDP::MakeRoomForUnconfirmed(Events& events) {
  // Forget entries whose peer is gone or has been confirmed meanwhile.
  std::erase_if(unconfirmed_, [&](std::uint16_t h) { return !table_[h].peer || table_[h].confirmed; });
  while (unconfirmed_.size() >= options_.max_unconfirmed_peers) {
    std::uint16_t oldest = unconfirmed_.front();
    unconfirmed_.pop_front();
    table_[oldest].peer->State = kStateDisconnected;
    DelRemote(oldest);
    Report(events, oldest, kReasonAgedOut);
  }
}

// A peer keeps the address that made its association: frames from elsewhere never reach here.
void TKivUDP::Touch(TRemote& peer) { peer.Active = kActiveFresh; }

void TKivUDP::Pump(TRemote& peer, std::int64_t now) {
  Schedule(peer.LocalID, peer.RunSendWindow(now, *output_));
}

void TKivUDP::Schedule(std::uint16_t handle, std::int64_t deadline) {
  Slot& slot = table_[handle];
  if (deadline == kNoDeadline) {
    slot.scheduled = kNoDeadline;
    return;
  }
  if (deadline == kDueNow) deadline = Now();
  // A live entry that comes up earlier stays: its pass finds the later deadline and schedules it.
  if (slot.scheduled <= deadline) return;
  slot.scheduled = deadline;
  deadlines_.emplace(deadline, handle);
  Arm(deadline);
  // Entries go stale when deadlines move earlier; rebuild before they outnumber the live ones.
  if (deadlines_.size() > 4 * static_cast<std::size_t>(peer_count_) + 1024) {
    std::vector<Deadline> live;
    for (std::uint16_t h = 1; h <= kMaxPeers; ++h)
      if (table_[h].peer && table_[h].scheduled != kNoDeadline) live.emplace_back(table_[h].scheduled, h);
    deadlines_ = decltype(deadlines_)(std::greater<>(), std::move(live));
  }
}

void TKivUDP::Arm(std::int64_t deadline) {
  if (deadline >= armed_ || timer_fd_ < 0) return;
  armed_ = deadline;
  const std::int64_t wait_ms = std::max<std::int64_t>(deadline - Now(), 0);
  itimerspec wake{};
  wake.it_value.tv_sec = static_cast<time_t>(wait_ms / 1000);
  wake.it_value.tv_nsec = static_cast<long>(wait_ms % 1000) * 1'000'000;
  if (wait_ms == 0) wake.it_value.tv_nsec = 1;  // zero would disarm it
  ::timerfd_settime(timer_fd_, 0, &wake, nullptr);
}

void TKivUDP::Report(Events& events, std::uint16_t handle, std::uint8_t reason) {
  events.push_back({reason == kReasonAgedOut ? Event::kAgedOut : Event::kDisconnected, handle, {}});
}

void TKivUDP::SendHandshake(TRemote& peer, std::uint8_t kind, std::uint16_t first, std::uint16_t second) {
  std::uint8_t record[kHandshakeSize] = {kind};
  StoreU16(record + 1, first);
  StoreU16(record + 3, second);
  peer.SendDataNow(record, kTypeHandshake, *output_);
}

void TKivUDP::EndAssociation(TRemote& peer, const char* why, Events& events) {
  const std::uint16_t handle = peer.LocalID;
  LogLimited(std::string("association with ") + peer.IP + ":" + std::to_string(peer.Port) + " ended: " + why);
  // Tell the other side, so that it does not resend into the void until it ages us out.
  const std::uint8_t request = 0;
  SendDataNow(peer.IP, peer.Port, {&request, 1}, kTypeDisconnect);
  peer.State = kStateDisconnected;
  DelRemote(handle);
  Report(events, handle, kReasonDisconnected);
}

void TKivUDP::Queue(Events& events) {
  if (events.empty()) return;
  if (Mode() == 1) {
    {
      std::lock_guard dispatch(dispatch_mutex_);
      for (auto& event : events) {
        if (event.kind == Event::kMessage) waiting_bytes_[event.handle] += event.data.size();
        dispatch_queue_.push_back(std::move(event));
      }
    }
    dispatch_cv_.notify_one();
  } else {
    for (auto& event : events) deliveries_.push_back(std::move(event));
  }
  events.clear();
}

void TKivUDP::SendActiveMsg(std::int64_t now) {
  for (std::uint16_t h = 1; h <= kMaxPeers; ++h) {
    TRemote* peer = Peer(h);
    if (!peer || peer->State != kStateWorking) continue;
    std::uint8_t payload[4];
    StoreU32(payload, peer->LocalID);
    peer->SendData(payload, 0, kTypeKeepAlive);
    Pump(*peer, now);
  }
}

void TKivUDP::AgeingPass(Events& events) {
  for (std::uint16_t h = 1; h <= kMaxPeers; ++h) {
    TRemote* peer = Peer(h);
    if (!peer || --peer->Active > 0) continue;
    peer->State = kStateDisconnected;
    DelRemote(h);
    Report(events, h, kReasonAgedOut);
  }
}

// ---- Receive path -------------------------------------------------------------------------------------

void TKivUDP::DataRecive(const std::string& source, std::uint16_t source_port, std::uint8_t* data,
                         std::size_t length) {
  Events events;
  Guarded([&] {
    std::lock_guard lock(lock_);
    if (!running_) return;
    CollectScope scope(*output_, events);
    if (Mode() == 2) output_->HoldAcks(&held_acks_);
    struct ReleaseAcks {
      Output& output;
      ~ReleaseAcks() { output.HoldAcks(nullptr); }
    } release_acks{*output_};
    // Whatever happens below, its events are queued while the lock still orders them.
    struct QueueOnExit {
      TKivUDP& engine;
      Events& events;
      ~QueueOnExit() { engine.Queue(events); }
    } queue_on_exit{*this, events};
    std::string address = source;
    std::uint16_t port = source_port;
    if (!OpenReceived(data, length, ProxyFlag(), address, port) || length < kHeaderSize) return;
    std::span<const std::uint8_t> datagram(data, length);
    auto header = DecodeHeader(datagram);
    if (!header) return;
    std::int64_t now = Now();
    switch (header->type) {
      case kTypeData:
      case kTypeKeepAlive: {
        TRemote* peer = FindForFrame(header->remote_id, address, port);
        if (!peer || (peer->State != kStateWorking && peer->State != kStateTemporary)) return;
        // A frame that names the peer's handle (from its own address, as every frame found here)
        // shows that the handshake reply arrived, whether or not its confirmation did.
        if (header->remote_id == peer->LocalID) table_[peer->LocalID].confirmed = true;
        peer->State = kStateWorking;
        Touch(*peer);
        ReceiveFrame(*peer, datagram, events);
        return;
      }
      case kTypeAck: {
        TRemote* peer = FindForFrame(header->remote_id, address, port);
        if (!peer) return;
        Touch(*peer);
        if (peer->FinishChannelData(header->sequence, header->channel, now)) {
          table_[peer->LocalID].confirmed = true;  // it has our data: a real peer
          Pump(*peer, now);
        }
        return;
      }
      case kTypeUnreliable: {
        TRemote* peer = FindForFrame(header->remote_id, address, port);
        if (!peer) return;
        Touch(*peer);
        if (Backlogged(peer->LocalID)) {
          ++guards_.Backlogged;
          return;
        }
        if (Mode() == 1)
          events.push_back(
              {Event::kMessage, peer->LocalID, {datagram.begin() + kHeaderSize, datagram.end()}});
        return;
      }
      case kTypeHandshake:
        HandleHandshake(datagram, address, port, events);
        return;
      case kTypeDisconnect:
        HandleDisconnect(datagram, address, port, events);
        return;
      case kTypeTemporaryData: {
        TRemote* peer = FindByAddress(address, port);
        if (!peer) {
          if (!MayAddFrom(address)) return;
          MakeRoomForUnconfirmed(events);
          auto fresh = std::make_unique<TRemote>(address, port, now, options_.random);
          fresh->State = kStateTemporary;
          peer = fresh.get();
          if (!AddRemote(std::move(fresh), false)) return;
        }
        // A working peer keeps the handle its handshake gave: temporary data from the same address
        // (a client relaying through the server it is signed in to) must not unsettle it.
        if (peer->State == kStateTemporary) peer->RemoteID = header->remote_id;
        Touch(*peer);
        ReceiveFrame(*peer, datagram, events);
        return;
      }
      default:
        return;
    }
  });
  DrainDeliveries();
  // The read thread sends them at the end of its batch; a datagram handed in from elsewhere has
  // no batch.
  if (Mode() == 2 && !OnReadThread()) ReadBatchDone();
}

void TKivUDP::ReaderWoken() { DrainDeliveries(); }

void TKivUDP::ReadBatchDone() {
  std::vector<HeldAck> acks;
  {
    std::lock_guard lock(lock_);
    if (held_acks_.empty()) return;
    acks.swap(held_acks_);
    held_acks_.reserve(acks.capacity());
  }
  std::vector<TOutgoing> batch;
  batch.reserve(acks.size());
  for (const HeldAck& ack : acks) batch.push_back({&ack.ip, ack.port, ack.bytes.data(), ack.bytes.size()});
  SendUDPBatch(batch);
}

void TKivUDP::ReceiveFrame(TRemote& peer, std::span<const std::uint8_t> datagram, Events& events) {
  // Not acknowledged while the application has not caught up with this peer's messages.
  if (Backlogged(peer.LocalID)) {
    ++guards_.Backlogged;
    return;
  }
  Slot& slot = table_[peer.LocalID];
  const std::size_t before = peer.OutOfOrderBytes();
  const std::size_t incoming = datagram.size() - kHeaderSize;
  // Bounds on what reassembly may hold out of order: per unconfirmed peer, and for all peers
  // together. A frame beyond them is dropped unacknowledged; its sender sends it again later. A
  // frame in order is never refused: it is the one that lets held fragments go.
  const auto header = DecodeHeader(datagram);
  if (!header) return;
  if (!peer.IsInOrder(*header)) {
    if (!slot.confirmed && before + incoming > options_.max_unconfirmed_held_bytes) return;
    if (total_held_ + incoming > options_.max_total_held_bytes) return;
  }
  const std::size_t delivered = events.size();
  const TReceiveResult result = peer.RecvChannelData(datagram, *output_);
  total_held_ = total_held_ - std::min(total_held_, before) + peer.OutOfOrderBytes();
  if (result == TReceiveResult::kViolation) {
    EndAssociation(peer, "it sent a message larger than the transport carries", events);
    return;
  }
  if (events.size() > delivered) slot.confirmed = true;  // a message came from it: a real peer
}

void TKivUDP::HandleHandshake(std::span<const std::uint8_t> datagram, const std::string& address,
                              std::uint16_t port, Events& events) {
  if (datagram.size() < kHeaderSize + kHandshakeSize) return;
  const std::uint8_t* record = datagram.data() + kHeaderSize;
  std::uint8_t kind = record[0];
  std::uint16_t first = LoadU16(record + 1), second = LoadU16(record + 3);
  std::int64_t now = Now();
  switch (kind) {
    case kHandshakeRequest: {
      if (peer_count_ >= kMaxPeers) {
        ++guards_.RefusedPeers;
        return;
      }
      TRemote* peer = FindByAddress(address, port);
      if (!peer) {
        if (!MayAddFrom(address)) return;
        MakeRoomForUnconfirmed(events);
        auto fresh = std::make_unique<TRemote>(address, port, now, options_.random);
        peer = fresh.get();
        if (!AddRemote(std::move(fresh), false)) return;
        peer->RemoteID = second;
      } else if (now - peer->LastConnectTime > options_.constants.RehandshakeWindow) {
        // A new association from the same address replaces the old one.
        total_held_ -= std::min(total_held_, peer->OutOfOrderBytes());
        peer->ClearData(now);
        Report(events, peer->LocalID, kReasonDisconnected);
        peer->RemoteID = second;
        // A new association: the application claims it again (or it was ours all along).
        if (table_[peer->LocalID].network) AwaitClaim(peer->LocalID);
      }
      peer->State = kStateWorking;
      SendHandshake(*peer, kHandshakeReply, peer->LocalID, second);
      return;
    }
    case kHandshakeReply: {
      TRemote* peer = Peer(second);
      if (!peer) return;
      // Only the address we asked may answer: our handles are easy to guess, and a reply from
      // elsewhere would hand the association (our connection to a server) to its sender.
      if (peer->IP != address || peer->Port != port) {
        CountForeign(second);
        return;
      }
      Touch(*peer);
      peer->RemoteID = first;
      peer->State = kStateWorking;
      table_[second].confirmed = true;
      SendHandshake(*peer, kHandshakeConfirm, first, second);
      if (Mode() == 0) SendActiveMsg(now);
      return;
    }
    case kHandshakeConfirm: {
      TRemote* peer = Peer(first);
      if (!peer) return;
      if (peer->IP != address || peer->Port != port) {
        CountForeign(first);
        return;
      }
      peer->State = kStateWorking;
      table_[first].confirmed = true;
      if (Mode() == 0) SendActiveMsg(now);
      return;
    }
    default:
      return;
  }
}

void TKivUDP::HandleDisconnect(std::span<const std::uint8_t> datagram, const std::string& address,
                               std::uint16_t port, Events& events) {
  if (datagram.size() < kHeaderSize + 1) return;
  std::uint8_t kind = datagram[kHeaderSize];
  if (kind == 0) {
    std::uint8_t reply = 1;
    SendDataNow(address, port, {&reply, 1}, kTypeDisconnect);
  } else if (kind != 1) {
    return;
  }
  if (TRemote* peer = FindByAddress(address, port)) {
    std::uint16_t handle = peer->LocalID;
    peer->State = kStateDisconnected;
    DelRemote(handle);
    Report(events, handle, kReasonDisconnected);
  }
}

// ---- Delivery (no lock held) --------------------------------------------------------------------------

void TKivUDP::DrainDeliveries() {
  {
    std::lock_guard lock(lock_);
    if (draining_ || deliveries_.empty()) return;
    draining_ = true;
  }
  for (;;) {
    Event event;
    {
      std::lock_guard lock(lock_);
      // Once stopped (perhaps by a callback of this very loop), nothing more is delivered.
      if (deliveries_.empty() || !running_) {
        deliveries_.clear();
        draining_ = false;
        return;
      }
      event = std::move(deliveries_.front());
      deliveries_.pop_front();
    }
    RunEvent(event);
  }
}

void TKivUDP::AgeOnMainThread() {
  // What arrived while the main thread was busy counts before the pass judges anyone silent.
  for (int i = 0; i < kAgeingReadBatches && ReadData() == kReadBatch; ++i) {
  }
  Guarded([&] {
    std::lock_guard lock(lock_);
    ageing_posted_ = false;
    if (!running_) return;
    Events aged;
    AgeingPass(aged);
    Queue(aged);
  });
  DrainDeliveries();
}

void TKivUDP::LogLimited(const std::string& text) {
  std::uint32_t suppressed = 0;
  std::function<void(const std::string&)> sink;
  {
    std::lock_guard lock(log_mutex_);
    sink = log_sink_;
    const std::int64_t now = Now();
    if (logged_ && now - last_log_ < kLogIntervalMs) {
      ++unlogged_;
      return;
    }
    logged_ = true;
    last_log_ = now;
    suppressed = std::exchange(unlogged_, 0);
  }
  Guarded([&] {
    const std::string line =
        suppressed ? text + " (" + std::to_string(suppressed) + " more not logged)" : text;
    if (sink)
      sink(line);
    else
      Log(ApplicationFolder() / "UDPError.txt", line);
  });
}

void TKivUDP::SetLogSink(std::function<void(const std::string&)> sink) {
  std::lock_guard lock(log_mutex_);
  log_sink_ = std::move(sink);
}

void TKivUDP::RunEvent(Event& event) {
  Guarded([&] {
    if (event.kind == Event::kMessage) {
      DealReciveData(event.handle, event.data.data(), static_cast<std::uint32_t>(event.data.size()));
      return;
    }
    TDisconnectCallback callback;
    {
      std::lock_guard lock(lock_);
      callback = on_disconnect_;
    }
    if (callback)
      callback(event.handle, event.kind == Event::kAgedOut ? kReasonAgedOut : kReasonDisconnected);
  });
}

void TKivUDP::DealReciveData(std::uint16_t handle, const std::uint8_t* data, std::uint32_t length) {
  std::uint32_t code = length >= 4 ? LoadU32(data) : 0;
  if (length >= 4 && code == kCodeProbe) {
    std::uint8_t reply[kProbeReplySize] = {};
    RecordWriter w(reply, sizeof reply);
    TSocketCounters second = PerSecond();
    w.u32(0, kCodeProbeReply)
        .gbk(4, 20, LocalAddress())
        .u8(25, 0)
        .u16(26, LocalPort())
        .u32(28, PeerCount())
        .u32(32, second.RecvBytes)
        .u32(36, second.SentBytes)
        .u32(40, second.RecvDatagrams)
        .u32(44, second.SentDatagrams)
        .u32(48, static_cast<std::uint32_t>(HasDispatchThread() ? DispatchQueueLength() : 0))
        .u32(52, 0);
    std::uint64_t memory = static_cast<std::uint64_t>(GetProgressMemory());
    std::uint64_t cpu = static_cast<std::uint64_t>(GetProgressCPU());
    w.u32(56, static_cast<std::uint32_t>(memory)).u32(60, static_cast<std::uint32_t>(memory >> 32));
    w.u32(64, static_cast<std::uint32_t>(cpu)).u32(68, static_cast<std::uint32_t>(cpu >> 32));
    w.i32(72, kDiagnosticMagic).u32(76, 0);
    SendData(handle, reply, 0, 0, 0);
    return;
  }
  if (length >= 4 && code == kCodeTerminate) {
    bool from_server;
    {
      std::lock_guard lock(lock_);
      from_server = Peer(handle) && table_[handle].server;
    }
    if (from_server) std::_Exit(0);
    LogLimited("termination order from a peer that is no server ignored");
    return;
  }
  TDataCallback callback;
  {
    std::lock_guard lock(lock_);
    callback = on_data_;
  }
  if (callback) callback(handle, data, length);
}

// ---- Threads ------------------------------------------------------------------------------------------

void TKivUDP::Wake() {
  if (timer_wake_fd_ < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(timer_wake_fd_, &one, sizeof one);
}

std::int64_t TKivUDP::PlannedWake() const {
  std::lock_guard lock(lock_);
  return armed_;
}

void TKivUDP::TimerLoop(std::stop_token stop) {
  while (!stop.stop_requested()) {
    pollfd fds[2] = {{timer_fd_, POLLIN, 0}, {timer_wake_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;  // EINTR
    std::uint64_t count = 0;
    for (const pollfd& fd : fds) {
      if (fd.revents) {
        [[maybe_unused]] auto read = ::read(fd.fd, &count, sizeof count);
      }
    }
    if (stop.stop_requested()) break;
    TimerPass();
  }
}

void TKivUDP::TimerPass() {
  bool wake_reader = false;
  Guarded([&] {
    std::lock_guard lock(lock_);
    if (!running_) return;
    Events events;
    CollectScope scope(*output_, events);
    const std::int64_t now = Now();
    // Resends: only the peers whose deadline has come, each once per pass.
    due_.clear();
    while (!deadlines_.empty() && deadlines_.top().first <= now) {
      const auto [when, handle] = deadlines_.top();
      deadlines_.pop();
      Slot& slot = table_[handle];
      if (!slot.peer || slot.scheduled != when) continue;  // stale
      slot.scheduled = kNoDeadline;
      due_.push_back(handle);
    }
    for (std::uint16_t handle : due_)
      if (TRemote* peer = Peer(handle)) Pump(*peer, now);
    EndUnclaimed(now, events);
    if (Mode() == 0 && now >= next_keep_alive_) {
      next_keep_alive_ = now + options_.constants.KeepAliveInterval;
      SendActiveMsg(now);
    }
    if (now >= next_ageing_) {
      next_ageing_ = now + options_.constants.AgeingInterval;
      if (Mode() != 0) {
        AgeingPass(events);
      } else if (!ageing_posted_) {
        // The pass and its events belong to the main thread. Passes that come due while one is
        // still waiting there (the main thread is stalled) are one pass.
        ageing_posted_ = true;
        options_.main_thread->Post([this, alive = std::weak_ptr<int>(alive_)] {
          if (!alive.expired()) AgeOnMainThread();  // else the engine is gone
        });
      }
    }
    wake_reader = !events.empty();
    Queue(events);
    // Re-arm for the earliest of what is left.
    armed_ = kNoDeadline;
    std::int64_t next = std::min(next_ageing_, Mode() == 0 ? next_keep_alive_ : kNoDeadline);
    if (!deadlines_.empty()) next = std::min(next, deadlines_.top().first);
    if (!claims_.empty()) next = std::min(next, claims_.front().first);
    Arm(next);
  });
  if (wake_reader) DeliverLater();
}

void TKivUDP::DeliverLater() {
  if (Mode() == 2) {
    WakeReader();
  } else if (Mode() == 0 && options_.main_thread) {
    options_.main_thread->Post([this, alive = std::weak_ptr<int>(alive_)] {
      if (!alive.expired()) DrainDeliveries();  // else the engine is gone
    });
  }
}

void TKivUDP::DispatchLoop(std::stop_token stop) {
  while (!stop.stop_requested()) {
    Event event;
    {
      std::unique_lock lock(dispatch_mutex_);
      dispatch_cv_.wait(lock, stop, [&] { return !dispatch_queue_.empty(); });
      if (dispatch_queue_.empty()) continue;
      event = std::move(dispatch_queue_.front());
      dispatch_queue_.pop_front();
    }
    const std::size_t size = event.kind == Event::kMessage ? event.data.size() : 0;
    RunEvent(event);
    if (size) {
      std::lock_guard lock(dispatch_mutex_);
      waiting_bytes_[event.handle] -= std::min(waiting_bytes_[event.handle], size);
    }
  }
}

bool TKivUDP::Backlogged(std::uint16_t handle) const {
  if (Mode() != 1 || options_.max_waiting_bytes_per_peer == 0) return false;
  std::lock_guard dispatch(dispatch_mutex_);
  return waiting_bytes_[handle] >= options_.max_waiting_bytes_per_peer;
}

std::size_t TKivUDP::DispatchQueueLength() const {
  std::lock_guard lock(dispatch_mutex_);
  return dispatch_queue_.size();
}

// ---- Application calls --------------------------------------------------------------------------------

std::uint16_t TKivUDP::Connect(const std::string& address, std::uint16_t port, std::uint32_t timeout_ms) {
  std::uint16_t handle = 0;
  std::uint64_t serial = 0;
  {
    std::lock_guard lock(lock_);
    if (!running_) return 0;
    if (TRemote* existing = FindByAddress(address, port)) {
      return existing->State == kStateWorking ? existing->LocalID : 0;
    }
    handle = AddRemote(std::make_unique<TRemote>(address, port, Now(), options_.random), true);
    if (!handle) return 0;
    serial = table_[handle].serial;
    SendHandshake(*Peer(handle), kHandshakeRequest, 0, handle);
  }
  std::int64_t first = Now(), last = first, retry = kConnectFirstRetryMs;
  for (;;) {
    WaitStep();
    std::lock_guard lock(lock_);
    TRemote* peer = Peer(handle);
    if (!running_ || !peer || table_[handle].serial != serial) return 0;
    if (peer->State == kStateWorking) return handle;
    std::int64_t now = Now();
    if (now - first > static_cast<std::int64_t>(timeout_ms)) {
      DelRemote(handle);
      return 0;
    }
    if (now - last > retry) {
      last = now;
      retry = std::min(retry * 2, kConnectRetryMs);
      SendHandshake(*peer, kHandshakeRequest, 0, handle);
    }
  }
}

bool TKivUDP::Disconnect(std::uint16_t handle) {
  std::lock_guard lock(lock_);
  TRemote* peer = Peer(handle);
  if (!running_ || !peer) return false;
  peer->Disconnect();
  Pump(*peer, Now());
  return true;
}

bool TKivUDP::Stalls(TRemote& peer, std::size_t more) {
  const std::uint64_t cap = options_.max_unacknowledged_bytes;
  if (cap == 0 || peer.QueuedBytes() + more <= cap) return false;
  ++guards_.Stalled;
  Events events;
  EndAssociation(peer, "stalled: it leaves too much of what we send unacknowledged", events);
  Queue(events);
  return true;
}

bool TKivUDP::End(std::uint16_t handle, const char* why) {
  bool wake_reader = false;
  {
    std::lock_guard lock(lock_);
    TRemote* peer = Peer(handle);
    if (!running_ || !peer) return false;
    Events events;
    EndAssociation(*peer, why, events);
    wake_reader = Mode() == 2;
    Queue(events);
  }
  // The disconnect reaches the application on its usual thread: the dispatch thread (mode 1),
  // the read thread (mode 2) or, in mode 0, the main thread this is called on.
  if (wake_reader) WakeReader();
  if (Mode() == 0) DrainDeliveries();
  return true;
}

bool TKivUDP::SendData(std::uint16_t handle, std::span<const std::uint8_t> data, std::uint8_t channel,
                       std::uint32_t threshold, std::uint8_t mode) {
  {
    std::lock_guard lock(lock_);
    TRemote* peer = Peer(handle);
    if (!running_ || !peer) return false;
    // No receiver reassembles more; queued, it would block the channel for good.
    if (data.size() > kMaxMessageSize) return false;
    if (threshold != 0 || !Stalls(*peer, data.size()))
      return QueueSend(*peer, data, channel, threshold, mode);
  }
  DeliverLater();
  return false;
}

bool TKivUDP::QueueSend(TRemote& peer, std::span<const std::uint8_t> data, std::uint8_t channel,
                        std::uint32_t threshold, std::uint8_t mode) {
  if (threshold != 0) {
    std::uint64_t pending = peer.GetSendChannelSize(channel);
    if (!peer.Accepting) {
      if (pending == 0) {
        peer.Accepting = 1;
      } else if (mode != 1 || pending >= 2ull * threshold) {
        return false;
      }
    } else if (pending >= threshold && mode == 0) {
      peer.Accepting = 0;
      return false;
    }
  }
  // A peer that is not working drops the message; the call still succeeds.
  if (peer.SendData(data, channel, kTypeData)) Pump(peer, Now());
  return true;
}

void TKivUDP::SendDataNow(std::uint16_t handle, std::span<const std::uint8_t> data, std::uint8_t type) {
  std::lock_guard lock(lock_);
  if (TRemote* peer = Peer(handle); running_ && peer) peer->SendDataNow(data, type, *output_);
}

void TKivUDP::SendDataNow(const std::string& address, std::uint16_t port, std::span<const std::uint8_t> data,
                          std::uint8_t type) {
  if (data.size() > kMaxUnreliablePayload) return;
  std::uint8_t buffer[kMaxDatagram];
  TDatagramHeader header;
  header.type = type;
  EncodeHeader(header, buffer);
  if (!data.empty()) std::memcpy(buffer + kHeaderSize, data.data(), data.size());
  SendUDPData(address, port, buffer, kHeaderSize + data.size());
}

bool TKivUDP::SendTempData(std::uint16_t handle, std::span<const std::uint8_t> data, std::uint8_t channel) {
  {
    std::lock_guard lock(lock_);
    TRemote* peer = Peer(handle);
    if (!running_ || !peer || data.size() > kMaxMessageSize) return false;
    if (!Stalls(*peer, data.size())) {
      if (peer->SendData(data, channel, kTypeTemporaryData)) Pump(*peer, Now());
      return true;
    }
  }
  DeliverLater();
  return false;
}

void TKivUDP::SendMSGData(const std::string& address, std::uint16_t port,
                          std::span<const std::uint8_t> data) {
  if (Started()) SendUDPData(address, port, data.data(), data.size());
}

std::uint16_t TKivUDP::CreateTempRemote(const std::string& address, std::uint16_t port) {
  std::lock_guard lock(lock_);
  if (!running_) return 0;
  if (TRemote* existing = FindByAddress(address, port)) return existing->LocalID;
  auto peer = std::make_unique<TRemote>(address, port, Now(), options_.random);
  peer->State = kStateTemporary;
  // Created by our own application, so it does not count against the unconfirmed bound.
  return AddRemote(std::move(peer), true);
}

// ---- Queries ------------------------------------------------------------------------------------------

bool TKivUDP::HasPeer(const std::string& address, std::uint16_t port) const {
  std::lock_guard lock(lock_);
  return FindByAddress(address, port) != nullptr;
}

bool TKivUDP::GetRemoteAdd(std::uint16_t handle, std::string& address, std::uint16_t& port) const {
  std::lock_guard lock(lock_);
  const TRemote* peer = Peer(handle);
  if (!peer) return false;
  address = peer->IP;
  port = peer->Port;
  return true;
}

std::uint32_t TKivUDP::GetPing(std::uint16_t handle) const {
  std::lock_guard lock(lock_);
  const TRemote* peer = Peer(handle);
  return peer ? static_cast<std::uint32_t>(peer->Ping) : 0;
}

std::uint64_t TKivUDP::GetSendChannelSize(std::uint16_t handle, std::uint8_t channel) const {
  std::lock_guard lock(lock_);
  const TRemote* peer = Peer(handle);
  return peer ? peer->GetSendChannelSize(channel) : 0;
}

float TKivUDP::GetResendRate(std::uint16_t handle, std::uint8_t position) const {
  std::lock_guard lock(lock_);
  const TRemote* peer = Peer(handle);
  if (!peer || position >= peer->SendChannels().size()) return 0;
  const TChannel& channel = peer->SendChannels()[position];
  if (channel.DoneCount == 0) return 0;
  return static_cast<float>(channel.RepeatedCount) / static_cast<float>(channel.DoneCount);
}

std::uint32_t TKivUDP::PeerCount() const {
  std::lock_guard lock(lock_);
  return peer_count_;
}

std::size_t TKivUDP::HeldBytes() const {
  std::lock_guard lock(lock_);
  return total_held_;
}

void TKivUDP::SetServerPeer(std::uint16_t handle, bool is_server) {
  std::lock_guard lock(lock_);
  if (Peer(handle)) table_[handle].server = is_server;
}

bool TKivUDP::Adopt(std::uint16_t handle) {
  std::lock_guard lock(lock_);
  if (!Peer(handle)) return false;
  table_[handle].claimed = true;  // its entry in claims_ is stale now
  return true;
}

TEngineGuards TKivUDP::Guards() const {
  std::lock_guard lock(lock_);
  return guards_;
}

std::vector<TPeerRow> TKivUDP::Snapshot(bool mark_displayed) {
  std::lock_guard lock(lock_);
  std::vector<TPeerRow> rows;
  for (std::uint16_t h = 1; h <= kMaxPeers; ++h) {
    TRemote* peer = Peer(h);
    if (!peer) continue;
    TPeerRow row{peer->State, peer->LocalID, peer->RemoteID,    peer->Active,      peer->IP,
                 peer->Port,  peer->Ping,    table_[h].foreign, table_[h].claimed, {}};
    for (int number = 0; number < 255; ++number) {
      auto n = static_cast<std::uint8_t>(number);
      TChannel* send = peer->GetSendChannel(n);
      TChannel* recv = peer->GetRecvChannel(n);
      if (!send && !recv) continue;
      TChannelRow c;
      c.Number = n;
      if (send) {
        c.HasSend = true;
        c.NextSequence = send->Sequence;
        c.QueuedFragments = send->Fragments.size();
        c.QueuedBytes = send->QueuedBytes;
        c.SentFragments = send->DoneCount;
        c.SentBytes = send->DoneBytes;
        c.SentSinceDisplay = send->DoneBytes - send->BytesAtLastDisplay;
        c.Resent = send->RepeatedCount;
        if (mark_displayed) send->BytesAtLastDisplay = send->DoneBytes;
      }
      if (recv) {
        c.HasRecv = true;
        c.RecvFragments = recv->DoneCount;
        c.RecvBytes = recv->DoneBytes;
        c.RecvSinceDisplay = recv->DoneBytes - recv->BytesAtLastDisplay;
        c.Duplicates = recv->RepeatedCount;
        if (mark_displayed) recv->BytesAtLastDisplay = recv->DoneBytes;
      }
      row.Channels.push_back(c);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace kiv
