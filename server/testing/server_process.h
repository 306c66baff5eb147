// Runs kivora-server as a child process for tests: starts it, reads the ports it prints, and ends
// it with a signal. The destructor kills a server that is still running.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/wire.h"

namespace kiv::testing {

class TServerProcess {
 public:
  TServerProcess() = default;
  ~TServerProcess();
  TServerProcess(const TServerProcess&) = delete;
  TServerProcess& operator=(const TServerProcess&) = delete;

  // Starts `binary` with `args` and waits (up to `timeout_ms`) for its "ready" line. False, with
  // what it printed in `error`, when it ends or does not get ready.
  bool Start(const std::filesystem::path& binary, const std::vector<std::string>& args,
             std::uint32_t timeout_ms = 20000, std::string* error = nullptr);
  // The addresses from its "listening" lines.
  const WireAddress& Login() const { return login_; }
  const WireAddress& Home() const { return home_; }
  const WireAddress& Web() const { return web_; }  // port 0 when the web role did not start
  pid_t Pid() const { return pid_; }
  bool Running();

  void Signal(int signal);
  // Waits for the process to end; its wait status, or -1 on time-out.
  int Wait(std::uint32_t timeout_ms = 20000);

 private:
  pid_t pid_ = -1;
  bool ended_ = false;
  int status_ = 0;  // wait status once ended_
  int out_fd_ = -1;
  WireAddress login_, home_, web_;
};

// The kivora-server next to the tests' build (KIV_BIN_DIR), for tests that run it.
std::filesystem::path ServerBinary();

}  // namespace kiv::testing
