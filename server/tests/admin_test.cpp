// The admin command over the control socket, against a running server.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "control_socket.h"
#include "server_fixture.h"

namespace kiv::server {
namespace {

using kiv::testing::TProtocolClient;

class AdminTest : public ServerFixture {
 protected:
  std::string Admin(const std::vector<std::string>& args) {
    std::string answer;
    EXPECT_TRUE(ControlRequest(server_->ControlPath(), args, answer));
    return answer;
  }
};

TEST_F(AdminTest, AddUserSetBalanceAndOnlineList) {
  EXPECT_EQ(Admin({"add-user", "20000", "secret pass", "小王", "300"}), "added 20000\n");
  EXPECT_TRUE(Admin({"add-user", "20000", "x", "y"}).starts_with("error:"));
  TProtocolClient client;
  auto s = SignIn(client, 20000, "secret pass");
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(RecordReader(s.reply).u32(proto::login_reply::kMoney), 300u);
  EXPECT_EQ(Admin({"set-balance", "20000", "42"}), "balance 20000 42\n");
  auto balance = client.WaitFor(proto::kBalanceChanged, s.home);
  ASSERT_TRUE(balance);
  EXPECT_EQ(RecordReader(*balance).u32(proto::balance::kMoney), 42u);
  std::string online = Admin({"online"});
  EXPECT_NE(online.find("20000 user 1 127.0.0.1:"), std::string::npos) << online;
  EXPECT_NE(online.find("1 online"), std::string::npos);
  EXPECT_TRUE(Admin({"set-balance", "20000", "-1"}).starts_with("error:"));
  EXPECT_TRUE(Admin({"frobnicate"}).starts_with("error:"));
}

// A payment the operator received: credited once per request id, with a ledger row, and the
// signed-in user hears the new balance.
TEST_F(AdminTest, CreditCreditsEachRequestOnce) {
  TProtocolClient client;
  auto s = SignIn(client, 10001);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(Admin({"credit", "10001", "250", "order-17"}),
            "credited 250 to 10001 balance 1250 request order-17\n");
  auto balance = client.WaitFor(proto::kBalanceChanged, s.home);
  ASSERT_TRUE(balance);
  EXPECT_EQ(RecordReader(*balance).u32(proto::balance::kMoney), 1250u);
  // The same request again, even for another account, credits nothing.
  EXPECT_TRUE(Admin({"credit", "10001", "250", "order-17"}).starts_with("error:"));
  EXPECT_TRUE(Admin({"credit", "10002", "250", "order-17"}).starts_with("error:"));
  // Without an id the command makes one and says it.
  EXPECT_TRUE(Admin({"credit", "10002", "5"}).starts_with("credited 5 to 10002 balance 1005 request "));
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"credit", "10002", "0", "a"}, {"credit", "10002", "-5", "b"},
        {"credit", "10002", "x", "c"}, {"credit", "99999", "5", "d"}, {"credit", "10002", "5", "bad id"},
        {"credit", "10002"}})
    EXPECT_TRUE(Admin(bad).starts_with("error:")) << bad.size();
  EXPECT_EQ(Balance(10001), kDemoMoney + 250);
  EXPECT_EQ(Balance(10002), kDemoMoney + 5);
  EXPECT_EQ(server_->Store().LedgerRows(), 2);
}

TEST_F(AdminTest, BroadcastKickAndLevelUpReachTheClient) {
  TProtocolClient client;
  auto s = SignIn(client, 10001);
  ASSERT_TRUE(s.ok());
  EXPECT_EQ(Admin({"broadcast", "1", "今晚 维护"}), "sent to 1\n");
  auto b = client.WaitFor(proto::kBroadcast, s.home);
  ASSERT_TRUE(b);
  ASSERT_EQ(b->size(), proto::broadcast::kSize);
  EXPECT_EQ(RecordReader(*b).u8(proto::broadcast::kKind), 1);
  EXPECT_EQ(RecordReader(*b).text(proto::broadcast::kText, 255), "今晚 维护");

  EXPECT_EQ(Admin({"level-up", "10001"}), "level-up 10001\n");
  auto up = client.WaitFor(proto::kLevelUp, s.home);
  ASSERT_TRUE(up);
  EXPECT_EQ(RecordReader(*up).u32(proto::balance::kUserCode), 10001u);
  EXPECT_EQ(server_->Store().Find(10001)->level_points, 1u);

  EXPECT_EQ(Admin({"kick", "10001"}), "kicked 10001\n");
  auto kick = client.WaitFor(proto::kForcedSignOut, s.home);
  ASSERT_TRUE(kick);
  EXPECT_EQ(RecordReader(*kick).u8(proto::kick::kKind), proto::kick::kByAdministrator);
  EXPECT_EQ(server_->Context().sessions.Count(), 0u);
}

TEST_F(AdminTest, PublishedVersionIsAnnouncedAndKept) {
  EXPECT_EQ(Admin({"publish-version", "201200", "1"}), "published 201200 mode 1\n");
  auto check = [&] {
    TProtocolClient client;
    std::uint16_t login = client.Connect(Login());
    kiv::testing::TLoginFields f;
    f.state = proto::login::kStateVersionCheck;
    auto r = client.Ask(login, kiv::testing::LoginRequest(f), proto::kLoginReply);
    EXPECT_TRUE(r);
    return r ? std::make_pair(RecordReader(*r).i32(proto::login_reply::kLatestVersion),
                              RecordReader(*r).u8(proto::login_reply::kUpdateMode))
             : std::make_pair(0, std::uint8_t{0});
  };
  EXPECT_EQ(check(), std::make_pair(201200, std::uint8_t{1}));
  RestartServer();
  EXPECT_EQ(check(), std::make_pair(201200, std::uint8_t{1}));
}

TEST(ControlSocketTest, AClientThatNeverReadsItsAnswerDoesNotHoldTheSocket) {
  TestDir dir;
  const std::filesystem::path path = dir.path() / "c.sock";
  TControlServer control;
  std::string error;
  // An answer far larger than the socket's buffer: its send blocks while nobody reads.
  ASSERT_TRUE(control.Start(
      path, [](const std::vector<std::string>& a) { return a[0] == "big" ? std::string(8 << 20, 'x') : "ok\n"; },
      &error))
      << error;
  int stuck = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  ASSERT_EQ(::connect(stuck, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::send(stuck, "big\n", 4, MSG_NOSIGNAL), 4);
  std::string answer;
  EXPECT_TRUE(ControlRequest(path, {"small"}, answer));
  EXPECT_EQ(answer, "ok\n");
  ::close(stuck);
}

}  // namespace
}  // namespace kiv::server
