// Salted hashes of the digests clients send for passwords, pay passwords, protection answers and
// identity numbers. The server never stores a digest itself: only libsodium's crypto_pwhash_str
// form of it, which carries its own salt and cost.
#pragma once

#include <string>
#include <string_view>

#include "config.h"

namespace kiv::server {

class TPasswordHasher {
 public:
  explicit TPasswordHasher(THashCost cost);
  // The stored form of `secret`; empty when hashing failed (out of memory).
  std::string Hash(std::string_view secret) const;
  // True when `secret` matches `stored`. An empty `stored` matches nothing.
  bool Verify(const std::string& stored, std::string_view secret) const;

 private:
  unsigned long long ops_;
  std::size_t mem_;
};

}  // namespace kiv::server
