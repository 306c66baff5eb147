// The one limit on password guessing, for every check of a secret over UDP and on the web site:
// sign-in, clear-user, profile and pay passwords, transfers, the account pages.
//
// Wrong guesses are counted per (account, address), per account and per address, each within
// kWindowSeconds; once any of the three counts is full, every check it covers fails without
// hashing until its window has passed. Each table holds at most a fixed number of entries and
// fails closed: when it is full of live entries, a check that would need a new entry fails. The
// entries are kept in the order their window started, so expired ones leave from the front a few
// at a time, never by a sweep over the whole table.
//
// In front of the hash of a sign-in (and of a guest code) there is also a per-address rate: a
// token bucket of `burst` checks refilled at `per_second` (the configuration's [limits]; 0 per
// second: no rate), so one address cannot keep the workers hashing. Thread-safe; the hash runs
// outside the lock.
#pragma once

#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "password_hash.h"
#include "store.h"

namespace kiv::server {

// Counts events per key within a window, for at most `capacity` keys. Not thread-safe.
class TWindowCounter {
 public:
  TWindowCounter(std::size_t capacity, int limit, std::int64_t window)
      : capacity_(capacity), limit_(limit), window_(window) {}
  // True when `key` reached the limit within its window, or when it has no entry and none could
  // be made (the table is full of live entries).
  bool Full(const std::string& key, std::int64_t now);
  // Counts one event for `key`; false when the table is full and `key` is new (nothing counted).
  bool Count(const std::string& key, std::int64_t now);
  void Forget(const std::string& key);
  std::size_t Size() const { return entries_.size(); }
  std::size_t Capacity() const { return capacity_; }

 private:
  struct Entry {
    int count = 0;
    std::int64_t since = 0;
    std::list<std::string>::iterator order;
  };
  // Drops a few expired entries from the front; true when there is room for one more.
  bool MakeRoom(std::int64_t now);
  std::size_t capacity_;
  int limit_;
  std::int64_t window_;
  std::unordered_map<std::string, Entry> entries_;
  std::list<std::string> order_;  // keys, oldest window first
};

// A token bucket per key, for at most `capacity` keys; a key whose bucket has refilled is dropped
// first when room is needed. Not thread-safe.
class TRateLimit {
 public:
  TRateLimit(std::size_t capacity, int burst, int per_second)
      : capacity_(capacity), burst_(burst), per_second_(per_second) {}
  // Takes one token of `key`; false when it has none left or the table is full of busy keys.
  bool Take(const std::string& key, std::int64_t now);
  std::size_t Size() const { return buckets_.size(); }

 private:
  struct Bucket {
    std::int64_t tokens = 0;
    std::int64_t at = 0;
    std::list<std::string>::iterator order;
  };
  std::size_t capacity_;
  std::int64_t burst_, per_second_;
  std::unordered_map<std::string, Bucket> buckets_;
  std::list<std::string> order_;  // keys, least recently used first
};

// A fresh random id for one credit request (32 hexadecimal characters).
std::string NewRequestId();
// What a request id may hold: 1..64 letters, digits, '-' and '_'.
bool IsRequestId(std::string_view id);

class TCredentialCheck {
 public:
  static constexpr int kMaxWrong = 10;              // per (account, address)
  static constexpr int kMaxWrongPerAddress = 50;    // over all accounts
  static constexpr int kMaxWrongPerAccount = 200;   // over all addresses
  static constexpr std::int64_t kWindowSeconds = 600;
  static constexpr std::size_t kMaxTracked = 100000;  // entries of each table
  static constexpr int kRateBurst = 40;
  static constexpr int kRatePerSecond = 10;

  explicit TCredentialCheck(const TPasswordHasher& hasher, int burst = kRateBurst,
                            int per_second = kRatePerSecond);

  // The sign-in password of `account`, as the sign-in digest.
  bool Check(const TAccount& account, const std::string& digest, const std::string& address,
             std::int64_t now) {
    return Verify(account.code, account.password_hash, digest, address, now);
  }
  // Any secret of account `code` (its sign-in or pay password) against its stored `hash`.
  bool Verify(std::uint32_t code, const std::string& hash, const std::string& digest,
              const std::string& address, std::int64_t now);
  // A guess for an account that does not exist: costs the same hash and counts against the
  // address, so unknown codes are neither faster nor free.
  void Unknown(const std::string& address, std::int64_t now);
  // One token of the address's hash rate (sign-ins, guest codes); false when it has to wait.
  bool Allow(const std::string& address, std::int64_t now);

 private:
  bool Locked(std::uint32_t code, const std::string& address, std::int64_t now);
  void CountWrong(std::uint32_t code, const std::string& address, std::int64_t now);

  const TPasswordHasher& hasher_;
  const std::string dummy_hash_;  // hashed once, for the checks of unknown accounts
  std::mutex mutex_;
  TWindowCounter pairs_, addresses_, accounts_;
  TRateLimit rate_;
  const bool rated_;
};

}  // namespace kiv::server
