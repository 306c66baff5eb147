// A real SOCKS5 server with UDP relay for tests: Debian's dante-server (danted), started on a free
// loopback port with a generated configuration and stopped again with the object.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <pwd.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/socket.h"
#include "test_dir.h"

extern char** environ;

namespace kiv {

inline constexpr const char* kDanted = "/usr/sbin/danted";

// One danted process on 127.0.0.1, stopped (SIGTERM to the process we started) when destroyed.
class Danted {
 public:
  static std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
  }

  // `method` is "none" or "username". Leaves error() set when danted cannot be started.
  explicit Danted(const std::string& method) {
    port_ = static_cast<std::uint16_t>(GetFreePort(21080 + static_cast<int>(::getpid() % 4000), true));
    if (port_ == 0) {
      error_ = "no free TCP port for danted";
      return;
    }
    const auto config = dir_.path() / "danted.conf";
    log_ = dir_.path() / "danted.log";
    std::ofstream out(config);
    out << "logoutput: " << log_.string() << "\n"
        << "internal: 127.0.0.1 port = " << port_ << "\n"
        << "external: 127.0.0.1\n"
        << "clientmethod: none\n"
        << "socksmethod: " << method << "\n";
    if (::geteuid() == 0) out << "user.privileged: root\nuser.unprivileged: nobody\n";
    out << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
        << "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: udpassociate udpreply }\n";
    out.close();

    const std::string config_text = config.string(), pid_file = (dir_.path() / "danted.pid").string();
    const std::string output = (dir_.path() / "danted.out").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> args{"danted", "-f", config_text, "-p", pid_file};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, kDanted, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid_ = -1;
      error_ = std::string("cannot run danted: ") + std::strerror(spawned);
      return;
    }
    // Wait until it listens, or until it gives up (a bounded readiness wait, not a speed check).
    for (int attempt = 0; attempt < 400; ++attempt) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        error_ = "danted exited at start: " + ReadFile(output) + ReadFile(log_);
        return;
      }
      if (Listening()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    error_ = "danted did not start listening: " + ReadFile(log_);
  }

  ~Danted() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Danted(const Danted&) = delete;
  Danted& operator=(const Danted&) = delete;

  const std::string& error() const { return error_; }
  std::uint16_t port() const { return port_; }
  std::string log() const { return ReadFile(log_); }

 private:
  bool Listening() const {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
  }

  TestDir dir_;
  std::filesystem::path log_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
  std::string error_;
};

// A system user with a known password for danted's username method (checked against the system's password
// database, so it must be a real account). Needs root; removed again when destroyed.
class SystemUser {
 public:
  SystemUser()
      : name_("kivsock" + std::to_string(::getpid())), password_("Kv-" + std::to_string(::getpid())) {
    if (::geteuid() != 0) {
      error_ = "creating a system user for danted's username method needs root";
      return;
    }
    if (!::getpwnam(name_.c_str())) {
      const std::string add =
          "useradd --system --no-create-home --shell /usr/sbin/nologin " + name_ + " 2>&1";
      if (std::system(add.c_str()) != 0) {
        error_ = "useradd failed";
        return;
      }
    }
    created_ = true;
    FILE* pipe = ::popen("chpasswd 2>&1", "w");
    if (!pipe) {
      error_ = "cannot run chpasswd";
      return;
    }
    std::fprintf(pipe, "%s:%s\n", name_.c_str(), password_.c_str());
    if (::pclose(pipe) != 0) error_ = "chpasswd failed";
  }
  ~SystemUser() {
    if (created_) std::system(("userdel " + name_ + " 2>&1").c_str());
  }
  SystemUser(const SystemUser&) = delete;
  SystemUser& operator=(const SystemUser&) = delete;

  const std::string& error() const { return error_; }
  const std::string& name() const { return name_; }
  const std::string& password() const { return password_; }

 private:
  std::string name_, password_, error_;
  bool created_ = false;
};

}  // namespace kiv
