#include "pg_result.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace kiv::server {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kFirstBackoff{250};
constexpr milliseconds kMaxBackoff{5000};

// The one channel of the node bus; a payload is "topic text".
constexpr const char* kBusChannel = "kivora_nodes";

std::mutex g_sinks_mutex;
std::map<int, std::function<void(const std::string&)>> g_sinks;
int g_next_sink = 1;

bool StartsWith(const char* sql, const char* word) {
  return std::string_view(sql).substr(0, std::string_view(word).size()) == word;
}

// Waits until `fd` is ready for `events` or the deadline passes; false on the deadline.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  while (true) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return true;  // let libpq see the error
  }
}

}  // namespace

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
  return TPgResult(
      PQexecParams(db, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0));
}

std::string PgServerUrl(const std::string& url) {
  std::string out = url;
  for (const char* option : {"connect_timeout=5", "keepalives=1", "keepalives_idle=30",
                             "keepalives_interval=10", "keepalives_count=3"}) {
    const std::string key = std::string(option).substr(0, std::string(option).find('=') + 1);
    if (out.find(key) != std::string::npos) continue;
    out += (out.find('?') == std::string::npos ? "?" : "&");
    out += option;
  }
  return out;
}

int AddPgLogSink(std::function<void(const std::string&)> sink) {
  std::lock_guard lock(g_sinks_mutex);
  g_sinks[g_next_sink] = std::move(sink);
  return g_next_sink++;
}

void RemovePgLogSink(int id) {
  std::lock_guard lock(g_sinks_mutex);
  g_sinks.erase(id);
}

void PgLog(const std::string& line) {
  std::lock_guard lock(g_sinks_mutex);
  for (auto& [id, sink] : g_sinks) sink(line);
}

// ---- TPgConnection ---------------------------------------------------------------------------------

TPgConnection::TPgConnection(std::string url, std::string name)
    : url_(PgServerUrl(url)), name_(std::move(name)) {
  if (!Connect()) {
    std::string message = db_ ? PQerrorMessage(db_) : "out of memory";
    if (db_) PQfinish(db_);
    db_ = nullptr;
    throw std::runtime_error("cannot connect to PostgreSQL: " + message);
  }
}

TPgConnection::~TPgConnection() {
  if (db_) PQfinish(db_);
}

bool TPgConnection::Connect() {
  if (db_) PQfinish(db_);
  db_ = PQconnectdb(url_.c_str());
  if (PQstatus(db_) != CONNECTION_OK) return false;
  const std::string setup =
      "SET client_min_messages = warning; SET statement_timeout = " + std::to_string(kStatementTimeoutMs);
  TPgResult r(PQexec(db_, setup.c_str()));
  return r.ok();
}

bool TPgConnection::EnsureConnected() {
  if (db_ && PQstatus(db_) == CONNECTION_OK) return true;
  if (Clock::now() < next_attempt_) return false;  // fail fast while backing off
  if (Connect()) {
    if (lost_) PgLog("PostgreSQL connection of the " + name_ + " store restored");
    lost_ = false;
    backoff_ = milliseconds(0);
    failed_transaction_ = false;
    return true;
  }
  backoff_ = backoff_.count() == 0 ? kFirstBackoff : std::min(backoff_ * 2, kMaxBackoff);
  next_attempt_ = Clock::now() + backoff_;
  if (!lost_) {
    lost_ = true;
    PgLog("PostgreSQL connection of the " + name_ +
          " store lost: " + std::string(db_ ? PQerrorMessage(db_) : ""));
  }
  return false;
}

void TPgConnection::Drop(const std::string& why, bool hung) {
  if (!lost_) {
    lost_ = true;
    PgLog("PostgreSQL connection of the " + name_ + " store lost: " + why);
  }
  if (db_) PQfinish(db_);
  db_ = nullptr;
  // A restarted database is there again at once; one that stopped answering gets a pause first.
  backoff_ = hung ? kFirstBackoff : milliseconds(0);
  next_attempt_ = hung ? Clock::now() + backoff_ : Clock::time_point{};
}

TPgResult TPgConnection::Run(const char* sql, const std::vector<std::string>& params, bool script) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const std::string& p : params) values.push_back(p.c_str());
  const int sent = script ? PQsendQuery(db_, sql)
                          : PQsendQueryParams(db_, sql, static_cast<int>(values.size()), nullptr,
                                              values.data(), nullptr, nullptr, 0);
  if (!sent) return TPgResult::Failed();
  const auto deadline = Clock::now() + milliseconds(kDeadlineMs);
  const int fd = PQsocket(db_);
  // Send what libpq could not write at once, then read until the last result.
  while (true) {
    const int f = PQflush(db_);
    if (f < 0) return TPgResult::Failed();
    if (f == 0) break;
    if (!WaitFor(fd, POLLOUT | POLLIN, deadline)) {
      Drop("no answer within " + std::to_string(kDeadlineMs) + " ms", true);
      return TPgResult::Failed();
    }
    if (!PQconsumeInput(db_)) return TPgResult::Failed();
  }
  PGresult* last = nullptr;
  while (true) {
    while (PQisBusy(db_)) {
      if (!WaitFor(fd, POLLIN, deadline)) {
        if (last) PQclear(last);
        Drop("no answer within " + std::to_string(kDeadlineMs) + " ms", true);
        return TPgResult::Failed();
      }
      if (!PQconsumeInput(db_)) {
        if (last) PQclear(last);
        return TPgResult::Failed();
      }
    }
    PGresult* r = PQgetResult(db_);
    if (!r) break;
    // A script's first failing statement ends it; keep that error rather than a later result.
    if (last && PQresultStatus(last) == PGRES_FATAL_ERROR) {
      PQclear(r);
      continue;
    }
    if (last) PQclear(last);
    last = r;
  }
  return last ? TPgResult(last) : TPgResult::Failed();
}

TPgResult TPgConnection::Exec(const char* sql, const std::vector<std::string>& params) {
  const bool ends = StartsWith(sql, "COMMIT") || StartsWith(sql, "ROLLBACK");
  const bool begins = StartsWith(sql, "BEGIN");
  if (begins) failed_transaction_ = false;
  if (failed_transaction_) {
    // The transaction died with its connection: nothing of it runs on the new one.
    if (ends) failed_transaction_ = false;
    return TPgResult::Failed();
  }
  if (!EnsureConnected()) {
    failed_transaction_ = begins;  // what follows a failed BEGIN must not run outside a transaction
    return TPgResult::Failed();
  }
  const bool idle = PQtransactionStatus(db_) == PQTRANS_IDLE;
  TPgResult r = Run(sql, params, false);
  if (r.ok() || (db_ && PQstatus(db_) == CONNECTION_OK)) return r;
  if (db_) Drop(PQerrorMessage(db_), false);
  if (!idle) {
    if (!ends) failed_transaction_ = true;
    return r;
  }
  if (!EnsureConnected()) {
    failed_transaction_ = begins;
    return r;
  }
  TPgResult again = Run(sql, params, false);
  if (begins && !again.ok()) failed_transaction_ = true;
  return again;
}

TPgResult TPgConnection::ExecScript(const char* sql) {
  if (failed_transaction_ || !EnsureConnected()) return TPgResult::Failed();
  TPgResult r = Run(sql, {}, true);
  if (!r.ok() && db_ && PQstatus(db_) != CONNECTION_OK) Drop(PQerrorMessage(db_), false);
  return r;
}

// ---- TPgNodeBus -------------------------------------------------------------------------------------

struct TPgNodeBus::TState {
  std::string url;
  std::mutex publish_mutex;
  std::unique_ptr<TPgConnection> publisher;

  std::mutex subscribers_mutex;
  std::map<std::uint64_t, std::shared_ptr<TSubscriber>> subscribers;
  std::uint64_t next_id = 1;
  std::mutex dispatch_mutex;  // held while a handler runs

  PGconn* listener = nullptr;
  int wake_fd = -1;
  std::atomic<bool> stopping{false};
  std::atomic<std::uint64_t> listens{0};
  std::thread thread;

  bool Listen() {
    if (listener) PQfinish(listener);
    listener = PQconnectdb(url.c_str());
    if (PQstatus(listener) != CONNECTION_OK) return false;
    TPgResult r(PQexec(listener, (std::string("LISTEN ") + kBusChannel).c_str()));
    if (!r.ok()) return false;
    ++listens;
    return true;
  }

  // Sleeps `d` unless woken to stop; false when stopping.
  bool Pause(milliseconds d) {
    pollfd p{wake_fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(d.count()));
    return !stopping;
  }

  std::vector<std::pair<std::uint64_t, std::shared_ptr<TSubscriber>>> Subscribers() {
    std::lock_guard lock(subscribers_mutex);
    return {subscribers.begin(), subscribers.end()};
  }

  bool Subscribed(std::uint64_t id) {
    std::lock_guard lock(subscribers_mutex);
    return subscribers.contains(id);
  }

  void Deliver(const std::string& text) {
    const std::size_t space = text.find(' ');
    if (space == std::string::npos) return;
    const std::string topic = text.substr(0, space), payload = text.substr(space + 1);
    std::lock_guard lock(dispatch_mutex);
    for (const auto& [id, s] : Subscribers()) {
      if (s->topic != topic || !Subscribed(id)) continue;
      try {
        s->message(payload);
      } catch (...) {
      }
    }
  }

  void Restored() {
    std::lock_guard lock(dispatch_mutex);
    for (const auto& [id, s] : Subscribers()) {
      if (!s->restored || !Subscribed(id)) continue;
      try {
        s->restored();
      } catch (...) {
      }
    }
  }

  void Loop() {
    milliseconds backoff = kFirstBackoff;
    while (!stopping) {
      // Listening: hand every notification to its subscribers until the connection is lost.
      const int fd = PQsocket(listener);
      std::string why;
      while (!stopping) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
          if (errno == EINTR) continue;
          why = "poll failed";
          break;
        }
        if (fds[1].revents) return;
        if (!PQconsumeInput(listener) || PQstatus(listener) != CONNECTION_OK) {
          why = PQerrorMessage(listener);
          break;
        }
        while (PGnotify* n = PQnotifies(listener)) {
          std::string text = n->extra;
          PQfreemem(n);
          Deliver(text);
        }
      }
      if (stopping) return;
      PgLog("node bus: lost the database connection (" + why + "); connecting again");
      // Connecting again, with back-off, until it listens or the process stops.
      while (!stopping && !Listen()) {
        if (!Pause(backoff)) return;
        backoff = std::min(backoff * 2, kMaxBackoff);
      }
      if (stopping) return;
      backoff = kFirstBackoff;
      PgLog("node bus: listening again");
      Restored();
    }
  }
};

namespace {
std::mutex g_buses_mutex;
std::map<std::string, std::weak_ptr<TPgNodeBus>> g_buses;
}  // namespace

std::shared_ptr<TPgNodeBus> TPgNodeBus::Of(const std::string& url) {
  std::lock_guard lock(g_buses_mutex);
  if (std::shared_ptr<TPgNodeBus> bus = g_buses[url].lock()) return bus;
  auto bus = std::make_shared<TPgNodeBus>(url);
  g_buses[url] = bus;
  return bus;
}

TPgNodeBus::TPgNodeBus(const std::string& url) : state_(std::make_unique<TState>()) {
  state_->url = PgServerUrl(url);
  state_->publisher = std::make_unique<TPgConnection>(url, "node bus");
  if (!state_->Listen()) {
    std::string message = PQerrorMessage(state_->listener);
    PQfinish(state_->listener);
    throw std::runtime_error("cannot listen for the other nodes on PostgreSQL: " + message);
  }
  state_->wake_fd = ::eventfd(0, EFD_CLOEXEC);
  state_->thread = std::thread([s = state_.get()] { s->Loop(); });
}

TPgNodeBus::~TPgNodeBus() {
  state_->stopping = true;
  std::uint64_t one = 1;
  if (::write(state_->wake_fd, &one, sizeof one) < 0) {
  }
  state_->thread.join();
  ::close(state_->wake_fd);
  if (state_->listener) PQfinish(state_->listener);
}

std::uint64_t TPgNodeBus::Subscribe(TSubscriber subscriber) {
  std::lock_guard lock(state_->subscribers_mutex);
  const std::uint64_t id = state_->next_id++;
  state_->subscribers[id] = std::make_shared<TSubscriber>(std::move(subscriber));
  return id;
}

void TPgNodeBus::Unsubscribe(std::uint64_t id) {
  {
    std::lock_guard lock(state_->subscribers_mutex);
    state_->subscribers.erase(id);
  }
  // A handler of it may be running: wait until it has returned (unless this is that handler).
  if (std::this_thread::get_id() == state_->thread.get_id()) return;
  std::lock_guard wait(state_->dispatch_mutex);
}

bool TPgNodeBus::Publish(const std::string& topic, const std::string& payload) {
  std::lock_guard lock(state_->publish_mutex);
  return state_->publisher->Exec("SELECT pg_notify($1, $2)", {kBusChannel, topic + " " + payload}).ok();
}

std::uint64_t TPgNodeBus::Listens() const { return state_->listens; }

}  // namespace kiv::server
