#include "udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <vector>

#include "udp_datagram.h"

namespace kiv {

namespace {

bool ParseIPv4(const std::string& text, in_addr& out) { return inet_pton(AF_INET, text.c_str(), &out) == 1; }

}  // namespace

TKivSocket::TKivSocket() = default;

TKivSocket::~TKivSocket() { Stop(); }

bool TKivSocket::Start(std::uint16_t port, std::uint8_t mode) {
  if (Started() || mode > 2) return false;
  mode_ = mode;
  recv_datagrams_ = recv_bytes_ = sent_datagrams_ = sent_bytes_ = 0;

  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(port);
  socklen_t local_size = sizeof local;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_size) != 0) {
    ::close(fd);
    return false;
  }
  local_port_ = ntohs(local.sin_port);
  // The system may cap these; a smaller buffer is not a reason to fail.
  const int size = kSocketBufferSize;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);

  fd_.store(fd, std::memory_order_release);
  owner_thread_ = std::this_thread::get_id();
  if (mode == 0) {
    started_.store(true, std::memory_order_release);
    if (readiness_) readiness_->SocketOpened(fd);
    return true;
  }
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) {
    fd_.store(-1, std::memory_order_release);
    ::close(fd);
    return false;
  }
  stopping_.store(false, std::memory_order_release);
  started_.store(true, std::memory_order_release);
  read_thread_ = std::thread([this] {
    read_thread_id_.store(std::this_thread::get_id());
    ReadLoop();
  });
  return true;
}

bool TKivSocket::Stop() {
  if (!Started()) return false;
  if (read_thread_.joinable()) {
    if (read_thread_.get_id() == std::this_thread::get_id()) return false;
    stopping_.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wake_fd_, &one, sizeof one);
    read_thread_.join();
    read_thread_id_.store(std::thread::id{});
    ::close(wake_fd_);
    wake_fd_ = -1;
  } else if (readiness_) {
    readiness_->SocketClosing(Handle());
  }
  const int fd = fd_.exchange(-1, std::memory_order_acq_rel);
  if (fd >= 0) ::close(fd);
  started_.store(false, std::memory_order_release);
  return true;
}

bool TKivSocket::SetProxy(const std::string& host, std::uint16_t port) {
  in_addr ip{};
  if (!ParseIPv4(host, ip)) return false;
  relay_.store(kRelaySet | (std::uint64_t{port} << 32) | ip.s_addr, std::memory_order_release);
  return true;
}

bool TKivSocket::SendUDPData(const std::string& address, std::uint16_t port, const std::uint8_t* data,
                             std::size_t length) {
  const int fd = Handle();
  if (fd < 0 || length > kMaxDatagram) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  if (!ParseIPv4(address, to.sin_addr)) return false;
  to.sin_port = htons(port);

  std::uint8_t relayed[kMaxDatagram + kProxyHeadSize];
  const std::uint64_t relay = relay_.load(std::memory_order_acquire);
  if (relay & kRelaySet) {
    std::memcpy(relayed, data, length);
    if (!MakeProxyHead(relayed, length, sizeof relayed, address, port)) return false;
    data = relayed;
    length += kProxyHeadSize;
    to.sin_addr.s_addr = static_cast<std::uint32_t>(relay);
    to.sin_port = htons(static_cast<std::uint16_t>(relay >> 32));
  }
  const ssize_t sent =
      ::sendto(fd, data, length, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (sent < 0 || static_cast<std::size_t>(sent) != length) return false;
  sent_datagrams_.fetch_add(1, std::memory_order_relaxed);
  sent_bytes_.fetch_add(static_cast<std::uint32_t>(length), std::memory_order_relaxed);
  return true;
}

bool TKivSocket::ReadOne(std::uint8_t* buffer) {
  const int fd = Handle();
  if (fd < 0) return false;
  sockaddr_in from{};
  socklen_t from_size = sizeof from;
  const ssize_t got = ::recvfrom(fd, buffer, kReceiveBufferSize, MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&from), &from_size);
  if (got < 0) {
    // Nothing waiting, or an error such as the ICMP port-unreachable of an earlier send, which is
    // reported on the next receive and means nothing for the datagrams still to come.
    return errno != EAGAIN && errno != EWOULDBLOCK;
  }
  Received(from, buffer, static_cast<std::size_t>(got));
  return true;
}

void TKivSocket::Received(const sockaddr_in& from, std::uint8_t* buffer, std::size_t length) {
  recv_datagrams_.fetch_add(1, std::memory_order_relaxed);
  recv_bytes_.fetch_add(static_cast<std::uint32_t>(length), std::memory_order_relaxed);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
  try {
    DataRecive(text, ntohs(from.sin_port), buffer, length);
  } catch (...) {
    // A failing handler loses this datagram only.
  }
}

std::size_t TKivSocket::SendUDPBatch(std::span<const TOutgoing> datagrams) {
  const int fd = Handle();
  if (fd < 0) return 0;
  std::size_t sent = 0;
  if (relay_.load(std::memory_order_acquire) & kRelaySet) {
    // Each needs its own relay head: one at a time.
    for (const TOutgoing& d : datagrams) sent += SendUDPData(*d.address, d.port, d.data, d.length) ? 1 : 0;
    return sent;
  }
  constexpr std::size_t kVector = 64;
  while (!datagrams.empty()) {
    const std::size_t count = std::min(kVector, datagrams.size());
    sockaddr_in to[kVector];
    iovec iov[kVector];
    mmsghdr messages[kVector];
    std::size_t ready = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const TOutgoing& d = datagrams[i];
      if (d.length > kMaxDatagram) continue;
      to[ready] = {};
      to[ready].sin_family = AF_INET;
      if (!ParseIPv4(*d.address, to[ready].sin_addr)) continue;
      to[ready].sin_port = htons(d.port);
      iov[ready] = {const_cast<std::uint8_t*>(d.data), d.length};
      messages[ready] = {};
      messages[ready].msg_hdr.msg_name = &to[ready];
      messages[ready].msg_hdr.msg_namelen = sizeof to[ready];
      messages[ready].msg_hdr.msg_iov = &iov[ready];
      messages[ready].msg_hdr.msg_iovlen = 1;
      ++ready;
    }
    for (std::size_t done = 0; done < ready;) {
      const int n = ::sendmmsg(fd, messages + done, static_cast<unsigned>(ready - done), MSG_NOSIGNAL);
      if (n <= 0) {
        ++done;  // this one failed (for example an ICMP error reported late): go on with the rest
        continue;
      }
      for (int i = 0; i < n; ++i) {
        sent_datagrams_.fetch_add(1, std::memory_order_relaxed);
        sent_bytes_.fetch_add(static_cast<std::uint32_t>(messages[done + i].msg_len),
                              std::memory_order_relaxed);
      }
      sent += static_cast<std::size_t>(n);
      done += static_cast<std::size_t>(n);
    }
    datagrams = datagrams.subspan(count);
  }
  return sent;
}

int TKivSocket::ReadData() {
  if (!Started() || mode_ != 0) return 0;
  // Mode 0 has one reader: the thread that started the socket and drives the readiness hook.
  assert(std::this_thread::get_id() == owner_thread_);
  std::uint8_t buffer[kReceiveBufferSize];
  int count = 0;
  while (count < kReadBatch && ReadOne(buffer)) ++count;
  return count;
}

void TKivSocket::ReadLoop() {
  std::vector<std::uint8_t> buffers(static_cast<std::size_t>(kReadVector) * kReceiveBufferSize);
  sockaddr_in from[kReadVector];
  iovec iov[kReadVector];
  mmsghdr messages[kReadVector];
  while (!stopping_.load(std::memory_order_acquire)) {
    pollfd fds[2] = {{Handle(), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;  // EINTR
    if (fds[1].revents) {
      std::uint64_t count = 0;
      [[maybe_unused]] auto read = ::read(wake_fd_, &count, sizeof count);
      if (stopping_.load(std::memory_order_acquire)) break;
      try {
        ReaderWoken();
      } catch (...) {
      }
      continue;
    }
    if (fds[0].revents) {
      // Several datagrams per system call, at most kReadBatch before the stop flag is seen again.
      for (int round = 0; round < kReadBatch / kReadVector && !stopping_.load(std::memory_order_acquire);
           ++round) {
        for (int i = 0; i < kReadVector; ++i) {
          iov[i] = {buffers.data() + static_cast<std::size_t>(i) * kReceiveBufferSize, kReceiveBufferSize};
          messages[i] = {};
          messages[i].msg_hdr.msg_name = &from[i];
          messages[i].msg_hdr.msg_namelen = sizeof from[i];
          messages[i].msg_hdr.msg_iov = &iov[i];
          messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int got = ::recvmmsg(Handle(), messages, kReadVector, MSG_DONTWAIT, nullptr);
        if (got < 0) {
          // Nothing more, or an error such as the ICMP port-unreachable of an earlier send, which
          // means nothing for the datagrams still to come.
          if (errno == EAGAIN || errno == EWOULDBLOCK) break;
          continue;
        }
        // One cut to the buffer's size arrives as long as the buffer, which the handler drops.
        for (int i = 0; i < got; ++i)
          Received(from[i], static_cast<std::uint8_t*>(iov[i].iov_base), messages[i].msg_len);
        if (got < kReadVector) break;
      }
      try {
        ReadBatchDone();
      } catch (...) {
      }
    }
  }
}

void TKivSocket::WakeReader() {
  if (!Started() || mode_ == 0 || wake_fd_ < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] auto written = ::write(wake_fd_, &one, sizeof one);
}

void TKivSocket::DataRecive(const std::string&, std::uint16_t, std::uint8_t*, std::size_t) {}

std::string TKivSocket::LocalAddress() const {
  std::lock_guard lock(address_mutex_);
  return local_address_;
}

void TKivSocket::SetLocalAddress(std::string address) {
  std::lock_guard lock(address_mutex_);
  local_address_ = std::move(address);
}

TSocketCounters TKivSocket::Counters() const {
  return {recv_datagrams_.load(std::memory_order_relaxed), recv_bytes_.load(std::memory_order_relaxed),
          sent_datagrams_.load(std::memory_order_relaxed), sent_bytes_.load(std::memory_order_relaxed)};
}

TSocketCounters TKivSocket::PerSecond() const {
  return {second_recv_datagrams_.load(std::memory_order_relaxed),
          second_recv_bytes_.load(std::memory_order_relaxed),
          second_sent_datagrams_.load(std::memory_order_relaxed),
          second_sent_bytes_.load(std::memory_order_relaxed)};
}

void TKivSocket::TakeSecondSnapshot() {
  second_recv_datagrams_.store(recv_datagrams_.exchange(0, std::memory_order_relaxed),
                               std::memory_order_relaxed);
  second_recv_bytes_.store(recv_bytes_.exchange(0, std::memory_order_relaxed), std::memory_order_relaxed);
  second_sent_datagrams_.store(sent_datagrams_.exchange(0, std::memory_order_relaxed),
                               std::memory_order_relaxed);
  second_sent_bytes_.store(sent_bytes_.exchange(0, std::memory_order_relaxed), std::memory_order_relaxed);
}

}  // namespace kiv
