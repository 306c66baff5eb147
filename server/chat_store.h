// The chat store: text messages (0x10001) kept for a target who was offline, exactly as they
// arrived, until the target's transport has acknowledged them. It lives in the same database as the
// accounts (migration 3 made its table) and opens its own connection to it; with several home
// nodes the database is PostgreSQL's, so a message kept by one node is handed out by whichever node
// the target signs in to. Every method may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/wire.h"

namespace kiv::server {

// How much may wait undelivered. A sender may not fill a target's box alone, and a target's box is
// bounded whoever writes to it.
struct TChatQuota {
  std::uint64_t per_sender_messages = 200;
  std::uint64_t per_sender_bytes = 8u << 20;
  std::uint64_t per_target_messages = 1000;
  std::uint64_t per_target_bytes = 32u << 20;
};

struct TWaitingChat {
  std::int64_t id = 0;
  std::uint32_t sender = 0;
  Bytes message;
};

class IChatStore {
 public:
  virtual ~IChatStore() = default;
  // Keeps `message` for `target`; false (nothing kept) when a quota of `quota` would be exceeded.
  virtual bool Keep(std::uint32_t target, std::uint32_t sender, const Bytes& message,
                    const TChatQuota& quota) = 0;
  // The oldest waiting messages of `target`, in the order they were kept: as many as fit into
  // `max_bytes`, but at least one when any waits.
  virtual std::vector<TWaitingChat> Waiting(std::uint32_t target, std::size_t max_bytes) = 0;
  virtual void Remove(const std::vector<std::int64_t>& ids) = 0;
  virtual std::uint64_t CountFor(std::uint32_t target) = 0;
};

// The chat store for the account store's location (a SQLite path, "sqlite:" path or a
// postgresql:// URL). Throws std::runtime_error when it cannot be opened.
std::unique_ptr<IChatStore> OpenChatStore(const std::string& location);

}  // namespace kiv::server
