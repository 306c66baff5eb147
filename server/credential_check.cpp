#include "credential_check.h"

#include <sodium.h>

#include <algorithm>
#include <cctype>

namespace kiv::server {

namespace {
// Expired entries dropped per call at most, so no call walks a long run of them.
constexpr int kExpirePerCall = 8;
}  // namespace

std::string NewRequestId() {
  unsigned char bytes[16];
  randombytes_buf(bytes, sizeof bytes);
  char hex[sizeof bytes * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
  return hex;
}

bool IsRequestId(std::string_view id) {
  if (id.empty() || id.size() > 64) return false;
  for (char c : id)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
  return true;
}

bool TWindowCounter::MakeRoom(std::int64_t now) {
  for (int i = 0; i < kExpirePerCall && !order_.empty(); ++i) {
    auto it = entries_.find(order_.front());
    if (it != entries_.end() && now - it->second.since < window_) break;
    if (it != entries_.end()) entries_.erase(it);
    order_.pop_front();
  }
  return entries_.size() < capacity_;
}

bool TWindowCounter::Full(const std::string& key, std::int64_t now) {
  auto it = entries_.find(key);
  if (it == entries_.end()) return !MakeRoom(now);
  if (now - it->second.since >= window_) {
    order_.erase(it->second.order);
    entries_.erase(it);
    return false;
  }
  return it->second.count >= limit_;
}

bool TWindowCounter::Count(const std::string& key, std::int64_t now) {
  auto it = entries_.find(key);
  if (it != entries_.end() && now - it->second.since >= window_) {
    order_.erase(it->second.order);
    entries_.erase(it);
    it = entries_.end();
  }
  if (it == entries_.end()) {
    if (!MakeRoom(now)) return false;
    order_.push_back(key);
    it = entries_.emplace(key, Entry{0, now, std::prev(order_.end())}).first;
  }
  ++it->second.count;
  return true;
}

void TWindowCounter::Forget(const std::string& key) {
  auto it = entries_.find(key);
  if (it == entries_.end()) return;
  order_.erase(it->second.order);
  entries_.erase(it);
}

bool TRateLimit::Take(const std::string& key, std::int64_t now) {
  auto it = buckets_.find(key);
  if (it == buckets_.end()) {
    // Room: the least recently used bucket goes when it has refilled (it would start full anyway).
    if (buckets_.size() >= capacity_) {
      auto oldest = buckets_.find(order_.front());
      if ((now - oldest->second.at) * per_second_ + oldest->second.tokens < burst_) return false;
      buckets_.erase(oldest);
      order_.pop_front();
    }
    order_.push_back(key);
    it = buckets_.emplace(key, Bucket{burst_, now, std::prev(order_.end())}).first;
  } else {
    order_.splice(order_.end(), order_, it->second.order);
  }
  Bucket& b = it->second;
  if (now > b.at) {
    b.tokens = std::min<std::int64_t>(burst_, b.tokens + (now - b.at) * per_second_);
    b.at = now;
  }
  if (b.tokens <= 0) return false;
  --b.tokens;
  return true;
}

TCredentialCheck::TCredentialCheck(const TPasswordHasher& hasher, int burst, int per_second)
    : hasher_(hasher),
      dummy_hash_(hasher.Hash("no account has this digest")),
      pairs_(kMaxTracked, kMaxWrong, kWindowSeconds),
      addresses_(kMaxTracked, kMaxWrongPerAddress, kWindowSeconds),
      accounts_(kMaxTracked, kMaxWrongPerAccount, kWindowSeconds),
      rate_(kMaxTracked, std::max(burst, 1), per_second),
      rated_(per_second > 0) {}

bool TCredentialCheck::Locked(std::uint32_t code, const std::string& address, std::int64_t now) {
  const std::string account = std::to_string(code);
  return pairs_.Full(account + " " + address, now) || addresses_.Full(address, now) ||
         (code != 0 && accounts_.Full(account, now));
}

void TCredentialCheck::CountWrong(std::uint32_t code, const std::string& address, std::int64_t now) {
  const std::string account = std::to_string(code);
  pairs_.Count(account + " " + address, now);
  addresses_.Count(address, now);
  if (code != 0) accounts_.Count(account, now);
}

bool TCredentialCheck::Verify(std::uint32_t code, const std::string& hash, const std::string& digest,
                              const std::string& address, std::int64_t now) {
  {
    std::lock_guard lock(mutex_);
    if (Locked(code, address, now)) return false;
  }
  if (hasher_.Verify(hash, digest)) return true;
  std::lock_guard lock(mutex_);
  CountWrong(code, address, now);
  return false;
}

void TCredentialCheck::Unknown(const std::string& address, std::int64_t now) {
  {
    std::lock_guard lock(mutex_);
    if (addresses_.Full(address, now)) return;
  }
  hasher_.Verify(dummy_hash_, "");
  std::lock_guard lock(mutex_);
  addresses_.Count(address, now);
}

bool TCredentialCheck::Allow(const std::string& address, std::int64_t now) {
  if (!rated_) return true;
  std::lock_guard lock(mutex_);
  return rate_.Take(address, now);
}

}  // namespace kiv::server
