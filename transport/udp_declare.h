// Wire layout of the transport's datagrams, its size limits and the small shared helpers.
//
// Every datagram of the transport opens with the 20-byte header below (the raw datagrams of
// `SendMSGData` excepted). All multi-byte fields are little-endian. `TWireHeader` is the packed
// description of the layout; code never casts received bytes to it: `DecodeHeader` and
// `EncodeHeader` read and write the fields through the offsets, after checking the length.
//
// Nothing here holds state; every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace kiv {

// ---- Header layout --------------------------------------------------------------------------------

#pragma pack(push, 1)
struct TWireHeader {
  std::uint16_t magic;            // 0xE126: bytes 0x26, 0xE1
  std::uint8_t key_a;             // scrambling key byte, 0 when unscrambled
  std::uint8_t key_b;             // scrambling key byte, 0 when unscrambled
  std::uint16_t checksum;         // 366 + sum of bytes 6.. end, 0 when unscrambled
  std::uint16_t remote_id;        // the receiver's handle of the sender, 0 when unknown
  std::uint8_t type;              // TDatagramType
  std::uint32_t sequence;         // fragment sequence (reliable frames, acknowledgements)
  std::uint16_t fragment_length;  // payload bytes in this datagram (reliable frames)
  std::uint32_t total_length;     // length of the whole message (reliable frames)
  std::uint8_t channel;           // channel 0-255 (reliable frames, acknowledgements)
};
#pragma pack(pop)

inline constexpr std::size_t kOffMagic = 0;
inline constexpr std::size_t kOffKeyA = 2;
inline constexpr std::size_t kOffKeyB = 3;
inline constexpr std::size_t kOffChecksum = 4;
inline constexpr std::size_t kOffRemoteID = 6;
inline constexpr std::size_t kOffType = 8;
inline constexpr std::size_t kOffSequence = 9;
inline constexpr std::size_t kOffFragmentLength = 13;
inline constexpr std::size_t kOffTotalLength = 15;
inline constexpr std::size_t kOffChannel = 19;
inline constexpr std::size_t kHeaderSize = 20;

static_assert(sizeof(TWireHeader) == kHeaderSize);
static_assert(offsetof(TWireHeader, key_a) == kOffKeyA && offsetof(TWireHeader, key_b) == kOffKeyB);
static_assert(offsetof(TWireHeader, checksum) == kOffChecksum);
static_assert(offsetof(TWireHeader, remote_id) == kOffRemoteID && offsetof(TWireHeader, type) == kOffType);
static_assert(offsetof(TWireHeader, sequence) == kOffSequence);
static_assert(offsetof(TWireHeader, fragment_length) == kOffFragmentLength);
static_assert(offsetof(TWireHeader, total_length) == kOffTotalLength);
static_assert(offsetof(TWireHeader, channel) == kOffChannel);

inline constexpr std::uint16_t kMagic = 0xE126;
// Bytes 6 to the end are summed into the checksum, starting from this value.
inline constexpr std::uint16_t kChecksumBase = 366;
// First byte covered by scrambling and the checksum.
inline constexpr std::size_t kScrambleStart = 6;

// Datagram types (byte 8). Every other value is dropped on receipt.
enum TDatagramType : std::uint8_t {
  kTypeData = 0,           // one fragment of an application message (reliable)
  kTypeAck = 1,            // acknowledgement of (sequence, channel), unscrambled
  kTypeUnreliable = 2,     // one whole message, unscrambled
  kTypeHandshake = 5,      // 5-byte handshake record, unscrambled
  kTypeDisconnect = 6,     // 1 byte: 0 request (reliable, channel 0), 1 reply (at once)
  kTypeKeepAlive = 7,      // 4 bytes, reliable on channel 0, never handed on
  kTypeTemporaryData = 10  // one fragment to or from a temporary peer (reliable, channel 0)
};

// ---- Size limits ------------------------------------------------------------------------------------

// Payload bytes of one reliable fragment, and the datagram that carries it.
inline constexpr std::size_t kMaxFragmentPayload = 1024;
inline constexpr std::size_t kMaxFragmentDatagram = kHeaderSize + kMaxFragmentPayload;  // 1044
// The receive buffer; a datagram of this size or more is dropped.
inline constexpr std::size_t kReceiveBufferSize = 4196;
inline constexpr std::size_t kMaxDatagram = kReceiveBufferSize - 1;               // 4195
inline constexpr std::size_t kMaxUnreliablePayload = kMaxDatagram - kHeaderSize;  // 4175
// The SOCKS5 UDP request header put in front of every datagram when a relay is set.
inline constexpr std::size_t kProxyHeadSize = 10;

// ---- Reliable layer constants -----------------------------------------------------------------------

// Fragments in flight per peer and send channel: the oldest unacknowledged ones.
inline constexpr std::size_t kSendWindow = 16;
// First sequence number of a channel; a receive channel starts one below it.
inline constexpr std::uint32_t kFirstSequence = 101;
inline constexpr std::uint32_t kSequenceBeforeFirst = 100;
// Liveness counter of a fresh peer.
inline constexpr std::int32_t kActiveFresh = 3;
inline constexpr std::int64_t kPingAtCreate = 100;
inline constexpr std::int64_t kPingAfterReset = 200;
inline constexpr std::int64_t kPingMin = 1;
inline constexpr std::int64_t kPingMax = 1000;
// A sent fragment is resent when more than kResendFactor * (Ping + kResendSlackMs) ms have passed.
inline constexpr std::int64_t kResendFactor = 3;
inline constexpr std::int64_t kResendSlackMs = 50;
// Early resends, invisible to the receiver (it acknowledges and drops a copy it has): a fragment
// is resent once this many later fragments of its channel were acknowledged ...
inline constexpr std::uint8_t kFastRetransmitAcks = 3;
// ... or once its acknowledgement is later than kProbeFactor x the smoothed round trip, but not
// sooner than kProbeFloorMs after its send.
inline constexpr std::int64_t kProbeFactor = 2;
inline constexpr std::int64_t kProbeFloorMs = 10;

// Receive bounds. A sender keeps at most kSendWindow unacknowledged fragments per channel, so the
// only fragments a receiver holds are those of the message being assembled plus at most one window
// beyond its gap. The bounds below follow from the largest message we accept; everything beyond
// them is dropped without an acknowledgement, so a legitimate sender simply sends it again later.
//
// Largest message a peer may send us (the total length field of a fragment).
inline constexpr std::uint32_t kMaxMessageSize = 16u << 20;  // 16 MiB
inline constexpr std::uint32_t kMaxMessageFragments =
    (kMaxMessageSize + kMaxFragmentPayload - 1) / kMaxFragmentPayload;
// How far past the next expected sequence a fragment may lie and still be held.
inline constexpr std::uint32_t kMaxHeldAhead = kMaxMessageFragments + 4 * kSendWindow;
// What a held fragment costs beyond its payload (its record and the allocator's share), so that a
// peer sending many tiny fragments is bounded as well as one sending full ones.
inline constexpr std::size_t kHeldFragmentOverhead = 128;
// The most one receive channel can hold: its held fragments all lie within kMaxHeldAhead of its
// next expected sequence.
inline constexpr std::size_t kMaxHeldCostPerChannel =
    std::size_t{kMaxHeldAhead} * (kMaxFragmentPayload + kHeldFragmentOverhead);
// What all receive channels of a peer may hold together (payload + overhead per fragment). Once it
// is spent, only the channel that holds the most may still grow, up to its own bound: that channel
// can always complete its message and free what it holds, so several large messages in assembly at
// once on different channels never block each other for good.
inline constexpr std::size_t kHeldBudgetPerPeer = kMaxHeldCostPerChannel;
// Hence the most a peer's held fragments can cost.
inline constexpr std::size_t kMaxHeldCostPerPeer = kHeldBudgetPerPeer + kMaxHeldCostPerChannel;

// The wrap rule of sequence numbers: the number after 0xFFFFFFFF is 101, so a channel that handed
// on 0xFFFFFFFF stores 100 and expects 101.
constexpr std::uint32_t MYDWORD(std::uint32_t value) { return value == 0xFFFFFFFFu ? 100u : value; }
// The sequence that follows `value` in a channel.
constexpr std::uint32_t NextSequence(std::uint32_t value) { return MYDWORD(value) + 1; }

// Sequence numbers run through 101 .. 0xFFFFFFFF and wrap; 0 .. 100 are never used by a sender.
inline constexpr std::uint32_t kSequenceSpace = 0xFFFFFFFFu - kSequenceBeforeFirst;
// Steps from `from` forward to `to` in the wrapping sequence space (both in 101 .. 0xFFFFFFFF).
constexpr std::uint32_t SequenceDistance(std::uint32_t from, std::uint32_t to) {
  const std::uint32_t a = from - kFirstSequence, b = to - kFirstSequence;
  return b >= a ? b - a : kSequenceSpace - (a - b);
}

constexpr std::int32_t Min(std::int32_t a, std::int32_t b) { return a < b ? a : b; }
constexpr std::int32_t Max(std::int32_t a, std::int32_t b) { return a > b ? a : b; }

// ---- Per-channel records (owned by TRemote, see udp_remote.h) ------------------------------------

// One fragment: queued in a send channel, or held out of order in a receive channel.
struct TChannelData {
  std::uint32_t Sequence = 0;
  std::vector<std::uint8_t> Data;  // the payload (owned), FragmentLength bytes
  std::uint32_t TotalLength = 0;   // length of the whole message
  std::int64_t FirstSendTime = 0;  // ms, clock of the caller
  std::uint32_t FragmentLength = 0;
  std::uint8_t Type = kTypeData;  // datagram type to send with / received with
  std::uint32_t SendCount = 0;    // times sent; 0 = not sent yet
  // The last send on the resend schedule (the first send or a resend after the time-out); the
  // time-out runs from here. An early resend (below) leaves it alone.
  std::int64_t LastSendTime = 0;
  // Send channel only, for resending a lost fragment before its time-out. A fragment gets at most
  // one early resend per send on the schedule: once three later fragments of its channel were
  // acknowledged (fast retransmit), or once its acknowledgement is overdue by the smoothed round
  // trip (tail-loss probe).
  std::uint8_t Overtaken = 0;  // later fragments acknowledged since LastSendTime
  bool FastDue = false;        // three were: resend at the next pass
  bool EarlyResent = false;    // the early resend of this round went out
};

// One channel number in one direction.
struct TChannel {
  std::uint8_t Number = 0;
  // Send channel: the number the next fragment gets (first 101). Receive channel: the number of
  // the last fragment handed on in order (starts at 100).
  std::uint32_t Sequence = kFirstSequence;
  // Send channel only: queued, unacknowledged fragments, oldest first (sequence order).
  std::deque<TChannelData> Fragments;
  // Receive channel only: fragments received out of order and not yet handed on, by sequence.
  std::map<std::uint32_t, TChannelData> Held;
  std::uint32_t RepeatedCount = 0;       // send: fragments resent; receive: duplicates received
  std::uint32_t DoneCount = 0;           // send: fragments acknowledged; receive: fragments handed on
  std::uint32_t DoneBytes = 0;           // payload bytes of those fragments
  std::uint32_t BytesAtLastDisplay = 0;  // DoneBytes when the diagnostics window last showed it

  // Send channel: payload bytes queued and not yet acknowledged (kept in step with Fragments).
  std::uint64_t QueuedBytes = 0;
  // Receive channel: payload bytes in Held.
  std::size_t HeldBytes = 0;
  // Receive channel: how far the reassembly walk from the next expected fragment got, so that a
  // message of many fragments is checked in linear time. Valid while Sequence is unchanged.
  std::uint32_t WalkCount = 0;  // fragments counted, 0 = no walk yet
  std::uint32_t WalkNext = 0;   // sequence the walk looks for next
  std::uint64_t WalkBytes = 0;  // their payload bytes
};

// ---- Header coding ----------------------------------------------------------------------------------

// The header fields as values.
struct TDatagramHeader {
  std::uint16_t magic = kMagic;
  std::uint8_t key_a = 0;
  std::uint8_t key_b = 0;
  std::uint16_t checksum = 0;
  std::uint16_t remote_id = 0;
  std::uint8_t type = 0;
  std::uint32_t sequence = 0;
  std::uint16_t fragment_length = 0;
  std::uint32_t total_length = 0;
  std::uint8_t channel = 0;
  bool operator==(const TDatagramHeader&) const = default;
};

// Writes the header into out[0..19]; out must hold at least kHeaderSize bytes.
void EncodeHeader(const TDatagramHeader& header, std::uint8_t* out);
// Reads the header of a datagram; none when the datagram is shorter than the header.
std::optional<TDatagramHeader> DecodeHeader(std::span<const std::uint8_t> datagram);

}  // namespace kiv
