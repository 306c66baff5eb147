// The chat store on SQLite (one process) and on PostgreSQL (several home nodes). Bodies are kept as
// hexadecimal text like the friend queue's, so both databases share one table definition.
#include "chat_store.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <mutex>
#include <stdexcept>

#include "friend_store_text.h"

namespace kiv::server {

namespace {

class TSqliteChatStore final : public IChatStore {
 public:
  explicit TSqliteChatStore(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr) !=
        SQLITE_OK) {
      std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw std::runtime_error("cannot open " + path + ": " + message);
    }
    sqlite3_busy_timeout(db_, 5000);
    // Kept messages are not money: in WAL mode a commit need not wait for the disk, only a
    // checkpoint does. A power cut may lose the last ones kept; a crash of the process loses none.
    Exec("PRAGMA synchronous = NORMAL");
  }
  ~TSqliteChatStore() override { sqlite3_close(db_); }

  bool Keep(std::uint32_t target, std::uint32_t sender, const Bytes& message, const TChatQuota& q) override {
    std::lock_guard lock(mutex_);
    Exec("BEGIN IMMEDIATE");
    try {
      auto [sent_count, sent_bytes] =
          Totals("SELECT COUNT(*), COALESCE(SUM(size), 0) FROM chat_waiting WHERE sender = ?1", sender);
      auto [box_count, box_bytes] =
          Totals("SELECT COUNT(*), COALESCE(SUM(size), 0) FROM chat_waiting WHERE target = ?1", target);
      const std::uint64_t size = message.size();
      if (sent_count + 1 > q.per_sender_messages || sent_bytes + size > q.per_sender_bytes ||
          box_count + 1 > q.per_target_messages || box_bytes + size > q.per_target_bytes) {
        Exec("ROLLBACK");
        return false;
      }
      Stmt s(db_,
             "INSERT INTO chat_waiting (id, target, sender, size, body) VALUES "
             "((SELECT COALESCE(MAX(id), 0) + 1 FROM chat_waiting), ?1, ?2, ?3, ?4)");
      const std::string hex = HexText(message);
      sqlite3_bind_int64(s.s, 1, target);
      sqlite3_bind_int64(s.s, 2, sender);
      sqlite3_bind_int64(s.s, 3, static_cast<std::int64_t>(size));
      sqlite3_bind_text(s.s, 4, hex.data(), static_cast<int>(hex.size()), SQLITE_TRANSIENT);
      if (sqlite3_step(s.s) != SQLITE_DONE) throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db_));
      Exec("COMMIT");
      return true;
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  std::vector<TWaitingChat> Waiting(std::uint32_t target, std::size_t max_bytes) override {
    std::lock_guard lock(mutex_);
    Stmt s(db_, "SELECT id, sender, size, body FROM chat_waiting WHERE target = ?1 ORDER BY id");
    sqlite3_bind_int64(s.s, 1, target);
    std::vector<TWaitingChat> out;
    std::size_t total = 0;
    while (sqlite3_step(s.s) == SQLITE_ROW) {
      const auto size = static_cast<std::size_t>(sqlite3_column_int64(s.s, 2));
      if (!out.empty() && total + size > max_bytes) break;
      const unsigned char* text = sqlite3_column_text(s.s, 3);
      std::optional<Bytes> body = FromHexText(
          text ? std::string(reinterpret_cast<const char*>(text),
                             static_cast<std::size_t>(sqlite3_column_bytes(s.s, 3)))
               : std::string());
      if (!body) continue;
      total += size;
      out.push_back({sqlite3_column_int64(s.s, 0), static_cast<std::uint32_t>(sqlite3_column_int64(s.s, 1)),
                     std::move(*body)});
    }
    return out;
  }

  void Remove(const std::vector<std::int64_t>& ids) override {
    std::lock_guard lock(mutex_);
    Exec("BEGIN IMMEDIATE");
    try {
      Stmt s(db_, "DELETE FROM chat_waiting WHERE id = ?1");
      for (std::int64_t id : ids) {
        sqlite3_reset(s.s);
        sqlite3_bind_int64(s.s, 1, id);
        sqlite3_step(s.s);
      }
      Exec("COMMIT");
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }

  std::uint64_t CountFor(std::uint32_t target) override {
    std::lock_guard lock(mutex_);
    return Totals("SELECT COUNT(*), 0 FROM chat_waiting WHERE target = ?1", target).first;
  }

 private:
  struct Stmt {
    Stmt(sqlite3* db, const char* sql) {
      if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("sqlite prepare: ") + sqlite3_errmsg(db));
    }
    ~Stmt() { sqlite3_finalize(s); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    sqlite3_stmt* s = nullptr;
  };
  std::pair<std::uint64_t, std::uint64_t> Totals(const char* sql, std::uint32_t code) {
    Stmt s(db_, sql);
    sqlite3_bind_int64(s.s, 1, code);
    if (sqlite3_step(s.s) != SQLITE_ROW) return {0, 0};
    return {static_cast<std::uint64_t>(sqlite3_column_int64(s.s, 0)),
            static_cast<std::uint64_t>(sqlite3_column_int64(s.s, 1))};
  }
  void Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
      std::string message = error ? error : "?";
      sqlite3_free(error);
      throw std::runtime_error("sqlite: " + message);
    }
  }

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
};

class TPgChatStore final : public IChatStore {
 public:
  explicit TPgChatStore(const std::string& url) {
    db_ = PQconnectdb(url.c_str());
    if (PQstatus(db_) != CONNECTION_OK) {
      std::string message = PQerrorMessage(db_);
      PQfinish(db_);
      throw std::runtime_error("cannot connect to PostgreSQL: " + message);
    }
  }
  ~TPgChatStore() override { PQfinish(db_); }

  bool Keep(std::uint32_t target, std::uint32_t sender, const Bytes& message, const TChatQuota& q) override {
    std::lock_guard lock(mutex_);
    // One transaction at a time across the nodes keeps the quotas exact and the ids unique.
    Exec("BEGIN", {});
    Exec("SELECT pg_advisory_xact_lock(7340033)", {});
    const std::string size = std::to_string(message.size());
    Result r = Exec(
        "INSERT INTO chat_waiting (id, target, sender, size, body) "
        "SELECT (SELECT COALESCE(MAX(id), 0) + 1 FROM chat_waiting), $1::bigint, $2::bigint, $3::bigint, $4 "
        "WHERE (SELECT COUNT(*) FROM chat_waiting WHERE sender = $2::bigint) + 1 <= $5::bigint "
        "AND (SELECT COALESCE(SUM(size), 0) FROM chat_waiting WHERE sender = $2::bigint) + $3::bigint <= $6::bigint "
        "AND (SELECT COUNT(*) FROM chat_waiting WHERE target = $1::bigint) + 1 <= $7::bigint "
        "AND (SELECT COALESCE(SUM(size), 0) FROM chat_waiting WHERE target = $1::bigint) + $3::bigint <= $8::bigint",
        {std::to_string(target), std::to_string(sender), size, HexText(message),
         std::to_string(q.per_sender_messages), std::to_string(q.per_sender_bytes),
         std::to_string(q.per_target_messages), std::to_string(q.per_target_bytes)});
    const bool ok = r.ok();
    Exec(ok ? "COMMIT" : "ROLLBACK", {});
    if (!ok) throw std::runtime_error("PostgreSQL: cannot keep a chat message");
    return r.affected() == 1;
  }

  std::vector<TWaitingChat> Waiting(std::uint32_t target, std::size_t max_bytes) override {
    std::lock_guard lock(mutex_);
    Result r = Exec("SELECT id, sender, size, body FROM chat_waiting WHERE target = $1 ORDER BY id LIMIT 1000",
                    {std::to_string(target)});
    std::vector<TWaitingChat> out;
    std::size_t total = 0;
    for (int i = 0; i < r.rows(); ++i) {
      const auto size = static_cast<std::size_t>(r.number(i, 2));
      if (!out.empty() && total + size > max_bytes) break;
      std::optional<Bytes> body = FromHexText(r.text(i, 3));
      if (!body) continue;
      total += size;
      out.push_back({r.number(i, 0), static_cast<std::uint32_t>(r.number(i, 1)), std::move(*body)});
    }
    return out;
  }

  void Remove(const std::vector<std::int64_t>& ids) override {
    std::lock_guard lock(mutex_);
    std::string list = "{";
    for (std::int64_t id : ids) list += (list.size() > 1 ? "," : "") + std::to_string(id);
    Exec("DELETE FROM chat_waiting WHERE id = ANY($1::bigint[])", {list + "}"});
  }

  std::uint64_t CountFor(std::uint32_t target) override {
    std::lock_guard lock(mutex_);
    Result r = Exec("SELECT COUNT(*) FROM chat_waiting WHERE target = $1", {std::to_string(target)});
    return r.rows() ? static_cast<std::uint64_t>(r.number(0, 0)) : 0;
  }

 private:
  class Result {
   public:
    explicit Result(PGresult* r) : r_(r) {}
    Result(Result&& o) noexcept : r_(o.r_) { o.r_ = nullptr; }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;
    Result& operator=(Result&&) = delete;
    ~Result() { PQclear(r_); }
    bool ok() const {
      ExecStatusType s = PQresultStatus(r_);
      return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
    }
    int rows() const { return ok() ? PQntuples(r_) : 0; }
    std::string text(int row, int col) const { return PQgetvalue(r_, row, col); }
    std::int64_t number(int row, int col) const { return std::stoll(PQgetvalue(r_, row, col)); }
    int affected() const {
      const char* t = PQcmdTuples(r_);
      return t && *t ? std::atoi(t) : 0;
    }

   private:
    PGresult* r_;
  };
  Result Exec(const char* sql, const std::vector<std::string>& params) {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const std::string& p : params) values.push_back(p.c_str());
    return Result(
        PQexecParams(db_, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0));
  }

  std::mutex mutex_;
  PGconn* db_ = nullptr;
};

}  // namespace

std::unique_ptr<IChatStore> OpenChatStore(const std::string& location) {
  if (location.starts_with("postgresql://") || location.starts_with("postgres://"))
    return std::make_unique<TPgChatStore>(location);
  return std::make_unique<TSqliteChatStore>(location.starts_with("sqlite:") ? location.substr(7) : location);
}

}  // namespace kiv::server
