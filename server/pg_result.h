// A PostgreSQL result owned by scope, and one parameterised statement, shared by the server's
// PostgreSQL stores.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kiv::server {

class TPgResult {
 public:
  explicit TPgResult(PGresult* r) : r_(r) {}
  TPgResult(TPgResult&& o) noexcept : r_(o.r_) { o.r_ = nullptr; }
  TPgResult(const TPgResult&) = delete;
  TPgResult& operator=(const TPgResult&) = delete;
  TPgResult& operator=(TPgResult&&) = delete;
  ~TPgResult() { PQclear(r_); }

  bool ok() const;
  // Rows of a successful query; 0 after an error.
  int rows() const;
  std::string text(int row, int col) const { return PQgetvalue(r_, row, col); }
  std::int64_t number(int row, int col) const;
  // Rows changed by a successful INSERT, UPDATE or DELETE.
  int affected() const;
  std::string error() const { return PQresultErrorMessage(r_); }

 private:
  PGresult* r_;
};

// Runs `sql` with text parameters $1, $2, ... on `db`.
TPgResult PgExec(PGconn* db, const char* sql, const std::vector<std::string>& params = {});

}  // namespace kiv::server
