// A scripted SOCKS5 server on loopback for byte-level tests of the client: it records every byte the client
// sends and answers with exactly the bytes the test gives, including short, malformed and refusing replies
// that a real proxy cannot be made to send.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace kiv {

class FakeSocksServer {
 public:
  using Bytes = std::vector<std::uint8_t>;
  struct Step {
    std::size_t expect;  // bytes to read from the client before answering
    Bytes reply;         // sent after them (may be empty: no answer)
  };
  using Steps = std::vector<Step>;

  // Serves one connection: runs the steps in order, then (unless `hang_up`) keeps reading and recording
  // until the client closes. `delay` is waited before the first reply.
  explicit FakeSocksServer(Steps steps, bool hang_up = false,
                           std::chrono::milliseconds delay = std::chrono::milliseconds(0))
      : steps_(std::move(steps)), hang_up_(hang_up), delay_(delay) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener_ >= 0 && ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        ::listen(listener_, 4) == 0 &&
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      port_ = ntohs(address.sin_port);
    }
    thread_ = std::thread([this] { Serve(); });
  }

  ~FakeSocksServer() { Finish(); }
  FakeSocksServer(const FakeSocksServer&) = delete;
  FakeSocksServer& operator=(const FakeSocksServer&) = delete;

  std::uint16_t port() const { return port_; }
  bool client_closed() const { return client_closed_; }

  // Ends the server and gives everything the client sent.
  Bytes Finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
    return received_;
  }

 private:
  // Waits until `fd` is readable; false when asked to stop first, or when nothing comes for 20 s (a
  // client that hangs fails its test instead of holding the server thread).
  bool WaitReadable(int fd) {
    // Polls once more after a stop request, so that a close the client made just before is still seen.
    pollfd p{fd, POLLIN, 0};
    for (int waited_ms = 0; waited_ms < 20000; waited_ms += 20) {
      if (::poll(&p, 1, 20) > 0) return true;
      if (stop_) return false;
    }
    return false;
  }

  // Reads up to `count` bytes (all of them unless the client closes); false when the client is gone.
  bool Read(int fd, std::size_t count) {
    std::uint8_t buffer[512];
    while (count > 0) {
      if (!WaitReadable(fd)) return false;
      ssize_t got = ::recv(fd, buffer, std::min(count, sizeof buffer), 0);
      if (got <= 0) {
        client_closed_ = true;
        return false;
      }
      received_.insert(received_.end(), buffer, buffer + got);
      count -= static_cast<std::size_t>(got);
    }
    return true;
  }

  void Serve() {
    if (listener_ < 0 || !WaitReadable(listener_)) return;
    int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    bool first = true;
    bool alive = true;
    for (const Step& step : steps_) {
      if (!(alive = Read(client, step.expect))) break;
      if (first) std::this_thread::sleep_for(delay_);
      first = false;
      if (!step.reply.empty()) ::send(client, step.reply.data(), step.reply.size(), MSG_NOSIGNAL);
    }
    if (alive && !hang_up_) {
      while (Read(client, 512)) {
      }
    }
    ::close(client);
  }

  std::vector<Step> steps_;
  bool hang_up_;
  std::chrono::milliseconds delay_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> client_closed_{false};
  Bytes received_;  // written by the server thread only until Finish() joins it
  std::thread thread_;
};

}  // namespace kiv
