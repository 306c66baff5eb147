// The SOCKS5 client against a real SOCKS5 server with UDP relay: Debian's dante-server (danted), started
// here on loopback ports with a generated configuration. A datagram with the 10-byte relay head goes through
// the relay to a local UDP echo and the answer comes back through the relay.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/proxy.h"
#include "base/socket.h"
#include "test_dir.h"

extern char** environ;

namespace kiv {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kDanted = "/usr/sbin/danted";

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// One danted process on 127.0.0.1, stopped (SIGTERM to the process we started) when destroyed.
class Danted {
 public:
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
      std::this_thread::sleep_for(25ms);
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

int BoundUdp(std::uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

// Waits for a datagram; the bound only keeps a lost datagram from hanging the suite.
ssize_t Receive(int fd, std::uint8_t* buffer, std::size_t size, sockaddr_in* from = nullptr) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 10000) <= 0) return -1;
  socklen_t length = sizeof(sockaddr_in);
  return ::recvfrom(fd, buffer, size, 0, reinterpret_cast<sockaddr*>(from), from ? &length : nullptr);
}

// Answers each datagram with "echo:" and the datagram, until stopped.
class UdpEcho {
 public:
  UdpEcho() {
    fd_ = BoundUdp(&port_);
    thread_ = std::thread([this] {
      std::uint8_t buffer[2048];
      pollfd p{fd_, POLLIN, 0};
      while (!stop_) {
        if (fd_ < 0 || ::poll(&p, 1, 20) <= 0) continue;
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t got =
            ::recvfrom(fd_, buffer + 5, sizeof buffer - 5, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 0) continue;
        std::memcpy(buffer, "echo:", 5);
        ::sendto(fd_, buffer, static_cast<std::size_t>(got) + 5, 0, reinterpret_cast<sockaddr*>(&from),
                 length);
      }
    });
  }
  ~UdpEcho() {
    stop_ = true;
    thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  UdpEcho(const UdpEcho&) = delete;
  UdpEcho& operator=(const UdpEcho&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The 10-byte SOCKS5 UDP request head: reserved 0, fragment 0, address type 1, IPv4, port big-endian.
Bytes RelayHead(std::uint16_t port) {
  return {0, 0, 0, 1, 127, 0, 0, 1, static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port)};
}

// Sends `payload` to the echo through the relay and checks the answer that comes back through it.
void ExpectEchoThroughRelay(int client, std::uint16_t relay_port, const UdpEcho& echo,
                            const std::string& payload) {
  Bytes datagram = RelayHead(echo.port());
  datagram.insert(datagram.end(), payload.begin(), payload.end());
  sockaddr_in relay{};
  relay.sin_family = AF_INET;
  relay.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  relay.sin_port = htons(relay_port);
  ASSERT_EQ(::sendto(client, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&relay),
                     sizeof relay),
            static_cast<ssize_t>(datagram.size()));

  std::uint8_t buffer[2048];
  sockaddr_in from{};
  const ssize_t got = Receive(client, buffer, sizeof buffer, &from);
  ASSERT_GE(got, 10) << "no answer through the relay";
  EXPECT_EQ(ntohs(from.sin_port), relay_port);  // it came from the relay, not from the echo
  // The answer carries the echo's address in its relay head, then the echo's payload.
  EXPECT_EQ(Bytes(buffer, buffer + 10), RelayHead(echo.port()));
  EXPECT_EQ(std::string(buffer + 10, buffer + got), "echo:" + payload);
}

class DantedRelay : public testing::Test {
 protected:
  void SetUp() override {
    if (::access(kDanted, X_OK) != 0) GTEST_SKIP() << "danted is not installed (dante-server, scripts/setup)";
    client_ = BoundUdp(&client_port_);
    ASSERT_GE(client_, 0);
  }
  void TearDown() override {
    StopProxy();
    if (client_ >= 0) ::close(client_);
  }

  int client_ = -1;
  std::uint16_t client_port_ = 0;
  UdpEcho echo_;
};

TEST_F(DantedRelay, WithoutAuthentication) {
  Danted danted("none");
  if (!danted.error().empty()) GTEST_SKIP() << danted.error();

  const std::uint16_t relay = StartProxy("127.0.0.1", danted.port(), client_port_, "", "");
  ASSERT_NE(relay, 0) << danted.log();
  ExpectEchoThroughRelay(client_, relay, echo_, "first datagram");
  ExpectEchoThroughRelay(client_, relay, echo_, std::string(1000, 'x'));

  // A new StartProxy replaces the relay with a working one.
  const std::uint16_t again = StartProxy("127.0.0.1", danted.port(), client_port_, "", "");
  ASSERT_NE(again, 0) << danted.log();
  ExpectEchoThroughRelay(client_, again, echo_, "second relay");

  // Offering credentials to a proxy that wants none: it picks "no authentication", which is refused.
  EXPECT_EQ(StartProxy("127.0.0.1", danted.port(), client_port_, "someone", "secret"), 0);
}

TEST_F(DantedRelay, WithUserAndPassword) {
  SystemUser user;
  if (!user.error().empty()) GTEST_SKIP() << user.error();
  Danted danted("username");
  if (!danted.error().empty()) GTEST_SKIP() << danted.error();

  TProxy proxy(5s);
  const std::uint16_t relay =
      proxy.StartProxy("127.0.0.1", danted.port(), client_port_, user.name(), user.password());
  ASSERT_NE(relay, 0) << danted.log();
  EXPECT_EQ(proxy.relay_address(), "127.0.0.1");
  ExpectEchoThroughRelay(client_, relay, echo_, "through an authenticated relay");
  proxy.StopProxy();

  EXPECT_EQ(StartProxy("127.0.0.1", danted.port(), client_port_, user.name(), "wrong password"), 0);
  EXPECT_EQ(StartProxy("127.0.0.1", danted.port(), client_port_, "", ""), 0);  // no acceptable method
  EXPECT_NE(StartProxy("127.0.0.1", danted.port(), client_port_, user.name(), user.password()), 0)
      << danted.log();
}

}  // namespace
}  // namespace kiv
