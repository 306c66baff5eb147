#include "router.h"

#include <stdexcept>

#include "config.h"
#include "udp_kivudp.h"
#include "work_pool.h"

namespace kiv::server {

void TMessageRouter::On(std::uint32_t code, std::size_t length, THandler handler, bool slow) {
  Route& route = routes_[code];
  route.length = std::max(route.length, length);
  route.slow |= slow;
  route.handlers.push_back(std::move(handler));
}

void TMessageRouter::OnDisconnect(TDisconnectHook hook) { disconnect_hooks_.push_back(std::move(hook)); }

void TMessageRouter::Dispatch(TEndpoint& endpoint, std::uint16_t handle, const std::uint8_t* data,
                              std::size_t size) {
  if (size < 4) {
    ++dropped_short_;
    return;
  }
  std::uint32_t code = LoadU32(data);
  auto it = routes_.find(code);
  if (it == routes_.end()) {
    ++dropped_unknown_;
    return;
  }
  if (size < it->second.length) {
    ++dropped_short_;
    return;
  }
  const Route& route = it->second;
  if (route.slow && pool_) {
    auto task = [this, &route, &endpoint, handle, code, copy = Bytes(data, data + size)] {
      Run(route, endpoint, handle, code, copy.data(), copy.size());
    };
    if (!pool_->Post(std::move(task))) ++dropped_busy_;
    return;
  }
  Run(route, endpoint, handle, code, data, size);
}

void TMessageRouter::Run(const Route& route, TEndpoint& endpoint, std::uint16_t handle, std::uint32_t code,
                         const std::uint8_t* data, std::size_t size) {
  TRequest request{endpoint, handle, code, RecordReader(data, size)};
  try {
    for (const THandler& handler : route.handlers) {
      if (handler(request)) {
        ++handled_;
        if (adopt_when_taken_) endpoint.Adopt(handle);
        return;
      }
    }
    ++dropped_unknown_;
  } catch (const std::exception& e) {
    ++failed_;
    if (reporter_) reporter_(endpoint, handle, code, e.what());
  } catch (...) {
    ++failed_;
    if (reporter_) reporter_(endpoint, handle, code, "unknown error");
  }
}

void TMessageRouter::Disconnected(TEndpoint& endpoint, std::uint16_t handle) {
  for (const TDisconnectHook& hook : disconnect_hooks_) {
    try {
      hook(endpoint, handle);
    } catch (...) {
      ++failed_;
    }
  }
}

TRouterCounters TMessageRouter::Counters() const {
  return {handled_.load(), dropped_busy_.load(), dropped_short_.load(), dropped_unknown_.load(),
          failed_.load()};
}

std::vector<std::uint32_t> TMessageRouter::Codes() const {
  std::vector<std::uint32_t> codes;
  for (const auto& [code, route] : routes_) codes.push_back(code);
  return codes;
}

static_assert(kEndpointCapacity == TKivUDP::kMaxPeers);
static_assert(kMaxUsersPerNode + kHomeHeadroom < kEndpointCapacity);

TEndpoint::TEndpoint(std::string name) : name_(std::move(name)) {
  TEngineOptions options;
  options.stop_wait_ms = 1000;
  options.max_unacknowledged_bytes = kMaxUnacknowledged;
  options.max_peers_per_address = kMaxConnectionsPerAddress;
  options.claim_grace_ms = kClaimGraceMs;
  options.max_waiting_bytes_per_peer = kMaxWaitingPerConnection;
  udp_ = std::make_unique<TKivUDP>(options);
  udp_->SetCallbacks([this](std::uint16_t handle, const std::uint8_t* data,
                            std::uint32_t length) { router_.Dispatch(*this, handle, data, length); },
                     [this](std::uint16_t handle, std::uint8_t) { router_.Disconnected(*this, handle); });
}

TEndpoint::~TEndpoint() { Stop(); }

bool TEndpoint::Start(std::uint16_t port) { return udp_->Start(port, 1); }

void TEndpoint::Stop() {
  if (udp_->Started()) udp_->Stop();
}

std::uint16_t TEndpoint::Port() const { return udp_->LocalPort(); }

bool TEndpoint::Send(std::uint16_t handle, std::span<const std::uint8_t> message) {
  return udp_->SendData(handle, message, 0, 0, 0);
}

bool TEndpoint::SendPaced(std::uint16_t handle, std::span<const std::uint8_t> message, std::uint8_t channel,
                          std::uint32_t threshold, std::uint8_t mode) {
  return udp_->SendData(handle, message, channel, threshold, mode);
}

std::uint64_t TEndpoint::Unacknowledged(std::uint16_t handle, std::uint8_t channel) const {
  return udp_->GetSendChannelSize(handle, channel);
}

void TEndpoint::Disconnect(std::uint16_t handle) { udp_->Disconnect(handle); }

void TEndpoint::Adopt(std::uint16_t handle) { udp_->Adopt(handle); }

void TEndpoint::SetLog(std::function<void(const std::string&)> log) {
  if (!log) {
    udp_->SetLogSink(nullptr);
    return;
  }
  udp_->SetLogSink(
      [name = name_, log = std::move(log)](const std::string& line) { log(name + ": " + line); });
}

TEndpoint::TGuards TEndpoint::Guards() const {
  const TEngineGuards g = udp_->Guards();
  return {g.ForeignFrames, g.RefusedPeers, g.Stalled, g.Unclaimed};
}

void TEndpoint::End(std::uint16_t handle, const char* why) { udp_->End(handle, why); }

WireAddress TEndpoint::Peer(std::uint16_t handle) const {
  WireAddress a;
  if (!udp_->GetRemoteAdd(handle, a.ip, a.port)) return {};
  return a;
}

std::uint32_t TEndpoint::PeerCount() const { return udp_->PeerCount(); }

}  // namespace kiv::server
