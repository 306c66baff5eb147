#include "sqlite_statement.h"

#include <stdexcept>

namespace kiv::server {

void SqliteExec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errmsg(db);
    sqlite3_free(error);
    throw std::runtime_error("sqlite: " + message);
  }
}

TSqliteStatement::TSqliteStatement(sqlite3* db, const char* sql) : db_(db) {
  if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK)
    throw std::runtime_error(std::string("sqlite prepare: ") + sqlite3_errmsg(db));
}

TSqliteStatement::~TSqliteStatement() { sqlite3_finalize(stmt_); }

TSqliteStatement& TSqliteStatement::Bind(int i, std::int64_t v) {
  sqlite3_bind_int64(stmt_, i, v);
  return *this;
}

TSqliteStatement& TSqliteStatement::Bind(int i, const std::string& v) {
  sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  return *this;
}

void TSqliteStatement::Reset() { sqlite3_reset(stmt_); }

bool TSqliteStatement::Step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw std::runtime_error(std::string("sqlite step: ") + sqlite3_errmsg(db_));
}

std::int64_t TSqliteStatement::Int(int col) { return sqlite3_column_int64(stmt_, col); }

std::string TSqliteStatement::Text(int col) {
  const unsigned char* t = sqlite3_column_text(stmt_, col);
  return t ? std::string(reinterpret_cast<const char*>(t),
                         static_cast<std::size_t>(sqlite3_column_bytes(stmt_, col)))
           : std::string();
}

int TSqliteStatement::Changes() { return sqlite3_changes(db_); }

TSqliteTransaction::TSqliteTransaction(sqlite3* db) : db_(db) { SqliteExec(db_, "BEGIN IMMEDIATE"); }

TSqliteTransaction::~TSqliteTransaction() {
  if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void TSqliteTransaction::Commit() {
  SqliteExec(db_, "COMMIT");
  done_ = true;
}

}  // namespace kiv::server
