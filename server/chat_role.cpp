#include "chat_role.h"

#include <algorithm>
#include <chrono>

#include "declare/chat_wire.h"
#include "declare/friend_wire.h"
#include "declare/relay_limits.h"

namespace kiv::server {

namespace {

namespace cw = chat_wire;

// Where the role finds the target and the sender of each code it relays, and the channel it
// relays on; how large a message may be comes from the relay limits the clients read with.
struct TChatRule {
  std::uint32_t code;
  std::size_t target, sender;
  std::uint8_t channel;
  std::uint32_t threshold;
};

constexpr TChatRule kRules[] = {
    {cw::kChatMessage, cw::text::kTarget, cw::text::kSender, cw::kTextChannel, 0},
    {cw::kOperate, cw::operate::kTarget, cw::operate::kSender, cw::kOperateChannel, 0},
    {cw::kFileData, cw::file_data::kTarget, cw::file_data::kSender, cw::kFirstFileChannel, 0},
    {cw::kAudioData, cw::audio::kTarget, cw::audio::kSender, cw::kAudioChannel, cw::kMediaThreshold},
    {cw::kVideoData, cw::video::kTarget, cw::video::kSender, cw::kVideoChannel, cw::kMediaThreshold},
};

const TChatRule* RuleOf(std::uint32_t code) {
  for (const TChatRule& rule : kRules)
    if (rule.code == code) return &rule;
  return nullptr;
}

// How often the worker looks at the acknowledgements while something is in flight.
constexpr std::int64_t kPollMs = 5;

}  // namespace

TChatRole::TChatRole(TServerContext& ctx, TEndpoint& endpoint, IFriendStore& friends, IChatStore& chats,
                     TChatQuota quota)
    : ctx_(ctx), endpoint_(endpoint), friends_(friends), chats_(chats), quota_(quota) {
  worker_ = std::thread([this] { Run(); });
}

TChatRole::~TChatRole() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void TChatRole::Attach(TMessageRouter& router) {
  for (const TChatRule& rule : kRules)
    router.On(rule.code, relay_limits::RelayLimitOf(rule.code)->header,
              [this](const TRequest& r) { return OnChat(r); });
}

std::int64_t TChatRole::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

TChatCounters TChatRole::Counters() const {
  return {forwarded_.load(), kept_.load(), delivered_.load(), refused_.load(), dropped_.load()};
}

std::optional<std::uint32_t> TChatRole::SenderOf(const TRequest& r, std::uint32_t claimed, bool& home) {
  if (std::optional<TSession> s = ctx_.sessions.ForRequest(r)) {
    if (s->guest) return std::nullopt;  // guests keep no friends
    if (s->user != claimed) {
      ctx_.log.Event("refused a chat message for another sender by", s->user, s->peer);
      return std::nullopt;
    }
    home = true;
    return s->user;
  }
  // Temporary data: the peer must be where the claimed sender is signed in.
  const WireAddress source = endpoint_.Peer(r.handle);
  if (source.ip.empty()) return std::nullopt;
  if (std::optional<TSession> s = ctx_.sessions.ByUser(claimed))
    return !s->guest && s->peer == source ? std::optional(claimed) : std::nullopt;
  std::optional<TPresenceRow> row = friends_.Presence(claimed);
  if (row && row->node != ctx_.config.node && row->peer == source) {
    endpoint_.Adopt(r.handle);  // a client of another node relays through us
    return claimed;
  }
  return std::nullopt;
}

bool TChatRole::OnChat(const TRequest& r) {
  const TChatRule* rule = RuleOf(r.code);
  if (!rule) return false;
  const std::size_t size = r.body.size();
  if (!relay_limits::WithinRelayLimit(r.body.bytes(0, size))) {
    ++refused_;
    return true;
  }
  const std::uint32_t target = r.body.u32(rule->target);
  bool home = false;
  std::optional<std::uint32_t> sender = SenderOf(r, r.body.u32(rule->sender), home);
  if (!sender || *sender == target) {
    ++refused_;
    return true;
  }
  // Only to someone who keeps the sender as a friend and does not block it.
  std::optional<std::uint32_t> group = friends_.GroupOf(target, *sender);
  if (!group || *group == friend_wire::kBlockGroup) {
    ++refused_;
    return true;
  }
  const std::span<const std::uint8_t> body = r.body.bytes(0, size);
  std::optional<TSession> to = ctx_.sessions.ByUser(target);
  const WireAddress from = endpoint_.Peer(r.handle);
  // A text message on the home connection was meant for an offline friend: kept and handed out
  // with the acknowledgement, even when the friend has signed in here meanwhile.
  if (r.code == cw::kChatMessage && (home || !to)) {
    Keep(target, *sender, Bytes(body.begin(), body.end()), from);
    return true;
  }
  if (!to) {
    ++dropped_;
    return true;
  }
  std::uint8_t channel = rule->channel;
  std::uint8_t mode = 0;
  if (r.code == cw::kFileData)
    channel = static_cast<std::uint8_t>(cw::kFirstFileChannel + r.body.u32(cw::file_data::kId) % 10);
  if (r.code == cw::kVideoData) mode = r.body.u8(cw::video::kKeyFrame) == 1 ? 1 : 0;
  if (rule->threshold == 0 && endpoint_.Unacknowledged(to->handle, channel) + size > kForwardQueueBytes) {
    if (r.code == cw::kChatMessage) {
      Keep(target, *sender, Bytes(body.begin(), body.end()), from);
    } else {
      ++dropped_;
    }
    return true;
  }
  if (endpoint_.SendPaced(to->handle, body, channel, rule->threshold, mode)) {
    ++forwarded_;
  } else {
    ++dropped_;  // a voice or video channel over its threshold
  }
  return true;
}

void TChatRole::Keep(std::uint32_t target, std::uint32_t sender, const Bytes& message, const WireAddress& from) {
  std::optional<std::int64_t> id = chats_.Keep(target, sender, message, quota_);
  if (!id) {
    ++refused_;
    ctx_.log.Event("chat quota full, message not kept, from", sender, from);
    return;
  }
  ++kept_;
  if (ctx_.sessions.ByUser(target)) {
    // Only the worker hands kept messages out: it reads them back from the store, so a message is
    // sent once however its keeping here and a hand-out running meanwhile interleave.
    Wake(target);
  } else if (std::optional<TPresenceRow> row = friends_.Presence(target); row && row->node != ctx_.config.node) {
    ctx_.store.Publish({TNodeEvent::kChatWaiting, target, ctx_.config.node, 0});
  }
}

void TChatRole::Wake(std::uint32_t user) {
  std::optional<TSession> s = ctx_.sessions.ByUser(user);
  if (!s) return;
  {
    std::lock_guard lock(mutex_);
    auto it = boxes_.find(s->handle);
    if (it == boxes_.end() || it->second.user != user) return;
    it->second.more = true;
  }
  wake_.notify_all();
}

void TChatRole::SessionStarted(const TSession& session) {
  if (session.guest) return;
  {
    std::lock_guard lock(mutex_);
    TMailbox box;
    box.user = session.user;
    box.peer = session.peer;
    box.deadline = NowMs() + kListWaitMs;
    boxes_[session.handle] = std::move(box);
  }
  wake_.notify_all();
}

void TChatRole::SessionEnded(const TSession& session) {
  std::lock_guard lock(mutex_);
  auto it = boxes_.find(session.handle);
  if (it != boxes_.end() && it->second.user == session.user) boxes_.erase(it);
}

void TChatRole::FriendListSent(const TSession& session) {
  {
    std::lock_guard lock(mutex_);
    auto it = boxes_.find(session.handle);
    if (it == boxes_.end() || it->second.user != session.user || it->second.phase != TMailbox::kAwaitList)
      return;
    it->second.phase = TMailbox::kListSent;
    it->second.deadline = NowMs() + kListAckWaitMs;
  }
  wake_.notify_all();
}

void TChatRole::OnNodeEvent(const TNodeEvent& event) {
  if (event.kind == TNodeEvent::kBusRestored) {
    // Texts kept for this node's users while the node heard nothing: look for them all.
    for (const TSession& s : ctx_.sessions.All()) Wake(s.user);
    return;
  }
  if (event.kind != TNodeEvent::kChatWaiting || event.node == ctx_.config.node) return;
  Wake(event.user);
}

void TChatRole::Run() {
  struct TJob {
    std::uint16_t handle;
    std::uint32_t user;
    std::vector<std::int64_t> confirmed;  // empty: fetch and send
  };
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    std::vector<TJob> jobs;
    const std::int64_t now = NowMs();
    std::int64_t next = now + 60000;
    for (auto& [handle, box] : boxes_) {
      if (box.phase == TMailbox::kAwaitList && now >= box.deadline) box.phase = TMailbox::kReady;
      if (box.phase == TMailbox::kListSent &&
          (endpoint_.Unacknowledged(handle, 0) == 0 || now >= box.deadline))
        box.phase = TMailbox::kReady;
      if (box.phase == TMailbox::kReady && box.more) {
        box.phase = TMailbox::kSending;
        box.more = false;
        jobs.push_back({handle, box.user, {}});
      } else if (box.phase == TMailbox::kSending && !box.in_flight.empty() &&
                 endpoint_.Unacknowledged(handle, cw::kStoredTextChannel) == 0) {
        // Nothing left unacknowledged — unless the peer is gone, which reads as nothing as well.
        std::optional<TSession> s = ctx_.sessions.ByHandle(handle);
        if (s && s->user == box.user && endpoint_.Peer(handle) == box.peer) {
          jobs.push_back({handle, box.user, std::move(box.in_flight)});
          box.more = true;  // what was kept meanwhile
        }
        box.in_flight.clear();
        box.phase = TMailbox::kReady;
        if (box.more) next = now;
      }
      if (box.phase == TMailbox::kAwaitList) next = std::min(next, box.deadline);
      if (box.phase == TMailbox::kListSent || (box.phase == TMailbox::kSending && !box.in_flight.empty()))
        next = std::min(next, now + kPollMs);
    }
    if (jobs.empty()) {
      wake_.wait_for(lock, std::chrono::milliseconds(std::max<std::int64_t>(next - now, 0)));
      continue;
    }
    lock.unlock();
    for (TJob& job : jobs) {
      std::vector<TWaitingChat> batch;
      try {
        if (!job.confirmed.empty()) {
          chats_.Remove(job.confirmed);
          delivered_ += job.confirmed.size();
        } else {
          batch = chats_.Waiting(job.user, kBatchBytes);
        }
      } catch (const std::exception& e) {
        ctx_.log.Line(std::string("chat store: ") + e.what());
      }
      if (!job.confirmed.empty()) continue;
      std::lock_guard relock(mutex_);
      auto it = boxes_.find(job.handle);
      if (it == boxes_.end() || it->second.user != job.user || it->second.phase != TMailbox::kSending) continue;
      if (batch.empty()) {
        it->second.phase = TMailbox::kReady;
        continue;
      }
      for (const TWaitingChat& chat : batch) {
        endpoint_.SendPaced(job.handle, chat.message, cw::kStoredTextChannel, 0);
        it->second.in_flight.push_back(chat.id);
      }
    }
    lock.lock();
  }
}

}  // namespace kiv::server
