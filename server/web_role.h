// The service's web site (HTTP): the content folder the asset tool generates (the version file, the
// gift, stamp and skin catalogues, their pictures and skin packages) with ETag and Content-Length,
// and the account pages the client opens in the browser: registration, top-up, the transaction
// record, the mall, customer service and help.
//
// Threads: the HTTP library serves each request on a thread of its pool; every handler reads only
// the content folder, the store (thread-safe) and the versions file under `mutex_`.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "context.h"
#include "friend_store.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

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

  // Requests answered for `path` (without the query) since the start. Only paths the site has
  // are counted (a page, or a file it served), at most kMaxCountedPaths of them; the rest of the
  // requests count under kOtherPaths.
  std::uint64_t Requests(const std::string& path) const;
  std::size_t CountedPaths() const;
  static constexpr std::size_t kMaxCountedPaths = 1024;
  static constexpr const char* kOtherPaths = "(other)";
  // Content files read from disk since the start (a request answered from the ETag cache reads none).
  std::uint64_t ContentReads() const { return content_reads_.load(); }

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
  // A content file's strong ETag is the MD5 of its bytes. It is kept by the file's identity, size
  // and modification time, so a conditional request for an unchanged file is answered from here
  // without reading it. Bounded: a full cache starts again.
  struct TFileStamp {
    std::uint64_t device = 0, inode = 0, size = 0;
    std::int64_t mtime_ns = 0;
    bool operator==(const TFileStamp&) const = default;
  };
  struct TCachedTag {
    TFileStamp stamp;
    std::string etag;
  };
  static constexpr std::size_t kMaxCachedTags = 4096;
  // Answers one file of the content folder (a resolved path inside it).
  void ServeContentFile(const std::filesystem::path& path, const httplib::Request& req,
                        httplib::Response& res);
  std::optional<std::string> CachedTag(const std::string& path, const TFileStamp& stamp) const;
  void KeepTag(const std::string& path, const TFileStamp& stamp, const std::string& etag);

  mutable std::mutex mutex_;
  std::map<std::string, std::uint64_t> requests_;
  mutable std::mutex tags_mutex_;
  std::map<std::string, TCachedTag> tags_;
  std::atomic<std::uint64_t> content_reads_{0};
};

}  // namespace kiv::server
