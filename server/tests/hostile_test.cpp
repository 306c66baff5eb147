// Hostile peers against the real kivora-server process: each scenario of the shared table runs
// against a fresh server, and an honest client must be served afterwards.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "hostile_scenarios.h"
#include "server_process.h"
#include "test_dir.h"

namespace kiv::testing {
namespace {

class HostileTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(HostileTest, LeavesTheServerServingHonestClients) {
  const THostileScenario& scenario = HostileScenarios()[GetParam()];
  TestDir dir;
  TServerProcess server;
  std::string error;
  ASSERT_TRUE(server.Start(ServerBinary(),
                           {"--data", dir.path().string(), "--seed-demo", "--login-port", "0", "--home-port", "0",
                            "--update-port", "0", "--web-port", "0", "--hash-cost", "min"},
                           20000, &error))
      << error;
  THostileTarget target{server.Login(), server.Home(), server.Web(), dir.path(), server.Pid()};
  THostileOutcome outcome = scenario.run(target, scenario.test_scale);
  EXPECT_TRUE(outcome.honest_served) << scenario.name << ": " << outcome.detail;
  ASSERT_TRUE(server.Running()) << scenario.name << ": the server ended";
  server.Signal(SIGTERM);
  const int status = server.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << scenario.name << ": status " << status;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, HostileTest, ::testing::Range<std::size_t>(0, HostileScenarios().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           std::string name = HostileScenarios()[info.param].name;
                           for (char& c : name)
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

}  // namespace
}  // namespace kiv::testing
