#include "pg_result.h"

#include <cstdlib>
#include <string>

namespace kiv::server {

bool TPgResult::ok() const {
  const ExecStatusType s = PQresultStatus(r_);
  return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
}

int TPgResult::rows() const { return ok() ? PQntuples(r_) : 0; }

std::int64_t TPgResult::number(int row, int col) const { return std::stoll(PQgetvalue(r_, row, col)); }

int TPgResult::affected() const {
  const char* t = PQcmdTuples(r_);
  return t && *t ? std::atoi(t) : 0;
}

TPgResult PgExec(PGconn* db, const char* sql, const std::vector<std::string>& params) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const std::string& p : params) values.push_back(p.c_str());
  return TPgResult(PQexecParams(db, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0));
}

}  // namespace kiv::server
