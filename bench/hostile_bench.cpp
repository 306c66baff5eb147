// bench/run hostile: the hostile-peer table at full scale against kivora-server (release build, its
// own process, a fresh server per scenario). For each scenario one figure: the server's resident
// memory after the attack and the honest client's check, with its memory before the attack (same
// run, same process) as the peer, so the ratio is the growth the attack left behind. A scenario whose
// honest client was not served prints its reason on stderr and the process ends non-zero.
// `bench/run hostile WORD` runs only the scenarios whose name holds WORD.
#include <signal.h>

#include <cstdio>
#include <string>

#include "hostile_scenarios.h"
#include "report.h"
#include "server_process.h"
#include "test_dir.h"

int main(int argc, char** argv) {
  using namespace kiv::testing;
  using kiv::TestDir;
  const std::string only = argc > 1 ? argv[1] : "";
  int failures = 0;
  for (const THostileScenario& scenario : HostileScenarios()) {
    if (std::string(scenario.name).find(only) == std::string::npos) continue;
    TestDir dir;
    TServerProcess server;
    std::string error;
    if (!server.Start(ServerBinary(),
                      {"--data", dir.path().string(), "--seed-demo", "--login-port", "0", "--home-port", "0",
                       "--update-port", "0", "--web-port", "0", "--hash-cost", "min"},
                      30000, &error)) {
      std::fprintf(stderr, "server did not start: %s\n", error.c_str());
      return 1;
    }
    THostileTarget target{server.Login(), server.Home(), server.Web(), dir.path(), server.Pid()};
    const std::uint64_t before = ResidentKiB(server.Pid());
    THostileOutcome outcome = scenario.run(target, scenario.full_scale);
    const std::uint64_t after = ResidentKiB(server.Pid());
    std::fprintf(stderr, "%-42s %8llu sent  rss %7llu -> %7llu KiB  %s%s\n", scenario.name,
                 static_cast<unsigned long long>(outcome.sent), static_cast<unsigned long long>(before),
                 static_cast<unsigned long long>(after), outcome.honest_served ? "served" : "NOT SERVED: ",
                 outcome.honest_served ? "" : outcome.detail.c_str());
    if (!outcome.honest_served) ++failures;
    std::string metric = scenario.name;
    for (char& c : metric)
      if (c == ' ' || c == '-') c = '_';
    kivbench::Print({"hostile", "rss_after_" + metric, "KiB", static_cast<double>(after),
                     {{"rss_before", static_cast<double>(before)}}});
    server.Signal(SIGTERM);
    server.Wait();
  }
  return failures ? 1 : 0;
}
