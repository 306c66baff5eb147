#include "raw_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "udp_datagram.h"

namespace kiv::testing {

namespace {

// The handshake record: kind, first handle, second handle.
constexpr std::size_t kHandshakeRecord = 5;
constexpr std::uint8_t kRequest = 0, kReply = 1, kConfirm = 3;

sockaddr_in ToSockaddr(const WireAddress& a) {
  sockaddr_in s{};
  s.sin_family = AF_INET;
  s.sin_port = htons(a.port);
  ::inet_pton(AF_INET, a.ip.c_str(), &s.sin_addr);
  return s;
}

using Clock = std::chrono::steady_clock;

}  // namespace

TRawPeer::TRawPeer(const std::string& local_ip) {
  next_sequence_.fill(kFirstSequence);
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in local = ToSockaddr({local_ip, 0});
  socklen_t size = sizeof local;
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  port_ = ntohs(local.sin_port);
}

TRawPeer::~TRawPeer() {
  if (fd_ >= 0) ::close(fd_);
}

void TRawPeer::SendFrame(const WireAddress& server, const TDatagramHeader& header,
                         std::span<const std::uint8_t> payload, bool scramble) {
  Bytes datagram(kHeaderSize + payload.size());
  EncodeHeader(header, datagram.data());
  std::copy(payload.begin(), payload.end(), datagram.begin() + kHeaderSize);
  if (scramble) DataRecast(datagram.data(), datagram.size());
  sockaddr_in to = ToSockaddr(server);
  ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

std::uint16_t TRawPeer::Handshake(const WireAddress& server, std::uint16_t local_handle, bool wait, bool confirm,
                                  std::uint32_t timeout_ms) {
  std::uint8_t record[kHandshakeRecord] = {kRequest};
  StoreU16(record + 1, 0);
  StoreU16(record + 3, local_handle);
  TDatagramHeader header;
  header.type = kTypeHandshake;
  SendFrame(server, header, record, false);
  if (!wait) return 0;
  return AwaitHandshakeReply(server, local_handle, confirm, timeout_ms);
}

std::uint16_t TRawPeer::AwaitHandshakeReply(const WireAddress& server, std::uint16_t local_handle, bool confirm,
                                            std::uint32_t timeout_ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    std::optional<TRawDatagram> d = Receive(static_cast<std::uint32_t>(std::max<std::int64_t>(left, 1)));
    if (!d) break;
    if (d->header.type != kTypeHandshake || d->payload.size() < kHandshakeRecord || d->payload[0] != kReply ||
        LoadU16(d->payload.data() + 3) != local_handle)
      continue;
    const std::uint16_t theirs = LoadU16(d->payload.data() + 1);
    if (confirm) {
      std::uint8_t answer[kHandshakeRecord] = {kConfirm};
      StoreU16(answer + 1, theirs);
      StoreU16(answer + 3, local_handle);
      TDatagramHeader h;
      h.type = kTypeHandshake;
      h.remote_id = theirs;
      SendFrame(server, h, answer, false);
    }
    return theirs;
  }
  return 0;
}

void TRawPeer::SendMessage(const WireAddress& server, std::uint16_t remote, const Bytes& message,
                           std::uint8_t channel, std::uint8_t type) {
  std::size_t at = 0;
  do {
    const std::size_t part = std::min(kMaxFragmentPayload, message.size() - at);
    TDatagramHeader h;
    h.remote_id = remote;
    h.type = type;
    h.sequence = next_sequence_[channel];
    h.fragment_length = static_cast<std::uint16_t>(part);
    h.total_length = static_cast<std::uint32_t>(message.size());
    h.channel = channel;
    next_sequence_[channel] = next_sequence_[channel] == 0xFFFFFFFFu ? kFirstSequence : next_sequence_[channel] + 1;
    SendFrame(server, h, std::span(message).subspan(at, part), channel == 0);
    at += part;
  } while (at < message.size());
}

bool TRawPeer::SendAcknowledged(const WireAddress& server, std::uint16_t remote, const Bytes& message,
                                bool acknowledge, std::uint8_t channel, std::uint32_t timeout_ms) {
  const std::uint32_t first = next_sequence_[channel];
  SendMessage(server, remote, message, channel);
  const std::uint32_t end = next_sequence_[channel];
  // Fragments still waiting for their acknowledgement, by sequence (a message never wraps here:
  // tests send far fewer than 2^32 fragments).
  std::vector<std::uint32_t> waiting;
  for (std::uint32_t s = first; s != end; ++s) waiting.push_back(s);
  auto last_progress = Clock::now();
  while (!waiting.empty()) {
    std::optional<TRawDatagram> d = Receive(50);
    if (!d) {
      if (Clock::now() - last_progress > std::chrono::milliseconds(timeout_ms)) return false;
      // Silence: send what is still unacknowledged again, under its own sequence numbers.
      for (std::uint32_t s : waiting) {
        const std::size_t at = static_cast<std::size_t>(s - first) * kMaxFragmentPayload;
        const std::size_t part = std::min(kMaxFragmentPayload, message.size() - at);
        TDatagramHeader h;
        h.remote_id = remote;
        h.type = kTypeData;
        h.sequence = s;
        h.fragment_length = static_cast<std::uint16_t>(part);
        h.total_length = static_cast<std::uint32_t>(message.size());
        h.channel = channel;
        SendFrame(server, h, std::span(message).subspan(at, part), channel == 0);
      }
      continue;
    }
    switch (d->header.type) {
      case kTypeAck:
        if (d->header.channel == channel && std::erase(waiting, d->header.sequence))
          last_progress = Clock::now();
        break;
      case kTypeDisconnect:
        ended_ = true;
        return false;
      case kTypeData:
      case kTypeKeepAlive:
      case kTypeTemporaryData:
        if (acknowledge) Acknowledge(server, remote, d->header);
        break;
      default:
        break;
    }
  }
  return true;
}

void TRawPeer::Acknowledge(const WireAddress& server, std::uint16_t remote, const TDatagramHeader& frame) {
  TDatagramHeader h;
  h.remote_id = remote;
  h.type = kTypeAck;
  h.sequence = frame.sequence;
  h.channel = frame.channel;
  SendFrame(server, h, {}, false);
}

std::optional<TRawDatagram> TRawPeer::Receive(std::uint32_t timeout_ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  std::uint8_t buffer[kReceiveBufferSize];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left < 0) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) return std::nullopt;
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < static_cast<ssize_t>(kHeaderSize)) continue;
    if (!DataRestore(buffer, static_cast<std::size_t>(n))) continue;
    auto header = DecodeHeader(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)));
    if (!header) continue;
    return TRawDatagram{*header, Bytes(buffer + kHeaderSize, buffer + n)};
  }
}

std::optional<Bytes> TRawPeer::WaitForMessage(const WireAddress& server, std::uint16_t remote, std::uint32_t code,
                                              bool acknowledge, std::uint32_t timeout_ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < until) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    std::optional<TRawDatagram> d = Receive(static_cast<std::uint32_t>(std::max<std::int64_t>(left, 1)));
    if (!d) return std::nullopt;
    if (d->header.type == kTypeDisconnect) ended_ = true;
    const bool reliable = d->header.type == kTypeData || d->header.type == kTypeKeepAlive ||
                          d->header.type == kTypeTemporaryData;
    if (reliable && acknowledge) Acknowledge(server, remote, d->header);
    if (d->header.type == kTypeData && d->header.fragment_length == d->header.total_length &&
        d->payload.size() >= 4 && LoadU32(d->payload.data()) == code)
      return d->payload;
  }
  return std::nullopt;
}

std::size_t TRawPeer::Drain() {
  std::size_t n = 0;
  while (Receive(0)) ++n;
  return n;
}

}  // namespace kiv::testing
