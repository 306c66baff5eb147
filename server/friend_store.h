// The friends store: friendships (one row per direction), the users' own groups (ids 4..255),
// pending friend requests and the queue of friend messages kept for users who are offline. It lives
// in the same database as the accounts (the tables come from the shared migrations) and opens its
// own connection to it. Every method may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/wire.h"

namespace kiv::server {

struct TFriendRow {
  std::uint32_t code = 0;
  std::uint32_t group = 1;
};

struct TFriendGroupRow {
  std::uint32_t id = 0;
  std::string name;  // UTF-8
};

// What a search asks for; empty fields match everything.
struct TUserQuery {
  std::uint32_t code = 0;
  std::string nickname, city;  // UTF-8; nickname matches a part of the name
  std::uint8_t sex = 0;        // 0 any, 1 male, 2 female
  bool online_only = false;    // only users signed in with state 1
  bool camera_only = false;    // only those of them with a camera
};

// Where a signed-in user can be reached: the home node holding the session and what friends need.
struct TPresenceRow {
  std::uint32_t code = 0;
  std::string node;
  WireAddress peer, server;
  std::uint8_t state = 1, camera = 0, user_type = 0;
};

// One entry of a friend list with what the list and the presence messages show of it.
struct TFriendEntry {
  std::uint32_t code = 0;
  std::uint32_t group = 1;
  bool account = false;  // false: the friend's account is gone
  std::string nickname;
  std::uint8_t face = 0, user_type = 0;
  bool blocks_owner = false;             // the friend keeps the owner in its block group
  std::optional<TPresenceRow> presence;  // where the friend is signed in, if anywhere
};

// One search hit; `presence` only while the user is signed in with state 1.
struct TSearchHit {
  std::uint32_t code = 0;
  std::string nickname, province, city;
  std::uint8_t sex = 0, age = 0, face = 0, verify_mode = 0;
  std::optional<TPresenceRow> presence;
};

struct TSearchPage {
  std::vector<TSearchHit> hits;
  std::uint32_t next = 0;  // where the next page starts (after this code)
  bool done = false;       // nothing is left after `next`
};

// How many friend messages may wait in the queue: for one target from all senders, and from one
// sender to all targets. Each (sender, target) pair holds at most one.
struct TFriendQueueQuota {
  std::uint64_t per_target = 500;
  std::uint64_t per_sender = 200;
};

class IFriendStore {
 public:
  virtual ~IFriendStore() = default;

  virtual std::vector<TFriendRow> Friends(std::uint32_t owner) = 0;
  virtual std::optional<std::uint32_t> GroupOf(std::uint32_t owner, std::uint32_t friend_code) = 0;
  // Both directions in group 1, in one transaction; false when they were friends already.
  virtual bool MakeFriends(std::uint32_t a, std::uint32_t b) = 0;
  // Both directions; false when there was no friendship.
  virtual bool Unfriend(std::uint32_t a, std::uint32_t b) = 0;
  virtual bool MoveFriend(std::uint32_t owner, std::uint32_t friend_code, std::uint32_t group) = 0;

  virtual std::vector<TFriendGroupRow> Groups(std::uint32_t owner) = 0;
  // Creates or renames.
  virtual bool SaveGroup(std::uint32_t owner, std::uint32_t id, const std::string& name) = 0;
  // Only an empty group; false otherwise.
  virtual bool DeleteGroup(std::uint32_t owner, std::uint32_t id) = 0;

  // One request per pair: false when the sender had one pending for the target already.
  virtual bool AddRequest(std::uint32_t sender, std::uint32_t target) = 0;
  virtual bool HasRequest(std::uint32_t sender, std::uint32_t target) = 0;
  virtual void ClearRequest(std::uint32_t sender, std::uint32_t target) = 0;

  // Up to `limit` friends of `owner` in code order, each with its account, whether it blocks the
  // owner and its presence, in one query.
  virtual std::vector<TFriendEntry> FriendList(std::uint32_t owner, std::size_t limit) = 0;
  virtual std::size_t FriendCount(std::uint32_t owner) = 0;

  // Friend messages for a user who is offline, delivered in order at the next sign-in. A message
  // replaces the one the same sender has waiting for the target (the newer word on the pair
  // stands). False, and nothing kept, when a quota of `quota` would be exceeded.
  virtual bool Queue(std::uint32_t target, std::uint32_t sender, const Bytes& message,
                     const TFriendQueueQuota& quota) = 0;
  // Takes the oldest `limit` waiting messages of `target` out of the queue, in the order kept.
  virtual std::vector<Bytes> TakeQueued(std::uint32_t target, std::size_t limit) = 0;
  virtual std::uint64_t QueuedFor(std::uint32_t target) = 0;

  // Presence across home nodes. SetAbsent removes the row only when `node` still holds it.
  virtual void SetPresent(const TPresenceRow& row) = 0;
  virtual void SetAbsent(std::uint32_t code, const std::string& node) = 0;
  virtual std::optional<TPresenceRow> Presence(std::uint32_t code) = 0;
  virtual void ClearNode(const std::string& node) = 0;

  // A friend message for a user signed in on another node; that node's handler delivers it. With
  // one process (SQLite) there is no other node and nothing is sent. Listen installs the one
  // handler (nullptr removes it); it runs on a thread of the store.
  virtual void SendToNode(const std::string& node, std::uint32_t user, const Bytes& message) = 0;
  virtual void Listen(const std::string& node,
                      std::function<void(std::uint32_t user, const Bytes&)> handler) = 0;

  // Accounts matching `query` above `after`, in code order: at most `limit` hits among the next
  // `window` accounts (with online_only: the next `window` signed-in users), so a rare match costs
  // no more than a common one. Presence is joined in, not looked up per hit.
  virtual TSearchPage Search(const TUserQuery& query, std::uint32_t after, std::size_t limit,
                             std::size_t window) = 0;
  // Users signed in with state 1, on every node.
  virtual std::uint64_t OnlineCount() = 0;
};

// The friends store for the account store's location (a SQLite path or "sqlite:" path). Throws
// std::runtime_error when it cannot be opened.
std::unique_ptr<IFriendStore> OpenFriendStore(const std::string& location);

}  // namespace kiv::server
