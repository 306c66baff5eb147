#include "sessions.h"

#include "router.h"

namespace kiv::server {

std::vector<TSession> TSessionTable::Add(const TSession& session) {
  std::lock_guard lock(mutex_);
  std::vector<TSession> replaced;
  if (auto it = by_user_.find(session.user); it != by_user_.end() && it->second != session.handle) {
    auto old = by_handle_.find(it->second);
    if (old != by_handle_.end()) {
      replaced.push_back(old->second);
      by_handle_.erase(old);
    }
  }
  if (auto it = by_handle_.find(session.handle); it != by_handle_.end()) {
    if (it->second.user != session.user) {
      replaced.push_back(it->second);
      by_user_.erase(it->second.user);
    }
  }
  by_handle_[session.handle] = session;
  by_user_[session.user] = session.handle;
  return replaced;
}

std::optional<TSession> TSessionTable::Remove(std::uint16_t handle) {
  std::lock_guard lock(mutex_);
  auto it = by_handle_.find(handle);
  if (it == by_handle_.end()) return std::nullopt;
  TSession s = it->second;
  by_handle_.erase(it);
  if (auto u = by_user_.find(s.user); u != by_user_.end() && u->second == handle) by_user_.erase(u);
  return s;
}

std::optional<TSession> TSessionTable::ByHandle(std::uint16_t handle) const {
  std::lock_guard lock(mutex_);
  auto it = by_handle_.find(handle);
  if (it == by_handle_.end()) return std::nullopt;
  return it->second;
}

std::optional<TSession> TSessionTable::ForRequest(const TRequest& r) const {
  std::optional<TSession> s = ByHandle(r.handle);
  if (!s || r.endpoint.Peer(r.handle) != s->peer) return std::nullopt;
  return s;
}

std::optional<TSession> TSessionTable::ByUser(std::uint32_t user) const {
  std::lock_guard lock(mutex_);
  auto it = by_user_.find(user);
  if (it == by_user_.end()) return std::nullopt;
  auto s = by_handle_.find(it->second);
  if (s == by_handle_.end()) return std::nullopt;
  return s->second;
}

bool TSessionTable::SetState(std::uint16_t handle, std::uint8_t state, std::uint8_t camera) {
  std::lock_guard lock(mutex_);
  auto it = by_handle_.find(handle);
  if (it == by_handle_.end()) return false;
  it->second.state = state;
  it->second.camera = camera;
  return true;
}

std::vector<TSession> TSessionTable::All() const {
  std::lock_guard lock(mutex_);
  std::vector<TSession> all;
  all.reserve(by_handle_.size());
  for (const auto& [h, s] : by_handle_) all.push_back(s);
  return all;
}

std::size_t TSessionTable::Count() const {
  std::lock_guard lock(mutex_);
  return by_handle_.size();
}

}  // namespace kiv::server
