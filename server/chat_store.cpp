// The chat store on SQLite (one process) and on PostgreSQL (several home nodes). Bodies are kept as
// hexadecimal text like the friend queue's, so both databases share one table definition.
#include "chat_store.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <mutex>
#include <stdexcept>

#include "friend_store_text.h"
#include "pg_result.h"
#include "sqlite_statement.h"

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
    SqliteExec(db_, "PRAGMA synchronous = NORMAL");
  }
  ~TSqliteChatStore() override { sqlite3_close(db_); }

  std::optional<std::int64_t> Keep(std::uint32_t target, std::uint32_t sender, const Bytes& message,
                                   const TChatQuota& q) override {
    std::lock_guard lock(mutex_);
    TSqliteTransaction transaction(db_);
    auto [sent_count, sent_bytes] =
        Totals("SELECT COUNT(*), COALESCE(SUM(size), 0) FROM chat_waiting WHERE sender = ?1", sender);
    auto [box_count, box_bytes] =
        Totals("SELECT COUNT(*), COALESCE(SUM(size), 0) FROM chat_waiting WHERE target = ?1", target);
    const std::uint64_t size = message.size();
    if (sent_count + 1 > q.per_sender_messages || sent_bytes + size > q.per_sender_bytes ||
        box_count + 1 > q.per_target_messages || box_bytes + size > q.per_target_bytes)
      return std::nullopt;
    std::int64_t id = 0;
    {
      TSqliteStatement s(db_,
                         "INSERT INTO chat_waiting (id, target, sender, size, body) VALUES "
                         "((SELECT COALESCE(MAX(id), 0) + 1 FROM chat_waiting), ?1, ?2, ?3, ?4) RETURNING id");
      s.Bind(1, target).Bind(2, sender).Bind(3, static_cast<std::int64_t>(size)).Bind(4, HexText(message));
      if (!s.Step()) throw std::runtime_error("sqlite: no id for a kept message");
      id = s.Int(0);
      s.Step();
    }
    transaction.Commit();
    return id;
  }

  std::vector<TWaitingChat> Waiting(std::uint32_t target, std::size_t max_bytes) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_, "SELECT id, sender, size, body FROM chat_waiting WHERE target = ?1 ORDER BY id");
    s.Bind(1, target);
    std::vector<TWaitingChat> out;
    std::size_t total = 0;
    while (s.Step()) {
      const auto size = static_cast<std::size_t>(s.Int(2));
      if (!out.empty() && total + size > max_bytes) break;
      std::optional<Bytes> body = FromHexText(s.Text(3));
      if (!body) continue;
      total += size;
      out.push_back({s.Int(0), static_cast<std::uint32_t>(s.Int(1)), std::move(*body)});
    }
    return out;
  }

  void Remove(const std::vector<std::int64_t>& ids) override {
    std::lock_guard lock(mutex_);
    TSqliteTransaction transaction(db_);
    TSqliteStatement s(db_, "DELETE FROM chat_waiting WHERE id = ?1");
    for (std::int64_t id : ids) {
      s.Reset();
      s.Bind(1, id).Step();
    }
    transaction.Commit();
  }

  std::uint64_t CountFor(std::uint32_t target) override {
    std::lock_guard lock(mutex_);
    return Totals("SELECT COUNT(*), 0 FROM chat_waiting WHERE target = ?1", target).first;
  }

 private:
  std::pair<std::uint64_t, std::uint64_t> Totals(const char* sql, std::uint32_t code) {
    TSqliteStatement s(db_, sql);
    s.Bind(1, code);
    if (!s.Step()) return {0, 0};
    return {static_cast<std::uint64_t>(s.Int(0)), static_cast<std::uint64_t>(s.Int(1))};
  }

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
};

class TPgChatStore final : public IChatStore {
 public:
  explicit TPgChatStore(const std::string& url) : db_(std::make_unique<TPgConnection>(url, "chat")) {}

  std::optional<std::int64_t> Keep(std::uint32_t target, std::uint32_t sender, const Bytes& message,
                                   const TChatQuota& q) override {
    std::lock_guard lock(mutex_);
    // One transaction at a time across the nodes keeps the quotas exact and the ids unique.
    Exec("BEGIN", {});
    Exec("SELECT pg_advisory_xact_lock(7340033)", {});
    const std::string size = std::to_string(message.size());
    TPgResult r = Exec(
        "INSERT INTO chat_waiting (id, target, sender, size, body) "
        "SELECT (SELECT COALESCE(MAX(id), 0) + 1 FROM chat_waiting), $1::bigint, $2::bigint, $3::bigint, $4 "
        "WHERE (SELECT COUNT(*) FROM chat_waiting WHERE sender = $2::bigint) + 1 <= $5::bigint "
        "AND (SELECT COALESCE(SUM(size), 0) FROM chat_waiting WHERE sender = $2::bigint) + $3::bigint <= $6::bigint "
        "AND (SELECT COUNT(*) FROM chat_waiting WHERE target = $1::bigint) + 1 <= $7::bigint "
        "AND (SELECT COALESCE(SUM(size), 0) FROM chat_waiting WHERE target = $1::bigint) + $3::bigint <= $8::bigint "
        "RETURNING id",
        {std::to_string(target), std::to_string(sender), size, HexText(message),
         std::to_string(q.per_sender_messages), std::to_string(q.per_sender_bytes),
         std::to_string(q.per_target_messages), std::to_string(q.per_target_bytes)});
    const bool ok = r.ok();
    Exec(ok ? "COMMIT" : "ROLLBACK", {});
    if (!ok) throw std::runtime_error("PostgreSQL: cannot keep a chat message");
    if (r.rows() != 1) return std::nullopt;
    return r.number(0, 0);
  }

  std::vector<TWaitingChat> Waiting(std::uint32_t target, std::size_t max_bytes) override {
    std::lock_guard lock(mutex_);
    TPgResult r = Exec("SELECT id, sender, size, body FROM chat_waiting WHERE target = $1 ORDER BY id LIMIT 1000",
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
    TPgResult r = Exec("SELECT COUNT(*) FROM chat_waiting WHERE target = $1", {std::to_string(target)});
    return r.rows() ? static_cast<std::uint64_t>(r.number(0, 0)) : 0;
  }

 private:
  TPgResult Exec(const char* sql, const std::vector<std::string>& params) { return db_->Exec(sql, params); }

  std::mutex mutex_;
  std::unique_ptr<TPgConnection> db_;
};

}  // namespace

std::unique_ptr<IChatStore> OpenChatStore(const std::string& location) {
  if (location.starts_with("postgresql://") || location.starts_with("postgres://"))
    return std::make_unique<TPgChatStore>(location);
  return std::make_unique<TSqliteChatStore>(location.starts_with("sqlite:") ? location.substr(7) : location);
}

}  // namespace kiv::server
