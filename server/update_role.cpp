#include "update_role.h"

#include <chrono>
#include <fstream>

namespace kiv::server {

TUpdateRole::TUpdateRole(TUpdateCatalogue& catalogue, TEndpoint& endpoint, TUpdateLimits limits)
    : catalogue_(catalogue), endpoint_(endpoint), limits_(limits) {
  if (!limits_.clock) limits_.clock = &TSteadyClock::Instance();
}

TUpdateRole::~TUpdateRole() {
  std::list<TTransfer> ending;
  {
    std::lock_guard lock(mutex_);
    ending.swap(transfers_);
  }
  ending.clear();  // each jthread is asked to stop and joined
}

void TUpdateRole::Attach(TMessageRouter& router) {
  router.On(update::kCodeUpdate, update::kRequestSize, [this](const TRequest& r) { return OnRequest(r); });
  router.OnDisconnect([this](TEndpoint&, std::uint16_t handle) {
    std::lock_guard lock(mutex_);
    for (TTransfer& t : transfers_)
      if (t.handle == handle) t.thread.request_stop();
  });
  router.AdoptWhenTaken();
}

std::size_t TUpdateRole::ActiveTransfers() const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const TTransfer& t : transfers_) n += t.done ? 0 : 1;
  return n;
}

void TUpdateRole::Reap() {
  transfers_.remove_if([](const TTransfer& t) { return t.done.load(); });
}

bool TUpdateRole::OnRequest(const TRequest& request) {
  std::optional<std::string> requested =
      update::ParseRequest(std::span(request.body.bytes(0, request.body.size())));
  if (!requested) return false;
  std::shared_ptr<const TPublishedUpdate> found = catalogue_.Find(*requested);
  const std::string address = endpoint_.Peer(request.handle).ip;
  if (address.empty()) return true;  // gone already
  std::lock_guard lock(mutex_);
  Reap();
  std::size_t from_address = 0;
  for (const TTransfer& t : transfers_) {
    if (t.handle == request.handle) return true;  // one update per connection at a time
    from_address += t.address == address ? 1 : 0;
  }
  if (!found) {
    update::TAnnouncement none;
    none.status = update::kStatusNothing;
    endpoint_.Send(request.handle, update::BuildAnnouncement(none));
    return true;
  }
  if (transfers_.size() >= limits_.max_transfers || from_address >= limits_.max_per_address) {
    update::TAnnouncement busy;
    busy.status = update::kStatusNothing;
    busy.description = kBusyText;
    endpoint_.Send(request.handle, update::BuildAnnouncement(busy));
    ++refused_busy_;
    return true;
  }
  TTransfer& t = transfers_.emplace_back();
  t.handle = request.handle;
  t.address = address;
  t.thread = std::jthread([this, &t, found](std::stop_token stop) { Send(t, found, stop); });
  return true;
}

void TUpdateRole::Send(TTransfer& transfer, std::shared_ptr<const TPublishedUpdate> update,
                       std::stop_token stop) {
  const std::uint16_t handle = transfer.handle;
  std::int64_t last_progress = Now();
  auto paced = [&](const Bytes& message) {
    // A refused send means the channel is full: wait for acknowledgements, or for the end.
    while (!stop.stop_requested()) {
      if (endpoint_.SendPaced(handle, message, 0, kSendThreshold)) {
        last_progress = Now();
        return true;
      }
      if (endpoint_.Peer(handle).ip.empty()) return false;
      if (Now() - last_progress >= limits_.stall_ms) {
        // Its queued disconnect request would wait behind the data it does not take.
        ++stalled_;
        endpoint_.End(handle, "it took no update data for the stall time");
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  };
  update::TAnnouncement a;
  a.file_count = static_cast<std::uint32_t>(update->files.size());
  a.description = update->description;
  bool ok = paced(update::BuildAnnouncement(a));
  Bytes piece_buffer(update::kPieceBytes), message;
  for (const TPublishedFile& f : update->files) {
    if (!ok) break;
    std::ifstream in(f.stored, std::ios::binary);
    std::uint64_t left = f.sent_size;
    do {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece_buffer.size()));
      if (!in.read(reinterpret_cast<char*>(piece_buffer.data()), static_cast<std::streamsize>(n))) {
        ok = false;  // the stored file changed under us: end the connection rather than send garbage
        endpoint_.Disconnect(handle);
        break;
      }
      left -= n;
      update::TPiece piece{left == 0, f.name, f.sent_size, std::span(piece_buffer.data(), n)};
      ok = update::BuildPiece(piece, message) && paced(message);
    } while (ok && left > 0);
  }
  transfer.done = true;
}

}  // namespace kiv::server
