// The service's web site (HTTP): the content folder the asset tool generates (the version file, the
// gift, stamp and skin catalogues, their pictures and skin packages) with ETag and Content-Length,
// and the account pages the client opens in the browser: registration, top-up, the transaction
// record, the mall, customer service and help.
//
// Threads: the HTTP library serves each request on a thread of its pool; every handler reads only
// the content folder, the store (thread-safe) and the versions file under `mutex_`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "context.h"
#include "friend_store.h"

namespace httplib {
class Server;
}

namespace kiv::server {

class TWebRole {
 public:
  // `content`: the generated content folder; `versions`: the file where bumped catalogue versions
  // are kept (it overrides the content folder's version file).
  // `presence` (optional, not owned): where users signed in on other home nodes are found.
  TWebRole(TServerContext& ctx, std::filesystem::path content, std::filesystem::path versions,
           IFriendStore* presence = nullptr);
  ~TWebRole();
  TWebRole(const TWebRole&) = delete;
  TWebRole& operator=(const TWebRole&) = delete;

  // Binds `address`:`port` (0: a free port) and starts serving. False with `error` on failure.
  bool Start(const std::string& address, std::uint16_t port, std::string* error);
  void Stop();
  std::uint16_t Port() const { return port_; }

  // Requests answered for `path` (without the query) since the start.
  std::uint64_t Requests(const std::string& path) const;

  // Raises one catalogue's version ("present", "stamp" or "skin") by one; the new number, or -1
  // for an unknown catalogue or when it cannot be saved.
  int BumpVersion(const std::string& catalogue);

  // The version file as served: the content folder's, with the bumped numbers over it.
  std::string VersionFile() const;

 private:
  void Route();
  // The address the user's client is signed in from, on this node or another; empty when none.
  std::string SignedInFrom(std::uint32_t user) const;

  TServerContext& ctx_;
  IFriendStore* presence_;
  const std::filesystem::path content_, versions_;
  std::unique_ptr<httplib::Server> http_;
  std::thread thread_;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::map<std::string, std::uint64_t> requests_;
};

}  // namespace kiv::server
