#include "password_hash.h"

#include <sodium.h>

#include <stdexcept>

namespace kiv::server {

TPasswordHasher::TPasswordHasher(THashCost cost) {
  if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
  switch (cost) {
    case THashCost::kMin:
      ops_ = crypto_pwhash_OPSLIMIT_MIN;
      mem_ = crypto_pwhash_MEMLIMIT_MIN;
      break;
    case THashCost::kInteractive:
      ops_ = crypto_pwhash_OPSLIMIT_INTERACTIVE;
      mem_ = crypto_pwhash_MEMLIMIT_INTERACTIVE;
      break;
    case THashCost::kModerate:
      ops_ = crypto_pwhash_OPSLIMIT_MODERATE;
      mem_ = crypto_pwhash_MEMLIMIT_MODERATE;
      break;
    case THashCost::kSensitive:
      ops_ = crypto_pwhash_OPSLIMIT_SENSITIVE;
      mem_ = crypto_pwhash_MEMLIMIT_SENSITIVE;
      break;
  }
}

std::string TPasswordHasher::Hash(std::string_view secret) const {
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, secret.data(), secret.size(), ops_, mem_) != 0) return {};
  return out;
}

bool TPasswordHasher::Verify(const std::string& stored, std::string_view secret) const {
  if (stored.empty() || stored.size() >= crypto_pwhash_STRBYTES) return false;
  return crypto_pwhash_str_verify(stored.c_str(), secret.data(), secret.size()) == 0;
}

}  // namespace kiv::server
