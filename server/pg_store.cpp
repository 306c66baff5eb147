#include "pg_store.h"

#include <stdexcept>

#include "schema.h"
#include "store_rows.h"

namespace kiv::server {

namespace {
// The node bus topic of the home role's events.
constexpr const char* kTopic = "home";
// Advisory lock key held while migrating.
constexpr const char* kMigrationLock = "SELECT pg_advisory_xact_lock(482016)";

std::string N(std::int64_t v) { return std::to_string(v); }
}  // namespace

TPgStore::TPgStore(const std::string& url) {
  db_ = std::make_unique<TPgConnection>(url, "account");
  Migrate();
  bus_ = TPgNodeBus::Of(url);
}

TPgStore::~TPgStore() { Listen(nullptr); }

TPgResult TPgStore::Exec(const char* sql, const std::vector<std::string>& params) {
  return db_->Exec(sql, params);
}

void TPgStore::ExecOrThrow(const char* sql, const std::vector<std::string>& params) {
  TPgResult r = Exec(sql, params);
  if (!r.ok()) throw std::runtime_error("PostgreSQL: " + r.error());
}

void TPgStore::Migrate() {
  ExecOrThrow("BEGIN");
  try {
    ExecOrThrow(kMigrationLock);
    ExecOrThrow("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    TPgResult v = Exec("SELECT COALESCE(MAX(version), 0) FROM schema_version");
    if (!v.ok()) throw std::runtime_error("PostgreSQL: " + v.error());
    int version = static_cast<int>(v.number(0, 0));
    if (version > static_cast<int>(kMigrations.size()))
      throw std::runtime_error("the database is newer than this server (schema " + std::to_string(version) +
                               ")");
    for (int n = version; n < static_cast<int>(kMigrations.size()); ++n) {
      // Simple query protocol: a migration holds several statements.
      TPgResult r = db_->ExecScript(kMigrations[static_cast<std::size_t>(n)]);
      if (!r.ok())
        throw std::runtime_error("PostgreSQL migration " + std::to_string(n + 1) + ": " + r.error());
      ExecOrThrow("INSERT INTO schema_version (version) VALUES ($1)", {N(n + 1)});
    }
    ExecOrThrow("COMMIT");
  } catch (...) {
    Exec("ROLLBACK");
    throw;
  }
}

TLookup TPgStore::Lookup(std::uint32_t code) {
  std::lock_guard lock(mutex_);
  std::string sql = std::string("SELECT ") + kAccountColumns + " FROM accounts WHERE code = $1";
  TPgResult r = Exec(sql.c_str(), {N(code)});
  TLookup out;
  if (!r.ok()) return out;  // kFailed
  if (r.rows() == 0) {
    out.status = TLookup::kMissing;
    return out;
  }
  out.account = AccountFromRow([&](int i) { return r.text(0, i); }, [&](int i) { return r.number(0, i); });
  out.status = TLookup::kFound;
  return out;
}

std::uint32_t TPgStore::Create(const TAccount& account) {
  std::lock_guard lock(mutex_);
  TAccount a = account;
  auto fail = [&] {
    Exec("ROLLBACK");
    return 0u;
  };
  if (!Exec("BEGIN").ok()) return fail();
  if (a.code == 0) {
    // The row lock orders creations on every node; the counter only grows.
    TPgResult next = Exec("UPDATE next_code SET next = next + 1 RETURNING next - 1");
    if (!next.ok() || next.rows() != 1) return fail();
    const std::int64_t code = next.number(0, 0);
    if (code <= 0 || code >= kFirstGuestCode) return fail();
    a.code = static_cast<std::uint32_t>(code);
  } else {
    TPgResult retired = Exec("SELECT 1 FROM retired_codes WHERE code = $1", {N(a.code)});
    if (!retired.ok() || retired.rows() != 0) return fail();
  }
  std::vector<std::string> params(kAccountColumnCount);
  BindAccount(
      a, [&](int i, const std::string& v) { params[static_cast<std::size_t>(i)] = v; },
      [&](int i, std::int64_t v) { params[static_cast<std::size_t>(i)] = N(v); });
  std::string sql = std::string("INSERT INTO accounts (") + kAccountColumns + ") VALUES (";
  for (int i = 1; i <= kAccountColumnCount; ++i) sql += "$" + N(i) + (i < kAccountColumnCount ? "," : ")");
  sql += " ON CONFLICT (code) DO NOTHING";
  TPgResult r = Exec(sql.c_str(), params);
  if (!r.ok() || r.affected() != 1) return fail();
  if (a.code < kFirstGuestCode &&
      !Exec("UPDATE next_code SET next = $1::bigint + 1 WHERE next <= $1::bigint", {N(a.code)}).ok())
    return fail();
  return Exec("COMMIT").ok() ? a.code : 0;
}

bool TPgStore::UpdateProfile(std::uint32_t code, const TProfileUpdate& u) {
  std::lock_guard lock(mutex_);
  Exec("BEGIN");
  TPgResult r = Exec(
      "UPDATE accounts SET nickname=$2, sex=$3, age=$4, face=$5, email=$6, phone=$7, occupation=$8, "
      "address=$9, "
      "province=$10, city=$11, introduction=$12, verify_mode=$13, bind=$14, bind_machine=$15 WHERE code=$1",
      {N(code), u.nickname, N(u.sex), N(u.age), N(u.face), u.email, u.phone, u.occupation, u.address,
       u.province, u.city, u.introduction, N(u.verify_mode), N(u.bind ? 1 : 0), u.bind_machine});
  bool ok = r.ok() && r.affected() == 1;
  if (ok && u.password_hash)
    ok = Exec("UPDATE accounts SET password_hash=$2 WHERE code=$1", {N(code), *u.password_hash}).ok();
  if (ok && u.pay_hash)
    ok = Exec("UPDATE accounts SET pay_hash=$2 WHERE code=$1", {N(code), *u.pay_hash}).ok();
  if (ok && u.protection)
    ok = Exec("UPDATE accounts SET protection=1, question=$2, answer_hash=$3, id_hash=$4 WHERE code=$1",
              {N(code), u.protection->question, u.protection->answer_hash, u.protection->id_hash})
             .ok();
  if (!ok) {
    Exec("ROLLBACK");
    return false;
  }
  return Exec("COMMIT").ok();
}

bool TPgStore::SetPassword(std::uint32_t code, const std::string& hash, bool clear_pay) {
  std::lock_guard lock(mutex_);
  TPgResult r = Exec(clear_pay ? "UPDATE accounts SET password_hash=$2, pay_hash='' WHERE code=$1"
                            : "UPDATE accounts SET password_hash=$2 WHERE code=$1",
                  {N(code), hash});
  return r.ok() && r.affected() == 1;
}

bool TPgStore::SetBalance(std::uint32_t code, std::int64_t money) {
  std::lock_guard lock(mutex_);
  TPgResult r = Exec("UPDATE accounts SET money=$2 WHERE code=$1", {N(code), N(money)});
  return r.ok() && r.affected() == 1;
}

bool TPgStore::AddLevel(std::uint32_t code) {
  std::lock_guard lock(mutex_);
  TPgResult r = Exec(
      "UPDATE accounts SET level_points=level_points+1, experience=0, next_experience=next_experience*2 "
      "WHERE code=$1",
      {N(code)});
  return r.ok() && r.affected() == 1;
}

bool TPgStore::DeleteAccount(std::uint32_t code) {
  {
    std::lock_guard lock(mutex_);
    if (!Exec("BEGIN").ok()) {
      Exec("ROLLBACK");
      return false;
    }
    bool found = false;
    for (const TUserCodeColumn& place : kUserCodeColumns) {
      if (place.on_delete != TOnDelete::kDelete) continue;
      TPgResult r = Exec((std::string("DELETE FROM ") + place.table + " WHERE " + place.column + "=$1").c_str(),
                         {N(code)});
      if (!r.ok()) {
        Exec("ROLLBACK");
        return false;
      }
      if (std::string_view(place.table) == "accounts") found = r.affected() == 1;
    }
    if (!found ||
        !Exec("INSERT INTO retired_codes (code) VALUES ($1) ON CONFLICT DO NOTHING", {N(code)}).ok() ||
        !Exec("COMMIT").ok()) {
      Exec("ROLLBACK");
      return false;
    }
  }
  Deleted(code);
  return true;
}

TTransferResult TPgStore::Transfer(std::uint32_t from, std::uint32_t to, std::int64_t amount,
                                   std::int64_t fee) {
  std::lock_guard lock(mutex_);
  TTransferResult out;
  auto fail = [&](TTransferOutcome outcome) {
    Exec("ROLLBACK");
    out.outcome = outcome;
    return out;
  };
  if (!Exec("BEGIN").ok()) return fail(TTransferOutcome::kError);
  TPgResult exists = Exec("SELECT code FROM accounts WHERE code = $1 OR code = $2", {N(from), N(to)});
  if (!exists.ok()) return fail(TTransferOutcome::kError);
  bool has_from = false, has_to = false;
  for (int i = 0; i < exists.rows(); ++i) {
    has_from |= exists.number(i, 0) == from;
    has_to |= exists.number(i, 0) == to;
  }
  if (!has_from) return fail(TTransferOutcome::kNoSender);
  if (!has_to) return fail(TTransferOutcome::kNoRecipient);
  // The balance condition is part of the debit: concurrent transfers on any node wait for the
  // row lock and see the balance the previous one left.
  TPgResult debit =
      Exec("UPDATE accounts SET money = money - $2 WHERE code = $1 AND money >= $2 RETURNING money",
           {N(from), N(amount + fee)});
  if (!debit.ok()) return fail(TTransferOutcome::kError);
  if (debit.rows() != 1) {
    TPgResult b = Exec("SELECT money FROM accounts WHERE code = $1", {N(from)});
    out.sender_balance = b.ok() && b.rows() ? b.number(0, 0) : 0;
    return fail(TTransferOutcome::kInsufficient);
  }
  Reach(kFaultAfterDebit);
  TPgResult credit =
      Exec("UPDATE accounts SET money = money + $2 WHERE code = $1 RETURNING money", {N(to), N(amount)});
  if (!credit.ok() || credit.rows() != 1) return fail(TTransferOutcome::kError);
  Reach(kFaultAfterCredit);
  TPgResult ledger = Exec(
      "INSERT INTO ledger (at, from_code, to_code, amount, fee) "
      "VALUES (EXTRACT(EPOCH FROM now())::bigint, $1, $2, $3, $4)",
      {N(from), N(to), N(amount), N(fee)});
  if (!ledger.ok()) return fail(TTransferOutcome::kError);
  if (!Exec("COMMIT").ok()) return fail(TTransferOutcome::kError);
  out.outcome = TTransferOutcome::kDone;
  out.sender_balance = debit.number(0, 0);
  out.recipient_balance = credit.number(0, 0);
  return out;
}

std::int64_t TPgStore::LedgerRows() {
  std::lock_guard lock(mutex_);
  TPgResult r = Exec("SELECT COUNT(*) FROM ledger");
  return r.ok() ? r.number(0, 0) : 0;
}

TCreditResult TPgStore::Credit(std::uint32_t code, std::int64_t amount, const std::string& request_id) {
  if (amount <= 0 || request_id.empty()) return {};
  std::lock_guard lock(mutex_);
  if (!Exec("BEGIN").ok()) {
    Exec("ROLLBACK");
    return {};
  }
  auto rollback = [&](TCreditOutcome outcome) {
    Exec("ROLLBACK");
    return TCreditResult{outcome, 0};
  };
  TPgResult request = Exec(
      "INSERT INTO credit_requests (request_id, code, amount, at) "
      "VALUES ($1, $2, $3, EXTRACT(EPOCH FROM now())::bigint) ON CONFLICT (request_id) DO NOTHING RETURNING code",
      {request_id, N(code), N(amount)});
  if (!request.ok()) return rollback(TCreditOutcome::kError);
  if (request.rows() != 1) return rollback(TCreditOutcome::kReplayed);
  TPgResult credit = Exec("UPDATE accounts SET money = money + $2 WHERE code = $1 RETURNING money", {N(code), N(amount)});
  if (!credit.ok()) return rollback(TCreditOutcome::kError);
  if (credit.rows() != 1) return rollback(TCreditOutcome::kNoAccount);
  TPgResult ledger = Exec(
      "INSERT INTO ledger (at, from_code, to_code, amount, fee) "
      "VALUES (EXTRACT(EPOCH FROM now())::bigint, 0, $1, $2, 0)",
      {N(code), N(amount)});
  if (!ledger.ok() || !Exec("COMMIT").ok()) return rollback(TCreditOutcome::kError);
  return {TCreditOutcome::kDone, credit.number(0, 0)};
}

std::vector<TLedgerRow> TPgStore::LedgerOf(std::uint32_t code, std::size_t limit) {
  std::lock_guard lock(mutex_);
  std::vector<TLedgerRow> rows;
  TPgResult r = Exec(
      "SELECT at, from_code, to_code, amount, fee FROM ledger WHERE from_code = $1 OR to_code = $1 "
      "ORDER BY at DESC LIMIT $2",
      {N(code), N(static_cast<std::int64_t>(limit))});
  if (!r.ok()) return rows;
  for (int i = 0; i < r.rows(); ++i)
    rows.push_back({r.number(i, 0), static_cast<std::uint32_t>(r.number(i, 1)), static_cast<std::uint32_t>(r.number(i, 2)),
                    r.number(i, 3), r.number(i, 4)});
  return rows;
}

std::vector<TRankRow> TPgStore::Richest(std::size_t limit) {
  std::lock_guard lock(mutex_);
  std::vector<TRankRow> rows;
  TPgResult r = Exec("SELECT code, nickname, money FROM accounts ORDER BY money DESC, code LIMIT $1",
                  {N(static_cast<std::int64_t>(limit))});
  if (!r.ok()) return rows;
  for (int i = 0; i < r.rows(); ++i)
    rows.push_back({static_cast<std::uint32_t>(r.number(i, 0)), r.text(i, 1), r.number(i, 2)});
  return rows;
}

std::uint32_t TPgStore::IssueGuest(const std::string& machine, std::int64_t now_s) {
  std::lock_guard lock(mutex_);
  Exec("BEGIN");
  Exec("LOCK TABLE guest_tickets IN SHARE ROW EXCLUSIVE MODE");
  Exec("DELETE FROM guest_tickets WHERE expires <= $1", {N(now_s)});
  TPgResult next = Exec("SELECT COALESCE(MAX(code) + 1, $1) FROM guest_tickets", {N(kFirstGuestCode)});
  if (!next.ok()) {
    Exec("ROLLBACK");
    return 0;
  }
  std::int64_t code = next.number(0, 0);
  if (code > 0xFFFFFFFFll) code = kFirstGuestCode;
  TPgResult r = Exec("INSERT INTO guest_tickets (code, machine, expires) VALUES ($1, $2, $3)",
                  {N(code), machine, N(now_s + kGuestTicketSeconds)});
  if (!r.ok() || !Exec("COMMIT").ok()) {
    Exec("ROLLBACK");
    return 0;
  }
  return static_cast<std::uint32_t>(code);
}

bool TPgStore::ClaimGuest(std::uint32_t code, const std::string& machine, std::int64_t now_s) {
  std::lock_guard lock(mutex_);
  TPgResult r = Exec("SELECT 1 FROM guest_tickets WHERE code=$1 AND machine=$2 AND expires > $3",
                  {N(code), machine, N(now_s)});
  return r.ok() && r.rows() == 1;
}

void TPgStore::SetPresence(std::uint32_t user, const std::string& node, bool signed_in) {
  std::lock_guard lock(mutex_);
  if (signed_in)
    Exec("INSERT INTO presence (code, node) VALUES ($1, $2) ON CONFLICT (code) DO UPDATE SET node = $2",
         {N(user), node});
  else
    Exec("DELETE FROM presence WHERE code=$1 AND node=$2", {N(user), node});
}

std::optional<std::string> TPgStore::PresenceOf(std::uint32_t user) {
  std::lock_guard lock(mutex_);
  TPgResult r = Exec("SELECT node FROM presence WHERE code=$1", {N(user)});
  if (!r.ok() || r.rows() == 0) return std::nullopt;
  return r.text(0, 0);
}

void TPgStore::ClearNode(const std::string& node) {
  std::lock_guard lock(mutex_);
  Exec("DELETE FROM presence WHERE node=$1", {node});
}

void TPgStore::Publish(const TNodeEvent& event) { bus_->Publish(kTopic, event.Encode()); }

void TPgStore::Listen(std::function<void(const TNodeEvent&)> handler) {
  std::lock_guard lock(listen_mutex_);
  if (subscription_) bus_->Unsubscribe(subscription_);
  subscription_ = 0;
  if (!handler) return;
  auto shared = std::make_shared<std::function<void(const TNodeEvent&)>>(std::move(handler));
  subscription_ = bus_->Subscribe({kTopic,
                                   [shared](const std::string& payload) {
                                     if (std::optional<TNodeEvent> e = TNodeEvent::Decode(payload)) (*shared)(*e);
                                   },
                                   [shared] {
                                     TNodeEvent restored;
                                     restored.kind = TNodeEvent::kBusRestored;
                                     (*shared)(restored);
                                   }});
}

}  // namespace kiv::server
