// The login role (UDP 9009 by default): the version check, the first step of every sign-in (the
// credentials are checked and the client is sent on to its home node), guest codes, clearing a
// local user and the three steps of password recovery.
//
// Recovery is kept per connection: a step is answered only after the previous one passed on the
// same connection within kRecoveryWindowSeconds, and an account takes at most kRecoveryMaxWrong
// wrong answers or identity numbers within that window; after that every step is refused until it
// has passed.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "context.h"
#include "router.h"

namespace kiv::server {

inline constexpr std::int64_t kRecoveryWindowSeconds = 600;
inline constexpr int kRecoveryMaxWrong = 5;

class TLoginRole final : public TRole {
 public:
  explicit TLoginRole(TServerContext& ctx) : ctx_(ctx) {}
  const char* Name() const override { return "login"; }
  void Attach(TMessageRouter& router) override;

 private:
  bool OnLogin(const TRequest& r);
  bool OnClearUser(const TRequest& r);
  bool OnRecovery(const TRequest& r);
  void Forget(std::uint16_t handle);

  struct RecoveryProgress {
    std::uint32_t user = 0;
    std::uint8_t passed = 0;  // the last step passed
    std::int64_t since = 0;
  };
  struct WrongAnswers {
    int count = 0;
    std::int64_t since = 0;
  };
  bool Locked(std::uint32_t user, std::int64_t now);
  void CountWrong(std::uint32_t user, std::int64_t now);

  TServerContext& ctx_;
  std::mutex mutex_;  // recovery state; handlers run on one thread, disconnects too, but be safe
  std::map<std::uint16_t, RecoveryProgress> recovery_;
  std::map<std::uint32_t, WrongAnswers> wrong_;
};

}  // namespace kiv::server
