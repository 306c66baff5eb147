// The engine's receive handler over arbitrary datagrams: relay head, classification of every
// datagram type, handshakes, disconnects, temporary peers, acknowledgements, reassembly, the probe
// and the ageing pass, on a fresh engine per input with a manual clock. Checks that nothing crashes
// or reads out of bounds (the sanitizers) and that what the engine holds stays within its bounds.
//
// Input: byte 0 holds options (bit 0: a relay is set, so datagrams carry the relay head; bit 1: a
// temporary peer for source 0 exists before the first datagram, with a message queued to it, so
// acknowledgements find fragments in flight). Then records of
//   [u8: bits 0-1 source address, bits 2-7 clock step in units of 250 ms][u16 length][bytes]
// (the last one may be short), each handed to the receive handler as one datagram from its source.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/wire.h"
#include "udp_clock.h"
#include "udp_kivudp.h"

namespace {

using namespace kiv;

// Sources: loopback ports nothing listens on, so the engine's answers go nowhere.
constexpr std::uint16_t kSourcePorts[4] = {1, 2, 3, 4};
constexpr std::size_t kMaxTotalHeld = 4u << 20;
constexpr std::size_t kMaxUnconfirmed = 8;

class TFuzzEngine final : public TKivUDP {
 public:
  using TKivUDP::TKivUDP;
  void Receive(std::uint16_t port, std::vector<std::uint8_t>& datagram) {
    DataRecive("127.0.0.1", port, datagram.data(), datagram.size());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  TManualClock clock(1000000);
  TEngineOptions options;
  options.clock = &clock;
  options.stop_wait_ms = 0;
  options.max_unconfirmed_peers = kMaxUnconfirmed;
  options.max_unconfirmed_held_bytes = 64 * 1024;
  options.max_total_held_bytes = kMaxTotalHeld;
  TFuzzEngine engine(options);
  std::size_t delivered = 0;
  engine.SetCallbacks(
      [&](std::uint16_t handle, const std::uint8_t*, std::uint32_t length) {
        if (handle == 0 || handle > TKivUDP::kMaxPeers || length == 0 || length > kMaxMessageSize)
          std::abort();
        delivered += length;
      },
      [](std::uint16_t handle, std::uint8_t reason) {
        if (handle == 0 || handle > TKivUDP::kMaxPeers || reason > kReasonDisconnected) std::abort();
      });
  if (!engine.Start(0, 2)) return 0;
  const std::uint8_t flags = data[0];
  if (flags & 1) engine.SetProxy("127.0.0.1", 5);
  if (flags & 2) {
    std::uint16_t handle = engine.CreateTempRemote("127.0.0.1", kSourcePorts[0]);
    std::vector<std::uint8_t> message(3000, 0x5A);
    engine.SendData(handle, message, 1, 0, 0);
    engine.SendTempData(handle, message, 2);
  }

  std::size_t pos = 1;
  std::int64_t since_wake = 0;
  while (pos + 3 <= size) {
    const std::uint8_t control = data[pos];
    const std::size_t length = std::min<std::size_t>(LoadU16(data + pos + 1), size - pos - 3);
    pos += 3;
    std::vector<std::uint8_t> datagram(data + pos, data + pos + length);
    pos += length;
    const std::int64_t step = static_cast<std::int64_t>(control >> 2) * 250;
    clock.Advance(step);
    since_wake += step;
    engine.Receive(kSourcePorts[control & 3], datagram);
    if (engine.HeldBytes() > kMaxTotalHeld) std::abort();
    if (engine.PeerCount() > TKivUDP::kMaxPeers) std::abort();
    // Let the timer thread run its resends and the ageing pass on the new time now and then.
    if (since_wake >= 5000) {
      since_wake = 0;
      engine.Wake();
    }
  }
  engine.Stop();
  return 0;
}
