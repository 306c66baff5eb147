#include "pg_cluster.h"

#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kiv::testing {

namespace {

int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

std::string FindBin() {
  for (const char* v : {"17", "16", "15", "14", "13"}) {
    std::filesystem::path p = std::filesystem::path("/usr/lib/postgresql") / v / "bin";
    if (std::filesystem::exists(p / "initdb") && std::filesystem::exists(p / "pg_ctl")) return p.string();
  }
  return {};
}

}  // namespace

TPgCluster::TPgCluster() {
  bin_ = FindBin();
  if (bin_.empty()) {
    reason_ = "PostgreSQL server binaries (initdb, pg_ctl) are not installed";
    return;
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "kivpg.XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    reason_ = "cannot make a temporary folder";
    return;
  }
  root_ = pattern;
  if (::geteuid() == 0) {
    passwd* pw = ::getpwnam("postgres");
    if (!pw) {
      reason_ = "running as root without a postgres system user";
      return;
    }
    if (::chown(root_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
      reason_ = "cannot hand the cluster folder to postgres";
      return;
    }
    as_user_ = "runuser -u postgres -- ";
  }
  port_ = FreePort();
  std::string data = (root_ / "data").string();
  if (!Run(bin_ + "/initdb -D " + data + " -A trust -U postgres -E UTF8 --no-locale")) {
    reason_ = "initdb failed";
    return;
  }
  if (!Start()) {
    reason_ = "pg_ctl start failed (see " + (root_ / "log").string() + ")";
    return;
  }
  running_ = true;
}

bool TPgCluster::Start() {
  std::string options = "-k " + root_.string() + " -p " + std::to_string(port_) +
                        " -c listen_addresses='' -c fsync=off -c max_connections=40";
  return Run(bin_ + "/pg_ctl -D " + (root_ / "data").string() + " -l " + (root_ / "log").string() +
             " -w -t 30 -o \"" + options + "\" start");
}

bool TPgCluster::SignalAll(int signal) {
  std::ifstream pid_file(root_ / "data" / "postmaster.pid");
  pid_t postmaster = 0;
  if (!(pid_file >> postmaster) || postmaster <= 0) return false;
  // The postmaster's children: the backends of the open connections and the helpers.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    pid_t parent = 0;
    if (rest >> state >> parent && parent == postmaster) ::kill(static_cast<pid_t>(std::stol(name)), signal);
  }
  return ::kill(postmaster, signal) == 0;
}

bool TPgCluster::Pause() { return SignalAll(SIGSTOP); }

void TPgCluster::Resume() { SignalAll(SIGCONT); }

bool TPgCluster::Stop() { return Run(bin_ + "/pg_ctl -D " + (root_ / "data").string() + " -m fast -w -t 30 stop"); }

TPgCluster::~TPgCluster() {
  if (running_) Run(bin_ + "/pg_ctl -D " + (root_ / "data").string() + " -m immediate -w stop");
  std::error_code ignored;
  if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
}

bool TPgCluster::Run(const std::string& command) {
  std::string full = as_user_ + command + " > " + (root_ / "cmd.log").string() + " 2>&1";
  return std::system(full.c_str()) == 0;
}

std::string TPgCluster::CreateDatabase(const std::string& name) {
  if (!running_) return {};
  std::string base = "host=" + root_.string() + " port=" + std::to_string(port_) + " user=postgres";
  PGconn* c = PQconnectdb((base + " dbname=postgres").c_str());
  bool ok = PQstatus(c) == CONNECTION_OK;
  if (ok) {
    PGresult* r = PQexec(c, ("CREATE DATABASE \"" + name + "\"").c_str());
    ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    PQclear(r);
  }
  PQfinish(c);
  if (!ok) return {};
  return "postgresql:///" + name + "?host=" + root_.string() + "&port=" + std::to_string(port_) +
         "&user=postgres";
}

}  // namespace kiv::testing
