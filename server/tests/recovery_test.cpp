// Clear-user and password recovery through the login role.
#include <gtest/gtest.h>

#include "login_role.h"
#include "server_fixture.h"

namespace kiv::server {
namespace {

using kiv::testing::RecoveryRequest;
using kiv::testing::TProtocolClient;
namespace rc = proto::recovery;

class RecoveryTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    // 10001 applies for protection and sets a pay password.
    TProtocolClient client;
    auto s = SignIn(client, 10001);
    ASSERT_TRUE(s.ok());
    kiv::testing::TProfileChangeFields f;
    f.user = 10001;
    f.password = kDemoPassword;
    f.nickname = "小明";
    f.protection = true;
    f.question = "我的小学";
    f.answer = "answer1";
    f.id_number = "123456789";
    f.new_pay_password = "8888";
    auto r = client.Ask(s.home, kiv::testing::ProfileChangeRequest(f), proto::kProfileChangeReply);
    ASSERT_TRUE(r);
    ASSERT_EQ(RecordReader(*r).u8(proto::profile_change_reply::kResult),
              proto::profile_change_reply::kProtectionApplied);
  }

  // Result and step of the answer to one step.
  std::pair<std::uint8_t, std::uint8_t> Step(TProtocolClient& c, std::uint16_t login, std::uint8_t step,
                                             std::uint32_t user, const std::string& text,
                                             std::string* question = nullptr) {
    auto r = c.Ask(login, RecoveryRequest(step, user, text), proto::kRecovery);
    EXPECT_TRUE(r);
    if (!r) return {0xFF, 0xFF};
    EXPECT_EQ(r->size(), rc::kSize);
    RecordReader reader(*r);
    if (question) *question = reader.text(rc::kText, rc::kTextLen);
    return {reader.u8(rc::kResult), reader.u8(rc::kStep)};
  }
};

TEST_F(RecoveryTest, ClearUserChecksTheCredentials) {
  TProtocolClient client;
  std::uint16_t login = client.Connect(Login());
  auto ok = client.Ask(login, kiv::testing::ClearUserRequest(10002, kDemoPassword), proto::kClearUser);
  auto bad = client.Ask(login, kiv::testing::ClearUserRequest(10002, "wrong"), proto::kClearUser);
  ASSERT_TRUE(ok && bad);
  EXPECT_EQ(RecordReader(*ok).u8(proto::clear_user::kResult), proto::clear_user::kCleared);
  EXPECT_EQ(RecordReader(*ok).u32(proto::clear_user::kUserCode), 10002u);
  EXPECT_EQ(RecordReader(*bad).u8(proto::clear_user::kResult), proto::clear_user::kWrongCredentials);
}

TEST_F(RecoveryTest, ClearUserWithDeleteAllForgetsTheAccountAndItsFriendships) {
  ASSERT_FALSE(server_->FriendStore().Friends(10001).empty());
  TProtocolClient client;
  std::uint16_t login = client.Connect(Login());
  // Without the flag the credentials are only checked.
  auto kept = client.Ask(login, kiv::testing::ClearUserRequest(10002, kDemoPassword, false), proto::kClearUser);
  ASSERT_TRUE(kept);
  EXPECT_EQ(RecordReader(*kept).u8(proto::clear_user::kResult), proto::clear_user::kCleared);
  EXPECT_TRUE(server_->Store().Find(10002));

  auto gone = client.Ask(login, kiv::testing::ClearUserRequest(10002, kDemoPassword), proto::kClearUser);
  ASSERT_TRUE(gone);
  EXPECT_EQ(RecordReader(*gone).u8(proto::clear_user::kResult), proto::clear_user::kCleared);
  EXPECT_FALSE(server_->Store().Find(10002));
  for (const auto& row : server_->FriendStore().Friends(10001)) EXPECT_NE(row.code, 10002u);
  EXPECT_TRUE(server_->Store().Find(10001));
  // The account cannot sign in any more, and asking again finds nobody.
  TProtocolClient other;
  kiv::testing::TLoginFields fields;
  fields.user = 10002;
  fields.password = kDemoPassword;
  EXPECT_FALSE(other.SignInVia(Login(), fields).ok());
  auto again = client.Ask(login, kiv::testing::ClearUserRequest(10002, kDemoPassword), proto::kClearUser);
  ASSERT_TRUE(again);
  EXPECT_EQ(RecordReader(*again).u8(proto::clear_user::kResult), proto::clear_user::kWrongCredentials);
}

TEST_F(RecoveryTest, StepsInOrderSetThePasswordAndClearThePayPassword) {
  TProtocolClient client;
  std::uint16_t login = client.Connect(Login());
  std::string question;
  EXPECT_EQ(Step(client, login, 1, 10001, "000000"),
            std::make_pair(std::uint8_t{rc::kWrongIdentity}, std::uint8_t{1}));
  EXPECT_EQ(Step(client, login, 1, 10001, "123456789", &question).first, rc::kPassed);
  EXPECT_EQ(question, "我的小学");
  EXPECT_EQ(Step(client, login, 2, 10001, "wrong").first, rc::kWrongAnswer);
  EXPECT_EQ(Step(client, login, 2, 10001, "answer1").first, rc::kPassed);
  EXPECT_EQ(Step(client, login, 3, 10001, "new-pass"),
            std::make_pair(std::uint8_t{rc::kPassed}, std::uint8_t{3}));
  EXPECT_TRUE(server_->Store().Find(10001)->pay_hash.empty());
  TProtocolClient again;
  EXPECT_FALSE(SignIn(again, 10001).ok());
  EXPECT_TRUE(SignIn(again, 10001, "new-pass").ok());
  // The steps are used up: a new step 3 needs the two before it again.
  EXPECT_EQ(Step(client, login, 3, 10001, "other").first, rc::kError);
}

TEST_F(RecoveryTest, StepsOutOfOrderAreRefused) {
  TProtocolClient client, other;
  std::uint16_t login = client.Connect(Login());
  std::uint16_t elsewhere = other.Connect(Login());
  EXPECT_EQ(Step(client, login, 3, 10001, "hijack").first, rc::kError);
  EXPECT_EQ(Step(client, login, 2, 10001, "answer1").first, rc::kError);
  EXPECT_EQ(Step(client, login, 1, 10001, "123456789").first, rc::kPassed);
  EXPECT_EQ(Step(client, login, 3, 10001, "hijack").first, rc::kError);      // step 2 not passed
  EXPECT_EQ(Step(other, elsewhere, 2, 10001, "answer1").first, rc::kError);  // another connection
  EXPECT_EQ(Step(client, login, 2, 10002, "answer1").first, rc::kError);     // another account
  EXPECT_EQ(Step(client, login, 9, 10001, "x").first, rc::kError);
  TProtocolClient again;
  EXPECT_TRUE(SignIn(again, 10001).ok());  // the password is unchanged
}

TEST_F(RecoveryTest, AccountWithoutProtectionAndTooManyWrongAnswers) {
  TProtocolClient client;
  std::uint16_t login = client.Connect(Login());
  EXPECT_EQ(Step(client, login, 1, 10002, "123456789").first, rc::kNoProtection);
  EXPECT_EQ(Step(client, login, 1, 10001, "123456789").first, rc::kPassed);
  for (int i = 1; i < kRecoveryMaxWrong; ++i)
    EXPECT_EQ(Step(client, login, 2, 10001, "guess").first, rc::kWrongAnswer);
  EXPECT_EQ(Step(client, login, 2, 10001, "guess").first, rc::kWrongAnswer);
  // Locked now, even with the right answer, on any connection.
  EXPECT_EQ(Step(client, login, 2, 10001, "answer1").first, rc::kError);
  TProtocolClient other;
  std::uint16_t elsewhere = other.Connect(Login());
  EXPECT_EQ(Step(other, elsewhere, 1, 10001, "123456789").first, rc::kError);
}

// Made-up codes are not kept one by one (a flood of them would grow without end): each costs its
// address a wrong guess, and an address that made enough of them is refused for real accounts too.
TEST_F(RecoveryTest, MadeUpCodesCostTheAddressNotTheTable) {
  // Without the hash rate, which refills with time, every step below counts as a guess.
  server_.reset();
  TServerOptions no_rate;
  no_rate.sign_in_rate = 0;
  StartServer(no_rate);
  TProtocolClient client;
  std::uint16_t login = client.Connect(Login());
  for (int i = 0; i < TCredentialCheck::kMaxWrongPerAddress; ++i)
    ASSERT_EQ(Step(client, login, 1, 3000000 + 7919 * i, "123456789").first, rc::kWrongIdentity) << i;
  EXPECT_EQ(Step(client, login, 1, 10001, "123456789").first, rc::kWrongIdentity);
  TProtocolClient other;
  kiv::testing::TLoginFields fields;
  fields.user = 10001;
  fields.password = kDemoPassword;
  EXPECT_EQ(other.SignInVia(Login(), fields).login_result, proto::login_reply::kWrongCredentials);
}

}  // namespace
}  // namespace kiv::server
