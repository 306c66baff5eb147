// The account schema, shared by both stores. Migration N (1-based) brings a database from version
// N-1 to N; a released migration is never edited, only followed by a new one.
#pragma once

#include <array>
#include <cstdint>

namespace kiv::server {

inline constexpr std::array<const char*, 6> kMigrations = {
    // 1: accounts, the money ledger, guest tickets and presence.
    R"sql(
CREATE TABLE accounts (
  code            BIGINT PRIMARY KEY,
  password_hash   TEXT NOT NULL,
  pay_hash        TEXT NOT NULL DEFAULT '',
  nickname        TEXT NOT NULL DEFAULT '',
  sex             INTEGER NOT NULL DEFAULT 1,
  age             INTEGER NOT NULL DEFAULT 0,
  face            INTEGER NOT NULL DEFAULT 0,
  email           TEXT NOT NULL DEFAULT '',
  phone           TEXT NOT NULL DEFAULT '',
  occupation      TEXT NOT NULL DEFAULT '',
  address         TEXT NOT NULL DEFAULT '',
  province        TEXT NOT NULL DEFAULT '',
  city            TEXT NOT NULL DEFAULT '',
  introduction    TEXT NOT NULL DEFAULT '',
  verify_mode     INTEGER NOT NULL DEFAULT 0,
  bind            INTEGER NOT NULL DEFAULT 0,
  bind_machine    TEXT NOT NULL DEFAULT '',
  user_type       INTEGER NOT NULL DEFAULT 0,
  extra           INTEGER NOT NULL DEFAULT 0,
  money           BIGINT NOT NULL DEFAULT 0 CHECK (money >= 0),
  level_points    BIGINT NOT NULL DEFAULT 0,
  experience      BIGINT NOT NULL DEFAULT 0,
  next_experience BIGINT NOT NULL DEFAULT 100,
  protection      INTEGER NOT NULL DEFAULT 0,
  question        TEXT NOT NULL DEFAULT '',
  answer_hash     TEXT NOT NULL DEFAULT '',
  id_hash         TEXT NOT NULL DEFAULT ''
);
CREATE TABLE ledger (
  at        BIGINT NOT NULL,
  from_code BIGINT NOT NULL,
  to_code   BIGINT NOT NULL,
  amount    BIGINT NOT NULL,
  fee       BIGINT NOT NULL
);
CREATE TABLE guest_tickets (
  code    BIGINT PRIMARY KEY,
  machine TEXT NOT NULL,
  expires BIGINT NOT NULL
);
CREATE TABLE presence (
  code BIGINT PRIMARY KEY,
  node TEXT NOT NULL
);
)sql",
    // 2: friendships, the users' own friend groups, pending friend requests, the queue of friend
    // messages for users who are offline, and where each signed-in user can be reached.
    R"sql(
CREATE TABLE friend_groups (
  owner BIGINT NOT NULL,
  id    INTEGER NOT NULL,
  name  TEXT NOT NULL,
  PRIMARY KEY (owner, id)
);
CREATE TABLE friendships (
  owner    BIGINT NOT NULL,
  friend   BIGINT NOT NULL,
  group_id INTEGER NOT NULL DEFAULT 1,
  PRIMARY KEY (owner, friend)
);
CREATE TABLE friend_requests (
  sender BIGINT NOT NULL,
  target BIGINT NOT NULL,
  PRIMARY KEY (sender, target)
);
CREATE TABLE friend_queue (
  seq    BIGINT PRIMARY KEY,
  target BIGINT NOT NULL,
  body   TEXT NOT NULL
);
CREATE INDEX friend_queue_target ON friend_queue (target, seq);
CREATE TABLE friend_presence (
  code        BIGINT PRIMARY KEY,
  node        TEXT NOT NULL,
  ip          TEXT NOT NULL,
  port        INTEGER NOT NULL,
  state       INTEGER NOT NULL,
  camera      INTEGER NOT NULL,
  user_type   INTEGER NOT NULL,
  server_ip   TEXT NOT NULL,
  server_port INTEGER NOT NULL
);
)sql",
    // 3: text messages kept for users who were offline, until the target's transport acknowledged
    // them; `size` is the message's length, so quotas need not read the bodies.
    R"sql(
CREATE TABLE chat_waiting (
  id     BIGINT PRIMARY KEY,
  target BIGINT NOT NULL,
  sender BIGINT NOT NULL,
  size   BIGINT NOT NULL,
  body   TEXT NOT NULL
);
CREATE INDEX chat_waiting_target ON chat_waiting (target, id);
CREATE INDEX chat_waiting_sender ON chat_waiting (sender);
)sql",
    // 4: who sent each queued friend message, so a pair holds one and both sides have a quota
    // (messages queued before keep sender 0).
    R"sql(
ALTER TABLE friend_queue ADD COLUMN sender BIGINT NOT NULL DEFAULT 0;
CREATE INDEX friend_queue_pair ON friend_queue (target, sender);
CREATE INDEX friend_queue_sender ON friend_queue (sender);
)sql",
    // 5: the request id of every credit (web top-up, admin credit), so a replayed request credits
    // nothing. Kept when an account is deleted, like the ledger.
    R"sql(
CREATE TABLE credit_requests (
  request_id TEXT PRIMARY KEY,
  code       BIGINT NOT NULL,
  amount     BIGINT NOT NULL,
  at         BIGINT NOT NULL
);
)sql",
    // 6: account codes are never given twice. next_code holds the code the next account without
    // one gets, above every code any table has ever seen (a deleted account leaves ledger rows and
    // may have left others); retired_codes holds the codes of deleted accounts, which an explicit
    // code may not take again either.
    R"sql(
CREATE TEMPORARY TABLE seen_codes AS
  SELECT code AS c FROM accounts UNION ALL SELECT from_code FROM ledger UNION ALL SELECT to_code FROM ledger
  UNION ALL SELECT owner FROM friendships UNION ALL SELECT friend FROM friendships
  UNION ALL SELECT sender FROM friend_requests UNION ALL SELECT target FROM friend_requests
  UNION ALL SELECT target FROM friend_queue UNION ALL SELECT sender FROM friend_queue
  UNION ALL SELECT owner FROM friend_groups UNION ALL SELECT code FROM credit_requests
  UNION ALL SELECT code FROM presence UNION ALL SELECT code FROM friend_presence
  UNION ALL SELECT target FROM chat_waiting UNION ALL SELECT sender FROM chat_waiting;
CREATE TABLE next_code (next BIGINT NOT NULL);
INSERT INTO next_code (next)
SELECT CASE WHEN MAX(c) IS NULL OR MAX(c) < 10001 THEN 10001 ELSE MAX(c) + 1 END FROM seen_codes
WHERE c < 900000000;
CREATE TABLE retired_codes (code BIGINT PRIMARY KEY);
INSERT INTO retired_codes (code)
SELECT DISTINCT c FROM seen_codes WHERE c > 0 AND c < 900000000 AND c NOT IN (SELECT code FROM accounts);
DROP TABLE seen_codes;
)sql",
};

// Every column of the schema that holds a user code, and what deleting the account does to it.
// A test walks the schema of both stores and fails on a table or a user-code column missing here,
// so a new table cannot be forgotten. Deleting an account deletes the kDelete rows in this order
// (the account itself last).
enum class TOnDelete : std::uint8_t {
  kDelete,
  kKeep,  // deliberately kept; the reason is beside the entry
};
struct TUserCodeColumn {
  const char* table;
  const char* column;
  TOnDelete on_delete;
};
inline constexpr std::array<TUserCodeColumn, 18> kUserCodeColumns = {{
    {"friend_queue", "target", TOnDelete::kDelete},
    {"friend_queue", "sender", TOnDelete::kDelete},
    {"friend_requests", "sender", TOnDelete::kDelete},
    {"friend_requests", "target", TOnDelete::kDelete},
    {"friendships", "owner", TOnDelete::kDelete},
    {"friendships", "friend", TOnDelete::kDelete},
    {"friend_groups", "owner", TOnDelete::kDelete},
    {"friend_presence", "code", TOnDelete::kDelete},
    {"presence", "code", TOnDelete::kDelete},
    // Texts kept for the account, and the ones it sent that still wait: nobody could answer them.
    {"chat_waiting", "target", TOnDelete::kDelete},
    {"chat_waiting", "sender", TOnDelete::kDelete},
    {"accounts", "code", TOnDelete::kDelete},
    // The ledger is the other side's history too, and the money's audit trail.
    {"ledger", "from_code", TOnDelete::kKeep},
    {"ledger", "to_code", TOnDelete::kKeep},
    // Request ids of credits already made, so a replay after a deletion still credits nothing.
    {"credit_requests", "code", TOnDelete::kKeep},
    // Guest codes only, from their own range; a ticket expires by itself.
    {"guest_tickets", "code", TOnDelete::kKeep},
    // What keeps a deleted account's code from being given again.
    {"retired_codes", "code", TOnDelete::kKeep},
    {"next_code", "next", TOnDelete::kKeep},
}};
// Tables with no user-code column at all (PostgreSQL's record of the applied migrations).
inline constexpr std::array<const char*, 1> kTablesWithoutUserCodes = {"schema_version"};

// Guest codes are handed out from here upwards, apart from the accounts' codes.
inline constexpr std::uint32_t kFirstGuestCode = 900000000;
// Accounts created without a code get the next one from here.
inline constexpr std::uint32_t kFirstUserCode = 10001;
// A guest ticket is valid this long after it was issued.
inline constexpr std::int64_t kGuestTicketSeconds = 600;

}  // namespace kiv::server
