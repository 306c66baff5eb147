// A scripted transport peer on a plain UDP socket, for tests and benchmarks that play a hostile
// network against a server: it writes the datagrams itself, so it can name any handle, send from
// any local address of the loopback range, never acknowledge, or leave a handshake half open.
//
// It knows only the wire: the 20-byte header, the handshake record, reliable fragments with their
// sequence numbers, and the scrambling of channel-0 frames. It keeps no state beyond the next
// sequence of each channel it sends on.
//
// Threads: one thread uses a peer at a time.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/wire.h"
#include "udp_declare.h"

namespace kiv::testing {

struct TRawDatagram {
  TDatagramHeader header;
  Bytes payload;
};

class TRawPeer {
 public:
  // Binds a UDP socket to `local_ip` on a free port. Check Ok().
  explicit TRawPeer(const std::string& local_ip = "127.0.0.1");
  ~TRawPeer();
  TRawPeer(const TRawPeer&) = delete;
  TRawPeer& operator=(const TRawPeer&) = delete;

  bool Ok() const { return fd_ >= 0; }
  std::uint16_t Port() const { return port_; }

  // Sends a handshake request naming `local_handle` as ours. With `wait`, waits for the reply and
  // confirms it (unless `confirm` is false); returns the server's handle of us, 0 without a reply.
  std::uint16_t Handshake(const WireAddress& server, std::uint16_t local_handle = 1, bool wait = true,
                          bool confirm = true, std::uint32_t timeout_ms = 3000);

  // Waits for the reply to a handshake request sent with `local_handle` and confirms it (unless
  // `confirm` is false); the server's handle of us, 0 without a reply.
  std::uint16_t AwaitHandshakeReply(const WireAddress& server, std::uint16_t local_handle, bool confirm,
                                    std::uint32_t timeout_ms);

  // One datagram with the given header fields and payload, scrambled when `scramble`.
  void SendFrame(const WireAddress& server, const TDatagramHeader& header, std::span<const std::uint8_t> payload,
                 bool scramble);
  // A whole message as reliable fragments of `type` on `channel`, naming `remote` (the server's
  // handle of us), scrambled on channel 0 as the transport does.
  void SendMessage(const WireAddress& server, std::uint16_t remote, const Bytes& message, std::uint8_t channel = 0,
                   std::uint8_t type = kTypeData);
  // Sends a whole message as SendMessage does and waits until the server has acknowledged every
  // fragment, sending them again after a silence, as a real sender would. Whatever else arrives
  // meanwhile is acknowledged when `acknowledge` and otherwise dropped; a disconnect from the server
  // sets Ended(). False when the server ended the association or acknowledged nothing for
  // `timeout_ms`.
  bool SendAcknowledged(const WireAddress& server, std::uint16_t remote, const Bytes& message, bool acknowledge,
                        std::uint8_t channel = 0, std::uint32_t timeout_ms = 3000);
  // A disconnect request or reply came from the server.
  bool Ended() const { return ended_; }
  // Acknowledges a received reliable frame.
  void Acknowledge(const WireAddress& server, std::uint16_t remote, const TDatagramHeader& frame);

  // The next datagram that arrives within `timeout_ms`, restored; none on time-out. Datagrams that
  // do not restore are skipped.
  std::optional<TRawDatagram> Receive(std::uint32_t timeout_ms);
  // Waits for a reliable single-fragment message whose code is `code`, acknowledging reliable
  // frames on the way when `acknowledge`; none on time-out.
  std::optional<Bytes> WaitForMessage(const WireAddress& server, std::uint16_t remote, std::uint32_t code,
                                      bool acknowledge, std::uint32_t timeout_ms);
  // Reads and discards whatever has arrived; the number of datagrams.
  std::size_t Drain();

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::array<std::uint32_t, 256> next_sequence_{};
  bool ended_ = false;
};

}  // namespace kiv::testing
