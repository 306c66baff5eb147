// Who is signed in on this home node: one session per connection of the home endpoint. A session
// is the authority over who sent a request; a body's own user code is only checked against it.
// Thread-safe: the home endpoint's dispatch thread, the admin thread and the node-event thread all
// use it.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "base/wire.h"

namespace kiv::server {

struct TRequest;

struct TSession {
  std::uint16_t handle = 0;
  std::uint32_t user = 0;
  std::uint8_t state = 1;  // 1 online, 2 invisible
  std::uint8_t camera = 0;
  std::uint8_t user_type = 0;
  bool guest = false;
  WireAddress peer;
};

class TSessionTable {
 public:
  // Adds `session`; returns the session it replaces (the same user signed in on another
  // connection, or another user on this connection).
  std::vector<TSession> Add(const TSession& session);
  std::optional<TSession> Remove(std::uint16_t handle);
  std::optional<TSession> ByHandle(std::uint16_t handle) const;
  // The session a request acts for: the one of its connection, provided the connection still has
  // the address the session signed in from. A connection whose handle was given out again, or a
  // session that outlived its connection, serves no request.
  std::optional<TSession> ForRequest(const TRequest& r) const;
  std::optional<TSession> ByUser(std::uint32_t user) const;
  bool SetState(std::uint16_t handle, std::uint8_t state, std::uint8_t camera);
  std::vector<TSession> All() const;
  std::size_t Count() const;

 private:
  mutable std::mutex mutex_;
  std::unordered_map<std::uint16_t, TSession> by_handle_;
  std::unordered_map<std::uint32_t, std::uint16_t> by_user_;
};

}  // namespace kiv::server
