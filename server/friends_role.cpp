#include "friends_role.h"

#include <algorithm>

#include "declare/friend_wire.h"
#include "declare/relay_limits.h"

namespace kiv::server {

namespace fw = friend_wire;

namespace {

bool IsUserGroup(std::uint32_t id) { return id >= fw::kFirstUserGroup && id <= 255; }

}  // namespace

TFriendsRole::TFriendsRole(TServerContext& ctx, TEndpoint& endpoint, IFriendStore& friends,
                           TFriendQueueQuota quota)
    : ctx_(ctx), endpoint_(endpoint), friends_(friends), quota_(quota) {
  friends_.ClearNode(ctx_.config.node);
  friends_.Listen(ctx_.config.node, [this](std::uint32_t user, const Bytes& message) {
    if (std::optional<TSession> s = ctx_.sessions.ByUser(user)) endpoint_.Send(s->handle, message);
  });
}

TFriendsRole::~TFriendsRole() { friends_.Listen(ctx_.config.node, nullptr); }

void TFriendsRole::Attach(TMessageRouter& router) {
  // The two that read the most run on the work pool, one at a time per connection.
  auto one_at_a_time = [this](bool (TFriendsRole::*handler)(const TRequest&, TSlot&)) {
    return [this, handler](const TRequest& r) {
      TSlot slot(*this, r.handle);
      return !slot.taken() || (this->*handler)(r, slot);
    };
  };
  router.On(fw::kListRequest, fw::list_request::kSize, one_at_a_time(&TFriendsRole::OnListRequest), true);
  router.On(fw::kGroupOperation, fw::group_op::kSize,
            [this](const TRequest& r) { return OnGroupOperation(r); });
  router.On(fw::kSearch, fw::search::kSize, one_at_a_time(&TFriendsRole::OnSearch), true);
  router.On(fw::kAddFriend, fw::add::kSize, [this](const TRequest& r) { return OnAddFriend(r); });
  // The home role takes the own state (target 0); a state to a friend comes here.
  router.On(fw::kUserState, fw::state::kSize,
            [this](const TRequest& r) { return OnForward(r, fw::state::kSender); });
  router.On(fw::kConnect, fw::connect::kSize,
            [this](const TRequest& r) { return OnForward(r, fw::connect::kSender); });
  router.On(fw::kInvite, fw::invite::kSize,
            [this](const TRequest& r) { return OnForward(r, fw::invite::kSender); });
  router.On(fw::kProfileRequest, fw::profile_request::kSize,
            [this](const TRequest& r) { return OnProfileRequest(r); });
  router.OnDisconnect([this](TEndpoint&, std::uint16_t handle) {
    std::lock_guard lock(mutex_);
    cursors_.erase(handle);
  });
}

TFriendsRole::TSlot::TSlot(TFriendsRole& role, std::uint16_t handle) : role_(role), handle_(handle) {
  std::lock_guard lock(role_.mutex_);
  const std::uint64_t token = ++role_.next_token_;
  if (role_.running_.emplace(handle, token).second) token_ = token;
}

void TFriendsRole::TSlot::Release() {
  if (!token_) return;
  std::lock_guard lock(role_.mutex_);
  auto it = role_.running_.find(handle_);
  if (it != role_.running_.end() && it->second == token_) role_.running_.erase(it);
  token_ = 0;
}

std::optional<TSession> TFriendsRole::Authority(const TRequest& r, std::size_t own_code_offset) {
  std::optional<TSession> s = ctx_.sessions.ForRequest(r);
  if (!s) return std::nullopt;
  if (s->guest) return std::nullopt;  // guests keep no friends
  if (s->user != r.body.u32(own_code_offset)) {
    ctx_.log.Event("refused a friend message for another user code by", s->user, s->peer);
    return std::nullopt;
  }
  return s;
}

TPresenceRow TFriendsRole::RowOf(const TSession& session) const {
  TPresenceRow row;
  row.code = session.user;
  row.node = ctx_.config.node;
  row.peer = session.peer;
  row.server = ctx_.HomeAnnounced();
  row.state = session.state;
  row.camera = session.camera;
  row.user_type = session.user_type;
  return row;
}

std::optional<TSession> TFriendsRole::FriendAuthority(const TRequest& r, std::size_t sender_offset) {
  if (ctx_.sessions.ByHandle(r.handle)) return Authority(r, sender_offset);
  const std::uint32_t sender = r.body.u32(sender_offset);
  std::optional<TPresenceRow> row = friends_.Presence(sender);
  WireAddress source = endpoint_.Peer(r.handle);
  if (!row || row->node == ctx_.config.node || source.ip.empty() || !(row->peer == source))
    return std::nullopt;
  endpoint_.Adopt(r.handle);  // a client of another node relays through us
  TSession elsewhere;
  elsewhere.user = sender;
  elsewhere.peer = row->peer;
  elsewhere.state = row->state;
  elsewhere.user_type = row->user_type;
  return elsewhere;
}

std::optional<TPresenceRow> TFriendsRole::Where(std::uint32_t user) {
  if (std::optional<TSession> s = ctx_.sessions.ByUser(user)) return RowOf(*s);
  std::optional<TPresenceRow> row = friends_.Presence(user);
  if (row && row->node == ctx_.config.node) return std::nullopt;  // left over: no session here
  return row;
}

std::optional<TPresenceRow> TFriendsRole::VisibleTo(std::uint32_t user, std::uint32_t viewer) {
  std::optional<TPresenceRow> row = Where(user);
  if (!row || friends_.GroupOf(user, viewer) == fw::kBlockGroup) return std::nullopt;
  return row;
}

bool TFriendsRole::Deliver(std::uint32_t user, const Bytes& message,
                           std::optional<std::uint32_t> queue_from) {
  if (std::optional<TSession> s = ctx_.sessions.ByUser(user)) {
    endpoint_.Send(s->handle, message);
  } else if (std::optional<TPresenceRow> row = Where(user)) {
    friends_.SendToNode(row->node, user, message);
  } else if (queue_from && !friends_.Queue(user, *queue_from, message, quota_)) {
    ctx_.log.Line("friend queue full, message from " + std::to_string(*queue_from) + " to " +
                  std::to_string(user) + " not kept");
    return false;
  }
  return true;
}

void TFriendsRole::SendToSession(const TSession& session, std::span<const std::uint8_t> message) {
  std::optional<TSession> now = ctx_.sessions.ByHandle(session.handle);
  if (now && now->user == session.user && now->peer == session.peer) endpoint_.Send(session.handle, message);
}

std::optional<TPresenceRow> TFriendsRole::Reachable(const TFriendEntry& entry) {
  // As Where: a session here is the freshest word; this node's rows are only as good as its sessions.
  if (std::optional<TSession> s = ctx_.sessions.ByUser(entry.code)) return RowOf(*s);
  if (!entry.presence || entry.presence->node == ctx_.config.node) return std::nullopt;
  return entry.presence;
}

void TFriendsRole::SessionStarted(const TSession& session) {
  if (session.guest) return;
  friends_.SetPresent(RowOf(session));
  std::vector<TPresenceRow> online;
  for (const TFriendEntry& f : friends_.FriendList(session.user, kMaxFriends)) {
    if (f.group == fw::kBlockGroup || f.blocks_owner) continue;
    if (std::optional<TPresenceRow> row = Reachable(f)) online.push_back(std::move(*row));
  }
  namespace o = fw::online;
  RecordWriter w(o::kHeaderSize + online.size() * o::kEntrySize);
  w.u32(0, fw::kOnline)
      .u32(o::kTarget, session.user)
      .u16(o::kCount, static_cast<std::uint16_t>(online.size()));
  for (std::size_t i = 0; i < online.size(); ++i) {
    std::size_t at = o::kHeaderSize + i * o::kEntrySize;
    w.u32(at + o::kUser, online[i].code).address(at + o::kOwnAddress, online[i].peer);
    w.u8(at + o::kState, online[i].state).u8(at + o::kCamera, online[i].camera);
    w.u8(at + o::kUserType, online[i].user_type).address(at + o::kServer, online[i].server);
  }
  endpoint_.Send(session.handle, w.view());
  // A page at a time, so a full queue is never all in memory; the quota bounds the pages.
  for (std::size_t pages = 0; pages <= quota_.per_target / kQueuePage + 1; ++pages) {
    std::vector<Bytes> page = friends_.TakeQueued(session.user, kQueuePage);
    for (const Bytes& queued : page) endpoint_.Send(session.handle, queued);
    if (page.size() < kQueuePage) break;
  }
}

void TFriendsRole::SessionEnded(const TSession& session) {
  {
    std::lock_guard lock(mutex_);
    cursors_.erase(session.handle);
  }
  if (session.guest) return;
  friends_.SetAbsent(session.user, ctx_.config.node);
  namespace st = fw::state;
  for (const TFriendEntry& f : friends_.FriendList(session.user, kMaxFriends)) {
    std::optional<TPresenceRow> row = Reachable(f);
    if (!row) continue;
    RecordWriter w(st::kSize);
    w.u32(0, fw::kUserState).u32(st::kTarget, f.code).u8(st::kState, fw::kOffline);
    w.u8(st::kUserType, session.user_type).u32(st::kSender, session.user);
    if (std::optional<TSession> s = ctx_.sessions.ByUser(f.code))
      endpoint_.Send(s->handle, w.view());
    else if (row->node != ctx_.config.node)
      friends_.SendToNode(row->node, f.code, w.take());
  }
}

void TFriendsRole::SessionChanged(const TSession& session) {
  if (!session.guest && ctx_.sessions.ByUser(session.user)) friends_.SetPresent(RowOf(session));
}

bool TFriendsRole::OnListRequest(const TRequest& r, TSlot& slot) {
  std::optional<TSession> s = Authority(r, fw::list_request::kOwnCode);
  if (!s) return true;

  // Groups above 3, then every friendship, in that order.
  std::vector<TFriendGroupRow> groups = friends_.Groups(s->user);
  groups.resize(std::min<std::size_t>(groups.size(), fw::kMaxUserGroups));
  namespace g = fw::groups;
  RecordWriter gw(g::kHeaderSize + groups.size() * g::kEntrySize);
  gw.u32(0, fw::kGroups).u32(g::kTarget, s->user).u8(g::kCount, static_cast<std::uint8_t>(groups.size()));
  for (std::size_t i = 0; i < groups.size(); ++i) {
    std::size_t at = g::kHeaderSize + i * g::kEntrySize;
    gw.u32(at + g::kId, groups[i].id).text(at + g::kName, fw::kGroupNameLen, groups[i].name);
  }
  SendToSession(*s, gw.view());

  std::vector<TFriendEntry> rows = friends_.FriendList(s->user, kMaxFriends);
  namespace l = fw::list;
  RecordWriter lw(l::kHeaderSize + rows.size() * l::kEntrySize);
  lw.u32(0, fw::kList).u32(l::kTarget, s->user).u16(l::kCount, static_cast<std::uint16_t>(rows.size()));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const TFriendEntry& f = rows[i];
    std::size_t at = l::kHeaderSize + i * l::kEntrySize;
    // A friend in the own block list sees nothing of the user, and is shown offline as well.
    std::optional<TPresenceRow> online =
        f.group == fw::kBlockGroup || f.blocks_owner ? std::nullopt : Reachable(f);
    lw.u32(at + l::kUser, f.code).u8(at + l::kGroup, static_cast<std::uint8_t>(f.group));
    if (f.account)
      lw.text(at + l::kNickname, 40, f.nickname).u8(at + l::kFace, f.face).u8(at + l::kUserType, f.user_type);
    if (online) {
      lw.u8(at + l::kState, online->state).address(at + l::kOwnAddress, online->peer);
      lw.u8(at + l::kCamera, online->camera).address(at + l::kServer, online->server);
    }
  }
  slot.Release();
  SendToSession(*s, lw.view());
  if (list_sent_) list_sent_(*s);
  return true;
}

bool TFriendsRole::OnGroupOperation(const TRequest& r) {
  namespace op = fw::group_op;
  std::optional<TSession> s = Authority(r, op::kOwnCode);
  if (!s) return true;
  std::uint8_t operation = r.body.u8(op::kOperation);
  std::uint32_t id = r.body.u32(op::kGroup);
  std::uint32_t friend_code = r.body.u32(op::kFriend);
  std::string name;
  auto refuse = [&](const char* why) {
    ctx_.log.Event(std::string("refused a group operation (") + why + ") by", s->user, s->peer);
    return true;
  };
  std::vector<TFriendGroupRow> groups = friends_.Groups(s->user);
  auto exists = [&](std::uint32_t g) {
    return std::any_of(groups.begin(), groups.end(), [&](const TFriendGroupRow& row) { return row.id == g; });
  };
  switch (operation) {
    case op::kSave: {
      std::uint8_t length = r.body.u8(op::kName);
      name = r.body.text(op::kName, fw::kGroupNameLen);
      if (!IsUserGroup(id)) return refuse("group id");
      if (length == 0 || length > fw::kGroupNameLen || name.empty()) return refuse("group name");
      if (!exists(id) && groups.size() >= fw::kMaxUserGroups) return refuse("too many groups");
      if (!friends_.SaveGroup(s->user, id, name)) return refuse("store");
      break;
    }
    case op::kDelete:
      if (!IsUserGroup(id) || !exists(id)) return refuse("group id");
      if (!friends_.DeleteGroup(s->user, id)) return refuse("group not empty");
      break;
    case op::kMove:
      if (id != fw::kDefaultGroup && id != fw::kBlockGroup && !(IsUserGroup(id) && exists(id)))
        return refuse("group id");
      if (!friends_.GroupOf(s->user, friend_code)) return refuse("not a friend");
      if (!friends_.MoveFriend(s->user, friend_code, id)) return refuse("store");
      break;
    default:
      return refuse("operation");
  }
  namespace res = fw::group_result;
  RecordWriter w(res::kSize);
  w.u32(0, fw::kGroupResult).u32(res::kTarget, s->user).u8(res::kOperation, operation).u32(res::kGroup, id);
  w.text(res::kName, fw::kGroupNameLen, name).u32(res::kFriend, operation == op::kMove ? friend_code : 0);
  endpoint_.Send(r.handle, w.view());
  return true;
}

bool TFriendsRole::OnSearch(const TRequest& r, TSlot& slot) {
  namespace q = fw::search;
  namespace hit = fw::search_result;
  std::optional<TSession> s = Authority(r, q::kOwnCode);
  if (!s) return true;
  TUserQuery query;
  query.code = r.body.u32(q::kUser);
  query.nickname = r.body.text(q::kNickname, 40);
  query.city = r.body.text(q::kCity, 20);
  query.sex = r.body.u8(q::kSex) <= 2 ? r.body.u8(q::kSex) : 0;
  query.camera_only = r.body.u8(q::kCameraOnly) == 1;
  query.online_only = r.body.u8(q::kOnlineOnly) == 1;

  // The same criteria again continue after the last hit; other criteria start over.
  Bytes criteria;
  for (std::size_t at : {q::kUser, q::kNickname, q::kCity})
    for (std::uint8_t b : r.body.bytes(at, at == q::kUser ? 4 : (at == q::kCity ? 21 : 41)))
      criteria.push_back(b);
  criteria.push_back(query.camera_only);
  criteria.push_back(query.online_only);
  criteria.push_back(query.sex);
  std::uint32_t after = 0;
  {
    std::lock_guard lock(mutex_);
    auto it = cursors_.find(r.handle);
    if (it != cursors_.end() && it->second.criteria == criteria) after = it->second.after;
  }

  // A few windows of accounts at most, so a rare match does not walk the whole table.
  std::vector<TSearchHit> hits;
  TSearchPage page;
  page.next = after;
  for (std::size_t windows = 0; windows < kSearchWindows && hits.size() < q::kPageSize && !page.done;
       ++windows) {
    page = friends_.Search(query, page.next, q::kPageSize - hits.size(), kSearchWindow);
    for (TSearchHit& h : page.hits) hits.push_back(std::move(h));
  }
  const std::uint64_t online_users = friends_.OnlineCount();
  {
    std::lock_guard lock(mutex_);
    std::optional<TSession> now = ctx_.sessions.ByHandle(r.handle);
    if ((hits.empty() && page.done) || !now || now->user != s->user)
      cursors_.erase(r.handle);  // exhausted: the next search starts over
    else
      cursors_[r.handle] = {criteria, page.next};
  }

  RecordWriter w(hit::kHeaderSize + hits.size() * hit::kEntrySize);
  w.u32(0, fw::kSearchResult)
      .u32(hit::kTarget, s->user)
      .u8(hit::kCount, static_cast<std::uint8_t>(hits.size()));
  w.u32(hit::kOnlineUsers, static_cast<std::uint32_t>(std::min<std::uint64_t>(online_users, 0xFFFFFFFF)));
  for (std::size_t i = 0; i < hits.size(); ++i) {
    const TSearchHit& a = hits[i];
    std::size_t at = hit::kHeaderSize + i * hit::kEntrySize;
    w.u32(at + hit::kUser, a.code).text(at + hit::kNickname, 40, a.nickname).u8(at + hit::kSex, a.sex);
    w.u8(at + hit::kAge, a.age).u8(at + hit::kFace, a.face).text(at + hit::kProvince, 20, a.province);
    w.text(at + hit::kCity, 20, a.city).u8(at + hit::kVerifyMode, a.verify_mode);
    if (a.presence) {
      w.u8(at + hit::kOnline, 1).u8(at + hit::kCamera, a.presence->camera);
      w.address(at + hit::kServer, a.presence->server);
    }
  }
  slot.Release();
  SendToSession(*s, w.view());
  return true;
}

Bytes TFriendsRole::AddFriendAnswer(std::uint32_t to, std::uint8_t kind, std::uint32_t about) {
  namespace a = fw::add;
  RecordWriter w(a::kSize);
  w.u32(0, fw::kAddFriend).u8(a::kKind, kind).u32(a::kTarget, to).u32(a::kSender, about);
  w.address(a::kServer, ctx_.HomeAnnounced());
  if (std::optional<TAccount> account = ctx_.store.Find(about)) w.text(a::kNickname, 40, account->nickname);
  return w.take();
}

bool TFriendsRole::OnAddFriend(const TRequest& r) {
  namespace a = fw::add;
  if (!relay_limits::WithinRelayLimit(r.body.bytes(0, r.body.size()))) return true;
  std::optional<TSession> s = FriendAuthority(r, a::kSender);
  if (!s) return true;
  std::uint8_t kind = r.body.u8(a::kKind);
  std::uint32_t target = r.body.u32(a::kTarget);
  if (target == s->user) return true;
  std::optional<TAccount> other = ctx_.store.Find(target);
  if (!other) return true;
  // The message as the target receives it: sender fields from the session and the store, not from
  // the body.
  std::optional<TAccount> own = ctx_.store.Find(s->user);
  if (!own) return true;
  Bytes message(r.body.bytes(0, a::kSize).begin(), r.body.bytes(0, a::kSize).end());
  std::optional<TPresenceRow> sender_at = Where(s->user);
  RecordWriter(message)
      .address(a::kServer, sender_at ? sender_at->server : ctx_.HomeAnnounced())
      .text(a::kNickname, 40, own->nickname);
  bool friends_already = friends_.GroupOf(s->user, target).has_value();

  switch (kind) {
    case a::kRequest:
      if (friends_.GroupOf(target, s->user) == fw::kBlockGroup) return true;
      if (friends_already) {
        Deliver(s->user, AddFriendAnswer(s->user, a::kAlreadyFriends, target), std::nullopt);
        return true;
      }
      if (other->verify_mode != 1) return true;
      // One pending request per pair: asking again before an answer sends nothing. A request the
      // queue had no room for is not pending, so it may be asked again later.
      if (friends_.AddRequest(s->user, target) && !Deliver(target, message, s->user))
        friends_.ClearRequest(s->user, target);
      return true;
    case a::kAdded:
      if (friends_already) {
        Deliver(s->user, AddFriendAnswer(s->user, a::kAlreadyFriends, target), std::nullopt);
        return true;
      }
      if (other->verify_mode != 0 && !friends_.HasRequest(target, s->user)) {
        ctx_.log.Event("refused an unrequested friendship by", s->user, s->peer);
        return true;
      }
      if (friends_.FriendCount(s->user) >= kMaxFriends || friends_.FriendCount(target) >= kMaxFriends) {
        ctx_.log.Event("refused a friendship beyond the friend limit by", s->user, s->peer);
        return true;
      }
      friends_.MakeFriends(s->user, target);
      Deliver(target, message, s->user);
      // The sender's client adds the friend only on the server's word.
      Deliver(s->user, AddFriendAnswer(s->user, a::kAdded, target), std::nullopt);
      return true;
    case a::kRefused:
      if (!friends_.HasRequest(target, s->user)) return true;
      friends_.ClearRequest(target, s->user);
      Deliver(target, message, s->user);
      return true;
    case a::kDelete:
      if (!friends_.Unfriend(s->user, target)) return true;
      Deliver(s->user, AddFriendAnswer(s->user, a::kDeleted, target), std::nullopt);
      // The friendship is gone both ways: the other list drops the user as well.
      Deliver(target, AddFriendAnswer(target, a::kDeleted, s->user), s->user);
      return true;
    default:
      return true;  // the answers (6, 9) come only from the server
  }
}

bool TFriendsRole::OnForward(const TRequest& r, std::size_t sender_offset) {
  std::uint32_t target = r.body.u32(4);
  if (target == 0) return false;
  // Only what the friend's client takes: these messages have one size.
  if (!relay_limits::WithinRelayLimit(r.body.bytes(0, r.body.size()))) return true;
  std::optional<TSession> s = FriendAuthority(r, sender_offset);
  if (!s) return true;
  // Only between friends, and never to someone who blocks the sender.
  std::optional<std::uint32_t> group = friends_.GroupOf(target, s->user);
  if (!group || *group == fw::kBlockGroup) return true;
  Bytes message(r.body.bytes(0, r.body.size()).begin(), r.body.bytes(0, r.body.size()).end());
  RecordWriter w(message);
  std::optional<TPresenceRow> sender_at = Where(s->user);
  WireAddress server = sender_at ? sender_at->server : ctx_.HomeAnnounced();
  if (r.code == fw::kUserState) {
    // The user type is the account's, whatever the sender claims.
    std::optional<TAccount> own = ctx_.store.Find(s->user);
    if (!own) return true;
    w.u8(fw::state::kUserType, own->user_type);
    w.address(fw::state::kOwnAddress, s->peer).address(fw::state::kServer, server);
  } else if (r.code == fw::kConnect) {
    w.address(fw::connect::kOwnAddress, s->peer).address(fw::connect::kServer, server);
  }
  Deliver(target, message, std::nullopt);
  return true;
}

bool TFriendsRole::OnProfileRequest(const TRequest& r) {
  namespace pr = fw::profile_request;
  namespace p = fw::profile;
  std::uint8_t purpose = r.body.u8(pr::kPurpose);
  if (purpose != pr::kShow && purpose != pr::kFriendAdded) return true;
  std::optional<TSession> s = Authority(r, pr::kRequester);
  if (!s) return true;
  std::uint32_t subject = r.body.u32(pr::kSubject);
  std::optional<TAccount> a = ctx_.store.Find(subject);
  if (!a) return true;
  RecordWriter w(p::kSize);
  w.u32(0, fw::kProfile).u32(p::kTarget, s->user).u32(p::kSubject, subject).u8(p::kPurpose, purpose);
  w.text(p::kNickname, 40, a->nickname).u8(p::kSex, a->sex).u8(p::kAge, a->age).u8(p::kFace, a->face);
  w.text(p::kEmail, 40, a->email).text(p::kPhone, 20, a->phone).text(p::kOccupation, 20, a->occupation);
  w.text(p::kAddress, 60, a->address).text(p::kProvince, 20, a->province).text(p::kCity, 20, a->city);
  w.u32(p::kLevelPoints, a->level_points);
  std::string intro;
  for (char c : a->introduction) {
    if (c == '\r') continue;
    if (c == '\n')
      intro += "#13#10";
    else
      intro += c;
  }
  w.text(p::kIntroduction, 255, intro);
  // Where the user can be reached only while it is visible to the requester.
  if (std::optional<TPresenceRow> online = VisibleTo(subject, s->user);
      online && online->state == fw::kOnlineState) {
    w.address(p::kOwnAddress, online->peer).u8(p::kState, online->state).u8(p::kCamera, online->camera);
    w.address(p::kServer, online->server);
  }
  endpoint_.Send(r.handle, w.view());
  return true;
}

}  // namespace kiv::server
