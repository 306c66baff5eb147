// The friends store on SQLite: a second connection to the accounts' database file. The account
// store created the tables (its migrations run before this connection opens).
#include <sqlite3.h>

#include <mutex>
#include <stdexcept>

#include "friend_store.h"
#include "friend_store_text.h"
#include "sqlite_statement.h"

namespace kiv::server {

namespace {

class TSqliteFriendStore final : public IFriendStore {
 public:
  explicit TSqliteFriendStore(const std::string& path) {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw std::runtime_error("cannot open " + path + ": " + message);
    }
    sqlite3_busy_timeout(db_, 5000);
  }
  ~TSqliteFriendStore() override { sqlite3_close(db_); }

  std::vector<TFriendRow> Friends(std::uint32_t owner) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_, "SELECT friend, group_id FROM friendships WHERE owner = ?1 ORDER BY friend");
    s.Bind(1, owner);
    std::vector<TFriendRow> rows;
    while (s.Step())
      rows.push_back({static_cast<std::uint32_t>(s.Int(0)), static_cast<std::uint32_t>(s.Int(1))});
    return rows;
  }

  std::optional<std::uint32_t> GroupOf(std::uint32_t owner, std::uint32_t friend_code) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_, "SELECT group_id FROM friendships WHERE owner = ?1 AND friend = ?2");
    s.Bind(1, owner).Bind(2, friend_code);
    if (!s.Step()) return std::nullopt;
    return static_cast<std::uint32_t>(s.Int(0));
  }

  bool MakeFriends(std::uint32_t a, std::uint32_t b) override {
    std::lock_guard lock(mutex_);
    TSqliteTransaction transaction(db_);
    int added = 0;
    for (auto [x, y] : {std::pair{a, b}, std::pair{b, a}}) {
      TSqliteStatement s(db_, "INSERT OR IGNORE INTO friendships (owner, friend, group_id) VALUES (?1, ?2, 1)");
      s.Bind(1, x).Bind(2, y).Step();
      added += s.Changes();
    }
    for (auto [x, y] : {std::pair{a, b}, std::pair{b, a}}) {
      TSqliteStatement s(db_, "DELETE FROM friend_requests WHERE sender = ?1 AND target = ?2");
      s.Bind(1, x).Bind(2, y).Step();
    }
    transaction.Commit();
    return added > 0;
  }

  bool Unfriend(std::uint32_t a, std::uint32_t b) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_,
                "DELETE FROM friendships WHERE (owner = ?1 AND friend = ?2) OR (owner = ?2 AND friend = ?1)");
    s.Bind(1, a).Bind(2, b).Step();
    return s.Changes() > 0;
  }

  bool MoveFriend(std::uint32_t owner, std::uint32_t friend_code, std::uint32_t group) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_, "UPDATE friendships SET group_id = ?3 WHERE owner = ?1 AND friend = ?2");
    s.Bind(1, owner).Bind(2, friend_code).Bind(3, group).Step();
    return s.Changes() > 0;
  }

  std::vector<TFriendGroupRow> Groups(std::uint32_t owner) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_, "SELECT id, name FROM friend_groups WHERE owner = ?1 ORDER BY id");
    s.Bind(1, owner);
    std::vector<TFriendGroupRow> rows;
    while (s.Step()) rows.push_back({static_cast<std::uint32_t>(s.Int(0)), s.Text(1)});
    return rows;
  }

  bool SaveGroup(std::uint32_t owner, std::uint32_t id, const std::string& name) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_,
                "INSERT INTO friend_groups (owner, id, name) VALUES (?1, ?2, ?3) "
                "ON CONFLICT (owner, id) DO UPDATE SET name = excluded.name");
    s.Bind(1, owner).Bind(2, id).Bind(3, name).Step();
    return s.Changes() > 0;
  }

  bool DeleteGroup(std::uint32_t owner, std::uint32_t id) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_,
                "DELETE FROM friend_groups WHERE owner = ?1 AND id = ?2 AND NOT EXISTS "
                "(SELECT 1 FROM friendships WHERE owner = ?1 AND group_id = ?2)");
    s.Bind(1, owner).Bind(2, id).Step();
    return s.Changes() > 0;
  }

  void AddRequest(std::uint32_t sender, std::uint32_t target) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_, "INSERT OR IGNORE INTO friend_requests (sender, target) VALUES (?1, ?2)");
    s.Bind(1, sender).Bind(2, target).Step();
  }

  bool HasRequest(std::uint32_t sender, std::uint32_t target) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_, "SELECT 1 FROM friend_requests WHERE sender = ?1 AND target = ?2");
    s.Bind(1, sender).Bind(2, target);
    return s.Step();
  }

  void ClearRequest(std::uint32_t sender, std::uint32_t target) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_, "DELETE FROM friend_requests WHERE sender = ?1 AND target = ?2");
    s.Bind(1, sender).Bind(2, target).Step();
  }

  void Queue(std::uint32_t target, const Bytes& message) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_,
                "INSERT INTO friend_queue (seq, target, body) "
                "VALUES ((SELECT COALESCE(MAX(seq), 0) + 1 FROM friend_queue), ?1, ?2)");
    s.Bind(1, target).Bind(2, HexText(message)).Step();
  }

  std::vector<Bytes> TakeQueued(std::uint32_t target) override {
    std::lock_guard lock(mutex_);
    std::vector<Bytes> out;
    TSqliteTransaction transaction(db_);
    {
      TSqliteStatement s(db_, "SELECT body FROM friend_queue WHERE target = ?1 ORDER BY seq");
      s.Bind(1, target);
      while (s.Step())
        if (std::optional<Bytes> b = FromHexText(s.Text(0))) out.push_back(std::move(*b));
    }
    TSqliteStatement d(db_, "DELETE FROM friend_queue WHERE target = ?1");
    d.Bind(1, target).Step();
    transaction.Commit();
    return out;
  }

  void SetPresent(const TPresenceRow& p) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(
        db_,
        "INSERT INTO friend_presence (code, node, ip, port, state, camera, user_type, server_ip, "
        "server_port) "
        "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) ON CONFLICT (code) DO UPDATE SET node = excluded.node, "
        "ip = excluded.ip, port = excluded.port, state = excluded.state, camera = excluded.camera, "
        "user_type = excluded.user_type, server_ip = excluded.server_ip, server_port = excluded.server_port");
    s.Bind(1, p.code)
        .Bind(2, p.node)
        .Bind(3, p.peer.ip)
        .Bind(4, p.peer.port)
        .Bind(5, p.state)
        .Bind(6, p.camera);
    s.Bind(7, p.user_type).Bind(8, p.server.ip).Bind(9, p.server.port).Step();
  }

  void SetAbsent(std::uint32_t code, const std::string& node) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_, "DELETE FROM friend_presence WHERE code = ?1 AND node = ?2");
    s.Bind(1, code).Bind(2, node).Step();
  }

  std::optional<TPresenceRow> Presence(std::uint32_t code) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(
        db_,
        "SELECT node, ip, port, state, camera, user_type, server_ip, server_port FROM friend_presence "
        "WHERE code = ?1");
    s.Bind(1, code);
    if (!s.Step()) return std::nullopt;
    TPresenceRow p;
    p.code = code;
    p.node = s.Text(0);
    p.peer = {s.Text(1), static_cast<std::uint16_t>(s.Int(2))};
    p.state = static_cast<std::uint8_t>(s.Int(3));
    p.camera = static_cast<std::uint8_t>(s.Int(4));
    p.user_type = static_cast<std::uint8_t>(s.Int(5));
    p.server = {s.Text(6), static_cast<std::uint16_t>(s.Int(7))};
    return p;
  }

  void ClearNode(const std::string& node) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_, "DELETE FROM friend_presence WHERE node = ?1");
    s.Bind(1, node).Step();
  }

  // One process: there is no other node.
  void SendToNode(const std::string&, std::uint32_t, const Bytes&) override {}
  void Listen(const std::string&, std::function<void(std::uint32_t, const Bytes&)>) override {}

  std::vector<std::uint32_t> FindUsers(const TUserQuery& q, std::uint32_t after, std::size_t limit) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_,
                "SELECT code FROM accounts WHERE code > ?1 AND (?2 = 0 OR code = ?2) "
                "AND (?3 = '' OR instr(nickname, ?3) > 0) AND (?4 = '' OR city = ?4) "
                "AND (?5 = 0 OR sex = ?6) ORDER BY code LIMIT ?7");
    s.Bind(1, after).Bind(2, q.code).Bind(3, q.nickname).Bind(4, q.city);
    s.Bind(5, q.sex).Bind(6, q.sex == 1 ? 1 : 0).Bind(7, static_cast<std::int64_t>(limit));
    std::vector<std::uint32_t> codes;
    while (s.Step()) codes.push_back(static_cast<std::uint32_t>(s.Int(0)));
    return codes;
  }

 private:
  std::mutex mutex_;
  sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<IFriendStore> OpenSqliteFriendStore(const std::string& path) {
  return std::make_unique<TSqliteFriendStore>(path);
}

}  // namespace kiv::server
