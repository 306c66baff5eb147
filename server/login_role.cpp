#include "login_role.h"

#include "login_replies.h"
#include "protocol.h"
#include "work_pool.h"

namespace kiv::server {

namespace {

namespace lg = proto::login;
namespace lr = proto::login_reply;

bool SendReply(const TRequest& r, const Bytes& reply) { return r.endpoint.Send(r.handle, reply); }

Bytes CopyOf(const RecordReader& body) {
  std::span<const std::uint8_t> all = body.bytes(0, body.size());
  return Bytes(all.begin(), all.end());
}

}  // namespace

void TLoginRole::Attach(TMessageRouter& router) {
  // The version check shares the sign-in's code and must stay on the dispatch thread: OnLogin
  // hands the sign-ins to the pool itself.
  router.On(proto::kLoginRequest, lg::kSize, [this](const TRequest& r) { return OnLogin(r); });
  router.On(
      proto::kClearUser, proto::clear_user::kSize, [this](const TRequest& r) { return OnClearUser(r); }, true);
  router.On(
      proto::kRecovery, proto::recovery::kSize, [this](const TRequest& r) { return OnRecovery(r); }, true);
  router.OnDisconnect([this](TEndpoint&, std::uint16_t handle) { Forget(handle); });
  router.AdoptWhenTaken();
}

bool TLoginRole::OnLogin(const TRequest& r) {
  std::uint8_t state = r.body.u8(lg::kState);
  std::uint32_t user = r.body.u32(lg::kUserCode);
  if (state == lg::kStateVersionCheck) {
    SendReply(r, LoginReply(ctx_, user, lr::kVersionInfo));
    return true;
  }
  if (state != lg::kStateOnline && state != lg::kStateInvisible && state != lg::kStateGuest) return false;
  if (ctx_.config.maintenance) {
    SendReply(r, LoginReply(ctx_, user, lr::kMaintenance));
    return true;
  }
  // A home endpoint without room would drop the client's handshake unanswered: say so here.
  const TEndpoint* home = ctx_.home_endpoint.load();
  if ((ctx_.sessions.Count() >= ctx_.config.max_users && ctx_.config.home_overflow.ip.empty()) ||
      (home && home->NearlyFull(kHomeHeadroom))) {
    SendReply(r, LoginReply(ctx_, user, lr::kTooManyUsers));
    return true;
  }
  // An address past its hash rate is told to try again later, before anything is hashed.
  WireAddress peer = r.endpoint.Peer(r.handle);
  if (peer.ip.empty()) return true;
  if (!ctx_.credentials.Allow(peer.ip, ctx_.NowSeconds())) {
    SendReply(r, LoginReply(ctx_, user, lr::kMaintenance));
    return true;
  }
  if (!pool_) {
    SignIn(r);
    return true;
  }
  auto task = [this, &endpoint = r.endpoint, handle = r.handle, code = r.code,
               copy = CopyOf(r.body)] {
    SignIn(TRequest{endpoint, handle, code, RecordReader(copy.data(), copy.size())});
  };
  if (!pool_->Post(std::move(task))) SendReply(r, LoginReply(ctx_, user, lr::kMaintenance));
  return true;
}

void TLoginRole::SignIn(const TRequest& r) {
  std::uint8_t state = r.body.u8(lg::kState);
  std::uint32_t user = r.body.u32(lg::kUserCode);
  WireAddress peer = r.endpoint.Peer(r.handle);
  if (peer.ip.empty()) return;  // the connection ended while the request waited
  if (state == lg::kStateGuest) {
    std::string machine = r.body.gbk(lg::kMachineB, lg::kMachineBLen);
    std::uint32_t guest = ctx_.store.IssueGuest(machine, ctx_.NowSeconds());
    Bytes reply = LoginReply(ctx_, guest, guest ? lr::kRedirect : lr::kDataError);
    RecordWriter(reply).u8(lr::kUserType, proto::kUserTypeGuest);
    SendReply(r, reply);
    ctx_.log.Event(guest ? "guest code issued to" : "guest code failed for", guest, peer);
    return;
  }
  TLookup lookup = ctx_.store.Lookup(user);
  if (lookup.status == TLookup::kFailed) {
    // The database is away: "busy", never "wrong password".
    SendReply(r, LoginReply(ctx_, user, lr::kMaintenance));
    return;
  }
  std::optional<TAccount> account =
      lookup.status == TLookup::kFound ? std::optional<TAccount>(std::move(lookup.account)) : std::nullopt;
  std::string digest = r.body.gbk(lg::kPassword, lg::kPasswordLen);
  if (!account) ctx_.credentials.Unknown(peer.ip, ctx_.NowSeconds());
  if (!account || !ctx_.credentials.Check(*account, digest, peer.ip, ctx_.NowSeconds()) ||
      (account->bind && account->bind_machine != r.body.gbk(lg::kMachineA, lg::kMachineALen))) {
    SendReply(r, LoginReply(ctx_, user, lr::kWrongCredentials));
    ctx_.log.Event("login refused", user, peer);
    return;
  }
  Bytes reply = LoginReply(ctx_, user, lr::kRedirect);
  RecordWriter(reply).u8(lr::kSex, account->sex).u8(lr::kUserType, account->user_type);
  SendReply(r, reply);
}

bool TLoginRole::OnClearUser(const TRequest& r) {
  namespace cu = proto::clear_user;
  std::uint32_t user = r.body.u32(cu::kUserCode);
  const std::string ip = r.endpoint.Peer(r.handle).ip;
  const std::int64_t now = ctx_.NowSeconds();
  std::uint8_t result = cu::kWrongCredentials;
  if (ip.empty()) return true;
  TLookup lookup;
  if (!ctx_.credentials.Allow(ip, now) || (lookup = ctx_.store.Lookup(user)).status == TLookup::kFailed) {
    result = cu::kError;  // past the hash rate, or the store failed: never "wrong password"
  } else if (lookup.status == TLookup::kMissing) {
    ctx_.credentials.Unknown(ip, now);
  } else if (ctx_.credentials.Check(lookup.account, r.body.gbk(cu::kPassword, proto::kShortDigestLen), ip, now)) {
    // With the delete-everything flag the account goes; a failing store is an error, never a
    // success the client would act on by deleting the user's files.
    const bool delete_all = r.body.u8(cu::kDeleteAll) != 0;
    result = !delete_all || ctx_.store.DeleteAccount(user) ? cu::kCleared : cu::kError;
    if (delete_all && result == cu::kCleared) ctx_.log.Event("account deleted", user, r.endpoint.Peer(r.handle));
  }
  RecordWriter w(cu::kSize);
  w.u32(0, proto::kClearUser).u8(cu::kResult, result).u32(cu::kUserCode, user);
  SendReply(r, w.take());
  return true;
}

bool TLoginRole::OnRecovery(const TRequest& r) {
  namespace rc = proto::recovery;
  std::uint8_t step = r.body.u8(rc::kStep);
  std::uint32_t user = r.body.u32(rc::kUserCode);
  const std::string key = std::to_string(user);
  const std::string ip = r.endpoint.Peer(r.handle).ip;
  std::int64_t now = ctx_.NowSeconds();
  RecordWriter reply(rc::kSize);
  reply.u32(0, proto::kRecovery).u8(rc::kStep, step).u8(rc::kResult, rc::kError);
  auto send = [&](std::uint8_t result) {
    reply.u8(rc::kResult, result);
    r.endpoint.Send(r.handle, reply.view());
    return true;
  };
  if (step < rc::kStepIdentity || step > rc::kStepNewPassword || ip.empty()) return send(rc::kError);

  {
    std::lock_guard lock(mutex_);
    if (wrong_.Full(key, now)) return send(rc::kError);
    // The previous step must have passed on this connection, for this account, recently.
    auto it = recovery_.find(r.handle);
    if (it != recovery_.end() && now - it->second.since >= kRecoveryWindowSeconds) {
      recovery_.erase(it);
      it = recovery_.end();
    }
    if (step > rc::kStepIdentity &&
        (it == recovery_.end() || it->second.user != user || it->second.passed != step - 1))
      return send(rc::kError);
  }
  // Every step hashes: each takes a token of the address's rate, and the identity number and the
  // answer are secrets under the same limit on wrong guesses as the passwords.
  if (!ctx_.credentials.Allow(ip, now)) return send(rc::kError);

  std::optional<TAccount> account = ctx_.store.Find(user);
  if (!account) {
    // Not kept per code (a flood of made-up codes would grow the table): the address pays.
    if (step == rc::kStepIdentity) ctx_.credentials.Unknown(ip, now);
    return send(step == rc::kStepIdentity ? rc::kWrongIdentity : rc::kError);
  }
  auto count_wrong = [&] {
    std::lock_guard lock(mutex_);
    wrong_.Count(key, now);
  };
  switch (step) {
    case rc::kStepIdentity: {
      if (!account->protection) return send(rc::kNoProtection);
      if (!ctx_.credentials.Verify(user, account->id_hash, r.body.gbk(rc::kIdNumber, 40), ip, now)) {
        count_wrong();
        return send(rc::kWrongIdentity);
      }
      {
        std::lock_guard lock(mutex_);
        recovery_[r.handle] = {user, rc::kStepIdentity, now};
      }
      reply.text(rc::kText, rc::kTextLen, account->question);
      return send(rc::kPassed);
    }
    case rc::kStepAnswer: {
      if (!ctx_.credentials.Verify(user, account->answer_hash, r.body.gbk(rc::kAnswer, proto::kShortDigestLen), ip,
                                   now)) {
        count_wrong();
        return send(rc::kWrongAnswer);
      }
      std::lock_guard lock(mutex_);
      auto it = recovery_.find(r.handle);
      if (it == recovery_.end() || it->second.user != user) return send(rc::kError);
      it->second.passed = rc::kStepAnswer;
      return send(rc::kPassed);
    }
    default: {
      std::string digest = r.body.gbk(rc::kNewPassword, proto::kShortDigestLen);
      if (digest.empty()) return send(rc::kError);
      {
        // Taken before the store is written, so two step-3 messages cannot both set a password.
        std::lock_guard lock(mutex_);
        auto it = recovery_.find(r.handle);
        if (it == recovery_.end() || it->second.user != user || it->second.passed != rc::kStepAnswer)
          return send(rc::kError);
        recovery_.erase(it);
      }
      std::string hash = ctx_.hasher.Hash(digest);
      if (hash.empty() || !ctx_.store.SetPassword(user, hash, true)) return send(rc::kError);
      {
        std::lock_guard lock(mutex_);
        wrong_.Forget(key);
      }
      ctx_.log.Event("password recovered", user, r.endpoint.Peer(r.handle));
      return send(rc::kPassed);
    }
  }
}

void TLoginRole::Forget(std::uint16_t handle) {
  std::lock_guard lock(mutex_);
  recovery_.erase(handle);
}

}  // namespace kiv::server
