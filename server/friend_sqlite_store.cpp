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

  bool AddRequest(std::uint32_t sender, std::uint32_t target) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_, "INSERT OR IGNORE INTO friend_requests (sender, target) VALUES (?1, ?2)");
    s.Bind(1, sender).Bind(2, target).Step();
    return s.Changes() > 0;
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

  std::vector<TFriendEntry> FriendList(std::uint32_t owner, std::size_t limit) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_,
                       "SELECT f.friend, f.group_id, a.code IS NOT NULL, COALESCE(a.nickname, ''), "
                       "COALESCE(a.face, 0), COALESCE(a.user_type, 0), COALESCE(b.group_id, 0), "
                       "p.code IS NOT NULL, " KIV_PRESENCE_COLUMNS
                       " FROM friendships f LEFT JOIN accounts a ON a.code = f.friend "
                       "LEFT JOIN friendships b ON b.owner = f.friend AND b.friend = f.owner "
                       "LEFT JOIN friend_presence p ON p.code = f.friend "
                       "WHERE f.owner = ?1 ORDER BY f.friend LIMIT ?2");
    s.Bind(1, owner).Bind(2, static_cast<std::int64_t>(limit));
    std::vector<TFriendEntry> rows;
    while (s.Step()) {
      TFriendEntry e;
      e.code = static_cast<std::uint32_t>(s.Int(0));
      e.group = static_cast<std::uint32_t>(s.Int(1));
      e.account = s.Int(2) != 0;
      e.nickname = s.Text(3);
      e.face = static_cast<std::uint8_t>(s.Int(4));
      e.user_type = static_cast<std::uint8_t>(s.Int(5));
      e.blocks_owner = s.Int(6) == 3;
      if (s.Int(7)) e.presence = PresenceAt(s, 8, e.code);
      rows.push_back(std::move(e));
    }
    return rows;
  }

  std::size_t FriendCount(std::uint32_t owner) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_, "SELECT COUNT(*) FROM friendships WHERE owner = ?1");
    s.Bind(1, owner);
    return s.Step() ? static_cast<std::size_t>(s.Int(0)) : 0;
  }

  bool Queue(std::uint32_t target, std::uint32_t sender, const Bytes& message,
             const TFriendQueueQuota& quota) override {
    std::lock_guard lock(mutex_);
    TSqliteTransaction transaction(db_);
    // The pair's own waiting message is replaced, so it does not count against the quotas.
    if (Count("SELECT COUNT(*) FROM friend_queue WHERE target = ?1 AND sender != ?2", target, sender) >=
            quota.per_target ||
        Count("SELECT COUNT(*) FROM friend_queue WHERE sender = ?1 AND target != ?2", sender, target) >=
            quota.per_sender)
      return false;
    {
      TSqliteStatement d(db_, "DELETE FROM friend_queue WHERE target = ?1 AND sender = ?2");
      d.Bind(1, target).Bind(2, sender).Step();
    }
    TSqliteStatement s(db_,
                       "INSERT INTO friend_queue (seq, target, sender, body) "
                       "VALUES ((SELECT COALESCE(MAX(seq), 0) + 1 FROM friend_queue), ?1, ?2, ?3)");
    s.Bind(1, target).Bind(2, sender).Bind(3, HexText(message)).Step();
    transaction.Commit();
    return true;
  }

  std::vector<Bytes> TakeQueued(std::uint32_t target, std::size_t limit) override {
    std::lock_guard lock(mutex_);
    std::vector<Bytes> out;
    TSqliteTransaction transaction(db_);
    std::int64_t last = 0;
    {
      TSqliteStatement s(db_, "SELECT seq, body FROM friend_queue WHERE target = ?1 ORDER BY seq LIMIT ?2");
      s.Bind(1, target).Bind(2, static_cast<std::int64_t>(limit));
      while (s.Step()) {
        last = s.Int(0);
        if (std::optional<Bytes> b = FromHexText(s.Text(1))) out.push_back(std::move(*b));
      }
    }
    TSqliteStatement d(db_, "DELETE FROM friend_queue WHERE target = ?1 AND seq <= ?2");
    d.Bind(1, target).Bind(2, last).Step();
    transaction.Commit();
    return out;
  }

  std::uint64_t QueuedFor(std::uint32_t target) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_, "SELECT COUNT(*) FROM friend_queue WHERE target = ?1");
    s.Bind(1, target);
    return s.Step() ? static_cast<std::uint64_t>(s.Int(0)) : 0;
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
    TSqliteStatement s(db_, "SELECT " KIV_PRESENCE_COLUMNS " FROM friend_presence p WHERE code = ?1");
    s.Bind(1, code);
    if (!s.Step()) return std::nullopt;
    return PresenceAt(s, 0, code);
  }

  void ClearNode(const std::string& node) override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_, "DELETE FROM friend_presence WHERE node = ?1");
    s.Bind(1, node).Step();
  }

  // One process: there is no other node.
  void SendToNode(const std::string&, std::uint32_t, const Bytes&) override {}
  void Listen(const std::string&, std::function<void(std::uint32_t, const Bytes&)>) override {}

  TSearchPage Search(const TUserQuery& q, std::uint32_t after, std::size_t limit, std::size_t window) override {
    std::lock_guard lock(mutex_);
    // The window: the next accounts in code order (or signed-in users, for online only); the
    // filters that need a row's text run only inside it.
    const char* online_window =
        "SELECT code FROM friend_presence WHERE code > ?1 AND (?2 = 0 OR code = ?2) AND state = 1 "
        "AND (?3 = 0 OR camera = 1) ORDER BY code LIMIT ?4";
    const char* all_window =
        "SELECT code FROM accounts WHERE code > ?1 AND (?2 = 0 OR code = ?2) AND ?3 = ?3 "
        "ORDER BY code LIMIT ?4";
    const std::string from = std::string("(") + (q.online_only || q.camera_only ? online_window : all_window) + ")";
    auto bind_window = [&](TSqliteStatement& s) {
      s.Bind(1, after).Bind(2, q.code).Bind(3, q.camera_only ? 1 : 0).Bind(4, static_cast<std::int64_t>(window));
    };
    TSearchPage page;
    {
      const std::string sql =
          "SELECT a.code, a.nickname, a.sex, a.age, a.face, a.province, a.city, a.verify_mode, "
          "p.code IS NOT NULL, " KIV_PRESENCE_COLUMNS " FROM " + from +
          " w JOIN accounts a ON a.code = w.code LEFT JOIN friend_presence p ON p.code = a.code AND p.state = 1 "
          "WHERE (?5 = '' OR instr(a.nickname, ?5) > 0) AND (?6 = '' OR a.city = ?6) AND (?7 = 0 OR a.sex = ?8) "
          "ORDER BY a.code LIMIT ?9";
      TSqliteStatement s(db_, sql.c_str());
      bind_window(s);
      s.Bind(5, q.nickname).Bind(6, q.city).Bind(7, q.sex).Bind(8, q.sex == 1 ? 1 : 0);
      s.Bind(9, static_cast<std::int64_t>(limit));
      while (s.Step()) {
        TSearchHit h;
        h.code = static_cast<std::uint32_t>(s.Int(0));
        h.nickname = s.Text(1);
        h.sex = static_cast<std::uint8_t>(s.Int(2));
        h.age = static_cast<std::uint8_t>(s.Int(3));
        h.face = static_cast<std::uint8_t>(s.Int(4));
        h.province = s.Text(5);
        h.city = s.Text(6);
        h.verify_mode = static_cast<std::uint8_t>(s.Int(7));
        if (s.Int(8)) h.presence = PresenceAt(s, 9, h.code);
        page.hits.push_back(std::move(h));
      }
    }
    if (page.hits.size() == limit) {
      page.next = page.hits.back().code;
      return page;
    }
    const std::string sql = "SELECT COUNT(*), COALESCE(MAX(code), 0) FROM " + from;
    TSqliteStatement s(db_, sql.c_str());
    bind_window(s);
    s.Step();
    page.next = static_cast<std::uint32_t>(s.Int(1));
    page.done = static_cast<std::size_t>(s.Int(0)) < window;
    return page;
  }

  std::uint64_t OnlineCount() override {
    std::lock_guard lock(mutex_);
    TSqliteStatement s(db_, "SELECT COUNT(*) FROM friend_presence WHERE state = 1");
    return s.Step() ? static_cast<std::uint64_t>(s.Int(0)) : 0;
  }

 private:
  // The presence columns of a query, from `at` on (KIV_PRESENCE_COLUMNS' order).
  static TPresenceRow PresenceAt(TSqliteStatement& s, int at, std::uint32_t code) {
    TPresenceRow p;
    p.code = code;
    p.node = s.Text(at);
    p.peer = {s.Text(at + 1), static_cast<std::uint16_t>(s.Int(at + 2))};
    p.state = static_cast<std::uint8_t>(s.Int(at + 3));
    p.camera = static_cast<std::uint8_t>(s.Int(at + 4));
    p.user_type = static_cast<std::uint8_t>(s.Int(at + 5));
    p.server = {s.Text(at + 6), static_cast<std::uint16_t>(s.Int(at + 7))};
    return p;
  }

  std::uint64_t Count(const char* sql, std::uint32_t a, std::uint32_t b) {
    TSqliteStatement s(db_, sql);
    s.Bind(1, a).Bind(2, b);
    return s.Step() ? static_cast<std::uint64_t>(s.Int(0)) : 0;
  }

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
};

}  // namespace

std::unique_ptr<IFriendStore> OpenSqliteFriendStore(const std::string& path) {
  return std::make_unique<TSqliteFriendStore>(path);
}

}  // namespace kiv::server
