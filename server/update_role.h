// The update role: answers the updater's request (0x60000) with the announcement of the update
// the catalogue has for it, or status 2, and then sends every file in pieces on one channel.
//
// Each transfer runs on its own thread, which reads one piece at a time from the stored file and
// sends it with the send threshold, waiting while the channel holds that much unacknowledged
// data: a whole file is never queued at once and memory does not grow with the update's size.
// A transfer ends when its connection ends.
//
// Threads: the handler runs on the endpoint's dispatch thread; transfers on their own threads;
// `mutex_` guards the transfer list.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "router.h"
#include "update_catalogue.h"

namespace kiv::server {

class TUpdateRole : public TRole {
 public:
  // Unacknowledged bytes on the update channel beyond which a transfer waits.
  static constexpr std::uint32_t kSendThreshold = 128 * 1024;
  // Transfers at one time; further requests get status 2.
  static constexpr std::size_t kMaxTransfers = 64;

  TUpdateRole(TUpdateCatalogue& catalogue, TEndpoint& endpoint);
  ~TUpdateRole() override;

  const char* Name() const override { return "update"; }
  void Attach(TMessageRouter& router) override;

  std::size_t ActiveTransfers() const;

 private:
  struct TTransfer {
    std::uint16_t handle = 0;
    std::atomic<bool> done{false};
    std::jthread thread;
  };
  bool OnRequest(const TRequest& request);
  void Send(TTransfer& transfer, std::shared_ptr<const TPublishedUpdate> update, std::stop_token stop);
  void Reap();  // with mutex_ held

  TUpdateCatalogue& catalogue_;
  TEndpoint& endpoint_;
  mutable std::mutex mutex_;
  std::list<TTransfer> transfers_;
};

}  // namespace kiv::server
