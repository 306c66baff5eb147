// What the schema-walking tests share: a store's tables and columns checked against the declared
// user-code columns, and one account given a row in every place that holds its code.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "chat_store.h"
#include "friend_store.h"
#include "schema.h"
#include "store.h"

namespace kiv::server {

using TSchemaColumns = std::map<std::string, std::vector<std::string>>;

// A column that by its name holds a user code.
inline bool NamedLikeAUserCode(const std::string& column) {
  static const std::set<std::string> names = {"code", "owner",     "friend", "sender", "target",
                                              "user", "recipient", "member", "account"};
  return names.contains(column) || column.ends_with("_code");
}

// Every table must be declared (with its user-code columns or as having none), every declared
// column must exist, and no column named like a user code may be left out.
inline std::vector<std::string> UndeclaredUserCodes(const TSchemaColumns& schema) {
  std::vector<std::string> problems;
  std::set<std::pair<std::string, std::string>> declared;
  std::set<std::string> tables;
  for (const TUserCodeColumn& c : kUserCodeColumns) {
    declared.insert({c.table, c.column});
    tables.insert(c.table);
    auto t = schema.find(c.table);
    if (t == schema.end() || std::find(t->second.begin(), t->second.end(), c.column) == t->second.end())
      problems.push_back(std::string("declared but missing: ") + c.table + "." + c.column);
  }
  for (const char* t : kTablesWithoutUserCodes) tables.insert(t);
  for (const auto& [table, columns] : schema) {
    if (!tables.contains(table)) problems.push_back("table not declared: " + table);
    for (const std::string& column : columns)
      if (NamedLikeAUserCode(column) && !declared.contains({table, column}))
        problems.push_back("user-code column not declared: " + table + "." + column);
  }
  return problems;
}

// Gives `code` a row in every table of the schema that can hold it, through the stores' own
// operations; `other` is a second account on the other side of each relation.
inline void FillEveryPlace(IAccountStore& accounts, IFriendStore& friends, IChatStore& chat,
                           std::uint32_t code, std::uint32_t other) {
  accounts.SetPresence(code, "n", true);
  accounts.Transfer(code, other, 1, 0);
  accounts.Credit(code, 1, "credit-" + std::to_string(code));
  friends.MakeFriends(code, other);
  friends.SaveGroup(code, 10, "g");
  friends.AddRequest(code, other + 1);
  friends.AddRequest(other + 1, code);
  friends.Queue(code, other, Bytes{1, 2, 3}, {});
  friends.Queue(other, code, Bytes{1, 2, 3}, {});
  TPresenceRow p;
  p.code = code;
  p.node = "n";
  p.peer = {"127.0.0.1", 1};
  p.server = {"127.0.0.1", 2};
  friends.SetPresent(p);
  chat.Keep(code, other, Bytes{4, 5}, {});
  chat.Keep(other, code, Bytes{6, 7}, {});
}

}  // namespace kiv::server
