#include "server_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <thread>

namespace kiv::testing {

namespace {

bool ParseListening(const std::string& line, const char* role, WireAddress& out) {
  std::string prefix = std::string("listening ") + role + " ";
  if (!line.starts_with(prefix)) return false;
  std::string rest = line.substr(prefix.size());
  auto colon = rest.rfind(':');
  if (colon == std::string::npos) return false;
  unsigned port = 0;
  std::from_chars(rest.data() + colon + 1, rest.data() + rest.size(), port);
  out = {rest.substr(0, colon), static_cast<std::uint16_t>(port)};
  return true;
}

}  // namespace

std::filesystem::path ServerBinary() {
#ifdef KIV_BIN_DIR
  return std::filesystem::path(KIV_BIN_DIR) / "kivora-server";
#else
  return "kivora-server";
#endif
}

TServerProcess::~TServerProcess() {
  if (Running()) {
    ::kill(pid_, SIGKILL);
    Wait(5000);
  }
  if (out_fd_ >= 0) ::close(out_fd_);
}

bool TServerProcess::Start(const std::filesystem::path& binary, const std::vector<std::string>& args,
                           std::uint32_t timeout_ms, std::string* error) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  std::vector<std::string> argv_text{binary.string()};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  // Servers of tests run side by side: the update role takes any free port unless the test names one.
  if (std::find(args.begin(), args.end(), "--update-port") == args.end()) {
    argv_text.push_back("--update-port");
    argv_text.push_back("0");
  }
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(pipe_fds[1], 1);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  out_fd_ = pipe_fds[0];
  if (pid_ < 0) return false;

  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{out_fd_, POLLIN, 0};
    int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count());
    if (::poll(&p, 1, std::max(left, 1)) <= 0) continue;
    char buffer[512];
    ssize_t n = ::read(out_fd_, buffer, sizeof buffer);
    if (n <= 0) break;  // the server ended
    text.append(buffer, static_cast<std::size_t>(n));
    std::size_t start = 0, end;
    bool ready = false;
    while ((end = text.find('\n', start)) != std::string::npos) {
      std::string line = text.substr(start, end - start);
      ParseListening(line, "login", login_);
      ParseListening(line, "home", home_);
      ParseListening(line, "web", web_);
      if (line == "ready") ready = true;
      start = end + 1;
    }
    if (ready) return true;
  }
  if (error) *error = text;
  return false;
}

bool TServerProcess::Running() {
  if (pid_ <= 0 || ended_) return false;
  if (::waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
  return !ended_;
}

void TServerProcess::Signal(int signal) {
  if (pid_ > 0 && !ended_) ::kill(pid_, signal);
}

int TServerProcess::Wait(std::uint32_t timeout_ms) {
  if (pid_ <= 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!ended_ && std::chrono::steady_clock::now() < deadline) {
    if (!Running()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return ended_ ? status_ : -1;
}

}  // namespace kiv::testing
