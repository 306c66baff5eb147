// kivora-server as a process: SIGTERM, a kill in the middle of a transfer, the admin command line.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "protocol.h"
#include "protocol_client.h"
#include "server.h"
#include "server_process.h"
#include "sqlite_store.h"
#include "store.h"
#include "test_dir.h"

namespace kiv::server {
namespace {

using kiv::testing::TProtocolClient;
using kiv::testing::TServerProcess;

std::vector<std::string> Args(const std::filesystem::path& data, std::vector<std::string> more = {}) {
  std::vector<std::string> a{"--data", data.string(),   "--seed-demo", "--login-port", "0", "--home-port",
                             "0",      "--update-port", "0",           "--web-port",   "0", "--hash-cost",
                             "min"};
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(ServerProcessTest, EndsCleanlyOnSigtermAndLogsSignInAndSignOut) {
  TestDir dir;
  TServerProcess server;
  std::string error;
  ASSERT_TRUE(server.Start(kiv::testing::ServerBinary(), Args(dir.path()), 20000, &error)) << error;
  ASSERT_NE(server.Login().port, 0);
  {
    TProtocolClient client;
    kiv::testing::TLoginFields f;
    f.user = 10001;
    f.password = kDemoPassword;
    auto s = client.SignInVia(server.Login(), f);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(s.login_reply.size(), proto::login_reply::kSize);
  }
  server.Signal(SIGTERM);
  int status = server.Wait();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::string log = ReadAll(dir.path() / "server.log");
  EXPECT_NE(log.find("signed in user 10001 from 127.0.0.1:"), std::string::npos) << log;
  EXPECT_NE(log.find("signed out user 10001 from 127.0.0.1:"), std::string::npos) << log;
  EXPECT_NE(log.find("stopped"), std::string::npos);
  // The WAL was checkpointed into the database file.
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "kivora.db-wal") &&
               std::filesystem::file_size(dir.path() / "kivora.db-wal") > 0);
}

TEST(ServerProcessTest, KillInTheMiddleOfATransferCreatesAndLosesNothing) {
  for (const char* point : {kFaultAfterDebit, kFaultAfterCredit}) {
    TestDir dir;
    {
      TServerProcess server;
      std::string error;
      ASSERT_TRUE(server.Start(kiv::testing::ServerBinary(), Args(dir.path(), {"--fault-point", point}),
                               20000, &error))
          << error;
      TProtocolClient client;
      kiv::testing::TLoginFields f;
      f.user = 10001;
      f.password = kDemoPassword;
      auto s = client.SignInVia(server.Login(), f);
      ASSERT_TRUE(s.ok());
      client.Send(s.home, kiv::testing::TransferRequest(10001, 10002, 100, kDemoPassword));
      int status = server.Wait();
      ASSERT_TRUE(WIFEXITED(status)) << point;
      EXPECT_EQ(WEXITSTATUS(status), 86) << point;
    }
    TSqliteStore store((dir.path() / "kivora.db").string());
    EXPECT_EQ(store.Find(10001)->money, 1000) << point;
    EXPECT_EQ(store.Find(10002)->money, 1000) << point;
    EXPECT_EQ(store.LedgerRows(), 0) << point;
  }
}

TEST(ServerProcessTest, AdminCommandLineTalksToTheRunningServer) {
  TestDir dir;
  TServerProcess server;
  std::string error;
  ASSERT_TRUE(server.Start(kiv::testing::ServerBinary(), Args(dir.path()), 20000, &error)) << error;
  std::string command = kiv::testing::ServerBinary().string() + " admin --data " + dir.path().string() +
                        " add-user 30000 pw 小李 5 > " + (dir.path() / "out.txt").string();
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(ReadAll(dir.path() / "out.txt"), "added 30000\n");
  command =
      kiv::testing::ServerBinary().string() + " admin --data " + dir.path().string() + " kick > /dev/null";
  EXPECT_NE(std::system(command.c_str()), 0);  // bad arguments fail
}

}  // namespace
}  // namespace kiv::server
