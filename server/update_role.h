// The update role: answers the updater's request (0x60000) with the announcement of the update
// the catalogue has for it, or status 2, and then sends every file in pieces on one channel.
//
// Each transfer runs on its own thread, which reads one piece at a time from the stored file and
// sends it with the send threshold, waiting while the channel holds that much unacknowledged
// data: a whole file is never queued at once and memory does not grow with the update's size.
// A transfer ends when its connection ends, and ends its connection when the peer takes nothing
// for `stall_ms` (a peer that asks and never acknowledges would otherwise hold its slot for good).
//
// Slots are limited in all and per address. A request that finds them full is answered with
// status 2 and the busy text as description, so that it reads differently from "nothing to
// update" (status 2 with no description): the updater's answer has no other refusal.
//
// Threads: the handler runs on the endpoint's dispatch thread; transfers on their own threads;
// `mutex_` guards the transfer list.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "router.h"
#include "udp_clock.h"
#include "update_catalogue.h"

namespace kiv::server {

struct TUpdateLimits {
  // Transfers at one time, and from one address (a shared address: an office, a household).
  std::size_t max_transfers = 64;
  std::size_t max_per_address = 4;
  // A transfer whose channel takes nothing for this long ends with its connection.
  std::int64_t stall_ms = 30000;
  const TClock* clock = nullptr;  // null: the steady clock
};

class TUpdateRole : public TRole {
 public:
  // Unacknowledged bytes on the update channel beyond which a transfer waits.
  static constexpr std::uint32_t kSendThreshold = 128 * 1024;
  // The description of a refusal for want of a free slot.
  static constexpr const char* kBusyText = "更新服务器繁忙，请稍后再试。";

  TUpdateRole(TUpdateCatalogue& catalogue, TEndpoint& endpoint, TUpdateLimits limits = {});
  ~TUpdateRole() override;

  const char* Name() const override { return "update"; }
  void Attach(TMessageRouter& router) override;

  std::size_t ActiveTransfers() const;
  // Transfers ended because their peer took nothing for the stall time, and requests refused as
  // busy, since the start.
  std::uint64_t Stalled() const { return stalled_.load(); }
  std::uint64_t RefusedBusy() const { return refused_busy_.load(); }

 private:
  struct TTransfer {
    std::uint16_t handle = 0;
    std::string address;
    std::atomic<bool> done{false};
    std::jthread thread;
  };
  bool OnRequest(const TRequest& request);
  void Send(TTransfer& transfer, std::shared_ptr<const TPublishedUpdate> update, std::stop_token stop);
  void Reap();  // with mutex_ held
  std::int64_t Now() const { return limits_.clock->NowMs(); }

  TUpdateCatalogue& catalogue_;
  TEndpoint& endpoint_;
  TUpdateLimits limits_;
  std::atomic<std::uint64_t> stalled_{0}, refused_busy_{0};
  mutable std::mutex mutex_;
  std::list<TTransfer> transfers_;
};

}  // namespace kiv::server
