// The real kivora-server against hostile peers of the login role: floods that must leave it
// answering honest clients, with bounded memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "protocol.h"
#include "protocol_client.h"
#include "server.h"
#include "server_process.h"
#include "test_dir.h"

namespace kiv::server {
namespace {

using kiv::testing::TLoginFields;
using kiv::testing::TProtocolClient;
using kiv::testing::TServerProcess;

long RssKib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  return 0;
}

class HostileLoginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(server_.Start(kiv::testing::ServerBinary(),
                              {"--data", dir_.path().string(), "--seed-demo", "--login-port", "0", "--home-port", "0",
                               "--update-port", "0", "--web-port", "0", "--hash-cost", "min"},
                              20000, &error))
        << error;
  }
  // Sends `count` messages made by `make` on `handle` in batches, each batch answered before the
  // next goes; false when an answer is missing.
  template <typename Make>
  bool Flood(TProtocolClient& c, std::uint16_t handle, int count, std::uint32_t reply_code, Make make) {
    constexpr int kBatch = 1000;
    for (int done = 0; done < count; done += kBatch) {
      for (int i = done; i < done + kBatch && i < count; ++i)
        if (!c.Send(handle, make(i))) return false;
      for (int i = done; i < done + kBatch && i < count; ++i)
        if (!c.WaitFor(reply_code, handle, 30000)) return false;
    }
    return true;
  }
  bool VersionCheckAnswered() {
    TProtocolClient honest;
    std::uint16_t h = honest.Connect(server_.Login());
    TLoginFields check;
    check.state = proto::login::kStateVersionCheck;
    auto reply = honest.Ask(h, kiv::testing::LoginRequest(check), proto::kLoginReply);
    return reply && RecordReader(*reply).u8(proto::login_reply::kResult) == proto::login_reply::kVersionInfo;
  }

  TestDir dir_;
  TServerProcess server_;
};

TEST_F(HostileLoginTest, FloodsOfRecoveryStepsAndWrongSignInsCostNoMoreMemoryThanVersionChecks) {
  // The transport's own share of a flood is what the same number of version checks costs (they
  // keep no state); what the floods below keep on top of it must stay small.
  constexpr int kMessages = 100000;
  std::mt19937 random(31);
  auto version = [](int) {
    TLoginFields check;
    check.state = proto::login::kStateVersionCheck;
    return kiv::testing::LoginRequest(check);
  };
  auto recovery = [&](int) { return kiv::testing::RecoveryRequest(1, random(), "123456789"); };
  auto wrong = [&](int i) {
    TLoginFields w;
    w.user = i % 2 ? 10001 : random() % 1000000000u;
    w.password = "guess";
    return kiv::testing::LoginRequest(w);
  };
  struct Case {
    const char* what;
    std::uint32_t reply;
    std::function<Bytes(int)> make;
  } cases[] = {{"version checks", proto::kLoginReply, version},
               {"recovery steps for random codes", proto::kRecovery, recovery},
               {"wrong sign-ins", proto::kLoginReply, wrong}};
  long baseline = 0;
  for (const Case& c : cases) {
    TProtocolClient flood;
    std::uint16_t f = flood.Connect(server_.Login());
    ASSERT_NE(f, 0);
    ASSERT_TRUE(Flood(flood, f, 1000, c.reply, c.make)) << c.what;
    const long before = RssKib(server_.Pid());
    ASSERT_TRUE(Flood(flood, f, kMessages, c.reply, c.make)) << c.what;
    const long after = RssKib(server_.Pid());
    std::fprintf(stderr, "%d %s: resident %ld KiB before, %ld KiB after\n", kMessages, c.what, before, after);
    if (c.reply == proto::kLoginReply && baseline == 0)
      baseline = after - before;
    else
      EXPECT_LT(after - before, baseline + 16 * 1024) << c.what;
    EXPECT_TRUE(VersionCheckAnswered()) << c.what;
  }
  // The log took the refused sign-ins within its budget, not one line each.
  std::ifstream log(dir_.path() / "server.log", std::ios::binary | std::ios::ate);
  EXPECT_LT(static_cast<long>(log.tellg()), 100L * kMessages / 4);
}

}  // namespace
}  // namespace kiv::server
