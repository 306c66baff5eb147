// What the two friends stores share: queued messages are kept as hexadecimal text (the same column
// type in SQLite and PostgreSQL), the presence columns of their joins, and the constructors
// OpenFriendStore chooses between.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "friend_store.h"

namespace kiv::server {

std::string HexText(const Bytes& bytes);
// Nothing when `text` is not an even number of hexadecimal digits.
std::optional<Bytes> FromHexText(const std::string& text);

// The columns of a presence row joined as `p`, in the order both stores read them back, NULL-safe
// for an outer join.
#define KIV_PRESENCE_COLUMNS                                                              \
  "COALESCE(p.node, ''), COALESCE(p.ip, ''), COALESCE(p.port, 0), COALESCE(p.state, 0), " \
  "COALESCE(p.camera, 0), COALESCE(p.user_type, 0), COALESCE(p.server_ip, ''), "          \
  "COALESCE(p.server_port, 0)"

std::unique_ptr<IFriendStore> OpenSqliteFriendStore(const std::string& path);
std::unique_ptr<IFriendStore> OpenPgFriendStore(const std::string& url);

}  // namespace kiv::server
