// Checks a sign-in password digest against an account, with a limit on wrong guesses: one address
// may give kMaxWrong wrong passwords for one account within kWindowSeconds; after that every
// check for that pair fails without hashing until the window has passed. The login and the home
// role both check passwords through it, so neither is an open door for guessing. Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "password_hash.h"
#include "store.h"

namespace kiv::server {

class TCredentialCheck {
 public:
  static constexpr int kMaxWrong = 10;
  static constexpr std::int64_t kWindowSeconds = 600;
  // Pairs tracked at most; beyond it new pairs are not tracked until old ones expire.
  static constexpr std::size_t kMaxTracked = 100000;

  explicit TCredentialCheck(const TPasswordHasher& hasher) : hasher_(hasher) {}
  bool Check(const TAccount& account, const std::string& digest, const std::string& address,
             std::int64_t now);

 private:
  struct Wrong {
    int count = 0;
    std::int64_t since = 0;
  };
  const TPasswordHasher& hasher_;
  std::mutex mutex_;
  std::map<std::pair<std::uint32_t, std::string>, Wrong> wrong_;
};

}  // namespace kiv::server
