// The friends role of the home server: the friend list and groups, presence pushed at sign-in and
// sign-out, search with paging, the add-friend dialogue (with pending requests and a queue for
// users who are offline), profiles of other users, and forwarding of state, connect and invitation
// messages between friends signed in here.
//
// Every request is answered for the connection's signed-in user only; a body's own code is only
// checked against it. Forwarded messages carry the sender's address as this server sees it, never
// the one the body claims.
//
// Work per request is bounded: a friend list is one query (presence and blocks joined in) for at most
// kMaxFriends friends, a search looks at a bounded window of accounts, and what waits in the queue
// for an offline user has a quota and is handed out a page at a time.
//
// Threads: list requests and searches run on the work pool, the other handlers on the home
// endpoint's dispatch thread; SessionStarted/SessionEnded/SessionChanged on whichever thread the
// home role starts, ends or changes a session on (dispatch, work pool, admin or the store's
// listening thread). They share the session table and the store (both thread-safe) and the search
// cursors and running slots (guarded by `mutex_`). A connection has at most one list or search on
// the pool at a time; another that arrives meanwhile is dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>

#include "context.h"
#include "friend_store.h"
#include "router.h"

namespace kiv::server {

class TFriendsRole final : public TRole {
 public:
  // The most friends a user may have; a friend list holds at most this many.
  static constexpr std::size_t kMaxFriends = 500;
  // Queued friend messages are handed out at sign-in this many at a time.
  static constexpr std::size_t kQueuePage = 50;
  // A search looks at most kSearchWindows windows of kSearchWindow accounts per request.
  static constexpr std::size_t kSearchWindow = 2500, kSearchWindows = 4;

  // Forgets this node's presence rows (a start after a crash) and listens for friend messages that
  // other nodes send to users signed in here.
  TFriendsRole(TServerContext& ctx, TEndpoint& endpoint, IFriendStore& friends, TFriendQueueQuota quota = {});
  ~TFriendsRole() override;
  const char* Name() const override { return "friends"; }
  void Attach(TMessageRouter& router) override;

  // Pushes the online friends and the queued friend messages to a new session.
  void SessionStarted(const TSession& session);
  // Tells every online friend that the user went offline.
  void SessionEnded(const TSession& session);
  // The session's state or camera changed: searches and friends on other nodes see it.
  void SessionChanged(const TSession& session);
  // Called once the friend list answer of a session went out (on a thread of the work pool). Set
  // before the endpoint starts.
  void SetListListener(std::function<void(const TSession&)> listener) { list_sent_ = std::move(listener); }

 private:
  // A connection's one place on the work pool: not taken while a list or search of that
  // connection is still running (the new one is then dropped), so one connection cannot occupy the
  // pool. A handler releases it before its last answer goes out, so the client's next request,
  // sent on that answer, finds it free.
  class TSlot {
   public:
    TSlot(TFriendsRole& role, std::uint16_t handle);
    ~TSlot() { Release(); }
    TSlot(const TSlot&) = delete;
    TSlot& operator=(const TSlot&) = delete;
    bool taken() const { return token_ != 0; }
    void Release();

   private:
    TFriendsRole& role_;
    std::uint16_t handle_;
    std::uint64_t token_ = 0;
  };

  bool OnListRequest(const TRequest& r, TSlot& slot);
  bool OnGroupOperation(const TRequest& r);
  bool OnSearch(const TRequest& r, TSlot& slot);
  bool OnAddFriend(const TRequest& r);
  bool OnForward(const TRequest& r, std::size_t sender_offset);
  bool OnProfileRequest(const TRequest& r);

  std::optional<TSession> Authority(const TRequest& r, std::size_t own_code_offset);
  // The same, or for a message between friends sent to this server by a client of another node
  // (connectionless): its source must be the address of the sender's session on that node.
  std::optional<TSession> FriendAuthority(const TRequest& r, std::size_t sender_offset);
  // Sends to the user's session on this node or on another, or, with `queue_from`, keeps it from
  // that sender for the next sign-in. False when the queue had no room for it.
  bool Deliver(std::uint32_t user, const Bytes& message, std::optional<std::uint32_t> queue_from);
  // Sends to the session's connection unless the session ended or changed hands meanwhile (a slow
  // handler runs beside the dispatch thread).
  void SendToSession(const TSession& session, std::span<const std::uint8_t> message);
  // Where a friend of a list can be reached; nothing when offline or its presence row is a
  // leftover of this node.
  std::optional<TPresenceRow> Reachable(const TFriendEntry& entry);
  // Where a signed-in user is, on this node or another; nothing when offline.
  std::optional<TPresenceRow> Where(std::uint32_t user);
  // The same, unless the user blocks `viewer` (then it appears offline).
  std::optional<TPresenceRow> VisibleTo(std::uint32_t user, std::uint32_t viewer);
  TPresenceRow RowOf(const TSession& session) const;
  Bytes AddFriendAnswer(std::uint32_t to, std::uint8_t kind, std::uint32_t about);

  TServerContext& ctx_;
  TEndpoint& endpoint_;
  IFriendStore& friends_;
  const TFriendQueueQuota quota_;
  std::function<void(const TSession&)> list_sent_;

  struct SearchCursor {
    Bytes criteria;  // the request's criteria bytes
    std::uint32_t after = 0;
  };

  std::mutex mutex_;
  std::unordered_map<std::uint16_t, SearchCursor> cursors_;
  // Connections with a list or search on the pool, each with the token of the one running.
  std::unordered_map<std::uint16_t, std::uint64_t> running_;
  std::uint64_t next_token_ = 0;
};

}  // namespace kiv::server
