// The login role (UDP 9009 by default): the version check, the first step of every sign-in (the
// credentials are checked and the client is sent on to its home node), guest codes, clearing a
// local user and the three steps of password recovery.
//
// Recovery is kept per connection: a step is answered only after the previous one passed on the
// same connection within kRecoveryWindowSeconds, and an account takes at most kRecoveryMaxWrong
// wrong answers or identity numbers within that window; after that every step is refused until it
// has passed. The wrong answers are kept for existing accounts only, in a bounded table; a code
// that does not exist costs its address a wrong guess in the credential check instead.
//
// Everything that hashes (sign-in, guest codes, clear-user, recovery) runs on the work pool behind
// the address's hash rate, so a flood of them never holds up the version check.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "context.h"
#include "credential_check.h"
#include "router.h"

namespace kiv::server {

inline constexpr std::int64_t kRecoveryWindowSeconds = 600;
inline constexpr int kRecoveryMaxWrong = 5;
inline constexpr std::size_t kRecoveryMaxTracked = 100000;

class TWorkPool;

class TLoginRole final : public TRole {
 public:
  // `pool`: where the sign-ins run (none: on the dispatch thread). Not owned.
  explicit TLoginRole(TServerContext& ctx, TWorkPool* pool = nullptr)
      : ctx_(ctx), pool_(pool), wrong_(kRecoveryMaxTracked, kRecoveryMaxWrong, kRecoveryWindowSeconds) {}
  const char* Name() const override { return "login"; }
  void Attach(TMessageRouter& router) override;

 private:
  bool OnLogin(const TRequest& r);
  void SignIn(const TRequest& r);
  bool OnClearUser(const TRequest& r);
  bool OnRecovery(const TRequest& r);
  void Forget(std::uint16_t handle);

  struct RecoveryProgress {
    std::uint32_t user = 0;
    std::uint8_t passed = 0;  // the last step passed
    std::int64_t since = 0;
  };

  TServerContext& ctx_;
  TWorkPool* pool_;
  std::mutex mutex_;  // recovery state: recovery runs on the pool, disconnects on the dispatch thread
  std::map<std::uint16_t, RecoveryProgress> recovery_;  // at most one per connection
  TWindowCounter wrong_;  // wrong answers per existing account
};

}  // namespace kiv::server
