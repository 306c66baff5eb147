// An in-memory link between two TRemote ends, driven by simulated time, for tests and benchmarks.
//
// Each end is a working TRemote. Datagrams that an end transmits travel through the link, which
// drops, duplicates and delays them (a random delay per datagram reorders them) with a seeded
// generator, and arrive at the other end after restoring, as the engine would hand them over:
// acknowledgements to FinishChannelData, reliable frames to RecvChannelData. Time jumps from event
// to event (the next arrival or the next resend deadline), so nothing sleeps.
// Single-threaded; the link owns both ends.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <random>
#include <span>
#include <vector>

#include "udp_datagram.h"
#include "udp_remote.h"

namespace kiv::testing {

struct TLinkConditions {
  double loss = 0;       // chance that a datagram is dropped
  double duplicate = 0;  // chance that a datagram arrives twice
  std::int64_t delay_ms = 10;
  std::int64_t jitter_ms = 0;  // extra delay drawn from 0 .. jitter_ms; reorders datagrams
};

class TMemoryLink {
 public:
  using TDeliver = std::function<void(int end, std::uint8_t channel, std::span<const std::uint8_t> message)>;

  TMemoryLink(TLinkConditions conditions, std::uint64_t seed, TDeliver deliver)
      : conditions_(conditions), random_(seed), deliver_(std::move(deliver)) {
    for (int i = 0; i < 2; ++i) {
      ends_[i].link = this;
      ends_[i].index = i;
      ends_[i].remote = std::make_unique<TRemote>(i == 0 ? "10.0.0.2" : "10.0.0.1", 5000, 0, &scramble_);
      ends_[i].remote->State = kStateWorking;
      ends_[i].remote->LocalID = static_cast<std::uint16_t>(i + 1);
    }
    ends_[0].remote->RemoteID = 2;
    ends_[1].remote->RemoteID = 1;
  }

  TRemote& End(int i) { return *ends_[i].remote; }
  std::int64_t Now() const { return now_; }
  std::uint64_t Transmitted() const { return transmitted_; }
  // Drops the datagram transmitted as number `number` (0 = the first), whatever the conditions.
  void Drop(std::uint64_t number) { drop_.push_back(number); }

  // Queues a message at end `from` (the link sends it as time runs).
  bool Send(int from, std::span<const std::uint8_t> message, std::uint8_t channel,
            std::uint8_t type = kTypeData) {
    return ends_[from].remote->SendData(message, channel, type);
  }

  // Runs until nothing is queued or in flight, or until `limit` ms of simulated time have passed.
  // True when everything was delivered and acknowledged.
  bool RunUntilIdle(std::int64_t limit) {
    const std::int64_t end = now_ + limit;
    for (;;) {
      for (auto& e : ends_) e.remote->RunSendWindow(now_, e);
      std::int64_t next = kNoDeadline;
      for (auto& e : ends_) next = std::min(next, e.remote->NextDeadline());
      if (!in_flight_.empty()) next = std::min(next, in_flight_.top().arrival);
      if (next == kNoDeadline) return true;
      if (next > end) return false;
      now_ = std::max(now_, next);
      while (!in_flight_.empty() && in_flight_.top().arrival <= now_) {
        TFlight flight = in_flight_.top();
        in_flight_.pop();
        Arrive(flight);
      }
    }
  }

 private:
  struct TEnd final : TRemoteOutput {
    TMemoryLink* link = nullptr;
    int index = 0;
    std::unique_ptr<TRemote> remote;
    void Transmit(const TRemote&, std::span<const std::uint8_t> datagram) override {
      link->Carry(1 - index, datagram);
    }
    void Deliver(const TRemote&, std::uint8_t channel, std::span<const std::uint8_t> message) override {
      link->deliver_(index, channel, message);
    }
  };
  struct TFlight {
    std::int64_t arrival;
    std::uint64_t order;  // keeps equal arrival times in sending order
    int to;
    std::vector<std::uint8_t> bytes;
    bool operator>(const TFlight& other) const {
      return arrival != other.arrival ? arrival > other.arrival : order > other.order;
    }
  };
  // The link's own generator also scrambles, so a run is reproducible from its seed.
  struct TScramble final : TScrambleRandom {
    explicit TScramble(std::mt19937_64* e) : engine(e) {}
    std::mt19937_64* engine;
    std::uint32_t Uniform(std::uint32_t bound) override {
      return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(*engine);
    }
  };

  void Carry(int to, std::span<const std::uint8_t> datagram) {
    const std::uint64_t number = transmitted_++;
    std::uniform_real_distribution<double> chance(0, 1);
    if (chance(random_) < conditions_.loss) return;
    if (std::ranges::find(drop_, number) != drop_.end()) return;
    const int copies = chance(random_) < conditions_.duplicate ? 2 : 1;
    for (int i = 0; i < copies; ++i) {
      std::int64_t delay = conditions_.delay_ms;
      if (conditions_.jitter_ms > 0)
        delay += std::uniform_int_distribution<std::int64_t>(0, conditions_.jitter_ms)(random_);
      in_flight_.push({now_ + delay, order_++, to, {datagram.begin(), datagram.end()}});
    }
  }

  void Arrive(TFlight& flight) {
    TEnd& end = ends_[flight.to];
    if (!DataRestore(flight.bytes.data(), flight.bytes.size())) return;
    const auto header = DecodeHeader(flight.bytes);
    if (!header) return;
    if (header->type == kTypeAck) {
      end.remote->FinishChannelData(header->sequence, header->channel, now_);
    } else {
      end.remote->RecvChannelData(flight.bytes, end);
    }
  }

  TLinkConditions conditions_;
  std::mt19937_64 random_;
  TScramble scramble_{&random_};
  TDeliver deliver_;
  TEnd ends_[2];
  std::priority_queue<TFlight, std::vector<TFlight>, std::greater<>> in_flight_;
  std::int64_t now_ = 0;
  std::uint64_t order_ = 0;
  std::uint64_t transmitted_ = 0;
  std::vector<std::uint64_t> drop_;
};

}  // namespace kiv::testing
