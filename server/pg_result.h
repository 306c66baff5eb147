// What the server's PostgreSQL stores share: a result owned by scope, one parameterised statement,
// a connection that survives the database's restarts, and the node bus between the server
// processes of one database.
#pragma once

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
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

  // A failed result that never reached the database.
  static TPgResult Failed() { return TPgResult(PQmakeEmptyPGresult(nullptr, PGRES_FATAL_ERROR)); }

  bool ok() const;
  // Rows of a successful query; 0 after an error.
  int rows() const;
  std::string text(int row, int col) const { return PQgetvalue(r_, row, col); }
  std::int64_t number(int row, int col) const;
  // Rows changed by a successful INSERT, UPDATE or DELETE.
  int affected() const;
  std::string error() const { return r_ ? PQresultErrorMessage(r_) : "out of memory"; }

 private:
  PGresult* r_;
};

// Runs `sql` with text parameters $1, $2, ... on `db`.
TPgResult PgExec(PGconn* db, const char* sql, const std::vector<std::string>& params = {});

// `url` with the connection options every server connection needs, unless the URL sets them: a
// connect timeout and TCP keep-alives, so that a database gone away is noticed.
std::string PgServerUrl(const std::string& url);

// Where the lines about lost and restored database connections go (the server log). Several
// servers in one process (tests) each add their own.
int AddPgLogSink(std::function<void(const std::string&)> sink);
void RemovePgLogSink(int id);
void PgLog(const std::string& line);

// One connection of a store. Not thread-safe: the store holds its own mutex around it.
//
// A connection found dead is opened again, with back-off between attempts (meanwhile statements
// fail at once rather than each waiting for the connect timeout). A statement that failed because
// the connection died is run once more on the new connection when it ran outside a transaction
// (single statements of the stores are idempotent); inside a transaction the rest of it fails
// until its COMMIT or ROLLBACK, so a transaction never half-runs on a new connection. Every
// statement has a server-side timeout and, for a database that stops answering altogether, a
// client-side deadline after which the connection counts as dead.
class TPgConnection {
 public:
  // Throws std::runtime_error when the first connection cannot be made.
  TPgConnection(std::string url, std::string name);
  ~TPgConnection();
  TPgConnection(const TPgConnection&) = delete;
  TPgConnection& operator=(const TPgConnection&) = delete;

  TPgResult Exec(const char* sql, const std::vector<std::string>& params = {});
  // Several statements in one string (the simple query protocol), no parameters, no retry.
  TPgResult ExecScript(const char* sql);

  static constexpr int kStatementTimeoutMs = 10000;
  static constexpr int kDeadlineMs = kStatementTimeoutMs + 5000;

 private:
  bool Connect();
  bool EnsureConnected();
  void Drop(const std::string& why, bool hung);
  TPgResult Run(const char* sql, const std::vector<std::string>& params, bool script);

  std::string url_, name_;
  PGconn* db_ = nullptr;
  bool failed_transaction_ = false;
  bool lost_ = false;  // logged as lost, not yet as restored
  std::chrono::steady_clock::time_point next_attempt_{};
  std::chrono::milliseconds backoff_{0};
};

// Messages between the server processes (nodes) of one database: one LISTEN connection per process
// and database, shared by every role; each message has a topic ("home", "friends", …) and reaches
// every subscriber of its topic in every process, the sender's own included. When the listening
// connection is lost the bus logs it and connects again with back-off; messages sent meanwhile are
// lost, so each subscriber is told when the bus listens again and re-announces what it holds.
class TPgNodeBus {
 public:
  struct TSubscriber {
    std::string topic;
    std::function<void(const std::string& payload)> message;
    std::function<void()> restored;  // may be empty
  };

  // The bus of `url` in this process, made on first use. Throws when it cannot listen.
  static std::shared_ptr<TPgNodeBus> Of(const std::string& url);
  ~TPgNodeBus();

  std::uint64_t Subscribe(TSubscriber subscriber);
  // After it returns, no handler of `id` runs or will run.
  void Unsubscribe(std::uint64_t id);
  // False when the message could not be sent.
  bool Publish(const std::string& topic, const std::string& payload);
  // How often the bus has started listening (1 at first, +1 per recovery); for tests.
  std::uint64_t Listens() const;

  explicit TPgNodeBus(const std::string& url);  // use Of()

 private:
  struct TState;
  std::unique_ptr<TState> state_;
};

}  // namespace kiv::server
