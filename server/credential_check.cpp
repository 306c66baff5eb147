#include "credential_check.h"

namespace kiv::server {

bool TCredentialCheck::Check(const TAccount& account, const std::string& digest, const std::string& address,
                             std::int64_t now) {
  auto key = std::make_pair(account.code, address);
  {
    std::lock_guard lock(mutex_);
    auto it = wrong_.find(key);
    if (it != wrong_.end()) {
      if (now - it->second.since >= kWindowSeconds)
        wrong_.erase(it);
      else if (it->second.count >= kMaxWrong)
        return false;
    }
  }
  if (hasher_.Verify(account.password_hash, digest)) return true;
  std::lock_guard lock(mutex_);
  if (wrong_.size() >= kMaxTracked) {
    for (auto e = wrong_.begin(); e != wrong_.end();)
      e = now - e->second.since >= kWindowSeconds ? wrong_.erase(e) : std::next(e);
    if (wrong_.size() >= kMaxTracked && !wrong_.count(key)) return false;
  }
  Wrong& w = wrong_[key];
  if (w.count == 0 || now - w.since >= kWindowSeconds) w = {0, now};
  ++w.count;
  return false;
}

}  // namespace kiv::server
