// The account schema, shared by both stores. Migration N (1-based) brings a database from version
// N-1 to N; a released migration is never edited, only followed by a new one.
#pragma once

#include <array>
#include <cstdint>

namespace kiv::server {

inline constexpr std::array<const char*, 5> kMigrations = {
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
};

// Where an account's rows live: deleting an account deletes every row whose column holds its code.
// The ledger stays: its rows are the other side's history too.
struct TAccountRowPlace {
  const char* table;
  const char* column;
};
inline constexpr std::array<TAccountRowPlace, 10> kAccountRowPlaces = {{
    {"friend_queue", "target"},
    {"friend_queue", "sender"},
    {"friend_requests", "sender"},
    {"friend_requests", "target"},
    {"friendships", "owner"},
    {"friendships", "friend"},
    {"friend_groups", "owner"},
    {"friend_presence", "code"},
    {"presence", "code"},
    {"accounts", "code"},
}};

// Guest codes are handed out from here upwards, apart from the accounts' codes.
inline constexpr std::uint32_t kFirstGuestCode = 900000000;
// Accounts created without a code get the next one from here.
inline constexpr std::uint32_t kFirstUserCode = 10001;
// A guest ticket is valid this long after it was issued.
inline constexpr std::int64_t kGuestTicketSeconds = 600;

}  // namespace kiv::server
