// A server peer for the session tests: a second transport engine on loopback (mode 1, its own
// threads) that records every message it receives and answers through a handler the test gives.
// It stands in for what the reference server does not do on demand (a kick of kind 3, a termination
// order, a reply cut short) and for timing the test must control.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "base/wire.h"
#include "udp_kivudp.h"

namespace kiv {

class TScriptedServer {
 public:
  struct Received {
    std::uint16_t handle;
    Bytes data;
    std::chrono::steady_clock::time_point when;
  };
  using Handler = std::function<void(TScriptedServer& server, std::uint16_t handle, const Bytes& message)>;

  TScriptedServer() {
    engine_.SetCallbacks(
        [this](std::uint16_t h, const std::uint8_t* d, std::uint32_t n) {
          Bytes message(d, d + n);
          Handler handler;
          {
            std::lock_guard lock(mutex_);
            received_.push_back({h, message, std::chrono::steady_clock::now()});
            handler = handler_;
          }
          if (handler) handler(*this, h, message);
        },
        [this](std::uint16_t h, std::uint8_t) {
          std::lock_guard lock(mutex_);
          lost_.push_back(h);
        });
    engine_.Start(0, 1);
  }
  ~TScriptedServer() { engine_.Stop(); }

  std::uint16_t Port() const { return engine_.LocalPort(); }
  void SetHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }
  void Send(std::uint16_t handle, const Bytes& message) { engine_.SendData(handle, message, 0, 0, 0); }
  bool Disconnect(std::uint16_t handle) { return engine_.Disconnect(handle); }
  TKivUDP& Engine() { return engine_; }

  // Messages received with that code, in order.
  std::vector<Received> Messages(std::uint32_t code) {
    std::lock_guard lock(mutex_);
    std::vector<Received> out;
    for (const Received& r : received_) {
      if (r.data.size() >= 4 && LoadU32(r.data.data()) == code) out.push_back(r);
    }
    return out;
  }
  std::size_t LostCount() {
    std::lock_guard lock(mutex_);
    return lost_.size();
  }

 private:
  std::mutex mutex_;
  std::vector<Received> received_;
  std::vector<std::uint16_t> lost_;
  Handler handler_;
  TKivUDP engine_{TEngineOptions{}};  // last: stopped before the records go
};

}  // namespace kiv
