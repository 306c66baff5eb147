// The home role: signs users in on this node and serves their session — the parameter block, the
// own state, the own profile and its changes, and money transfers. Other nodes hear about sign-ins
// and balance changes through the store's node events (PostgreSQL) so that a user is signed in on
// one node only and a recipient signed in elsewhere still learns the new balance.
//
// Threads: the handlers run on the home endpoint's dispatch thread; the admin operations (Kick,
// Broadcast, …) on the admin thread; OnNodeEvent on the store's listening thread. They share only
// the session table and the store, both thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/money.h"
#include "context.h"
#include "router.h"

namespace kiv::server {

// Told when a session starts (after its result-4 reply went out) and when it ends (sign-out, kick,
// age-out, a sign-in elsewhere). Set before the endpoint starts; runs on the thread that ended it.
struct TSessionListener {
  std::function<void(const TSession&)> started, ended;
  std::function<void(const TSession&)> changed;  // its state or camera, on the dispatch thread
};

class THomeRole final : public TRole {
 public:
  THomeRole(TServerContext& ctx, TEndpoint& endpoint);
  const char* Name() const override { return "home"; }
  void Attach(TMessageRouter& router) override;

  // Admin operations; each returns false when nothing was sent.
  bool Kick(std::uint32_t user, std::uint8_t kind);
  std::size_t Broadcast(std::uint8_t kind, const std::string& text);
  bool LevelUp(std::uint32_t user);
  bool SetBalance(std::uint32_t user, std::int64_t money);
  // Tells `user` (on this node or another) the balance a credit left.
  void BalanceChanged(std::uint32_t user, std::int64_t money) { SendBalance(user, money, true); }
  std::vector<TSession> Online() const { return ctx_.sessions.All(); }

  void OnNodeEvent(const TNodeEvent& event);
  void SetSessionListener(TSessionListener listener) { listener_ = std::move(listener); }

 private:
  bool OnLogin(const TRequest& r);
  bool OnUserState(const TRequest& r);
  bool OnProfileRequest(const TRequest& r);
  bool OnProfileChange(const TRequest& r);
  bool OnTransfer(const TRequest& r);
  void OnDisconnect(std::uint16_t handle);
  void Reannounce();

  // The session of the connection, when its user is `claimed` (the body's own code).
  std::optional<TSession> Authority(const TRequest& r, std::uint32_t claimed);
  void SendKick(const TSession& session, std::uint8_t kind);
  void SendBalance(std::uint32_t user, std::int64_t money, bool tell_other_nodes);
  Bytes Profile(const TSession& session, const TAccount& account) const;

  void Ended(const TSession& session) const {
    if (listener_.ended) listener_.ended(session);
  }

  TServerContext& ctx_;
  TEndpoint& endpoint_;
  TSessionListener listener_;
  std::mutex setup_mutex_;  // a sign-in's session set-up against the disconnect hook
};

}  // namespace kiv::server
