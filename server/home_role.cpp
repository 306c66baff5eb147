#include "home_role.h"

#include <algorithm>

#include "base/text_checks.h"
#include "login_replies.h"
#include "protocol.h"

namespace kiv::server {

namespace {
namespace lg = proto::login;
namespace lr = proto::login_reply;

std::uint32_t ClampU32(std::int64_t v) {
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(v, 0, 0xFFFFFFFFll));
}
}  // namespace

THomeRole::THomeRole(TServerContext& ctx, TEndpoint& endpoint) : ctx_(ctx), endpoint_(endpoint) {
  ctx_.home_endpoint = &endpoint_;
}

void THomeRole::Attach(TMessageRouter& router) {
  // Sign-in, profile change and transfer hash passwords: they run on the work pool.
  router.On(
      proto::kLoginRequest, lg::kSize, [this](const TRequest& r) { return OnLogin(r); }, true);
  router.On(proto::kUserState, proto::user_state::kSize,
            [this](const TRequest& r) { return OnUserState(r); });
  router.On(proto::kProfileRequest, proto::profile_request::kSize,
            [this](const TRequest& r) { return OnProfileRequest(r); });
  router.On(
      proto::kProfileChange, proto::profile_change::kSize,
      [this](const TRequest& r) { return OnProfileChange(r); }, true);
  router.On(
      proto::kTransfer, proto::transfer::kSize, [this](const TRequest& r) { return OnTransfer(r); }, true);
  router.OnDisconnect([this](TEndpoint&, std::uint16_t handle) { OnDisconnect(handle); });
}

std::optional<TSession> THomeRole::Authority(const TRequest& r, std::uint32_t claimed) {
  std::optional<TSession> s = ctx_.sessions.ForRequest(r);
  if (!s) return std::nullopt;
  if (s->user != claimed) {
    ctx_.log.Event("refused a request for another user code by", s->user, s->peer);
    return std::nullopt;
  }
  return s;
}

bool THomeRole::OnLogin(const TRequest& r) {
  std::uint8_t state = r.body.u8(lg::kState);
  std::uint32_t user = r.body.u32(lg::kUserCode);
  WireAddress peer = endpoint_.Peer(r.handle);
  auto refuse = [&](std::uint8_t result) {
    endpoint_.Send(r.handle, LoginReply(ctx_, user, result));
    return true;
  };
  if (state != lg::kStateOnline && state != lg::kStateInvisible && state != lg::kStateGuest) return false;
  if (peer.ip.empty()) return true;  // the connection is gone already
  if (ctx_.config.maintenance) return refuse(lr::kMaintenance);

  bool known_here = ctx_.sessions.ByUser(user).has_value();
  if (!known_here && ctx_.sessions.Count() >= ctx_.config.max_users) {
    if (ctx_.config.home_overflow.ip.empty()) return refuse(lr::kTooManyUsers);
    Bytes reply = LoginReply(ctx_, user, lr::kMoveHome);
    RecordWriter(reply).address(lr::kHomeServer, ctx_.config.home_overflow);
    endpoint_.Send(r.handle, reply);
    ctx_.log.Event("moved to another home node", user, peer);
    return true;
  }

  TSession session;
  session.handle = r.handle;
  session.user = user;
  session.state = state == lg::kStateInvisible ? lg::kStateInvisible : lg::kStateOnline;
  session.camera = r.body.u8(lg::kCamera);
  session.peer = peer;
  TAccount account;
  if (!ctx_.credentials.Allow(peer.ip, ctx_.NowSeconds())) return refuse(lr::kMaintenance);
  TLookup lookup = ctx_.store.Lookup(user);
  if (lookup.status == TLookup::kFailed) {
    // The database is away: "busy", so that the client tries again rather than doubting the password.
    ctx_.log.Event("sign-in answered busy (the store failed) for", user, peer);
    return refuse(lr::kMaintenance);
  }
  if (std::optional<TAccount> found =
          lookup.status == TLookup::kFound ? std::optional<TAccount>(std::move(lookup.account)) : std::nullopt) {
    if (!ctx_.credentials.Check(*found, r.body.gbk(lg::kPassword, lg::kPasswordLen), peer.ip,
                                ctx_.NowSeconds()) ||
        (found->bind && found->bind_machine != r.body.gbk(lg::kMachineA, lg::kMachineALen))) {
      ctx_.log.Event("sign-in refused", user, peer);
      return refuse(lr::kWrongCredentials);
    }
    account = *found;
  } else if (ctx_.store.ClaimGuest(user, r.body.gbk(lg::kMachineB, lg::kMachineBLen), ctx_.NowSeconds())) {
    session.guest = true;
    account.code = user;
    account.user_type = proto::kUserTypeGuest;
    account.nickname = "游客" + std::to_string(user);
  } else {
    ctx_.log.Event("sign-in refused", user, peer);
    return refuse(lr::kWrongCredentials);
  }
  session.user_type = account.user_type;

  // The check ran on the work pool, and the connection may end at any moment. The transport
  // forgets the peer before it runs the disconnect hook, and the hook waits for this lock: so a
  // connection still there under the lock has its hook still to come, after the whole set-up
  // (presence, mailboxes), and one already gone gets no session at all.
  std::lock_guard setup(setup_mutex_);
  if (endpoint_.Peer(r.handle) != peer) return true;
  endpoint_.Adopt(r.handle);  // a signed-in client: the connection stays
  for (const TSession& old : ctx_.sessions.Add(session)) {
    if (old.user == user) SendKick(old, proto::kick::kSignedInElsewhere);
    Ended(old);
  }
  ctx_.store.SetPresence(user, ctx_.config.node, true);
  ctx_.store.Publish({TNodeEvent::kSignedIn, user, ctx_.config.node, 0});

  Bytes reply = LoginReply(ctx_, user, lr::kSignedIn);
  RecordWriter w(reply);
  w.text(lr::kNickname, 40, account.nickname)
      .u32(lr::kMoney, ClampU32(account.money))
      .u8(lr::kFace, account.face)
      .address(lr::kOwnAddress, peer)
      .u32(lr::kLevelPoints, account.level_points)
      .u8(lr::kUserType, account.user_type)
      .u8(lr::kSex, account.sex);
  endpoint_.Send(r.handle, reply);
  endpoint_.Send(r.handle, ctx_.config.parameters);
  ctx_.log.Event(session.guest ? "guest signed in" : "signed in", user, peer);
  if (listener_.started) listener_.started(session);
  return true;
}

void THomeRole::SendKick(const TSession& session, std::uint8_t kind) {
  RecordWriter w(proto::kick::kSize);
  w.u32(0, proto::kForcedSignOut).u8(proto::kick::kKind, kind).u32(proto::kick::kUserCode, session.user);
  endpoint_.Send(session.handle, w.view());
  ctx_.log.Event(kind == proto::kick::kSignedInElsewhere ? "signed out (signed in elsewhere)" : "kicked",
                 session.user, session.peer);
}

void THomeRole::OnDisconnect(std::uint16_t handle) {
  std::lock_guard setup(setup_mutex_);  // a sign-in of this connection finishes its set-up first
  if (std::optional<TSession> s = ctx_.sessions.Remove(handle)) {
    ctx_.store.SetPresence(s->user, ctx_.config.node, false);
    ctx_.log.Event("signed out", s->user, s->peer);
    Ended(*s);
  }
}

bool THomeRole::OnUserState(const TRequest& r) {
  namespace us = proto::user_state;
  if (r.body.u32(us::kTarget) != 0) return false;  // to a friend: not the home role's
  std::optional<TSession> s = Authority(r, r.body.u32(us::kUserCode));
  if (!s) return true;
  std::uint8_t state = r.body.u8(us::kState);
  if (state > lg::kStateInvisible) return true;
  const std::uint8_t camera = r.body.u8(us::kCamera);
  if (!ctx_.sessions.SetState(r.handle, state, camera)) return true;
  // Only a change is passed on: the same state again costs nothing.
  if ((s->state != state || s->camera != camera) && listener_.changed)
    if (std::optional<TSession> now = ctx_.sessions.ByHandle(r.handle)) listener_.changed(*now);
  return true;
}

Bytes THomeRole::Profile(const TSession& s, const TAccount& a) const {
  namespace p = proto::profile;
  RecordWriter w(p::kSize);
  w.u32(0, proto::kProfileReply).u32(p::kRequester, s.user).u32(p::kSubject, s.user).u8(p::kPurpose, 1);
  w.text(p::kNickname, 40, a.nickname).u8(p::kSex, a.sex).u8(p::kAge, a.age).u8(p::kFace, a.face);
  w.text(p::kEmail, 40, a.email).text(p::kPhone, 20, a.phone).text(p::kOccupation, 20, a.occupation);
  w.text(p::kAddress, 60, a.address).text(p::kProvince, 20, a.province).text(p::kCity, 20, a.city);
  w.address(p::kOwnAddress, s.peer).u8(p::kState, s.state).u8(p::kCamera, s.camera);
  w.u32(p::kLevelPoints, a.level_points)
      .u32(p::kExperience, a.experience)
      .u32(p::kNextExperience, a.next_experience);
  w.text(p::kIntroduction, 255, a.introduction).u8(p::kVerifyMode, a.verify_mode);
  w.address(p::kServer, ctx_.HomeAnnounced()).u8(p::kUserType, a.user_type).u16(p::kExtra, a.extra);
  w.u8(p::kBind, a.bind ? 1 : 0).u32(p::kMoney, ClampU32(a.money));
  return w.take();
}

bool THomeRole::OnProfileRequest(const TRequest& r) {
  namespace pr = proto::profile_request;
  // Other purposes and other subjects belong to the friends role.
  if (r.body.u8(pr::kPurpose) != pr::kPurposeOwn || r.body.u32(pr::kSubject) != r.body.u32(pr::kRequester))
    return false;
  std::optional<TSession> s = Authority(r, r.body.u32(pr::kRequester));
  if (!s) return true;
  TAccount account;
  if (std::optional<TAccount> found = ctx_.store.Find(s->user)) {
    account = *found;
  } else if (s->guest) {
    account.code = s->user;
    account.user_type = proto::kUserTypeGuest;
    account.nickname = "游客" + std::to_string(s->user);
  } else {
    return true;
  }
  endpoint_.Send(r.handle, Profile(*s, account));
  return true;
}

bool THomeRole::OnProfileChange(const TRequest& r) {
  namespace pc = proto::profile_change;
  namespace res = proto::profile_change_reply;
  std::optional<TSession> s = Authority(r, r.body.u32(pc::kUserCode));
  if (!s) return true;
  auto reply = [&](std::uint8_t result) {
    RecordWriter w(res::kSize);
    w.u32(0, proto::kProfileChangeReply).u8(res::kResult, result);
    endpoint_.Send(r.handle, w.view());
    return true;
  };
  std::optional<TAccount> account = ctx_.store.Find(s->user);
  if (!account) return reply(res::kDataError);  // guests have no profile to change; or the store failed
  // Passwords go through the same limit on wrong guesses as sign-in.
  auto verify = [&](const std::string& hash, const std::string& digest) {
    return ctx_.credentials.Verify(s->user, hash, digest, s->peer.ip, ctx_.NowSeconds());
  };
  if (!verify(account->password_hash, r.body.gbk(pc::kPassword, pc::kDigestLen)))
    return reply(res::kWrongPassword);
  std::string nickname = r.body.text(pc::kNickname, 40);
  if (nickname.empty() || !CheckInputString(nickname)) return reply(res::kBadNickname);

  TProfileUpdate u;
  u.nickname = nickname;
  u.sex = r.body.u8(pc::kSex);
  u.age = r.body.u8(pc::kAge);
  u.face = r.body.u8(pc::kFace);
  u.email = r.body.text(pc::kEmail, 40);
  u.phone = r.body.text(pc::kPhone, 20);
  u.occupation = r.body.text(pc::kOccupation, 20);
  u.address = r.body.text(pc::kAddress, 60);
  u.province = r.body.text(pc::kProvince, 20);
  u.city = r.body.text(pc::kCity, 20);
  u.introduction = r.body.text(pc::kIntroduction, 255);
  u.verify_mode = std::min<std::uint8_t>(r.body.u8(pc::kVerifyMode), 2);
  u.bind = r.body.u8(pc::kBind) == 1;
  u.bind_machine = u.bind ? r.body.gbk(pc::kMachine, proto::kShortDigestLen) : std::string();
  if (u.bind && u.bind_machine.empty()) u.bind = false;

  std::string new_pay = r.body.gbk(pc::kNewPayPassword, pc::kDigestLen);
  if (!new_pay.empty()) {
    // Changing the pay password needs the current one, when there is one.
    if (!account->pay_hash.empty() &&
        !verify(account->pay_hash, r.body.gbk(pc::kPayPassword, pc::kDigestLen)))
      return reply(res::kWrongPayPassword);
    u.pay_hash = ctx_.hasher.Hash(new_pay);
  }
  std::string new_password = r.body.gbk(pc::kNewPassword, pc::kDigestLen);
  if (!new_password.empty()) u.password_hash = ctx_.hasher.Hash(new_password);

  std::uint8_t result = res::kChanged;
  if (r.body.u8(pc::kProtection) == 1) {
    if (account->protection) {
      result = res::kProtectionAlreadySet;
    } else {
      std::string question = r.body.text(pc::kQuestion, 20);
      std::string answer = r.body.gbk(pc::kAnswer, proto::kShortDigestLen);
      std::string id = r.body.gbk(pc::kIdNumber, 40);
      if (question.empty() || answer.empty() || id.empty()) return reply(res::kDataError);
      u.protection = TProfileUpdate::Protection{question, ctx_.hasher.Hash(answer), ctx_.hasher.Hash(id)};
      result = res::kProtectionApplied;
    }
  }
  if ((u.password_hash && u.password_hash->empty()) || (u.pay_hash && u.pay_hash->empty()) ||
      !ctx_.store.UpdateProfile(s->user, u))
    return reply(res::kDataError);
  return reply(result);
}

bool THomeRole::OnTransfer(const TRequest& r) {
  namespace t = proto::transfer;
  namespace res = proto::transfer_reply;
  std::optional<TSession> s = Authority(r, r.body.u32(t::kUserCode));
  if (!s) return true;
  auto reply = [&](std::uint8_t result) {
    RecordWriter w(res::kSize);
    w.u32(0, proto::kTransferReply).u8(res::kResult, result);
    endpoint_.Send(r.handle, w.view());
    return true;
  };
  std::uint32_t recipient = r.body.u32(t::kRecipient);
  std::int64_t amount = r.body.u32(t::kAmount);
  if (recipient == s->user || amount == 0) return reply(res::kRecipientRefused);
  TLookup lookup = ctx_.store.Lookup(s->user);
  if (lookup.status == TLookup::kFailed) return reply(res::kServerError);
  std::optional<TAccount> sender =
      lookup.status == TLookup::kFound ? std::optional<TAccount>(std::move(lookup.account)) : std::nullopt;
  if (!sender) return reply(res::kInsufficient);  // a guest has no balance
  // Passwords go through the same limit on wrong guesses as sign-in.
  auto verify = [&](const std::string& hash, const std::string& digest) {
    return ctx_.credentials.Verify(s->user, hash, digest, s->peer.ip, ctx_.NowSeconds());
  };
  if (!verify(sender->password_hash, r.body.gbk(t::kPassword, proto::kShortDigestLen)))
    return reply(res::kServerError);
  if (!sender->pay_hash.empty() && !verify(sender->pay_hash, r.body.gbk(t::kPayPassword, proto::kShortDigestLen)))
    return reply(res::kWrongPayPassword);
  std::uint32_t percent = RecordReader(ctx_.config.parameters).u32(proto::params::kTransferFee);
  const auto fee = static_cast<std::int64_t>(TransferFee(static_cast<std::uint64_t>(amount), percent));
  TTransferResult result = ctx_.store.Transfer(s->user, recipient, amount, fee);
  switch (result.outcome) {
    case TTransferOutcome::kDone:
      reply(res::kDone);
      ctx_.log.Line("transfer " + std::to_string(amount) + " fee " + std::to_string(fee) + " from " +
                    std::to_string(s->user) + " to " + std::to_string(recipient));
      SendBalance(s->user, result.sender_balance, false);
      SendBalance(recipient, result.recipient_balance, true);
      return true;
    case TTransferOutcome::kNoRecipient:
      return reply(res::kNoRecipient);
    case TTransferOutcome::kInsufficient:
      return reply(res::kInsufficient);
    default:
      ctx_.log.Event("transfer failed in the store for", s->user, s->peer);
      return reply(res::kServerError);
  }
}

void THomeRole::SendBalance(std::uint32_t user, std::int64_t money, bool tell_other_nodes) {
  if (std::optional<TSession> s = ctx_.sessions.ByUser(user)) {
    RecordWriter w(proto::balance::kSize);
    w.u32(0, proto::kBalanceChanged)
        .u32(proto::balance::kUserCode, user)
        .u32(proto::balance::kMoney, ClampU32(money));
    endpoint_.Send(s->handle, w.view());
  } else if (tell_other_nodes) {
    ctx_.store.Publish({TNodeEvent::kBalance, user, ctx_.config.node, money});
  }
}

bool THomeRole::Kick(std::uint32_t user, std::uint8_t kind) {
  if (std::optional<TSession> s = ctx_.sessions.ByUser(user)) {
    // The session ends now; the client disconnects when it has shown the message.
    ctx_.sessions.Remove(s->handle);
    ctx_.store.SetPresence(user, ctx_.config.node, false);
    SendKick(*s, kind);
    Ended(*s);
    return true;
  }
  ctx_.store.Publish({TNodeEvent::kKick, user, ctx_.config.node, kind});
  return false;
}

std::size_t THomeRole::Broadcast(std::uint8_t kind, const std::string& text) {
  namespace b = proto::broadcast;
  RecordWriter w(b::kSize);
  w.u32(0, proto::kBroadcast).u8(b::kKind, kind).text(b::kText, 255, text);
  std::size_t sent = 0;
  for (const TSession& s : ctx_.sessions.All()) sent += endpoint_.Send(s.handle, w.view()) ? 1 : 0;
  return sent;
}

bool THomeRole::LevelUp(std::uint32_t user) {
  if (!ctx_.store.AddLevel(user)) return false;
  if (std::optional<TSession> s = ctx_.sessions.ByUser(user)) {
    RecordWriter w(proto::balance::kSize);
    w.u32(0, proto::kLevelUp).u32(proto::balance::kUserCode, user);
    endpoint_.Send(s->handle, w.view());
  } else {
    ctx_.store.Publish({TNodeEvent::kLevelUp, user, ctx_.config.node, 0});
  }
  return true;
}

bool THomeRole::SetBalance(std::uint32_t user, std::int64_t money) {
  if (money < 0 || !ctx_.store.SetBalance(user, money)) return false;
  SendBalance(user, money, true);
  return true;
}

void THomeRole::Reannounce() {
  // Sign-ins on other nodes while this one heard nothing: the later sign-in holds the presence row,
  // and this node's older session ends. Every session still this node's is announced again, so
  // that another node holding an older session of the same user ends it.
  for (const TSession& s : ctx_.sessions.All()) {
    std::optional<std::string> holder = ctx_.store.PresenceOf(s.user);
    if (holder && *holder != ctx_.config.node) {
      if (ctx_.sessions.Remove(s.handle)) {
        SendKick(s, proto::kick::kSignedInElsewhere);
        Ended(s);
      }
      continue;
    }
    ctx_.store.SetPresence(s.user, ctx_.config.node, true);
    ctx_.store.Publish({TNodeEvent::kSignedIn, s.user, ctx_.config.node, 0});
  }
  ctx_.log.Line("node events heard again; sessions announced again");
}

void THomeRole::OnNodeEvent(const TNodeEvent& event) {
  if (event.kind == TNodeEvent::kBusRestored) return Reannounce();
  if (event.node == ctx_.config.node) return;
  std::optional<TSession> s = ctx_.sessions.ByUser(event.user);
  if (!s) return;
  switch (event.kind) {
    case TNodeEvent::kSignedIn:
      // The user signed in on another node: this session ends.
      if (ctx_.sessions.Remove(s->handle)) {
        SendKick(*s, proto::kick::kSignedInElsewhere);
        Ended(*s);
      }
      break;
    case TNodeEvent::kBalance:
      SendBalance(event.user, event.value, false);
      break;
    case TNodeEvent::kLevelUp: {
      RecordWriter w(proto::balance::kSize);
      w.u32(0, proto::kLevelUp).u32(proto::balance::kUserCode, event.user);
      endpoint_.Send(s->handle, w.view());
      break;
    }
    case TNodeEvent::kKick:
      Kick(event.user, static_cast<std::uint8_t>(event.value));
      break;
    case TNodeEvent::kChatWaiting:
    case TNodeEvent::kBusRestored:
      break;  // the chat role's; handled above
  }
}

}  // namespace kiv::server
