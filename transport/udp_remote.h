// TRemote: the transport's record of one peer and the reliable layer that runs per peer.
//
// A TRemote is a state machine. It is fed with received reliable frames, acknowledgements, messages
// to queue and the current time (milliseconds of a clock the caller chooses, passed as `now`), and
// it answers through a TRemoteOutput: datagrams to send and complete messages to hand on. It never
// reads a clock, sleeps, locks or does I/O itself. After any call the caller asks NextDeadline()
// when RunSendWindow() must run next, so a driver can sleep until then instead of polling.
//
// Ownership: the engine's peer table owns each TRemote; a TRemote owns its channels, each channel
// its fragments, each fragment its bytes. Nothing here keeps a pointer to the caller's data.
// Threads: a TRemote is not thread-safe. Every call, and every read of its public fields, must hold
// the engine's lock (or happen on the one thread that owns the peer, as in the tests).
// Callbacks: TRemoteOutput is called synchronously from inside the calls below. Its bytes live for
// the call only. It may queue messages on this peer (SendData) but must not clear, destroy or feed
// received frames to the peer it is called for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <span>
#include <string>

#include "udp_datagram.h"
#include "udp_declare.h"

namespace kiv {

class TRemote;

// Where a TRemote puts what it produces.
class TRemoteOutput {
 public:
  virtual ~TRemoteOutput() = default;
  // Send `datagram` to peer.IP:peer.Port now (through the relay, if one is set).
  virtual void Transmit(const TRemote& peer, std::span<const std::uint8_t> datagram) = 0;
  // A complete message received from the peer on `channel`, in order. Keep-alives never arrive here.
  virtual void Deliver(const TRemote& peer, std::uint8_t channel, std::span<const std::uint8_t> message) = 0;
};

// Peer states.
enum TRemoteState : std::uint8_t {
  kStateHalfConnected = 1,  // created by a local connect, handshake not finished
  kStateWorking = 2,
  kStateDisconnected = 3,  // set just before the peer is freed
  kStateTemporary = 4,     // created by temporary traffic
};

// Deadlines returned by NextDeadline / RunSendWindow.
inline constexpr std::int64_t kDueNow = std::numeric_limits<std::int64_t>::min();
inline constexpr std::int64_t kNoDeadline = std::numeric_limits<std::int64_t>::max();

// What RecvChannelData did with a frame.
enum class TReceiveResult {
  kDropped,    // malformed, beyond the receive bounds or of a type that is not reliable: no ack sent
  kDuplicate,  // already handed on or already held: acknowledged again and counted
  kAccepted,   // acknowledged and handed on or held
  kViolation,  // a message no sender of ours makes (larger than kMaxMessageSize, or fragments
               // whose lengths overshoot its total): the channel can never go on, so the
               // association must end
};

class TRemote {
 public:
  // A fresh peer: state 1, Active 3, Ping 100, accepting, RemoteID 0, LastConnectTime `now`. The
  // engine gives it its LocalID when it enters the table. `random` (not owned, must outlive the
  // peer) scrambles channel-0 frames; null means the per-thread default.
  TRemote(std::string ip, std::uint16_t port, std::int64_t now, TScrambleRandom* random = nullptr);

  TRemote(const TRemote&) = delete;
  TRemote& operator=(const TRemote&) = delete;

  // ---- Peer fields (read and written by the engine under its lock) ----
  std::string IP;  // dotted IPv4 text: the address that made the association, for its whole life
  std::uint16_t Port = 0;
  std::uint16_t LocalID = 0;   // our handle of the peer, 1..9999
  std::uint16_t RemoteID = 0;  // the peer's handle of us; 0 until known
  std::int64_t LastConnectTime = 0;
  std::uint8_t State = kStateHalfConnected;
  std::int32_t Active = kActiveFresh;
  std::int64_t Ping = kPingAtCreate;
  std::uint8_t Accepting = 1;  // flow-control flag of the engine's SendData
  // Early resends (fast retransmit and tail-loss probe) on top of the resend time-out. Off, the
  // send window follows the time-out alone.
  bool EarlyResends = true;

  // Channels in order of first use. References stay valid until ClearData or destruction.
  const std::deque<TChannel>& SendChannels() const { return send_channels_; }
  const std::deque<TChannel>& RecvChannels() const { return recv_channels_; }

  // Reset: LastConnectTime `now`, Active 3, Ping 200, every channel and fragment freed; both
  // directions start again at sequence 101.
  void ClearData(std::int64_t now);

  // Queues a message of `type` (data 0, disconnect 6, keep-alive 7, temporary data 10) on a send
  // channel, split into fragments of at most 1024 bytes. Nothing is sent here: the fragments go out
  // on the next RunSendWindow (NextDeadline() turns kDueNow). False, and nothing queued, when the
  // state is neither 2 nor 4, when the message is empty or longer than kMaxMessageSize.
  bool SendData(std::span<const std::uint8_t> data, std::uint8_t channel, std::uint8_t type);
  // Queues a disconnect request: a 1-byte payload 0 of type 6 on channel 0.
  bool Disconnect();

  // Runs the send window of every send channel: of the 16 oldest unacknowledged fragments, sends
  // those never sent and resends those whose last send is more than ResendTimeout() ms ago (each
  // resend adds 1 to the channel's RepeatedCount and to Ping). Returns NextDeadline().
  std::int64_t RunSendWindow(std::int64_t now, TRemoteOutput& out);
  // The earliest time at which RunSendWindow has something to send: kDueNow when a fragment in a
  // window was never sent, kNoDeadline when nothing is queued. Acknowledgements and SendData may
  // move it earlier, so ask again after every call.
  std::int64_t NextDeadline() const;
  // 3 x (Ping + 50) ms.
  std::int64_t ResendTimeout() const { return kResendFactor * (Ping + kResendSlackMs); }
  // The smoothed round trip in ms from acknowledgements of fragments sent once (a resent one
  // cannot tell which copy was answered); -1 before the first. Unlike Ping it plays no part in the
  // resend time-out; it only times the early resends.
  std::int64_t SmoothedRoundTrip() const { return srtt8_ < 0 ? -1 : srtt8_ / 8; }
  // After how long without an acknowledgement a fragment gets its tail-loss probe: 2 x the smoothed
  // round trip (2 x Ping before the first measurement), at least 10 ms.
  std::int64_t ProbeTimeout() const;

  // Sends one queued fragment now (scrambled on channel 0) and records the send.
  void SendChannelData(const TChannel& channel, TChannelData& fragment, std::int64_t now, TRemoteOutput& out);
  // Sends an acknowledgement of (channel, sequence) now, unscrambled.
  void SendACKMsg(std::uint8_t channel, std::uint32_t sequence, TRemoteOutput& out);
  // Sends one unscrambled datagram of `type` outside the queue (types 2 and 5). False when the
  // payload is longer than kMaxUnreliablePayload.
  bool SendDataNow(std::span<const std::uint8_t> data, std::uint8_t type, TRemoteOutput& out);

  // Handles the acknowledgement of (sequence, channel): frees the fragment, counts it and moves
  // Ping one step towards the fragment's round trip. Earlier fragments still in flight that have now
  // seen three later ones acknowledged are marked for an early resend (NextDeadline() turns
  // kDueNow). False when the state is neither 2 nor 4, or no fragment of that sequence is in
  // flight on that channel.
  bool FinishChannelData(std::uint32_t sequence, std::uint8_t channel, std::int64_t now);

  // Handles a received reliable frame (types 0, 7, 10): `datagram` is the whole restored datagram,
  // header included. Acknowledges it, drops duplicates, holds fragments out of order, and hands
  // on every complete message that is next in order on its channel. Frames whose fragment length
  // disagrees with the datagram's size, is 0, exceeds 1024 or the total, whose total exceeds
  // kMaxMessageSize, that lie kMaxHeldAhead or more past the expected sequence, or that would have
  // to be held beyond kHeldBudgetPerPeer on a channel other than the one holding the most, are
  // dropped without an acknowledgement (a sender sends them again later).
  // The caller checks the peer's state first (frames from a half-connected peer are dropped).
  // A frame that is next in order on its channel, or continues the run of held fragments that
  // starts there, is never refused by the bounds: it is what lets the message complete and free
  // what is held. Only fragments held beyond a gap count against them (OutOfOrderBytes).
  TReceiveResult RecvChannelData(std::span<const std::uint8_t> datagram, TRemoteOutput& out);
  // Whether RecvChannelData would take the frame with this header as next in order (see above).
  bool IsInOrder(const TDatagramHeader& header) const;

  // The channel of that number, created (send: next sequence 101; receive: last handed on 100) if
  // missing.
  TChannel& OpenSendChannel(std::uint8_t number);
  TChannel& OpenRecvChannel(std::uint8_t number);
  // The channel of that number, or null.
  TChannel* GetSendChannel(std::uint8_t number);
  TChannel* GetRecvChannel(std::uint8_t number);
  const TChannel* GetSendChannel(std::uint8_t number) const;
  const TChannel* GetRecvChannel(std::uint8_t number) const;
  // The queued fragment of that sequence in a send channel, or the held one in a receive channel.
  static const TChannelData* GetChannelData(const TChannel& channel, std::uint32_t sequence);
  // Payload bytes queued and not yet acknowledged in send channel `number` (0 if none).
  std::uint64_t GetSendChannelSize(std::uint8_t number) const;
  static std::uint64_t GetChannelDataSize(const TChannel& channel) { return channel.QueuedBytes; }
  // Payload bytes queued and not yet acknowledged over all send channels.
  std::uint64_t QueuedBytes() const;
  // Payload bytes held out of order over all receive channels, and what they cost against
  // kHeldBudgetPerPeer (payload plus kHeldFragmentOverhead per fragment); never more than
  // kMaxHeldCostPerPeer.
  std::size_t HeldBytes() const { return held_bytes_; }
  std::size_t HeldCost() const { return held_bytes_ + held_fragments_ * kHeldFragmentOverhead; }
  // Of HeldBytes, those held beyond a gap: not part of the run of fragments from the next expected
  // one. Only these count against the engine's memory bounds.
  std::size_t OutOfOrderBytes() const;

 private:
  void CheckFullData(TChannel& channel, TRemoteOutput& out);
  bool MayHold(const TChannel* channel, std::uint32_t length) const;
  void HandOn(TChannel& channel, std::uint8_t type, std::span<const std::uint8_t> message,
              TRemoteOutput& out);

  TScrambleRandom* random_;
  std::int64_t srtt8_ = -1;  // 8 x the smoothed round trip in ms; -1 before the first sample
  bool violation_ = false;   // set by CheckFullData when held fragments overshoot a message
  std::deque<TChannel> send_channels_;
  std::deque<TChannel> recv_channels_;
  std::size_t held_bytes_ = 0;
  std::size_t held_fragments_ = 0;
};

}  // namespace kiv
