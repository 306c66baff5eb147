// The session is the authority: requests are answered for the connection's user only.
#include <gtest/gtest.h>

#include "server_fixture.h"

namespace kiv::server {
namespace {

using kiv::testing::TProtocolClient;

class SessionTest : public ServerFixture {};

TEST_F(SessionTest, BodyCodesOfAnotherUserAreRefused) {
  TProtocolClient client;
  auto s = SignIn(client, 10001);
  ASSERT_TRUE(s.ok());
  // Someone else's profile, someone else's money, someone else's state.
  client.Send(s.home, kiv::testing::ProfileRequest(10002));
  client.Send(s.home, kiv::testing::TransferRequest(10002, 10001, 100, kDemoPassword));
  client.Send(s.home, kiv::testing::UserState(10002, 2));
  // Answered only for itself, after the refused ones.
  ASSERT_TRUE(client.Ask(s.home, kiv::testing::ProfileRequest(10001), proto::kProfileReply));
  EXPECT_TRUE(client.NothingOf(proto::kProfileReply, s.home, 200));
  EXPECT_TRUE(client.NothingOf(proto::kTransferReply, s.home, 1));
  EXPECT_EQ(Balance(10001), 1000);
  EXPECT_EQ(Balance(10002), 1000);
}

TEST_F(SessionTest, NothingIsAnsweredBeforeSignIn) {
  TProtocolClient client;
  std::uint16_t home = client.Connect(Home());
  ASSERT_NE(home, 0);
  client.Send(home, kiv::testing::ProfileRequest(10001));
  client.Send(home, kiv::testing::TransferRequest(10001, 10002, 10, kDemoPassword));
  EXPECT_TRUE(client.NothingOf(proto::kProfileReply, home, 300));
  EXPECT_TRUE(client.NothingOf(proto::kTransferReply, home, 1));
  EXPECT_EQ(Balance(10001), 1000);
}

TEST_F(SessionTest, OwnStateIsKeptAndSignOutEndsTheSession) {
  TProtocolClient client;
  auto s = SignIn(client, 10003);
  ASSERT_TRUE(s.ok());
  client.Send(s.home, kiv::testing::UserState(10003, 2));
  auto profile = client.Ask(s.home, kiv::testing::ProfileRequest(10003), proto::kProfileReply);
  ASSERT_TRUE(profile);
  EXPECT_EQ(RecordReader(*profile).u8(proto::profile::kState), 2);
  EXPECT_EQ(RecordReader(*profile).u32(proto::profile::kMoney), 1000u);
  EXPECT_EQ(RecordReader(*profile).address(proto::profile::kServer), Home());
  client.Disconnect(s.home);
  for (int i = 0; i < 500 && server_->Context().sessions.Count() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(server_->Context().sessions.Count(), 0u);
}

}  // namespace
}  // namespace kiv::server
