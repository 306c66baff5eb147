// The SQLite store on its own: schema, money transactions, guest tickets.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <thread>

#include "credit_steps.h"
#include "schema.h"
#include "sqlite_statement.h"
#include "sqlite_store.h"
#include "test_dir.h"
#include "user_code_walk.h"

namespace kiv::server {
namespace {

TAccount Account(std::uint32_t code, std::int64_t money) {
  TAccount a;
  a.code = code;
  a.password_hash = "x";
  a.nickname = "名" + std::to_string(code);
  a.money = money;
  return a;
}

TEST(SqliteStoreTest, SchemaIsCreatedOnceAndDataSurvivesReopening) {
  TestDir dir;
  auto path = (dir.path() / "k.db").string();
  {
    TSqliteStore s(path);
    EXPECT_EQ(s.SchemaVersion(), static_cast<int>(kMigrations.size()));
    EXPECT_EQ(s.Create(Account(10001, 5)), 10001u);
    EXPECT_EQ(s.Create(Account(10001, 5)), 0u);  // exists
    EXPECT_EQ(s.Create(Account(0, 1)), 10002u);  // next free code
  }
  TSqliteStore s(path);
  ASSERT_TRUE(s.Find(10001));
  EXPECT_EQ(s.Find(10001)->nickname, "名10001");
  EXPECT_EQ(s.Find(10002)->money, 1);
}

TEST(SqliteStoreTest, CreditsOncePerRequestId) {
  TSqliteStore s(":memory:");
  s.Create(Account(1, 10));
  CheckCreditsOncePerRequestId(s);
}

TEST(SqliteStoreTest, TransferOutcomes) {
  TSqliteStore s(":memory:");
  s.Create(Account(1, 110));
  s.Create(Account(2, 0));
  struct Case {
    std::uint32_t from, to;
    std::int64_t amount, fee;
    TTransferOutcome outcome;
    std::int64_t from_after, to_after;
  } cases[] = {
      {1, 2, 101, 10, TTransferOutcome::kInsufficient, 110, 0},
      {1, 3, 10, 1, TTransferOutcome::kNoRecipient, 110, 0},
      {1, 2, 100, 10, TTransferOutcome::kDone, 0, 100},
      {1, 2, 1, 0, TTransferOutcome::kInsufficient, 0, 100},
  };
  for (const Case& c : cases) {
    TTransferResult r = s.Transfer(c.from, c.to, c.amount, c.fee);
    EXPECT_EQ(r.outcome, c.outcome) << c.amount;
    EXPECT_EQ(s.Find(1)->money, c.from_after);
    EXPECT_EQ(s.Find(2)->money, c.to_after);
  }
  EXPECT_EQ(s.LedgerRows(), 1);
}

TEST(SqliteStoreTest, ConcurrentDrainNeverOverdraws) {
  TestDir dir;
  TSqliteStore s((dir.path() / "k.db").string());
  s.Create(Account(1, 1000));
  s.Create(Account(2, 0));
  s.Create(Account(3, 0));
  std::atomic<int> done{0};
  auto drain = [&](std::uint32_t to) {
    for (int i = 0; i < 80; ++i)
      if (s.Transfer(1, to, 20, 2).outcome == TTransferOutcome::kDone) ++done;
  };
  std::thread a(drain, 2), b(drain, 3);
  a.join();
  b.join();
  EXPECT_EQ(done.load(), 1000 / 22);
  EXPECT_EQ(s.Find(1)->money, 1000 - 22 * done.load());
  EXPECT_EQ(s.Find(2)->money + s.Find(3)->money, 20 * done.load());
  EXPECT_EQ(s.LedgerRows(), done.load());
}

TEST(SqliteStoreTest, GuestTicketsAreBoundToMachineAndExpire) {
  TSqliteStore s(":memory:");
  std::uint32_t a = s.IssueGuest("m1", 1000);
  std::uint32_t b = s.IssueGuest("m2", 1000);
  EXPECT_EQ(a, kFirstGuestCode);
  EXPECT_EQ(b, a + 1);
  EXPECT_TRUE(s.ClaimGuest(a, "m1", 1001));
  EXPECT_FALSE(s.ClaimGuest(a, "m2", 1001));
  EXPECT_FALSE(s.ClaimGuest(a, "m1", 1000 + kGuestTicketSeconds));
}

// The tables and columns of a SQLite database file, and counts of rows in it.
class TSqliteSchema {
 public:
  explicit TSqliteSchema(const std::string& path) { sqlite3_open(path.c_str(), &db_); }
  ~TSqliteSchema() { sqlite3_close(db_); }
  TSchemaColumns Columns() {
    TSchemaColumns out;
    TSqliteStatement tables(db_, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'");
    while (tables.Step()) {
      const std::string table = tables.Text(0);
      TSqliteStatement info(db_, ("PRAGMA table_info(" + table + ")").c_str());
      while (info.Step()) out[table].push_back(info.Text(1));
    }
    return out;
  }
  std::int64_t Count(const std::string& table, const std::string& column, std::uint32_t code) {
    TSqliteStatement s(db_, ("SELECT COUNT(*) FROM " + table + " WHERE " + column + " = ?1").c_str());
    s.Bind(1, code).Step();
    return s.Int(0);
  }
  sqlite3* db() { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

TEST(SqliteStoreTest, EveryUserCodeColumnIsDeclared) {
  TestDir dir;
  const std::string path = (dir.path() / "k.db").string();
  {
    TSqliteStore s(path);
    auto friends = OpenFriendStore(path);
    auto chat = OpenChatStore(path);
  }
  std::vector<std::string> problems = UndeclaredUserCodes(TSqliteSchema(path).Columns());
  EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
}

TEST(SqliteStoreTest, DeletingAnAccountLeavesNothingForTheNextHolderOfACode) {
  TestDir dir;
  const std::string path = (dir.path() / "k.db").string();
  TSqliteStore s(path);
  auto friends = OpenFriendStore(path);
  auto chat = OpenChatStore(path);
  ASSERT_EQ(s.Create(Account(0, 10)), kFirstUserCode);
  ASSERT_EQ(s.Create(Account(0, 10)), kFirstUserCode + 1);
  const std::uint32_t newest = kFirstUserCode + 1;
  FillEveryPlace(s, *friends, *chat, newest, kFirstUserCode);
  std::vector<std::uint32_t> told;
  s.SetDeletionListener([&](std::uint32_t code) { told.push_back(code); });
  ASSERT_TRUE(s.DeleteAccount(newest));
  EXPECT_EQ(told, std::vector<std::uint32_t>{newest});

  TSqliteSchema schema(path);
  for (const TUserCodeColumn& c : kUserCodeColumns) {
    if (c.on_delete == TOnDelete::kDelete) {
      EXPECT_EQ(schema.Count(c.table, c.column, newest), 0) << c.table << "." << c.column;
    }
  }
  EXPECT_EQ(schema.Count("ledger", "from_code", newest), 1);  // kept: the other side's history
  // The deleted newest code is given to nobody, neither next nor on request.
  EXPECT_EQ(s.Create(Account(0, 0)), newest + 1);
  EXPECT_EQ(s.Create(Account(newest, 0)), 0u);
  EXPECT_EQ(chat->CountFor(newest), 0u);
  // An explicit code moves the next one past it.
  EXPECT_EQ(s.Create(Account(20000, 0)), 20000u);
  EXPECT_EQ(s.Create(Account(0, 0)), 20001u);
}

TEST(SqliteStoreTest, AnOlderDatabaseNeverGivesACodeItHasSeen) {
  TestDir dir;
  const std::string path = (dir.path() / "k.db").string();
  {
    // A database of schema 3 whose newest account 10007 was deleted: only its ledger row and a
    // kept text remain.
    TSqliteSchema old(path);
    for (std::size_t i = 0; i < 3; ++i) SqliteExec(old.db(), kMigrations[i]);
    SqliteExec(old.db(),
               "INSERT INTO accounts (code, password_hash) VALUES (10001, 'x');"
               "INSERT INTO ledger VALUES (1, 10007, 10001, 5, 0);"
               "INSERT INTO chat_waiting VALUES (1, 10001, 10006, 1, '00');"
               "PRAGMA user_version = 3;");
  }
  TSqliteStore s(path);
  EXPECT_EQ(s.Create(Account(0, 0)), 10008u);
  EXPECT_EQ(s.Create(Account(10007, 0)), 0u);
  EXPECT_EQ(s.Create(Account(10006, 0)), 0u);
  EXPECT_EQ(s.Create(Account(10005, 0)), 10005u);  // never anyone's
}

}  // namespace
}  // namespace kiv::server
