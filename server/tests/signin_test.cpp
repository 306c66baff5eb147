// Sign-in through the login and home roles over loopback, with the protocol client.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

#include "base/files.h"
#include "server_fixture.h"

namespace kiv::server {
namespace {

using kiv::testing::LoginRequest;
using kiv::testing::TLoginFields;
using kiv::testing::TProtocolClient;
namespace lr = proto::login_reply;

class SignInTest : public ServerFixture {};

TEST_F(SignInTest, VersionCheckAnswersWithLatestVersionAndUpdateServer) {
  TProtocolClient client;
  std::uint16_t login = client.Connect(Login());
  ASSERT_NE(login, 0);
  TLoginFields f;
  f.state = proto::login::kStateVersionCheck;
  auto reply = client.Ask(login, LoginRequest(f), proto::kLoginReply);
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->size(), lr::kSize);
  RecordReader r(*reply);
  EXPECT_EQ(r.u8(lr::kResult), lr::kVersionInfo);
  EXPECT_EQ(r.i32(lr::kLatestVersion), 201102);
  EXPECT_EQ(r.u8(lr::kUpdateMode), 0);
  EXPECT_EQ(r.address(lr::kUpdateServer), (WireAddress{"127.0.0.1", server_->UpdatePort()}));
}

TEST_F(SignInTest, RedirectThenHomeSignInWithProfileAddressAndParameters) {
  TProtocolClient client;
  auto s = SignIn(client, 10001);
  ASSERT_EQ(s.login_result, lr::kRedirect);
  RecordReader login(s.login_reply);
  EXPECT_EQ(login.address(lr::kHomeServer), Home());
  EXPECT_EQ(login.address(lr::kLobbyServer), (WireAddress{"127.0.0.1", 9011}));
  ASSERT_TRUE(s.ok());
  RecordReader r(s.reply);
  EXPECT_EQ(r.u32(lr::kUserCode), 10001u);
  EXPECT_EQ(r.text(lr::kNickname, 40), "小明");
  EXPECT_EQ(r.u32(lr::kMoney), 1000u);
  EXPECT_EQ(r.address(lr::kOwnAddress), (WireAddress{"127.0.0.1", client.LocalPort()}));
  ASSERT_EQ(s.parameters.size(), proto::params::kSize);
  RecordReader p(s.parameters);
  EXPECT_EQ(p.u8(proto::params::kChatRelay), 1);
  EXPECT_EQ(p.u32(proto::params::kTransferFee), 10u);
  EXPECT_EQ(p.u8(proto::params::kRoomRelay), 1);
  EXPECT_EQ(server_->Context().sessions.Count(), 1u);
}

TEST_F(SignInTest, GuestGetsAFreshCodeAndGuestType) {
  TProtocolClient a, b;
  auto first = SignIn(a, 0, "", proto::login::kStateGuest);
  auto second = SignIn(b, 0, "", proto::login::kStateGuest);
  ASSERT_TRUE(first.ok());
  ASSERT_TRUE(second.ok());
  EXPECT_GE(first.user, kFirstGuestCode);
  EXPECT_NE(first.user, second.user);
  EXPECT_EQ(RecordReader(first.login_reply).u8(lr::kUserType), proto::kUserTypeGuest);
  EXPECT_EQ(RecordReader(first.reply).u8(lr::kUserType), proto::kUserTypeGuest);
}

TEST_F(SignInTest, RefusedSignIns) {
  struct Case {
    const char* what;
    std::uint32_t user;
    const char* password;
  } cases[] = {
      {"wrong password", 10001, "wrong"}, {"unknown user", 55555, "kivora"}, {"empty password", 10002, ""}};
  for (const Case& c : cases) {
    TProtocolClient client;
    auto s = SignIn(client, c.user, c.password);
    EXPECT_EQ(s.login_result, lr::kWrongCredentials) << c.what;
    EXPECT_FALSE(s.ok()) << c.what;
  }
  // Straight to the home role: a wrong password, and a guest code nobody was given.
  for (std::uint32_t user : {10001u, kFirstGuestCode + 77}) {
    TProtocolClient client;
    std::uint16_t home = client.Connect(Home());
    TLoginFields f;
    f.user = user;
    f.password = "wrong";
    auto reply = client.Ask(home, LoginRequest(f), proto::kLoginReply);
    ASSERT_TRUE(reply);
    EXPECT_EQ(RecordReader(*reply).u8(lr::kResult), lr::kWrongCredentials) << user;
  }
  EXPECT_EQ(server_->Context().sessions.Count(), 0u);
}

TEST_F(SignInTest, TooManyWrongPasswordsLockTheAccountForThatAddress) {
  TProtocolClient client;
  std::uint16_t login = client.Connect(Login());
  auto attempt = [&](std::uint32_t user, const char* password) {
    TLoginFields f;
    f.user = user;
    f.password = password;
    auto reply = client.Ask(login, LoginRequest(f), proto::kLoginReply);
    return reply ? RecordReader(*reply).u8(lr::kResult) : 0xFF;
  };
  for (int i = 0; i < TCredentialCheck::kMaxWrong; ++i)
    EXPECT_EQ(attempt(10003, "guess"), lr::kWrongCredentials);
  EXPECT_EQ(attempt(10003, kDemoPassword), lr::kWrongCredentials);  // locked, even with the right one
  EXPECT_EQ(attempt(10002, kDemoPassword), lr::kRedirect);          // other accounts are not
  // The home role keeps the same count.
  std::uint16_t home = client.Connect(Home());
  TLoginFields f;
  f.user = 10003;
  f.password = kDemoPassword;
  auto reply = client.Ask(home, LoginRequest(f), proto::kLoginReply);
  ASSERT_TRUE(reply);
  EXPECT_EQ(RecordReader(*reply).u8(lr::kResult), lr::kWrongCredentials);
}

// Wrong sign-ins hash on the work pool behind the address's hash rate: a flood of them from one
// address neither holds up the version check nor keeps the workers hashing without end.
TEST_F(SignInTest, AFloodOfWrongSignInsLeavesTheVersionCheckAnswered) {
  server_.reset();
  TServerOptions o;
  o.hash_cost = "moderate";  // a real hash, slow enough to stall a dispatch thread
  o.data_dir = dir_.path() / "data";
  o.seed_demo = true;
  o.login_port = o.home_port = o.update_port = 0;
  o.web_port = 0;
  o.log_to_stderr = false;
  server_ = std::make_unique<TServer>(o);
  std::string error;
  ASSERT_TRUE(server_->Start(&error)) << error;

  TProtocolClient flood, honest;
  std::uint16_t f = flood.Connect(Login());
  std::uint16_t h = honest.Connect(Login());
  ASSERT_TRUE(f && h);
  // Ten wrong passwords for each demo account (each one hashed), then made-up codes.
  constexpr int kFlood = 70;
  const TRouterCounters start = server_->LoginEndpoint().Router().Counters();
  for (int i = 0; i < kFlood; ++i) {
    TLoginFields wrong;
    wrong.user = i < 30 ? 10001 + i % 3 : 20000 + i;
    wrong.password = "guess" + std::to_string(i);
    ASSERT_TRUE(flood.Send(f, LoginRequest(wrong)));
  }
  // The server is busy with them once its router has taken them all in (polled, no time limit).
  std::map<int, int> results;
  for (int i = 0; i < 100000 && server_->LoginEndpoint().Router().Counters().handled < start.handled + kFlood; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  TLoginFields check;
  check.state = proto::login::kStateVersionCheck;
  auto version = honest.Ask(h, LoginRequest(check), proto::kLoginReply, 30000);
  ASSERT_TRUE(version);
  EXPECT_EQ(RecordReader(*version).u8(lr::kResult), lr::kVersionInfo);
  // Answered while the wrong sign-ins are still being hashed: few of the wrong passwords are
  // answered yet (those past the rate are answered at once, without a hash).
  while (auto reply = flood.WaitFor(proto::kLoginReply, f, 0)) ++results[RecordReader(*reply).u8(lr::kResult)];
  // About 40 are hashed (30 for the accounts, the rest until the rate stops them), seconds of work
  // at this cost: some are still to come. A dispatch thread that hashed would have answered every
  // one of them before the version check behind them.
  EXPECT_LT(results[lr::kWrongCredentials] + results[lr::kMaintenance], kFlood);
  // Every wrong sign-in is refused: wrong, or past the address's hash rate (try again later).
  for (int n = results[lr::kWrongCredentials] + results[lr::kMaintenance]; n < kFlood; ++n) {
    auto reply = flood.WaitFor(proto::kLoginReply, f, 60000);
    ASSERT_TRUE(reply) << n;
    ++results[RecordReader(*reply).u8(lr::kResult)];
  }
  EXPECT_EQ(results.size(), 2u);
  EXPECT_GT(results[lr::kMaintenance], 0);
  EXPECT_GT(results[lr::kWrongCredentials], 0);
}

// Each guest code is a store transaction: one address gets a burst of them, then is told to try
// again later instead of filling the store.
TEST_F(SignInTest, GuestCodesCountAgainstTheAddressRate) {
  TProtocolClient client;
  std::uint16_t login = client.Connect(Login());
  TLoginFields guest;
  guest.state = proto::login::kStateGuest;
  constexpr int kAsked = 3 * TCredentialCheck::kRateBurst;
  for (int i = 0; i < kAsked; ++i) ASSERT_TRUE(client.Send(login, LoginRequest(guest)));
  std::map<int, int> results;
  for (int i = 0; i < kAsked; ++i) {
    auto reply = client.WaitFor(proto::kLoginReply, login);
    ASSERT_TRUE(reply) << i;
    ++results[RecordReader(*reply).u8(lr::kResult)];
  }
  // The burst, and what the rate refilled while they were answered.
  EXPECT_GE(results[lr::kRedirect], TCredentialCheck::kRateBurst);
  EXPECT_LT(results[lr::kRedirect], 2 * TCredentialCheck::kRateBurst);
  EXPECT_EQ(results[lr::kRedirect] + results[lr::kMaintenance], kAsked);
}

TEST_F(SignInTest, SecondSignInKicksTheFirstSession) {
  TProtocolClient first, second;
  auto a = SignIn(first, 10002);
  ASSERT_TRUE(a.ok());
  auto b = SignIn(second, 10002);
  ASSERT_TRUE(b.ok());
  auto kick = first.WaitFor(proto::kForcedSignOut, a.home);
  ASSERT_TRUE(kick);
  ASSERT_EQ(kick->size(), proto::kick::kSize);
  EXPECT_EQ(RecordReader(*kick).u8(proto::kick::kKind), proto::kick::kSignedInElsewhere);
  EXPECT_EQ(RecordReader(*kick).u32(proto::kick::kUserCode), 10002u);
  // The old connection speaks for nobody now; the new one is answered.
  first.Send(a.home, kiv::testing::ProfileRequest(10002));
  EXPECT_TRUE(second.Ask(b.home, kiv::testing::ProfileRequest(10002), proto::kProfileReply));
  EXPECT_TRUE(first.NothingOf(proto::kProfileReply, a.home, 300));
  EXPECT_EQ(server_->Context().sessions.Count(), 1u);
}

TEST_F(SignInTest, MaintenanceAndFullServerAreRefused) {
  struct Case {
    const char* ini;
    std::uint8_t result;
  } cases[] = {{"[server]\nmaintenance=1\n", lr::kMaintenance},
               {"[server]\nmax_users=0\n", lr::kTooManyUsers}};
  for (const Case& c : cases) {
    server_.reset();
    std::filesystem::path ini = dir_.path() / "c.ini";
    ASSERT_TRUE(WriteFileAtomic(ini, std::string_view(c.ini)));
    TServerOptions o;
    o.update_port = 0;  // tests run side by side: any free port
    o.config_file = ini;
    StartServer(o);
    TProtocolClient client;
    auto s = SignIn(client, 10001);
    EXPECT_EQ(s.login_result, c.result) << c.ini;
  }
}

TEST_F(SignInTest, ShortAndUnknownMessagesAreDroppedAndCounted) {
  TProtocolClient client;
  auto s = SignIn(client, 10001);
  ASSERT_TRUE(s.ok());
  TRouterCounters before = server_->HomeEndpoint().Router().Counters();
  client.Send(s.home, Bytes{1, 2});
  Bytes truncated = kiv::testing::ProfileRequest(10001);
  truncated.resize(12);
  client.Send(s.home, truncated);
  client.Send(s.home, Bytes{0x99, 0x99, 0x09, 0x00, 1, 2, 3});
  // Still answering, in order after the bad ones.
  ASSERT_TRUE(client.Ask(s.home, kiv::testing::ProfileRequest(10001), proto::kProfileReply));
  TRouterCounters after = server_->HomeEndpoint().Router().Counters();
  EXPECT_EQ(after.dropped_short - before.dropped_short, 2u);
  EXPECT_EQ(after.dropped_unknown - before.dropped_unknown, 1u);
}

}  // namespace
}  // namespace kiv::server

namespace kiv::server {
namespace {

// A full home node moves new sign-ins to its overflow node (result 7); the client follows.
TEST(OverflowTest, FullHomeNodeMovesSignInsToTheOverflowNode) {
  TestDir dir;
  auto start = [&](const std::string& name, const std::string& ini) {
    TServerOptions o;
    o.data_dir = dir.path() / name;
    o.store = (dir.path() / "shared.db").string();
    o.node = name;
    o.seed_demo = true;
    o.login_port = 0;
    o.home_port = 0;
    o.update_port = 0;
    o.hash_cost = "min";
    o.log_to_stderr = false;
    if (!ini.empty()) {
      o.config_file = dir.path() / (name + ".ini");
      EXPECT_TRUE(WriteFileAtomic(o.config_file, std::string_view(ini)));
    }
    auto s = std::make_unique<TServer>(o);
    std::string error;
    EXPECT_TRUE(s->Start(&error)) << error;
    return s;
  };
  auto spare = start("spare", "");
  auto full =
      start("full",
            "[server]\nmax_users=1\n[home]\noverflow=127.0.0.1:" + std::to_string(spare->HomePort()) + "\n");
  TProtocolClient a, b;
  TLoginFields f;
  f.user = 10001;
  f.password = kDemoPassword;
  auto first = a.SignInVia({"127.0.0.1", full->LoginPort()}, f);
  f.user = 10002;
  auto second = b.SignInVia({"127.0.0.1", full->LoginPort()}, f);
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_EQ(full->Context().sessions.Count(), 1u);
  EXPECT_EQ(spare->Context().sessions.Count(), 1u);
  EXPECT_TRUE(spare->Context().sessions.ByUser(10002).has_value());
}

}  // namespace
}  // namespace kiv::server
