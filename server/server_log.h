// The server's log: one line per sign-in, sign-out and error, with the peer's address, appended to
// a file (kiv::Log) and mirrored on standard error.
#pragma once

#include <filesystem>
#include <string_view>

#include "base/wire.h"

namespace kiv::server {

class TServerLog {
 public:
  // An empty path logs to standard error only.
  explicit TServerLog(std::filesystem::path file = {}, bool mirror = true)
      : file_(std::move(file)), mirror_(mirror) {}
  void Line(std::string_view text) const;
  void Event(std::string_view what, std::uint32_t user, const WireAddress& peer) const;
  const std::filesystem::path& File() const { return file_; }

 private:
  std::filesystem::path file_;
  bool mirror_;
};

}  // namespace kiv::server
