#include "server_log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "base/log.h"

namespace kiv::server {

std::string TServerLog::Clean(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(std::min(text.size(), kMaxLine));
  for (char c : text) {
    if (out.size() >= kMaxLine) {
      out += "...";
      break;
    }
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || c == '\\') {
      out += '\\';
      out += 'x';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

void TServerLog::Write(const std::string& line) const {
  if (!file_.empty()) Log(file_, line);
  if (mirror_) std::fprintf(stderr, "kivora-server: %s\n", line.c_str());
}

void TServerLog::Line(std::string_view text) const { Write(Clean(text)); }

void TServerLog::Outside(std::string_view text) const {
  std::uint64_t left_out = 0;
  {
    std::lock_guard lock(budget_->mutex);
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    if (now > budget_->at) {
      budget_->tokens = std::min(kBurst, budget_->tokens + (now - budget_->at) * kPerSecond);
      budget_->at = now;
    }
    if (budget_->tokens <= 0) {
      ++budget_->pending;
      ++budget_->total;
      return;
    }
    --budget_->tokens;
    left_out = std::exchange(budget_->pending, 0);
  }
  if (left_out) Write(std::to_string(left_out) + " lines about outside requests left out");
  Write(Clean(text));
}

std::uint64_t TServerLog::LeftOut() const {
  std::lock_guard lock(budget_->mutex);
  return budget_->total;
}

void TServerLog::Event(std::string_view what, std::uint32_t user, const WireAddress& peer) const {
  std::string line(what);
  line += " user " + std::to_string(user) + " from " + (peer.ip.empty() ? "?" : peer.ip) + ":" +
          std::to_string(peer.port);
  Outside(line);
}

}  // namespace kiv::server
