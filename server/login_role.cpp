#include "login_role.h"

#include "login_replies.h"
#include "protocol.h"

namespace kiv::server {

namespace {

namespace lg = proto::login;
namespace lr = proto::login_reply;

bool SendReply(const TRequest& r, const Bytes& reply) { return r.endpoint.Send(r.handle, reply); }

}  // namespace

void TLoginRole::Attach(TMessageRouter& router) {
  router.On(proto::kLoginRequest, lg::kSize, [this](const TRequest& r) { return OnLogin(r); });
  router.On(proto::kClearUser, proto::clear_user::kSize,
            [this](const TRequest& r) { return OnClearUser(r); });
  router.On(proto::kRecovery, proto::recovery::kSize, [this](const TRequest& r) { return OnRecovery(r); });
  router.OnDisconnect([this](TEndpoint&, std::uint16_t handle) { Forget(handle); });
}

bool TLoginRole::OnLogin(const TRequest& r) {
  std::uint8_t state = r.body.u8(lg::kState);
  std::uint32_t user = r.body.u32(lg::kUserCode);
  if (state == lg::kStateVersionCheck) {
    SendReply(r, LoginReply(ctx_, user, lr::kVersionInfo));
    return true;
  }
  if (state != lg::kStateOnline && state != lg::kStateInvisible && state != lg::kStateGuest) return false;
  WireAddress peer = r.endpoint.Peer(r.handle);
  if (ctx_.config.maintenance) {
    SendReply(r, LoginReply(ctx_, user, lr::kMaintenance));
    return true;
  }
  if (ctx_.sessions.Count() >= ctx_.config.max_users && ctx_.config.home_overflow.ip.empty()) {
    SendReply(r, LoginReply(ctx_, user, lr::kTooManyUsers));
    return true;
  }
  if (state == lg::kStateGuest) {
    std::string machine = r.body.gbk(lg::kMachineB, lg::kMachineBLen);
    std::uint32_t guest = ctx_.store.IssueGuest(machine, ctx_.NowSeconds());
    Bytes reply = LoginReply(ctx_, guest, guest ? lr::kRedirect : lr::kDataError);
    RecordWriter(reply).u8(lr::kUserType, proto::kUserTypeGuest);
    SendReply(r, reply);
    ctx_.log.Event(guest ? "guest code issued to" : "guest code failed for", guest, peer);
    return true;
  }
  TLookup lookup = ctx_.store.Lookup(user);
  if (lookup.status == TLookup::kFailed) {
    // The database is away: "busy", never "wrong password".
    SendReply(r, LoginReply(ctx_, user, lr::kMaintenance));
    return true;
  }
  std::optional<TAccount> account =
      lookup.status == TLookup::kFound ? std::optional<TAccount>(std::move(lookup.account)) : std::nullopt;
  std::string digest = r.body.gbk(lg::kPassword, lg::kPasswordLen);
  if (!account || !ctx_.credentials.Check(*account, digest, peer.ip, ctx_.NowSeconds()) ||
      (account->bind && account->bind_machine != r.body.gbk(lg::kMachineA, lg::kMachineALen))) {
    SendReply(r, LoginReply(ctx_, user, lr::kWrongCredentials));
    ctx_.log.Event("login refused", user, peer);
    return true;
  }
  Bytes reply = LoginReply(ctx_, user, lr::kRedirect);
  RecordWriter(reply).u8(lr::kSex, account->sex).u8(lr::kUserType, account->user_type);
  SendReply(r, reply);
  return true;
}

bool TLoginRole::OnClearUser(const TRequest& r) {
  namespace cu = proto::clear_user;
  std::uint32_t user = r.body.u32(cu::kUserCode);
  std::optional<TAccount> account = ctx_.store.Find(user);
  std::uint8_t result = cu::kWrongCredentials;
  if (account && ctx_.credentials.Check(*account, r.body.gbk(cu::kPassword, proto::kShortDigestLen),
                                        r.endpoint.Peer(r.handle).ip, ctx_.NowSeconds())) {
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

bool TLoginRole::Locked(std::uint32_t user, std::int64_t now) {
  auto it = wrong_.find(user);
  if (it == wrong_.end()) return false;
  if (now - it->second.since >= kRecoveryWindowSeconds) {
    wrong_.erase(it);
    return false;
  }
  return it->second.count >= kRecoveryMaxWrong;
}

void TLoginRole::CountWrong(std::uint32_t user, std::int64_t now) {
  WrongAnswers& w = wrong_[user];
  if (w.count == 0 || now - w.since >= kRecoveryWindowSeconds) w = {0, now};
  ++w.count;
}

bool TLoginRole::OnRecovery(const TRequest& r) {
  namespace rc = proto::recovery;
  std::uint8_t step = r.body.u8(rc::kStep);
  std::uint32_t user = r.body.u32(rc::kUserCode);
  std::int64_t now = ctx_.NowSeconds();
  RecordWriter reply(rc::kSize);
  reply.u32(0, proto::kRecovery).u8(rc::kStep, step).u8(rc::kResult, rc::kError);
  auto send = [&](std::uint8_t result) {
    reply.u8(rc::kResult, result);
    r.endpoint.Send(r.handle, reply.view());
    return true;
  };
  if (step < rc::kStepIdentity || step > rc::kStepNewPassword) return send(rc::kError);

  std::lock_guard lock(mutex_);
  if (Locked(user, now)) return send(rc::kError);
  // The previous step must have passed on this connection, for this account, recently.
  RecoveryProgress* progress = nullptr;
  if (auto it = recovery_.find(r.handle); it != recovery_.end()) {
    if (now - it->second.since >= kRecoveryWindowSeconds)
      recovery_.erase(it);
    else
      progress = &it->second;
  }
  if (step > rc::kStepIdentity && (!progress || progress->user != user || progress->passed != step - 1))
    return send(rc::kError);

  std::optional<TAccount> account = ctx_.store.Find(user);
  if (!account) {
    if (step == rc::kStepIdentity) CountWrong(user, now);
    return send(step == rc::kStepIdentity ? rc::kWrongIdentity : rc::kError);
  }
  switch (step) {
    case rc::kStepIdentity: {
      if (!account->protection) return send(rc::kNoProtection);
      if (!ctx_.hasher.Verify(account->id_hash, r.body.gbk(rc::kIdNumber, 40))) {
        CountWrong(user, now);
        return send(rc::kWrongIdentity);
      }
      recovery_[r.handle] = {user, rc::kStepIdentity, now};
      reply.text(rc::kText, rc::kTextLen, account->question);
      return send(rc::kPassed);
    }
    case rc::kStepAnswer: {
      if (!ctx_.hasher.Verify(account->answer_hash, r.body.gbk(rc::kAnswer, proto::kShortDigestLen))) {
        CountWrong(user, now);
        return send(rc::kWrongAnswer);
      }
      progress->passed = rc::kStepAnswer;
      return send(rc::kPassed);
    }
    default: {
      std::string digest = r.body.gbk(rc::kNewPassword, proto::kShortDigestLen);
      if (digest.empty()) return send(rc::kError);
      std::string hash = ctx_.hasher.Hash(digest);
      if (hash.empty() || !ctx_.store.SetPassword(user, hash, true)) return send(rc::kError);
      recovery_.erase(r.handle);
      wrong_.erase(user);
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
