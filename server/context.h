// What the roles of one server process share: configuration, store, password hasher, log, the
// home node's sessions and the values the admin command may change at run time.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "config.h"
#include "credential_check.h"
#include "password_hash.h"
#include "server_log.h"
#include "sessions.h"
#include "store.h"

namespace kiv::server {

class TEndpoint;

struct TServerContext {
  TServerContext(TServerConfig c, IAccountStore& s, TServerLog l)
      : config(std::move(c)),
        store(s),
        hasher(config.hash_cost),
        credentials(hasher, config.sign_in_burst, config.sign_in_per_second),
        log(std::move(l)),
        latest_version(config.latest_version),
        update_mode(config.update_mode) {}

  const TServerConfig config;
  IAccountStore& store;
  const TPasswordHasher hasher;
  TCredentialCheck credentials;  // every password check, with the limit on wrong guesses
  const TServerLog log;
  TSessionTable sessions;

  // The client version announced to clients; the admin command publishes new ones.
  std::atomic<std::int32_t> latest_version;
  std::atomic<std::uint8_t> update_mode;

  // The home endpoint, once its role exists (it outlives every handler of the other endpoints):
  // the login role sends no client to a home endpoint without room.
  std::atomic<const TEndpoint*> home_endpoint{nullptr};

  // The home node's address as clients should use it; set once its port is bound.
  WireAddress HomeAnnounced() const {
    std::lock_guard lock(mutex_);
    return home_announced_;
  }
  void SetHomeAnnounced(WireAddress a) {
    std::lock_guard lock(mutex_);
    home_announced_ = std::move(a);
  }

  std::int64_t NowSeconds() const { return static_cast<std::int64_t>(std::time(nullptr)); }

 private:
  mutable std::mutex mutex_;
  WireAddress home_announced_;
};

}  // namespace kiv::server
