// The friends store on PostgreSQL: its own connection to the shared database, guarded by a mutex.
// The account store migrated the schema before this connection opens. Friend messages for users on
// other nodes travel on the process's node bus under the topic "friends".
#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "friend_store.h"
#include "friend_store_text.h"
#include "pg_result.h"

namespace kiv::server {

namespace {

std::string N(std::int64_t v) { return std::to_string(v); }

// The node bus topic of friend messages between home nodes; a payload is "node user hex-message".
constexpr const char* kFriendTopic = "friends";

class TPgFriendStore final : public IFriendStore {
 public:
  explicit TPgFriendStore(const std::string& url)
      : db_(std::make_unique<TPgConnection>(url, "friends")), bus_(TPgNodeBus::Of(url)) {}
  ~TPgFriendStore() override { Listen({}, nullptr); }

  std::vector<TFriendRow> Friends(std::uint32_t owner) override {
    std::lock_guard lock(mutex_);
    TPgResult r = Exec("SELECT friend, group_id FROM friendships WHERE owner = $1 ORDER BY friend", {N(owner)});
    std::vector<TFriendRow> rows;
    for (int i = 0; i < r.rows(); ++i)
      rows.push_back(
          {static_cast<std::uint32_t>(r.number(i, 0)), static_cast<std::uint32_t>(r.number(i, 1))});
    return rows;
  }

  std::optional<std::uint32_t> GroupOf(std::uint32_t owner, std::uint32_t friend_code) override {
    std::lock_guard lock(mutex_);
    TPgResult r =
        Exec("SELECT group_id FROM friendships WHERE owner = $1 AND friend = $2", {N(owner), N(friend_code)});
    if (r.rows() == 0) return std::nullopt;
    return static_cast<std::uint32_t>(r.number(0, 0));
  }

  bool MakeFriends(std::uint32_t a, std::uint32_t b) override {
    std::lock_guard lock(mutex_);
    Exec("BEGIN", {});
    TPgResult r = Exec(
        "INSERT INTO friendships (owner, friend, group_id) VALUES ($1, $2, 1), ($2, $1, 1) "
        "ON CONFLICT (owner, friend) DO NOTHING",
        {N(a), N(b)});
    TPgResult d = Exec(
        "DELETE FROM friend_requests WHERE (sender = $1 AND target = $2) OR (sender = $2 AND target = $1)",
        {N(a), N(b)});
    if (!r.ok() || !d.ok()) {
      Exec("ROLLBACK", {});
      throw std::runtime_error("PostgreSQL: cannot store a friendship");
    }
    Exec("COMMIT", {});
    return r.affected() > 0;
  }

  bool Unfriend(std::uint32_t a, std::uint32_t b) override {
    std::lock_guard lock(mutex_);
    return Exec("DELETE FROM friendships WHERE (owner = $1 AND friend = $2) OR (owner = $2 AND friend = $1)",
                {N(a), N(b)})
               .affected() > 0;
  }

  bool MoveFriend(std::uint32_t owner, std::uint32_t friend_code, std::uint32_t group) override {
    std::lock_guard lock(mutex_);
    return Exec("UPDATE friendships SET group_id = $3 WHERE owner = $1 AND friend = $2",
                {N(owner), N(friend_code), N(group)})
               .affected() > 0;
  }

  std::vector<TFriendGroupRow> Groups(std::uint32_t owner) override {
    std::lock_guard lock(mutex_);
    TPgResult r = Exec("SELECT id, name FROM friend_groups WHERE owner = $1 ORDER BY id", {N(owner)});
    std::vector<TFriendGroupRow> rows;
    for (int i = 0; i < r.rows(); ++i)
      rows.push_back({static_cast<std::uint32_t>(r.number(i, 0)), r.text(i, 1)});
    return rows;
  }

  bool SaveGroup(std::uint32_t owner, std::uint32_t id, const std::string& name) override {
    std::lock_guard lock(mutex_);
    return Exec(
               "INSERT INTO friend_groups (owner, id, name) VALUES ($1, $2, $3) "
               "ON CONFLICT (owner, id) DO UPDATE SET name = excluded.name",
               {N(owner), N(id), name})
               .affected() > 0;
  }

  bool DeleteGroup(std::uint32_t owner, std::uint32_t id) override {
    std::lock_guard lock(mutex_);
    return Exec(
               "DELETE FROM friend_groups WHERE owner = $1 AND id = $2 AND NOT EXISTS "
               "(SELECT 1 FROM friendships WHERE owner = $1 AND group_id = $2)",
               {N(owner), N(id)})
               .affected() > 0;
  }

  bool AddRequest(std::uint32_t sender, std::uint32_t target) override {
    std::lock_guard lock(mutex_);
    return Exec("INSERT INTO friend_requests (sender, target) VALUES ($1, $2) ON CONFLICT DO NOTHING",
                {N(sender), N(target)})
               .affected() > 0;
  }

  bool HasRequest(std::uint32_t sender, std::uint32_t target) override {
    std::lock_guard lock(mutex_);
    return Exec("SELECT 1 FROM friend_requests WHERE sender = $1 AND target = $2", {N(sender), N(target)})
               .rows() > 0;
  }

  void ClearRequest(std::uint32_t sender, std::uint32_t target) override {
    std::lock_guard lock(mutex_);
    Exec("DELETE FROM friend_requests WHERE sender = $1 AND target = $2", {N(sender), N(target)});
  }

  std::vector<TFriendEntry> FriendList(std::uint32_t owner, std::size_t limit) override {
    std::lock_guard lock(mutex_);
    TPgResult r = Exec(
        "SELECT f.friend, f.group_id, CASE WHEN a.code IS NULL THEN 0 ELSE 1 END, COALESCE(a.nickname, ''), "
        "COALESCE(a.face, 0), COALESCE(a.user_type, 0), COALESCE(b.group_id, 0), "
        "CASE WHEN p.code IS NULL THEN 0 ELSE 1 END, " KIV_PRESENCE_COLUMNS
        " FROM friendships f LEFT JOIN accounts a ON a.code = f.friend "
        "LEFT JOIN friendships b ON b.owner = f.friend AND b.friend = f.owner "
        "LEFT JOIN friend_presence p ON p.code = f.friend "
        "WHERE f.owner = $1::bigint ORDER BY f.friend LIMIT $2::bigint",
        {N(owner), N(static_cast<std::int64_t>(limit))});
    std::vector<TFriendEntry> rows;
    for (int i = 0; i < r.rows(); ++i) {
      TFriendEntry e;
      e.code = static_cast<std::uint32_t>(r.number(i, 0));
      e.group = static_cast<std::uint32_t>(r.number(i, 1));
      e.account = r.number(i, 2) != 0;
      e.nickname = r.text(i, 3);
      e.face = static_cast<std::uint8_t>(r.number(i, 4));
      e.user_type = static_cast<std::uint8_t>(r.number(i, 5));
      e.blocks_owner = r.number(i, 6) == 3;
      if (r.number(i, 7)) e.presence = PresenceAt(r, i, 8, e.code);
      rows.push_back(std::move(e));
    }
    return rows;
  }

  std::size_t FriendCount(std::uint32_t owner) override {
    std::lock_guard lock(mutex_);
    TPgResult r = Exec("SELECT COUNT(*) FROM friendships WHERE owner = $1", {N(owner)});
    return r.rows() ? static_cast<std::size_t>(r.number(0, 0)) : 0;
  }

  bool Queue(std::uint32_t target, std::uint32_t sender, const Bytes& message,
             const TFriendQueueQuota& quota) override {
    std::lock_guard lock(mutex_);
    // One writer at a time across the nodes keeps the quotas exact and the sequence unique.
    Exec("BEGIN", {});
    TPgResult lock_table = Exec("LOCK TABLE friend_queue IN SHARE ROW EXCLUSIVE MODE", {});
    // The pair's own waiting message is replaced, so it does not count against the quotas.
    TPgResult d = Exec(
        "DELETE FROM friend_queue WHERE target = $1::bigint AND sender = $2::bigint "
        "AND (SELECT COUNT(*) FROM friend_queue WHERE target = $1::bigint AND sender != $2::bigint) < $3::bigint "
        "AND (SELECT COUNT(*) FROM friend_queue WHERE sender = $2::bigint AND target != $1::bigint) < $4::bigint",
        {N(target), N(sender), N(static_cast<std::int64_t>(quota.per_target)),
         N(static_cast<std::int64_t>(quota.per_sender))});
    TPgResult r = Exec(
        "INSERT INTO friend_queue (seq, target, sender, body) "
        "SELECT (SELECT COALESCE(MAX(seq), 0) + 1 FROM friend_queue), $1::bigint, $2::bigint, $3 "
        "WHERE (SELECT COUNT(*) FROM friend_queue WHERE target = $1::bigint AND sender != $2::bigint) < $4::bigint "
        "AND (SELECT COUNT(*) FROM friend_queue WHERE sender = $2::bigint AND target != $1::bigint) < $5::bigint",
        {N(target), N(sender), HexText(message), N(static_cast<std::int64_t>(quota.per_target)),
         N(static_cast<std::int64_t>(quota.per_sender))});
    const bool ok = lock_table.ok() && d.ok() && r.ok();
    Exec(ok ? "COMMIT" : "ROLLBACK", {});
    if (!ok) throw std::runtime_error("PostgreSQL: cannot queue a friend message");
    return r.affected() > 0;
  }

  std::vector<Bytes> TakeQueued(std::uint32_t target, std::size_t limit) override {
    std::lock_guard lock(mutex_);
    TPgResult r = Exec(
        "DELETE FROM friend_queue WHERE seq IN (SELECT seq FROM friend_queue WHERE target = $1::bigint "
        "ORDER BY seq LIMIT $2::bigint) RETURNING seq, body",
        {N(target), N(static_cast<std::int64_t>(limit))});
    std::vector<std::pair<std::int64_t, Bytes>> rows;
    for (int i = 0; i < r.rows(); ++i)
      if (std::optional<Bytes> b = FromHexText(r.text(i, 1)))
        rows.emplace_back(r.number(i, 0), std::move(*b));
    std::sort(rows.begin(), rows.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<Bytes> out;
    for (auto& [seq, body] : rows) out.push_back(std::move(body));
    return out;
  }

  std::uint64_t QueuedFor(std::uint32_t target) override {
    std::lock_guard lock(mutex_);
    TPgResult r = Exec("SELECT COUNT(*) FROM friend_queue WHERE target = $1", {N(target)});
    return r.rows() ? static_cast<std::uint64_t>(r.number(0, 0)) : 0;
  }

  void SetPresent(const TPresenceRow& p) override {
    {
      std::lock_guard lock(present_mutex_);
      present_[p.code] = p;
    }
    WritePresent(p);
  }

  void SetAbsent(std::uint32_t code, const std::string& node) override {
    {
      std::lock_guard lock(present_mutex_);
      if (auto it = present_.find(code); it != present_.end() && it->second.node == node) present_.erase(it);
    }
    std::lock_guard lock(mutex_);
    Exec("DELETE FROM friend_presence WHERE code = $1 AND node = $2", {N(code), node});
  }

  std::optional<TPresenceRow> Presence(std::uint32_t code) override {
    std::lock_guard lock(mutex_);
    TPgResult r = Exec("SELECT " KIV_PRESENCE_COLUMNS " FROM friend_presence p WHERE code = $1", {N(code)});
    if (r.rows() == 0) return std::nullopt;
    return PresenceAt(r, 0, 0, code);
  }

  void ClearNode(const std::string& node) override {
    {
      std::lock_guard lock(present_mutex_);
      std::erase_if(present_, [&](const auto& e) { return e.second.node == node; });
    }
    std::lock_guard lock(mutex_);
    Exec("DELETE FROM friend_presence WHERE node = $1", {node});
  }

  void SendToNode(const std::string& node, std::uint32_t user, const Bytes& message) override {
    bus_->Publish(kFriendTopic, node + " " + N(user) + " " + HexText(message));
  }

  void Listen(const std::string& node, std::function<void(std::uint32_t, const Bytes&)> handler) override {
    std::lock_guard lock(listen_mutex_);
    if (subscription_) bus_->Unsubscribe(subscription_);
    subscription_ = 0;
    if (!handler) return;
    subscription_ = bus_->Subscribe(
        {kFriendTopic, [node, handler = std::move(handler)](const std::string& payload) {
           std::istringstream in(payload);
           std::string to, hex;
           std::uint32_t user = 0;
           if (!(in >> to >> user >> hex) || to != node) return;
           if (std::optional<Bytes> message = FromHexText(hex)) handler(user, *message);
         },
         [this] { Reannounce(); }});
  }

  TSearchPage Search(const TUserQuery& q, std::uint32_t after, std::size_t limit, std::size_t window) override {
    std::lock_guard lock(mutex_);
    // The window: the next accounts in code order (or signed-in users, for online only); the
    // filters that need a row's text run only inside it.
    const char* online_window =
        "SELECT code FROM friend_presence WHERE code > $1::bigint AND ($2::bigint = 0 OR code = $2::bigint) "
        "AND state = 1 AND ($3::int = 0 OR camera = 1) ORDER BY code LIMIT $4::bigint";
    const char* all_window =
        "SELECT code FROM accounts WHERE code > $1::bigint AND ($2::bigint = 0 OR code = $2::bigint) "
        "AND $3::int = $3::int ORDER BY code LIMIT $4::bigint";
    const std::string from = std::string("(") + (q.online_only || q.camera_only ? online_window : all_window) + ")";
    std::vector<std::string> params = {N(after), N(q.code), N(q.camera_only ? 1 : 0),
                                       N(static_cast<std::int64_t>(window))};
    TSearchPage page;
    const std::string sql =
        "SELECT a.code, a.nickname, a.sex, a.age, a.face, a.province, a.city, a.verify_mode, "
        "CASE WHEN p.code IS NULL THEN 0 ELSE 1 END, " KIV_PRESENCE_COLUMNS " FROM " + from +
        " w JOIN accounts a ON a.code = w.code LEFT JOIN friend_presence p ON p.code = a.code AND p.state = 1 "
        "WHERE ($5::text = '' OR strpos(a.nickname, $5::text) > 0) AND ($6::text = '' OR a.city = $6::text) "
        "AND ($7::int = 0 OR a.sex = $8::int) ORDER BY a.code LIMIT $9::bigint";
    std::vector<std::string> all = params;
    for (std::string v : {q.nickname, q.city, N(q.sex), N(q.sex == 1 ? 1 : 0), N(static_cast<std::int64_t>(limit))})
      all.push_back(std::move(v));
    TPgResult r = Exec(sql.c_str(), all);
    if (!r.ok()) throw std::runtime_error("PostgreSQL: search failed: " + r.error());
    for (int i = 0; i < r.rows(); ++i) {
      TSearchHit h;
      h.code = static_cast<std::uint32_t>(r.number(i, 0));
      h.nickname = r.text(i, 1);
      h.sex = static_cast<std::uint8_t>(r.number(i, 2));
      h.age = static_cast<std::uint8_t>(r.number(i, 3));
      h.face = static_cast<std::uint8_t>(r.number(i, 4));
      h.province = r.text(i, 5);
      h.city = r.text(i, 6);
      h.verify_mode = static_cast<std::uint8_t>(r.number(i, 7));
      if (r.number(i, 8)) h.presence = PresenceAt(r, i, 9, h.code);
      page.hits.push_back(std::move(h));
    }
    if (page.hits.size() == limit) {
      page.next = page.hits.back().code;
      return page;
    }
    const std::string count = "SELECT COUNT(*), COALESCE(MAX(code), 0) FROM " + from + " w";
    TPgResult c = Exec(count.c_str(), params);
    if (!c.ok() || c.rows() != 1) throw std::runtime_error("PostgreSQL: search failed: " + c.error());
    page.next = static_cast<std::uint32_t>(c.number(0, 1));
    page.done = static_cast<std::size_t>(c.number(0, 0)) < window;
    return page;
  }

  std::uint64_t OnlineCount() override {
    std::lock_guard lock(mutex_);
    TPgResult r = Exec("SELECT COUNT(*) FROM friend_presence WHERE state = 1", {});
    return r.rows() ? static_cast<std::uint64_t>(r.number(0, 0)) : 0;
  }

 private:
  // The presence columns of row `i` from column `at` on (KIV_PRESENCE_COLUMNS' order).
  static TPresenceRow PresenceAt(const TPgResult& r, int i, int at, std::uint32_t code) {
    TPresenceRow p;
    p.code = code;
    p.node = r.text(i, at);
    p.peer = {r.text(i, at + 1), static_cast<std::uint16_t>(r.number(i, at + 2))};
    p.state = static_cast<std::uint8_t>(r.number(i, at + 3));
    p.camera = static_cast<std::uint8_t>(r.number(i, at + 4));
    p.user_type = static_cast<std::uint8_t>(r.number(i, at + 5));
    p.server = {r.text(i, at + 6), static_cast<std::uint16_t>(r.number(i, at + 7))};
    return p;
  }


  TPgResult Exec(const char* sql, const std::vector<std::string>& params) { return db_->Exec(sql, params); }

  // After a loss of the database the presence rows of this node's users may be missing (a write
  // failed meanwhile): they are written again from what this store last set.
  void Reannounce() {
    std::vector<TPresenceRow> rows;
    {
      std::lock_guard lock(present_mutex_);
      for (const auto& [code, row] : present_) rows.push_back(row);
    }
    for (const TPresenceRow& row : rows) WritePresent(row);
  }

  void WritePresent(const TPresenceRow& p) {
    std::lock_guard lock(mutex_);
    Exec(
        "INSERT INTO friend_presence (code, node, ip, port, state, camera, user_type, server_ip, "
        "server_port) "
        "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9) ON CONFLICT (code) DO UPDATE SET node = excluded.node, "
        "ip = excluded.ip, port = excluded.port, state = excluded.state, camera = excluded.camera, "
        "user_type = excluded.user_type, server_ip = excluded.server_ip, server_port = excluded.server_port",
        {N(p.code), p.node, p.peer.ip, N(p.peer.port), N(p.state), N(p.camera), N(p.user_type), p.server.ip,
         N(p.server.port)});
  }

  std::mutex mutex_;
  std::unique_ptr<TPgConnection> db_;
  std::shared_ptr<TPgNodeBus> bus_;
  std::mutex listen_mutex_;
  std::uint64_t subscription_ = 0;
  std::mutex present_mutex_;
  std::map<std::uint32_t, TPresenceRow> present_;  // this node's rows, as last set
};

}  // namespace

std::unique_ptr<IFriendStore> OpenPgFriendStore(const std::string& url) {
  return std::make_unique<TPgFriendStore>(url);
}

}  // namespace kiv::server
