// The PostgreSQL store and two home nodes sharing it, on a private cluster started for the tests.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <thread>

#include "pg_nodes_fixture.h"
#include "pg_store.h"
#include "protocol.h"
#include "protocol_client.h"
#include "schema.h"
#include "server.h"
#include "server_process.h"
#include "test_dir.h"
#include "user_code_walk.h"

namespace kiv::server {
namespace {

using kiv::testing::TProtocolClient;

class PgTest : public PgNodesTest {};

TAccount Account(std::uint32_t code, std::int64_t money) {
  TAccount a;
  a.code = code;
  a.password_hash = "x";
  a.nickname = "名字";
  a.money = money;
  return a;
}

TEST_F(PgTest, StoreMigratesOnceAndKeepsAccounts) {
  {
    TPgStore a(url_);
    TPgStore b(url_);  // a second node finds the schema in place
    EXPECT_EQ(a.Create(Account(10001, 5)), 10001u);
    EXPECT_EQ(b.Create(Account(10001, 5)), 0u);
    EXPECT_EQ(b.Create(Account(0, 1)), 10002u);
    TProfileUpdate u;
    u.nickname = "新的";
    u.pay_hash = "p";
    EXPECT_TRUE(a.UpdateProfile(10002, u));
  }
  TPgStore s(url_);
  EXPECT_EQ(s.Find(10002)->nickname, "新的");
  EXPECT_EQ(s.Find(10002)->pay_hash, "p");
  EXPECT_EQ(s.Find(10001)->money, 5);
  std::uint32_t g = s.IssueGuest("m", 100);
  EXPECT_GE(g, kFirstGuestCode);
  EXPECT_TRUE(s.ClaimGuest(g, "m", 101));
  EXPECT_FALSE(s.ClaimGuest(g, "other", 101));
}

TEST_F(PgTest, DeleteAccountTakesOnlyThatAccount) {
  TPgStore s(url_);
  ASSERT_EQ(s.Create(Account(10001, 5)), 10001u);
  ASSERT_EQ(s.Create(Account(10002, 5)), 10002u);
  s.SetPresence(10001, "n1", true);
  EXPECT_TRUE(s.DeleteAccount(10001));
  EXPECT_FALSE(s.Find(10001));
  EXPECT_FALSE(s.PresenceOf(10001));
  EXPECT_FALSE(s.DeleteAccount(10001));
  EXPECT_TRUE(s.Find(10002));
}

TEST_F(PgTest, DeletingAnAccountClearsEveryDeclaredPlaceAndRetiresItsCode) {
  TPgStore s(url_);
  auto friends = OpenFriendStore(url_);
  auto chat = OpenChatStore(url_);
  PGconn* db = PQconnectdb(url_.c_str());
  ASSERT_EQ(PQstatus(db), CONNECTION_OK);
  TSchemaColumns schema;
  TPgResult columns = PgExec(db,
                             "SELECT table_name, column_name FROM information_schema.columns "
                             "WHERE table_schema = 'public' ORDER BY table_name, ordinal_position");
  for (int i = 0; i < columns.rows(); ++i) schema[columns.text(i, 0)].push_back(columns.text(i, 1));
  std::vector<std::string> problems = UndeclaredUserCodes(schema);
  EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);

  ASSERT_EQ(s.Create(Account(0, 10)), kFirstUserCode);
  ASSERT_EQ(s.Create(Account(0, 10)), kFirstUserCode + 1);
  const std::uint32_t newest = kFirstUserCode + 1;
  FillEveryPlace(s, *friends, *chat, newest, kFirstUserCode);
  ASSERT_TRUE(s.DeleteAccount(newest));
  for (const TUserCodeColumn& c : kUserCodeColumns) {
    if (c.on_delete != TOnDelete::kDelete) continue;
    TPgResult r = PgExec(db, (std::string("SELECT COUNT(*) FROM ") + c.table + " WHERE " + c.column + " = $1").c_str(),
                         {std::to_string(newest)});
    EXPECT_EQ(r.number(0, 0), 0) << c.table << "." << c.column;
  }
  PQfinish(db);
  EXPECT_EQ(s.Create(Account(0, 0)), newest + 1);
  EXPECT_EQ(s.Create(Account(newest, 0)), 0u);
}

TEST_F(PgTest, TwoNodesDrainingOneAccountNeverOverdraw) {
  TPgStore a(url_), b(url_);
  a.Create(Account(1, 1000));
  a.Create(Account(2, 0));
  std::atomic<int> done{0};
  auto drain = [&](TPgStore& s) {
    for (int i = 0; i < 40; ++i)
      if (s.Transfer(1, 2, 20, 2).outcome == TTransferOutcome::kDone) ++done;
  };
  std::thread ta(drain, std::ref(a)), tb(drain, std::ref(b));
  ta.join();
  tb.join();
  EXPECT_EQ(done.load(), 1000 / 22);
  EXPECT_EQ(a.Find(1)->money, 1000 - 22 * done.load());
  EXPECT_EQ(a.Find(2)->money, 20 * done.load());
  EXPECT_EQ(a.LedgerRows(), done.load());
  EXPECT_EQ(a.Transfer(1, 3, 1, 0).outcome, TTransferOutcome::kNoRecipient);
}

TEST_F(PgTest, SignInOnAnotherNodeKicksTheFirst) {
  auto node_a = Node("a");
  auto node_b = Node("b");
  TProtocolClient first, second;
  auto s1 = SignIn(first, *node_a, 10001);
  ASSERT_TRUE(s1.ok());
  EXPECT_EQ(node_a->Store().PresenceOf(10001), "a");
  auto s2 = SignIn(second, *node_b, 10001);
  ASSERT_TRUE(s2.ok());
  auto kick = first.WaitFor(proto::kForcedSignOut, s1.home);
  ASSERT_TRUE(kick);
  EXPECT_EQ(RecordReader(*kick).u8(proto::kick::kKind), proto::kick::kSignedInElsewhere);
  EXPECT_EQ(node_a->Context().sessions.Count(), 0u);
  EXPECT_EQ(node_b->Context().sessions.Count(), 1u);
  EXPECT_EQ(node_a->Store().PresenceOf(10001), "b");
}

TEST_F(PgTest, BalanceChangeAndAdminKickReachTheOtherNode) {
  auto node_a = Node("a");
  auto node_b = Node("b");
  TProtocolClient sender, recipient;
  auto s = SignIn(sender, *node_a, 10001);
  auto r = SignIn(recipient, *node_b, 10002);
  ASSERT_TRUE(s.ok() && r.ok());
  auto reply = sender.Ask(s.home, kiv::testing::TransferRequest(10001, 10002, 100, kDemoPassword),
                          proto::kTransferReply);
  ASSERT_TRUE(reply);
  EXPECT_EQ(RecordReader(*reply).u8(proto::transfer_reply::kResult), proto::transfer_reply::kDone);
  auto balance = recipient.WaitFor(proto::kBalanceChanged, r.home);
  ASSERT_TRUE(balance);
  EXPECT_EQ(RecordReader(*balance).u32(proto::balance::kMoney), 1100u);

  EXPECT_EQ(node_a->Admin({"kick", "10002"}), "not signed in here; other nodes told\n");
  auto kick = recipient.WaitFor(proto::kForcedSignOut, r.home);
  ASSERT_TRUE(kick);
  EXPECT_EQ(RecordReader(*kick).u8(proto::kick::kKind), proto::kick::kByAdministrator);
}

TEST_F(PgTest, KillInTheMiddleOfATransferCreatesAndLosesNothing) {
  {
    kiv::testing::TServerProcess server;
    std::string error;
    ASSERT_TRUE(
        server.Start(kiv::testing::ServerBinary(),
                     {"--data", (dir_.path() / "p").string(), "--store", url_, "--seed-demo", "--login-port",
                      "0", "--home-port", "0", "--hash-cost", "min", "--fault-point", kFaultAfterCredit},
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
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 86);
  }
  TPgStore store(url_);
  EXPECT_EQ(store.Find(10001)->money, 1000);
  EXPECT_EQ(store.Find(10002)->money, 1000);
  EXPECT_EQ(store.LedgerRows(), 0);
}

}  // namespace
}  // namespace kiv::server
