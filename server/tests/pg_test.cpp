// The PostgreSQL store and two home nodes sharing it, on a private cluster started for the tests.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <fstream>
#include <limits>
#include <thread>

#include "pg_nodes_fixture.h"
#include "credit_steps.h"
#include "declare/friend_wire.h"
#include "pg_result.h"
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
namespace fw = friend_wire;

class PgTest : public PgNodesTest {
 protected:
  // A sign-in through `node`, tried again while the answer is "busy" (the stores connect again with
  // back-off after a loss of the database): a bounded number of tries, no time limit.
  static TProtocolClient::SignIn SignInOnceReady(TProtocolClient& c, TServer& node, std::uint32_t user) {
    TProtocolClient::SignIn s;
    for (int attempt = 0; attempt < 100; ++attempt) {
      s = SignIn(c, node, user);
      if (s.login_result != proto::login_reply::kMaintenance && s.home_result != proto::login_reply::kMaintenance)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return s;
  }
};

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

TEST_F(PgTest, CreditsOncePerRequestId) {
  TPgStore s(url_);
  s.Create(Account(1, 10));
  CheckCreditsOncePerRequestId(s);
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

TEST_F(PgTest, AConnectionLostMidTransactionNeverRunsItsRestOnTheNextConnection) {
  TPgConnection c(url_, "test");
  PGconn* admin = PQconnectdb(url_.c_str());
  ASSERT_EQ(PQstatus(admin), CONNECTION_OK);
  auto kill_c = [&] {
    TPgResult pid = c.Exec("SELECT pg_backend_pid()");
    ASSERT_TRUE(pid.ok());
    ASSERT_TRUE(PgExec(admin, "SELECT pg_terminate_backend($1::int, 5000)", {pid.text(0, 0)}).ok());
  };
  ASSERT_TRUE(c.Exec("CREATE TABLE t (v INTEGER)").ok());

  // Outside a transaction the statement that met the dead connection runs again on a new one.
  kill_c();
  EXPECT_TRUE(c.Exec("INSERT INTO t VALUES (1)").ok());

  // Inside one, the rest of it fails until its end, and nothing of it stays.
  ASSERT_TRUE(c.Exec("BEGIN").ok());
  ASSERT_TRUE(c.Exec("INSERT INTO t VALUES (2)").ok());
  kill_c();
  EXPECT_FALSE(c.Exec("INSERT INTO t VALUES (3)").ok());
  EXPECT_FALSE(c.Exec("INSERT INTO t VALUES (4)").ok());
  EXPECT_FALSE(c.Exec("COMMIT").ok());
  TPgResult rows = c.Exec("SELECT v FROM t ORDER BY v");
  ASSERT_TRUE(rows.ok());
  ASSERT_EQ(rows.rows(), 1);
  EXPECT_EQ(rows.number(0, 0), 1);
  PQfinish(admin);
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

TEST_F(PgTest, NodesRecoverFromARestartOfTheDatabase) {
  namespace lr = proto::login_reply;
  auto node_a = Node("a");
  auto node_b = Node("b");
  TProtocolClient first;
  auto s1 = SignIn(first, *node_a, 10001);
  ASSERT_TRUE(s1.ok());
  std::shared_ptr<TPgNodeBus> bus = TPgNodeBus::Of(url_);
  const std::uint64_t listens = bus->Listens();

  ASSERT_TRUE(cluster_->Stop());
  // With the database away a sign-in is "busy" at the login role and at the home role, never
  // "wrong password".
  TProtocolClient early;
  EXPECT_EQ(SignIn(early, *node_b, 10002).login_result, lr::kMaintenance);
  kiv::testing::TLoginFields f;
  f.user = 10002;
  f.password = kDemoPassword;
  std::uint16_t home = early.Connect({"127.0.0.1", node_b->HomePort()});
  auto direct = early.Ask(home, kiv::testing::LoginRequest(f), proto::kLoginReply);
  ASSERT_TRUE(direct);
  EXPECT_EQ(RecordReader(*direct).u8(lr::kResult), lr::kMaintenance);

  ASSERT_TRUE(cluster_->Start());
  // The bus listens again (a bounded wait for that event)...
  for (int i = 0; i < 600 && bus->Listens() == listens; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_GT(bus->Listens(), listens);
  // ...sign-in works again...
  TProtocolClient third;
  auto s3 = SignInOnceReady(third, *node_b, 10003);
  ASSERT_TRUE(s3.ok()) << int(s3.login_result) << " " << int(s3.home_result);
  // ...a friend on the other node hears of a sign-out (presence and the friends' relay)...
  third.Disconnect(s3.home);
  std::optional<Bytes> state;
  for (int i = 0; i < 10; ++i) {
    state = first.WaitFor(fw::kUserState, s1.home);
    if (!state || (RecordReader(*state).u32(fw::state::kSender) == 10003u && RecordReader(*state).u8(fw::state::kState) == 0))
      break;
  }
  ASSERT_TRUE(state);
  EXPECT_EQ(RecordReader(*state).u32(fw::state::kSender), 10003u);
  EXPECT_EQ(RecordReader(*state).u8(fw::state::kState), 0);
  // ...a sign-in on the other node ends the first session...
  TProtocolClient second;
  auto s2 = SignInOnceReady(second, *node_b, 10001);
  ASSERT_TRUE(s2.ok());
  auto kick = first.WaitFor(proto::kForcedSignOut, s1.home);
  ASSERT_TRUE(kick);
  EXPECT_EQ(RecordReader(*kick).u8(proto::kick::kKind), proto::kick::kSignedInElsewhere);
  EXPECT_EQ(node_a->Store().PresenceOf(10001), "b");
  // ...and an admin kick reaches the other node.
  EXPECT_EQ(node_a->Admin({"kick", "10001"}), "not signed in here; other nodes told\n");
  auto admin_kick = second.WaitFor(proto::kForcedSignOut, s2.home);
  ASSERT_TRUE(admin_kick);
  EXPECT_EQ(RecordReader(*admin_kick).u8(proto::kick::kKind), proto::kick::kByAdministrator);
  // The loss and the recovery are in the log.
  std::ifstream log(dir_.path() / "a" / "server.log");
  const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("node bus: lost the database connection"), std::string::npos) << text;
  EXPECT_NE(text.find("node bus: listening again"), std::string::npos) << text;
}

TEST_F(PgTest, SigtermEndsTheServerWhileTheDatabaseHangs) {
  kiv::testing::TServerProcess server;
  std::string error;
  ASSERT_TRUE(server.Start(kiv::testing::ServerBinary(),
                           {"--data", (dir_.path() / "p").string(), "--store", url_, "--seed-demo", "--login-port",
                            "0", "--home-port", "0", "--web-port", "0", "--hash-cost", "min"},
                           20000, &error))
      << error;
  TProtocolClient client;
  kiv::testing::TLoginFields f;
  f.user = 10001;
  f.password = kDemoPassword;
  auto s = client.SignInVia(server.Login(), f);
  ASSERT_TRUE(s.ok());

  ASSERT_TRUE(cluster_->Pause());
  struct Resume {
    kiv::testing::TPgCluster* cluster;
    ~Resume() { cluster->Resume(); }
  } resume{cluster_};
  // Requests that wait for the database: on the login role, on the work pool and on the home role.
  TProtocolClient other;
  std::uint16_t login = other.Connect(server.Login());
  ASSERT_NE(login, 0);
  f.user = 10002;
  other.Send(login, kiv::testing::LoginRequest(f));
  client.Send(s.home, kiv::testing::TransferRequest(10001, 10002, 1, kDemoPassword));
  client.Send(s.home, kiv::testing::ProfileRequest(10001));
  server.Signal(SIGTERM);
  // No time limit on the ending; a server that hangs fails by never ending.
  const int status = server.Wait(std::numeric_limits<std::uint32_t>::max());
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
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
