// The server's log: one line per sign-in, sign-out and error, with the peer's address, appended to
// a file (kiv::Log) and mirrored on standard error.
//
// Every line is cleaned first: control characters (CR and LF above all) are written as \xHH, so
// text from outside cannot start a line of its own. Lines that outside input causes (Event,
// Outside) share a budget of kBurst lines refilled at kPerSecond; past it they are counted, not
// written, and the next line that fits says how many were left out. Thread-safe.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/wire.h"

namespace kiv::server {

class TServerLog {
 public:
  static constexpr std::int64_t kBurst = 400;
  static constexpr std::int64_t kPerSecond = 40;

  // An empty path logs to standard error only.
  explicit TServerLog(std::filesystem::path file = {}, bool mirror = true)
      : file_(std::move(file)), mirror_(mirror), budget_(std::make_shared<Budget>()) {}
  // The server's own lines (start, stop, admin commands): never left out.
  void Line(std::string_view text) const;
  // A line caused by a request from outside (a refusal, a web request): within the budget.
  void Outside(std::string_view text) const;
  void Event(std::string_view what, std::uint32_t user, const WireAddress& peer) const;
  const std::filesystem::path& File() const { return file_; }
  // Lines left out for the budget since the start.
  std::uint64_t LeftOut() const;

  // `text` with every control character written as \xHH and at most kMaxLine bytes.
  static constexpr std::size_t kMaxLine = 2000;
  static std::string Clean(std::string_view text);

 private:
  struct Budget {
    std::mutex mutex;
    std::int64_t tokens = kBurst;
    std::int64_t at = 0;  // seconds of the steady clock when last refilled
    std::uint64_t pending = 0, total = 0;
  };
  void Write(const std::string& line) const;

  std::filesystem::path file_;
  bool mirror_;
  std::shared_ptr<Budget> budget_;
};

}  // namespace kiv::server
