#include "server_log.h"

#include <cstdio>
#include <string>

#include "base/log.h"

namespace kiv::server {

void TServerLog::Line(std::string_view text) const {
  if (!file_.empty()) Log(file_, text);
  if (mirror_) std::fprintf(stderr, "kivora-server: %.*s\n", static_cast<int>(text.size()), text.data());
}

void TServerLog::Event(std::string_view what, std::uint32_t user, const WireAddress& peer) const {
  std::string line(what);
  line += " user " + std::to_string(user) + " from " + (peer.ip.empty() ? "?" : peer.ip) + ":" +
          std::to_string(peer.port);
  Line(line);
}

}  // namespace kiv::server
