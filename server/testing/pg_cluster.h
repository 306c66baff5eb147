// A private PostgreSQL cluster for tests: initdb and pg_ctl run as the `postgres` system user (when
// the tests run as root) or as the current user, with the socket in a temporary folder and a free
// port. Tests call Available() and skip, with Reason(), where the cluster cannot start.
#pragma once

#include <filesystem>
#include <string>

namespace kiv::testing {

class TPgCluster {
 public:
  TPgCluster();
  ~TPgCluster();
  TPgCluster(const TPgCluster&) = delete;
  TPgCluster& operator=(const TPgCluster&) = delete;

  bool Available() const { return running_; }
  const std::string& Reason() const { return reason_; }
  // Creates a fresh database and returns its postgresql:// URL (empty on failure).
  std::string CreateDatabase(const std::string& name);

  // Stops the cluster (fast: every connection is ended) and starts it again on the same port and
  // data; what a database restart does to the server's connections. True when it worked.
  bool Stop();
  bool Start();
  // Stops (SIGSTOP) and continues every process of the cluster: a database that hangs, with its
  // connections open and nothing answered.
  bool Pause();
  void Resume();

 private:
  bool Run(const std::string& command);
  bool SignalAll(int signal);

  std::filesystem::path root_;
  std::string bin_;
  std::string as_user_;  // prefix that runs a command as the cluster's owner
  int port_ = 0;
  bool running_ = false;
  std::string reason_;
};

}  // namespace kiv::testing
