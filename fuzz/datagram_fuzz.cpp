// The transport's receive path over arbitrary input: relay head, restore, header and the reliable
// layer of one peer, fed a sequence of datagrams. Checks that nothing crashes or reads out of
// bounds (the sanitizers), that held memory stays within its bounds, and that scrambling restores.
//
// Input: byte 0 holds options (bit 0: relay set; bit 1: peer is temporary; bits 2-7: send channel
// used for outgoing traffic); then records of [u16 length][bytes] (the last one may be short),
// each handled as one received datagram, with time advancing 7 ms per record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/wire.h"
#include "udp_datagram.h"
#include "udp_remote.h"

namespace {

using namespace kiv;

class TSink final : public TRemoteOutput {
 public:
  void Transmit(const TRemote&, std::span<const std::uint8_t> datagram) override {
    if (datagram.size() < kHeaderSize || datagram.size() > kMaxDatagram) std::abort();
  }
  void Deliver(const TRemote&, std::uint8_t, std::span<const std::uint8_t> message) override {
    if (message.empty() || message.size() > kMaxMessageSize) std::abort();
    delivered += message.size();
  }
  std::size_t delivered = 0;
};

class TInputRandom final : public TScrambleRandom {
 public:
  explicit TInputRandom(std::uint32_t seed) : state_(seed) {}
  std::uint32_t Uniform(std::uint32_t bound) override {
    state_ = state_ * 1664525u + 1013904223u;
    return state_ % bound;
  }

 private:
  std::uint32_t state_;
};

void CheckBounds(const TRemote& remote) {
  if (remote.HeldCost() > kMaxHeldCostPerPeer) std::abort();
  std::size_t held = 0;
  for (const auto& channel : remote.RecvChannels()) {
    for (const auto& [sequence, fragment] : channel.Held) {
      if (SequenceDistance(NextSequence(channel.Sequence), sequence) >= kMaxHeldAhead) std::abort();
      if (fragment.Data.size() != fragment.FragmentLength) std::abort();
      held += fragment.FragmentLength;
    }
  }
  if (held != remote.HeldBytes()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t options = data[0];
  const bool relay = options & 1;
  const std::uint8_t send_channel = options >> 2;
  TInputRandom random(static_cast<std::uint32_t>(size) * 2654435761u);
  TRemote remote("10.0.0.1", 4000, 0, &random);
  remote.State = (options & 2) ? kStateTemporary : kStateWorking;
  TSink sink;

  // Something of our own in flight, so acknowledgements have fragments to find.
  std::vector<std::uint8_t> outgoing(3000, 0x42);
  remote.SendData(outgoing, send_channel, kTypeData);
  remote.SendData(outgoing, 0, kTypeData);

  std::int64_t now = 0;
  std::size_t offset = 1;
  std::uint8_t buffer[kReceiveBufferSize + kProxyHeadSize];
  while (offset < size) {
    std::size_t length = size - offset >= 2 ? LoadU16(data + offset) : 0;
    offset += 2;
    if (offset > size) break;
    length = std::min(length, size - offset);
    length = std::min(length, sizeof buffer);
    std::memcpy(buffer, data + offset, length);
    offset += length;
    now += 7;

    remote.RunSendWindow(now, sink);
    std::string address = "10.0.0.1";
    std::uint16_t port = 4000;
    if (!OpenReceived(buffer, length, relay, address, port)) continue;
    const auto header = DecodeHeader({buffer, length});
    if (!header) continue;
    switch (header->type) {
      case kTypeAck:
        remote.FinishChannelData(header->sequence, header->channel, now);
        break;
      case kTypeData:
      case kTypeKeepAlive:
      case kTypeTemporaryData:
        remote.RecvChannelData({buffer, length}, sink);
        break;
      default:
        break;
    }
    CheckBounds(remote);
  }

  // Scrambling restores whatever the bytes are.
  if (size >= kScrambleStart && size <= kMaxDatagram) {
    std::vector<std::uint8_t> copy(data, data + size);
    DataRecast(copy.data(), copy.size(), random);
    if (!DataRestore(copy.data(), copy.size())) std::abort();
    if (std::memcmp(copy.data() + kScrambleStart, data + kScrambleStart, size - kScrambleStart) != 0)
      std::abort();
  }
  return 0;
}
