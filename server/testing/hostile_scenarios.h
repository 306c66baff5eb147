// Hostile peers against a running kivora-server, each followed by an honest client that must still be
// served. The same scenarios run in the test suite at a small scale and in the benchmark at full scale,
// where the server's resident memory before and after each is reported.
//
// Attackers send from their own loopback addresses (127.0.0.2 and up), so a limit per address that
// stops them must leave the honest client on 127.0.0.1 alone.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "base/wire.h"

namespace kiv::testing {

// What a scenario needs of the server under attack.
struct THostileTarget {
  WireAddress login, home, web;
  std::filesystem::path data_dir;  // its --data folder (SQLite store, control socket)
  pid_t pid = -1;
};

struct THostileOutcome {
  bool honest_served = false;  // the honest client's request after the attack was answered correctly
  std::string detail;          // what went wrong, or what the attack left behind
  std::uint64_t sent = 0;      // hostile messages or datagrams sent
};

struct THostileScenario {
  const char* name;
  // Runs the attack with `scale` hostile messages (each scenario documents its unit) and then the
  // honest check.
  std::function<THostileOutcome(const THostileTarget&, std::uint64_t scale)> run;
  std::uint64_t full_scale;  // the count the benchmark uses
  std::uint64_t test_scale;  // the count the test suite uses
};

// The table: handle takeover, a peer that never acknowledges, friend requests to an offline user,
// wrong sign-ins beside a version check, half-open associations, recovery requests with random
// codes, web password guessing.
const std::vector<THostileScenario>& HostileScenarios();

// The resident memory of a process in KiB, 0 when it cannot be read.
std::uint64_t ResidentKiB(pid_t pid);

}  // namespace kiv::testing
