// Profile, money, level-up and restart over loopback.
#include <gtest/gtest.h>

#include "home_role.h"
#include "server_fixture.h"

namespace kiv::server {
namespace {

using kiv::testing::ProfileChangeRequest;
using kiv::testing::TProfileChangeFields;
using kiv::testing::TProtocolClient;
using kiv::testing::TransferRequest;
namespace pcr = proto::profile_change_reply;
namespace tr = proto::transfer_reply;

class AccountTest : public ServerFixture {
 protected:
  std::uint8_t Change(TProtocolClient& c, std::uint16_t home, const TProfileChangeFields& f) {
    auto reply = c.Ask(home, ProfileChangeRequest(f), proto::kProfileChangeReply);
    EXPECT_TRUE(reply);
    if (!reply) return 0xFF;
    EXPECT_EQ(reply->size(), pcr::kSize);
    return RecordReader(*reply).u8(pcr::kResult);
  }
  std::uint8_t Transfer(TProtocolClient& c, std::uint16_t home, std::uint32_t from, std::uint32_t to,
                        std::uint32_t amount, const std::string& pay = {}) {
    auto reply = c.Ask(home, TransferRequest(from, to, amount, kDemoPassword, pay), proto::kTransferReply);
    EXPECT_TRUE(reply);
    return reply ? RecordReader(*reply).u8(tr::kResult) : 0xFF;
  }
  TProfileChangeFields Fields(std::uint32_t user) {
    TProfileChangeFields f;
    f.user = user;
    f.password = kDemoPassword;
    return f;
  }
};

TEST(TransferFeeTest, RoundsHalvesToEven) {
  struct Case {
    std::uint64_t amount;
    std::uint32_t percent;
    std::uint64_t fee;
  } cases[] = {{15, 10, 2},
               {25, 10, 2},
               {100, 10, 10},
               {35, 10, 4},
               {1, 49, 0},
               {1, 51, 1},
               {4000000000, 100, 4000000000},
               {0, 10, 0}};
  for (const Case& c : cases)
    EXPECT_EQ(TransferFee(c.amount, c.percent), c.fee) << c.amount << " " << c.percent;
}

TEST_F(AccountTest, ProfileChangeResults) {
  TProtocolClient client;
  auto s = SignIn(client, 10001);
  ASSERT_TRUE(s.ok());

  auto f = Fields(10001);
  f.password = "wrong";
  EXPECT_EQ(Change(client, s.home, f), pcr::kWrongPassword);
  f = Fields(10001);
  f.nickname = "ab>c";
  EXPECT_EQ(Change(client, s.home, f), pcr::kBadNickname);

  f = Fields(10001);
  f.nickname = "新名字";
  f.city = "上海";
  f.introduction = "你好";
  f.new_pay_password = "pay1";
  EXPECT_EQ(Change(client, s.home, f), pcr::kChanged);
  auto profile = client.Ask(s.home, kiv::testing::ProfileRequest(10001), proto::kProfileReply);
  ASSERT_TRUE(profile);
  ASSERT_EQ(profile->size(), proto::profile::kSize);
  RecordReader p(*profile);
  EXPECT_EQ(p.text(proto::profile::kNickname, 40), "新名字");
  EXPECT_EQ(p.text(proto::profile::kCity, 20), "上海");
  EXPECT_EQ(p.text(proto::profile::kIntroduction, 255), "你好");
  EXPECT_EQ(p.u8(proto::profile::kFace), 3);

  // A pay password exists now: changing it needs the current one.
  f.new_pay_password = "pay2";
  f.pay_password = "nope";
  EXPECT_EQ(Change(client, s.home, f), pcr::kWrongPayPassword);
  f.pay_password = "pay1";
  EXPECT_EQ(Change(client, s.home, f), pcr::kChanged);

  f = Fields(10001);
  f.protection = true;
  f.question = "我的小学";
  f.answer = "answer1";
  f.id_number = "123456789";
  EXPECT_EQ(Change(client, s.home, f), pcr::kProtectionApplied);
  EXPECT_EQ(Change(client, s.home, f), pcr::kProtectionAlreadySet);

  f = Fields(10001);
  f.new_password = "fresh-pass";
  EXPECT_EQ(Change(client, s.home, f), pcr::kChanged);
  TProtocolClient again;
  EXPECT_FALSE(SignIn(again, 10001).ok());
  EXPECT_TRUE(SignIn(again, 10001, "fresh-pass").ok());
}

TEST_F(AccountTest, GuestCannotChangeAProfile) {
  TProtocolClient client;
  auto s = SignIn(client, 0, "", proto::login::kStateGuest);
  ASSERT_TRUE(s.ok());
  auto f = Fields(s.user);
  EXPECT_EQ(Change(client, s.home, f), pcr::kDataError);
  EXPECT_EQ(Transfer(client, s.home, s.user, 10001, 1), tr::kInsufficient);
}

TEST_F(AccountTest, TransferTakesTheFeeAndTellsBothSides) {
  TProtocolClient sender, recipient;
  auto a = SignIn(sender, 10001);
  auto b = SignIn(recipient, 10002);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(Transfer(sender, a.home, 10001, 10002, 100), tr::kDone);
  auto mine = sender.WaitFor(proto::kBalanceChanged, a.home);
  auto theirs = recipient.WaitFor(proto::kBalanceChanged, b.home);
  ASSERT_TRUE(mine && theirs);
  EXPECT_EQ(RecordReader(*mine).u32(proto::balance::kUserCode), 10001u);
  EXPECT_EQ(RecordReader(*mine).u32(proto::balance::kMoney), 890u);
  EXPECT_EQ(RecordReader(*theirs).u32(proto::balance::kMoney), 1100u);
  EXPECT_EQ(Balance(10001), 890);
  EXPECT_EQ(Balance(10002), 1100);
  EXPECT_EQ(server_->Store().LedgerRows(), 1);
}

TEST_F(AccountTest, RefusedTransfersChangeNothing) {
  TProtocolClient client;
  auto a = SignIn(client, 10001);
  ASSERT_TRUE(a.ok());
  struct Case {
    std::uint32_t to, amount;
    std::uint8_t result;
  } cases[] = {
      {10002, 910, tr::kInsufficient},  // 910 + 91 > 1000
      {10002, 1000, tr::kInsufficient},   {77777, 10, tr::kNoRecipient},
      {10001, 10, tr::kRecipientRefused}, {10002, 0, tr::kRecipientRefused},
  };
  for (const Case& c : cases) EXPECT_EQ(Transfer(client, a.home, 10001, c.to, c.amount), c.result) << c.to;
  // Exactly the balance with the fee is allowed.
  EXPECT_EQ(Transfer(client, a.home, 10001, 10002, 909), tr::kDone);  // 909 + 91 = 1000
  EXPECT_EQ(Balance(10001), 0);
  EXPECT_EQ(Balance(10002), 1909);
  EXPECT_EQ(server_->Store().LedgerRows(), 1);
}

TEST_F(AccountTest, PayPasswordIsChecked) {
  TProtocolClient client;
  auto a = SignIn(client, 10001);
  ASSERT_TRUE(a.ok());
  auto f = Fields(10001);
  f.nickname = "小明";
  f.new_pay_password = "8888";
  ASSERT_EQ(Change(client, a.home, f), pcr::kChanged);
  EXPECT_EQ(Transfer(client, a.home, 10001, 10002, 10), tr::kWrongPayPassword);
  EXPECT_EQ(Transfer(client, a.home, 10001, 10002, 10, "7777"), tr::kWrongPayPassword);
  EXPECT_EQ(Transfer(client, a.home, 10001, 10002, 10, "8888"), tr::kDone);
  EXPECT_EQ(Balance(10001), 989);
}

// Pay and profile passwords are guessed against the same limit as sign-in: wrong ones through
// either request use up the (account, address) count, after which even the right ones fail.
TEST_F(AccountTest, WrongPayAndProfilePasswordsShareTheSignInLimit) {
  struct Case {
    const char* what;
    std::uint32_t user;
  } cases[] = {{"pay password of a transfer", 10001}, {"password of a profile change", 10002}};
  for (const Case& c : cases) {
    TProtocolClient client;
    auto a = SignIn(client, c.user);
    ASSERT_TRUE(a.ok()) << c.what;
    auto f = Fields(c.user);
    f.nickname = "改名";
    f.new_pay_password = "8888";
    ASSERT_EQ(Change(client, a.home, f), pcr::kChanged);
    for (int i = 0; i < TCredentialCheck::kMaxWrong; ++i) {
      if (c.user == 10001) {
        EXPECT_EQ(Transfer(client, a.home, c.user, 10003, 10, "guess"), tr::kWrongPayPassword) << c.what;
      } else {
        auto wrong = Fields(c.user);
        wrong.password = "guess";
        EXPECT_EQ(Change(client, a.home, wrong), pcr::kWrongPassword) << c.what;
      }
    }
    EXPECT_EQ(Transfer(client, a.home, c.user, 10003, 10, "8888"), tr::kServerError) << c.what;
    EXPECT_EQ(Change(client, a.home, Fields(c.user)), pcr::kWrongPassword) << c.what;
    TProtocolClient again;
    EXPECT_EQ(SignIn(again, c.user).login_result, proto::login_reply::kWrongCredentials) << c.what;
  }
  EXPECT_EQ(Balance(10001), kDemoMoney);
  EXPECT_EQ(Balance(10002), kDemoMoney);
}

TEST_F(AccountTest, RapidTransfersDrainWithoutOverdraft) {
  TProtocolClient client;
  auto a = SignIn(client, 10003);
  ASSERT_TRUE(a.ok());
  // Sent back to back, answered one by one: 45 of 22 fit into 1000.
  for (int i = 0; i < 60; ++i)
    client.Send(a.home, TransferRequest(10003, i % 2 ? 10001 : 10002, 20, kDemoPassword));
  int done = 0, short_of_money = 0;
  for (int i = 0; i < 60; ++i) {
    auto r = client.WaitFor(proto::kTransferReply, a.home, 10000);
    ASSERT_TRUE(r) << i;
    std::uint8_t result = RecordReader(*r).u8(tr::kResult);
    done += result == tr::kDone;
    short_of_money += result == tr::kInsufficient;
  }
  EXPECT_EQ(done, 45);
  EXPECT_EQ(short_of_money, 15);
  EXPECT_EQ(Balance(10003), 1000 - 45 * 22);
  EXPECT_EQ(Balance(10001) + Balance(10002), 2000 + 45 * 20);
}

TEST_F(AccountTest, DataIsKeptAcrossARestart) {
  {
    TProtocolClient client;
    auto a = SignIn(client, 10001);
    ASSERT_TRUE(a.ok());
    auto f = Fields(10001);
    f.nickname = "老明";
    ASSERT_EQ(Change(client, a.home, f), pcr::kChanged);
    ASSERT_EQ(Transfer(client, a.home, 10001, 10002, 50), tr::kDone);
  }
  RestartServer();  // seeds again: existing demo users stay as they are
  TProtocolClient client;
  auto a = SignIn(client, 10001);
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(RecordReader(a.reply).text(proto::login_reply::kNickname, 40), "老明");
  EXPECT_EQ(RecordReader(a.reply).u32(proto::login_reply::kMoney), 945u);
  EXPECT_EQ(Balance(10002), 1050);
}

TEST_F(AccountTest, DeletingAnAccountEndsItsLiveSession) {
  TProtocolClient signed_in, deleter;
  auto a = SignIn(signed_in, 10003);
  ASSERT_TRUE(a.ok());
  std::uint16_t login = deleter.Connect(Login());
  auto gone = deleter.Ask(login, kiv::testing::ClearUserRequest(10003, kDemoPassword), proto::kClearUser);
  ASSERT_TRUE(gone);
  ASSERT_EQ(RecordReader(*gone).u8(proto::clear_user::kResult), proto::clear_user::kCleared);
  auto kick = signed_in.WaitFor(proto::kForcedSignOut, a.home);
  ASSERT_TRUE(kick);
  EXPECT_EQ(RecordReader(*kick).u32(proto::kick::kUserCode), 10003u);
  EXPECT_FALSE(server_->Context().sessions.ByUser(10003));
}

}  // namespace
}  // namespace kiv::server
