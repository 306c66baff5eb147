#include "sqlite_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <stdexcept>

#include "schema.h"
#include "sqlite_statement.h"
#include "store_rows.h"

namespace kiv::server {

namespace {

std::string AccountSelect() {
  return std::string("SELECT ") + kAccountColumns + " FROM accounts WHERE code = ?1";
}

}  // namespace

TSqliteStore::TSqliteStore(const std::string& path) {
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw std::runtime_error("cannot open " + path + ": " + message);
  }
  sqlite3_busy_timeout(db_, 5000);
  try {
    if (path != ":memory:") SqliteExec(db_, "PRAGMA journal_mode = WAL");
    // FULL: a committed transfer survives a power cut, not only a crash of the process.
    SqliteExec(db_, "PRAGMA synchronous = FULL");
    SqliteExec(db_, "PRAGMA foreign_keys = ON");
    Migrate();
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

TSqliteStore::~TSqliteStore() {
  if (db_) {
    sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    sqlite3_close(db_);
  }
}

int TSqliteStore::SchemaVersion() {
  std::lock_guard lock(mutex_);
  TSqliteStatement s(db_, "PRAGMA user_version");
  return s.Step() ? static_cast<int>(s.Int(0)) : 0;
}

void TSqliteStore::Migrate() {
  int version = 0;
  {
    TSqliteStatement s(db_, "PRAGMA user_version");
    if (s.Step()) version = static_cast<int>(s.Int(0));
  }
  if (version > static_cast<int>(kMigrations.size()))
    throw std::runtime_error("the database is newer than this server (schema " + std::to_string(version) +
                             ")");
  for (int v = version; v < static_cast<int>(kMigrations.size()); ++v) {
    TSqliteTransaction t(db_);
    SqliteExec(db_, kMigrations[static_cast<std::size_t>(v)]);
    SqliteExec(db_, ("PRAGMA user_version = " + std::to_string(v + 1)).c_str());
    t.Commit();
  }
}

TLookup TSqliteStore::Lookup(std::uint32_t code) {
  std::lock_guard lock(mutex_);
  TLookup out;
  try {
    TSqliteStatement s(db_, AccountSelect().c_str());
    s.Bind(1, code);
    if (!s.Step()) {
      out.status = TLookup::kMissing;
      return out;
    }
    out.account = AccountFromRow([&](int i) { return s.Text(i); }, [&](int i) { return s.Int(i); });
    out.status = TLookup::kFound;
  } catch (const std::exception&) {
    out.status = TLookup::kFailed;
  }
  return out;
}

std::uint32_t TSqliteStore::Create(const TAccount& account) {
  std::lock_guard lock(mutex_);
  try {
    TSqliteTransaction t(db_);
    TAccount a = account;
    if (a.code == 0) {
      TSqliteStatement next(db_, "SELECT next FROM next_code");
      if (!next.Step()) return 0;
      a.code = static_cast<std::uint32_t>(std::clamp<std::int64_t>(next.Int(0), 0, kFirstGuestCode));
      if (a.code >= kFirstGuestCode) return 0;
    } else {
      TSqliteStatement retired(db_, "SELECT 1 FROM retired_codes WHERE code = ?1");
      retired.Bind(1, a.code);
      if (retired.Step()) return 0;
    }
    std::string sql = std::string("INSERT INTO accounts (") + kAccountColumns + ") VALUES (";
    for (int i = 1; i <= kAccountColumnCount; ++i)
      sql += "?" + std::to_string(i) + (i < kAccountColumnCount ? "," : ")");
    TSqliteStatement s(db_, sql.c_str());
    BindAccount(
        a, [&](int i, const std::string& v) { s.Bind(i + 1, v); },
        [&](int i, std::int64_t v) { s.Bind(i + 1, v); });
    s.Step();
    if (a.code < kFirstGuestCode) {
      TSqliteStatement bump(db_, "UPDATE next_code SET next = ?1 + 1 WHERE next <= ?1");
      bump.Bind(1, a.code).Step();
    }
    t.Commit();
    return a.code;
  } catch (const std::exception&) {
    return 0;
  }
}

bool TSqliteStore::UpdateProfile(std::uint32_t code, const TProfileUpdate& u) {
  std::lock_guard lock(mutex_);
  try {
    TSqliteTransaction t(db_);
    TSqliteStatement s(
        db_,
        "UPDATE accounts SET nickname=?2, sex=?3, age=?4, face=?5, email=?6, phone=?7, occupation=?8, "
        "address=?9, province=?10, city=?11, introduction=?12, verify_mode=?13, bind=?14, "
        "bind_machine=?15 WHERE code=?1");
    s.Bind(1, code).Bind(2, u.nickname).Bind(3, u.sex).Bind(4, u.age).Bind(5, u.face).Bind(6, u.email);
    s.Bind(7, u.phone).Bind(8, u.occupation).Bind(9, u.address).Bind(10, u.province).Bind(11, u.city);
    s.Bind(12, u.introduction).Bind(13, u.verify_mode).Bind(14, u.bind ? 1 : 0).Bind(15, u.bind_machine);
    s.Step();
    if (s.Changes() != 1) return false;
    if (u.password_hash) {
      TSqliteStatement p(db_, "UPDATE accounts SET password_hash=?2 WHERE code=?1");
      p.Bind(1, code).Bind(2, *u.password_hash).Step();
    }
    if (u.pay_hash) {
      TSqliteStatement p(db_, "UPDATE accounts SET pay_hash=?2 WHERE code=?1");
      p.Bind(1, code).Bind(2, *u.pay_hash).Step();
    }
    if (u.protection) {
      TSqliteStatement p(db_,
                  "UPDATE accounts SET protection=1, question=?2, answer_hash=?3, id_hash=?4 WHERE code=?1");
      p.Bind(1, code)
          .Bind(2, u.protection->question)
          .Bind(3, u.protection->answer_hash)
          .Bind(4, u.protection->id_hash);
      p.Step();
    }
    t.Commit();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool TSqliteStore::SetPassword(std::uint32_t code, const std::string& hash, bool clear_pay) {
  std::lock_guard lock(mutex_);
  try {
    TSqliteStatement s(db_, clear_pay ? "UPDATE accounts SET password_hash=?2, pay_hash='' WHERE code=?1"
                               : "UPDATE accounts SET password_hash=?2 WHERE code=?1");
    s.Bind(1, code).Bind(2, hash).Step();
    return s.Changes() == 1;
  } catch (const std::exception&) {
    return false;
  }
}

bool TSqliteStore::SetBalance(std::uint32_t code, std::int64_t money) {
  std::lock_guard lock(mutex_);
  try {
    TSqliteStatement s(db_, "UPDATE accounts SET money=?2 WHERE code=?1");
    s.Bind(1, code).Bind(2, money).Step();
    return s.Changes() == 1;
  } catch (const std::exception&) {
    return false;
  }
}

bool TSqliteStore::AddLevel(std::uint32_t code) {
  std::lock_guard lock(mutex_);
  try {
    TSqliteStatement s(db_,
                "UPDATE accounts SET level_points=level_points+1, experience=0, "
                "next_experience=next_experience*2 WHERE code=?1");
    s.Bind(1, code).Step();
    return s.Changes() == 1;
  } catch (const std::exception&) {
    return false;
  }
}

bool TSqliteStore::DeleteAccount(std::uint32_t code) {
  {
    std::lock_guard lock(mutex_);
    try {
      TSqliteTransaction t(db_);
      bool found = false;
      for (const TUserCodeColumn& place : kUserCodeColumns) {
        if (place.on_delete != TOnDelete::kDelete) continue;
        TSqliteStatement s(
            db_, (std::string("DELETE FROM ") + place.table + " WHERE " + place.column + "=?1").c_str());
        s.Bind(1, code).Step();
        if (std::string_view(place.table) == "accounts") found = s.Changes() == 1;
      }
      if (!found) return false;
      TSqliteStatement retire(db_, "INSERT OR IGNORE INTO retired_codes (code) VALUES (?1)");
      retire.Bind(1, code).Step();
      t.Commit();
    } catch (const std::exception&) {
      return false;
    }
  }
  Deleted(code);
  return true;
}

TTransferResult TSqliteStore::Transfer(std::uint32_t from, std::uint32_t to, std::int64_t amount,
                                       std::int64_t fee) {
  std::lock_guard lock(mutex_);
  TTransferResult r;
  try {
    TSqliteTransaction t(db_);
    auto balance = [&](std::uint32_t code) -> std::optional<std::int64_t> {
      TSqliteStatement s(db_, "SELECT money FROM accounts WHERE code=?1");
      s.Bind(1, code);
      if (!s.Step()) return std::nullopt;
      return s.Int(0);
    };
    if (!balance(from)) {
      r.outcome = TTransferOutcome::kNoSender;
      return r;
    }
    if (!balance(to)) {
      r.outcome = TTransferOutcome::kNoRecipient;
      return r;
    }
    // The condition on the balance is part of the debit itself, so no interleaving of two
    // transfers can take the account below zero.
    TSqliteStatement debit(db_, "UPDATE accounts SET money = money - ?2 WHERE code = ?1 AND money >= ?2");
    debit.Bind(1, from).Bind(2, amount + fee).Step();
    if (debit.Changes() != 1) {
      r.outcome = TTransferOutcome::kInsufficient;
      r.sender_balance = *balance(from);
      return r;
    }
    Reach(kFaultAfterDebit);
    TSqliteStatement credit(db_, "UPDATE accounts SET money = money + ?2 WHERE code = ?1");
    credit.Bind(1, to).Bind(2, amount).Step();
    Reach(kFaultAfterCredit);
    TSqliteStatement ledger(db_,
                     "INSERT INTO ledger (at, from_code, to_code, amount, fee) VALUES (strftime('%s','now'), "
                     "?1, ?2, ?3, ?4)");
    ledger.Bind(1, from).Bind(2, to).Bind(3, amount).Bind(4, fee).Step();
    r.sender_balance = *balance(from);
    r.recipient_balance = *balance(to);
    t.Commit();
    r.outcome = TTransferOutcome::kDone;
  } catch (const std::exception&) {
    r.outcome = TTransferOutcome::kError;
  }
  return r;
}

std::int64_t TSqliteStore::LedgerRows() {
  std::lock_guard lock(mutex_);
  TSqliteStatement s(db_, "SELECT COUNT(*) FROM ledger");
  return s.Step() ? s.Int(0) : 0;
}

TCreditResult TSqliteStore::Credit(std::uint32_t code, std::int64_t amount, const std::string& request_id) {
  if (amount <= 0 || request_id.empty()) return {};
  std::lock_guard lock(mutex_);
  try {
    TSqliteTransaction t(db_);
    TSqliteStatement request(db_,
                             "INSERT OR IGNORE INTO credit_requests (request_id, code, amount, at) "
                             "VALUES (?1, ?2, ?3, strftime('%s','now'))");
    request.Bind(1, request_id).Bind(2, code).Bind(3, amount).Step();
    if (request.Changes() != 1) return {TCreditOutcome::kReplayed, 0};
    TSqliteStatement credit(db_, "UPDATE accounts SET money = money + ?2 WHERE code = ?1");
    credit.Bind(1, code).Bind(2, amount).Step();
    if (credit.Changes() != 1) return {TCreditOutcome::kNoAccount, 0};
    TSqliteStatement ledger(db_, "INSERT INTO ledger (at, from_code, to_code, amount, fee) VALUES (strftime('%s','now'), 0, ?1, ?2, 0)");
    ledger.Bind(1, code).Bind(2, amount).Step();
    TSqliteStatement balance(db_, "SELECT money FROM accounts WHERE code=?1");
    balance.Bind(1, code);
    if (!balance.Step()) return {};
    std::int64_t money = balance.Int(0);
    t.Commit();
    return {TCreditOutcome::kDone, money};
  } catch (const std::exception&) {
    return {};
  }
}

std::vector<TLedgerRow> TSqliteStore::LedgerOf(std::uint32_t code, std::size_t limit) {
  std::lock_guard lock(mutex_);
  std::vector<TLedgerRow> rows;
  try {
    TSqliteStatement s(db_,
                "SELECT at, from_code, to_code, amount, fee FROM ledger WHERE from_code=?1 OR to_code=?1 "
                "ORDER BY rowid DESC LIMIT ?2");
    s.Bind(1, code).Bind(2, static_cast<std::int64_t>(limit));
    while (s.Step())
      rows.push_back({s.Int(0), static_cast<std::uint32_t>(s.Int(1)), static_cast<std::uint32_t>(s.Int(2)), s.Int(3),
                      s.Int(4)});
  } catch (const std::exception&) {
    rows.clear();
  }
  return rows;
}

std::vector<TRankRow> TSqliteStore::Richest(std::size_t limit) {
  std::lock_guard lock(mutex_);
  std::vector<TRankRow> rows;
  try {
    TSqliteStatement s(db_, "SELECT code, nickname, money FROM accounts ORDER BY money DESC, code LIMIT ?1");
    s.Bind(1, static_cast<std::int64_t>(limit));
    while (s.Step()) rows.push_back({static_cast<std::uint32_t>(s.Int(0)), s.Text(1), s.Int(2)});
  } catch (const std::exception&) {
    rows.clear();
  }
  return rows;
}

std::uint32_t TSqliteStore::IssueGuest(const std::string& machine, std::int64_t now_s) {
  std::lock_guard lock(mutex_);
  try {
    TSqliteTransaction t(db_);
    TSqliteStatement purge(db_, "DELETE FROM guest_tickets WHERE expires <= ?1");
    purge.Bind(1, now_s).Step();
    TSqliteStatement next(db_, "SELECT COALESCE(MAX(code) + 1, ?1) FROM guest_tickets");
    next.Bind(1, kFirstGuestCode).Step();
    std::int64_t code = next.Int(0);
    if (code > 0xFFFFFFFFll) code = kFirstGuestCode;  // wrapped after four billion guests
    TSqliteStatement s(db_, "INSERT INTO guest_tickets (code, machine, expires) VALUES (?1, ?2, ?3)");
    s.Bind(1, code).Bind(2, machine).Bind(3, now_s + kGuestTicketSeconds).Step();
    t.Commit();
    return static_cast<std::uint32_t>(code);
  } catch (const std::exception&) {
    return 0;
  }
}

bool TSqliteStore::ClaimGuest(std::uint32_t code, const std::string& machine, std::int64_t now_s) {
  std::lock_guard lock(mutex_);
  TSqliteStatement s(db_, "SELECT 1 FROM guest_tickets WHERE code=?1 AND machine=?2 AND expires > ?3");
  s.Bind(1, code).Bind(2, machine).Bind(3, now_s);
  return s.Step();
}

void TSqliteStore::SetPresence(std::uint32_t user, const std::string& node, bool signed_in) {
  std::lock_guard lock(mutex_);
  try {
    if (signed_in) {
      TSqliteStatement s(
          db_, "INSERT INTO presence (code, node) VALUES (?1, ?2) ON CONFLICT(code) DO UPDATE SET node=?2");
      s.Bind(1, user).Bind(2, node).Step();
    } else {
      TSqliteStatement s(db_, "DELETE FROM presence WHERE code=?1 AND node=?2");
      s.Bind(1, user).Bind(2, node).Step();
    }
  } catch (const std::exception&) {
  }
}

std::optional<std::string> TSqliteStore::PresenceOf(std::uint32_t user) {
  std::lock_guard lock(mutex_);
  TSqliteStatement s(db_, "SELECT node FROM presence WHERE code=?1");
  s.Bind(1, user);
  if (!s.Step()) return std::nullopt;
  return s.Text(0);
}

void TSqliteStore::ClearNode(const std::string& node) {
  std::lock_guard lock(mutex_);
  try {
    TSqliteStatement s(db_, "DELETE FROM presence WHERE node=?1");
    s.Bind(1, node).Step();
  } catch (const std::exception&) {
  }
}

}  // namespace kiv::server
