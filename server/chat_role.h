// The chat role of the home server.
//
// Text messages (0x10001) that a client sends on its home connection, for a friend it sees
// offline, are checked and kept unchanged in the chat store (with quotas). Once the target signs in
// again (on this node or, with PostgreSQL, on any other) and its friend list is there — the answer
// to its list request was acknowledged, or kListWaitMs passed without a request, the client having
// the list from its cache — they go out on the home connection's kStoredTextChannel, a batch at a
// time, and are deleted only when the transport has acknowledged the batch. A session that ends
// first leaves them kept for the next sign-in.
//
// The five chat codes arriving as temporary data (a friend's client without a direct connection,
// relaying through the server the target is signed in to) are forwarded to the target's session on
// the code's channel with its threshold, only when the temporary peer's address is the sender's
// signed-in session here or on another node. File data of one operation stays on one channel, so
// its blocks keep their order; what waits for a target on a channel is bounded. A target not
// signed in here: a text message is kept, the others are dropped.
//
// Every message is checked first: lengths against the relay limits the clients read with (the
// fixed header, the size fields and the largest block or frame a client takes), the
// sender against the connection (never the body alone), and the friendship: the sender must be on
// the target's list and not in its block group.
//
// Threads: the handlers run on the home endpoint's dispatch thread; the session hooks on whichever
// thread starts or ends a session; OnNodeEvent on the store's listening thread; the delivery of
// kept messages on the role's own worker thread, which sleeps until a deadline or a wake-up. The
// mailboxes are guarded by `mutex_`; the stores and the session table are thread-safe.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "chat_store.h"
#include "context.h"
#include "friend_store.h"
#include "router.h"

namespace kiv::server {

struct TChatCounters {
  std::uint64_t forwarded = 0;  // temporary data handed to the target's session
  std::uint64_t kept = 0;       // text messages put into the store
  std::uint64_t delivered = 0;  // kept messages acknowledged by their target and deleted
  std::uint64_t refused = 0;    // bad length, spoofed sender, not friends, quota full
  std::uint64_t dropped = 0;    // no target session here, or its queue is full
};

class TChatRole final : public TRole {
 public:
  // Kept messages go out this long after sign-in when the client asks for no friend list.
  static constexpr std::int64_t kListWaitMs = 2000;
  // After the list answer went out: how long to wait for its acknowledgement at most.
  static constexpr std::int64_t kListAckWaitMs = 3000;
  // Kept messages handed out at once (at least one).
  static constexpr std::size_t kBatchBytes = 1u << 20;
  // What may wait unacknowledged for a target on a channel without a threshold before forwarded
  // messages are dropped (text messages are kept instead).
  static constexpr std::uint64_t kForwardQueueBytes = 2u << 20;

  TChatRole(TServerContext& ctx, TEndpoint& endpoint, IFriendStore& friends, IChatStore& chats,
            TChatQuota quota = {});
  ~TChatRole() override;
  TChatRole(const TChatRole&) = delete;
  TChatRole& operator=(const TChatRole&) = delete;

  const char* Name() const override { return "chat"; }
  void Attach(TMessageRouter& router) override;

  void SessionStarted(const TSession& session);
  void SessionEnded(const TSession& session);
  // The friends role answered the session's friend list request.
  void FriendListSent(const TSession& session);
  // kChatWaiting from another node: a message was kept for a user signed in here.
  void OnNodeEvent(const TNodeEvent& event);

  TChatCounters Counters() const;

 private:
  struct TMailbox {
    enum TPhase : std::uint8_t { kAwaitList, kListSent, kReady, kSending };
    std::uint32_t user = 0;
    WireAddress peer;
    TPhase phase = kAwaitList;
    std::int64_t deadline = 0;  // kAwaitList, kListSent: when to stop waiting
    bool more = true;           // the store may hold messages not handed out yet
    std::vector<std::int64_t> in_flight;
  };

  bool OnChat(const TRequest& r);
  // Who sent `r`: the connection's signed-in user (`home` set), or for temporary data the user whose
  // session has the peer's address. Nothing when `claimed`, the body's sender, is not that user.
  std::optional<std::uint32_t> SenderOf(const TRequest& r, std::uint32_t claimed, bool& home);
  void Keep(std::uint32_t target, std::uint32_t sender, const Bytes& message, const WireAddress& from);
  // Tells the worker that the user's session has kept messages to hand out.
  void Wake(std::uint32_t user);
  void Run();
  static std::int64_t NowMs();

  TServerContext& ctx_;
  TEndpoint& endpoint_;
  IFriendStore& friends_;
  IChatStore& chats_;
  const TChatQuota quota_;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::unordered_map<std::uint16_t, TMailbox> boxes_;  // by home connection
  std::thread worker_;

  std::atomic<std::uint64_t> forwarded_{0}, kept_{0}, delivered_{0}, refused_{0}, dropped_{0};
};

}  // namespace kiv::server
