#include "base/proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kiv {
namespace {

constexpr std::uint8_t kSocksVersion = 5;
constexpr std::uint8_t kMethodNone = 0;
constexpr std::uint8_t kMethodUserPassword = 2;
constexpr std::uint8_t kUserPasswordVersion = 1;
constexpr std::uint8_t kCommandUdpAssociate = 3;
constexpr std::uint8_t kAddressIPv4 = 1;
constexpr std::size_t kMaxCredential = 255;

bool SendAll(int socket, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t sent = ::send(socket, data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

// Reads exactly `size` bytes. False when the peer closes, the socket fails or is shut down first.
bool ReceiveExactly(int socket, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t got = ::recv(socket, data, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

TProxyThread::TProxyThread(std::shared_ptr<ProxyControl> control, std::chrono::milliseconds delay)
    : control_(std::move(control)) {
  thread_ = std::thread([control = control_, delay] {
    std::unique_lock lock(control->mutex);
    if (control->wake.wait_for(lock, delay, [&] { return control->cancelled; })) return;
    if (control->connected) return;
    control->expired = true;
    if (control->socket >= 0) ::shutdown(control->socket, SHUT_RDWR);
  });
}

TProxyThread::~TProxyThread() {
  Cancel();
  if (thread_.joinable()) thread_.join();
}

void TProxyThread::Cancel() {
  {
    std::lock_guard lock(control_->mutex);
    control_->cancelled = true;
  }
  control_->wake.notify_all();
}

TProxy::TProxy(std::chrono::milliseconds watchdog_delay)
    : control_(std::make_shared<ProxyControl>()), watchdog_delay_(watchdog_delay) {}

TProxy::~TProxy() { Reset(); }

void TProxy::Reset() {
  watchdog_.reset();  // cancels and joins: nothing touches the socket after this
  std::lock_guard lock(control_->mutex);
  control_->connected = false;
  if (control_->socket >= 0) ::close(control_->socket);
  control_->socket = -1;
  relay_address_.clear();
  relay_port_ = 0;
}

void TProxy::StopProxy() { Reset(); }

bool TProxy::connected() const {
  std::lock_guard lock(control_->mutex);
  return control_->connected;
}

std::uint16_t TProxy::StartProxy(std::string_view host, std::uint16_t port, std::uint16_t udp_port,
                                 std::string_view user, std::string_view password) {
  Reset();
  host_ = host;
  port_ = port;
  udp_port_ = udp_port;
  user_ = user;
  password_ = password;

  // A fresh shared state per attempt: a watchdog of an earlier attempt can never reach this one.
  control_ = std::make_shared<ProxyControl>();
  watchdog_ = std::make_unique<TProxyThread>(control_, watchdog_delay_);

  auto fail = [this] {
    Reset();
    return std::uint16_t{0};
  };

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  if (host_.find('\0') != std::string::npos || ::inet_pton(AF_INET, host_.c_str(), &address.sin_addr) != 1) {
    return fail();
  }
  int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket < 0) return fail();
  {
    std::lock_guard lock(control_->mutex);
    control_->socket = socket;  // closed by Reset from here on
    if (control_->expired) socket = -1;
  }
  if (socket < 0) return fail();

  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return fail();
  if (!Auth(socket, user_, password_)) return fail();
  if (!socksconnect(socket, udp_port_)) return fail();
  {
    std::lock_guard lock(control_->mutex);
    // The watchdog may have shut the socket down after the last reply arrived: the relay is gone then.
    if (control_->expired)
      socket = -1;
    else
      control_->connected = true;
  }
  if (socket < 0) return fail();
  watchdog_->Cancel();
  return relay_port_;
}

bool TProxy::Auth(int socket, std::string_view user, std::string_view password) {
  if (user.size() > kMaxCredential || password.size() > kMaxCredential) return false;
  const bool credentials = !user.empty() || !password.empty();

  const std::uint8_t plain[] = {kSocksVersion, 1, kMethodNone};
  const std::uint8_t with_credentials[] = {kSocksVersion, 2, kMethodNone, kMethodUserPassword};
  bool sent = credentials ? SendAll(socket, with_credentials, sizeof with_credentials)
                          : SendAll(socket, plain, sizeof plain);
  if (!sent) return false;

  std::uint8_t reply[2];
  if (!ReceiveExactly(socket, reply, sizeof reply)) return false;
  if (reply[0] != kSocksVersion) return false;
  // With credentials offered, a proxy that picks "no authentication" is refused too.
  if (reply[1] != (credentials ? kMethodUserPassword : kMethodNone)) return false;
  if (!credentials) return true;

  std::uint8_t message[3 + 2 * kMaxCredential];
  std::size_t size = 0;
  message[size++] = kUserPasswordVersion;
  message[size++] = static_cast<std::uint8_t>(user.size());
  std::memcpy(message + size, user.data(), user.size());
  size += user.size();
  message[size++] = static_cast<std::uint8_t>(password.size());
  std::memcpy(message + size, password.data(), password.size());
  size += password.size();
  if (!SendAll(socket, message, size)) return false;

  // Byte 0 is the sub-negotiation version; some proxies answer 5 there, so only the status is checked.
  if (!ReceiveExactly(socket, reply, sizeof reply)) return false;
  return reply[1] == 0;
}

bool TProxy::socksconnect(int socket, std::uint16_t udp_port) {
  const std::uint8_t request[] = {kSocksVersion,
                                  kCommandUdpAssociate,
                                  0,
                                  kAddressIPv4,
                                  0,
                                  0,
                                  0,
                                  0,
                                  static_cast<std::uint8_t>(udp_port >> 8),
                                  static_cast<std::uint8_t>(udp_port)};
  if (!SendAll(socket, request, sizeof request)) return false;

  // Version and status first: a refusing proxy may close after them.
  std::uint8_t head[4];
  if (!ReceiveExactly(socket, head, 2)) return false;
  if (head[0] != kSocksVersion || head[1] != 0) return false;
  if (!ReceiveExactly(socket, head + 2, 2)) return false;
  // The relay must be named by an IPv4 address; a name or an IPv6 address cannot be handed on as one.
  if (head[3] != kAddressIPv4) return false;
  std::uint8_t relay[6];
  if (!ReceiveExactly(socket, relay, sizeof relay)) return false;

  char text[INET_ADDRSTRLEN] = {};
  in_addr address{};
  std::memcpy(&address, relay, 4);
  if (::inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) return false;
  relay_address_ = text;
  relay_port_ = static_cast<std::uint16_t>((relay[4] << 8) | relay[5]);
  return true;
}

}  // namespace kiv
