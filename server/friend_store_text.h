// What the two friends stores share: queued messages are kept as hexadecimal text (the same column
// type in SQLite and PostgreSQL), and the constructors OpenFriendStore chooses between.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "friend_store.h"

namespace kiv::server {

std::string HexText(const Bytes& bytes);
// Nothing when `text` is not an even number of hexadecimal digits.
std::optional<Bytes> FromHexText(const std::string& text);

std::unique_ptr<IFriendStore> OpenSqliteFriendStore(const std::string& path);
std::unique_ptr<IFriendStore> OpenPgFriendStore(const std::string& url);

}  // namespace kiv::server
