// ProxyUnit: the SOCKS5 client (RFC 1928, user/password authentication of RFC 1929) that opens a UDP relay
// for the transport, and its watchdog.
//
// Bytes on the control connection:
//   greeting without credentials   05 01 00               reply: 05 00
//   greeting with credentials      05 02 00 02            reply: 05 02
//   user/password                  01 ulen user plen pw   reply: xx 00
//   UDP associate                  05 03 00 01 00 00 00 00 port(BE)
//                                  reply: 05 00 00 01 addr(4) port(BE) - the relay
// Every reply is read to its full length and checked before use; a short, malformed or refusing reply ends
// the handshake with failure.
//
// Threads: a TProxy is used by one thread at a time. Its watchdog (TProxyThread) runs on its own thread and
// touches only the state it shares with the TProxy that started it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "base/socket.h"

namespace kiv {

// State one TProxy shares with its watchdog. The control socket is closed only by the TProxy; the watchdog
// shuts it down, which makes a blocked connect, send or receive return at once, and the TProxy then closes
// it. That way the watchdog never closes a descriptor number that has since been reused.
struct ProxyControl {
  std::mutex mutex;
  std::condition_variable wake;
  int socket = -1;         // the control connection, -1 when none
  bool connected = false;  // the handshake has completed
  bool expired = false;    // the watchdog's delay ran out before the handshake completed
  bool cancelled = false;  // the watchdog has nothing more to do
};

// Sleeps for its delay; if the handshake of its own TProxy has not completed by then, shuts the control
// socket down. Ends after that single delay, or at once when cancelled. Destroying it cancels and joins.
class TProxyThread {
 public:
  TProxyThread(std::shared_ptr<ProxyControl> control, std::chrono::milliseconds delay);
  ~TProxyThread();
  TProxyThread(const TProxyThread&) = delete;
  TProxyThread& operator=(const TProxyThread&) = delete;

  void Cancel();

 private:
  std::shared_ptr<ProxyControl> control_;
  std::thread thread_;
};

class TProxy {
 public:
  explicit TProxy(std::chrono::milliseconds watchdog_delay = kProxyWatchdogDelay);
  // Stops the relay (closes the control connection) and ends the watchdog.
  ~TProxy();
  TProxy(const TProxy&) = delete;
  TProxy& operator=(const TProxy&) = delete;

  // Connects to the proxy at `host` (dotted IPv4 text) and `port`, authenticates and asks for a UDP relay for
  // the local UDP port `udp_port`. Returns the relay port, 0 on failure (connect, authentication, associate,
  // a malformed reply or the watchdog's time-out). A relay already open is stopped first.
  std::uint16_t StartProxy(std::string_view host, std::uint16_t port, std::uint16_t udp_port,
                           std::string_view user, std::string_view password);
  // The greeting and, with credentials, the user/password exchange on `socket`.
  bool Auth(int socket, std::string_view user, std::string_view password);
  // The UDP associate request on `socket`; on success stores the relay address and port.
  bool socksconnect(int socket, std::uint16_t udp_port);
  // Clears the connected flag and closes the control connection.
  void StopProxy();

  bool connected() const;
  // The relay the proxy reported (dotted IPv4 text and port); empty and 0 until connected.
  const std::string& relay_address() const { return relay_address_; }
  std::uint16_t relay_port() const { return relay_port_; }

 private:
  // Ends the watchdog and closes the control socket.
  void Reset();

  std::shared_ptr<ProxyControl> control_;
  std::unique_ptr<TProxyThread> watchdog_;
  std::string relay_address_;
  std::uint16_t relay_port_ = 0;
  std::chrono::milliseconds watchdog_delay_;
  std::string host_;
  std::uint16_t port_ = 0;
  std::uint16_t udp_port_ = 0;
  std::string user_;
  std::string password_;
};

}  // namespace kiv
