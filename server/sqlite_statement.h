// Small RAII helpers over the SQLite C API, shared by the server's SQLite stores: one prepared
// statement, one transaction, one plain statement. Errors throw std::runtime_error with SQLite's text.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace kiv::server {

// Runs `sql` (no parameters, no rows wanted); throws on error.
void SqliteExec(sqlite3* db, const char* sql);

// One prepared statement, finalised on scope exit. Parameters are numbered from 1.
class TSqliteStatement {
 public:
  TSqliteStatement(sqlite3* db, const char* sql);
  ~TSqliteStatement();
  TSqliteStatement(const TSqliteStatement&) = delete;
  TSqliteStatement& operator=(const TSqliteStatement&) = delete;

  TSqliteStatement& Bind(int i, std::int64_t v);
  TSqliteStatement& Bind(int i, const std::string& v);
  // Makes the statement ready to run again; the bound values stay until bound anew.
  void Reset();
  // True when a row is ready; false when done. Throws on error.
  bool Step();
  std::int64_t Int(int col);
  std::string Text(int col);
  // Rows changed by the last statement on this connection.
  int Changes();

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// BEGIN IMMEDIATE now; rolls back unless committed, so a thrown error or an early return leaves the
// database unchanged.
class TSqliteTransaction {
 public:
  explicit TSqliteTransaction(sqlite3* db);
  ~TSqliteTransaction();
  TSqliteTransaction(const TSqliteTransaction&) = delete;
  TSqliteTransaction& operator=(const TSqliteTransaction&) = delete;
  void Commit();

 private:
  sqlite3* db_;
  bool done_ = false;
};

}  // namespace kiv::server
