#include "control_socket.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace kiv::server {

namespace {

// Longest request accepted; a longer one is refused, never buffered without bound.
constexpr std::size_t kMaxRequest = 64 * 1024;

bool FillAddress(const std::filesystem::path& path, sockaddr_un& a) {
  std::memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  std::string p = path.string();
  if (p.size() >= sizeof a.sun_path) return false;
  std::memcpy(a.sun_path, p.c_str(), p.size() + 1);
  return true;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    std::size_t tab = line.find('\t', start);
    parts.push_back(line.substr(start, tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return parts;
}

}  // namespace

bool TControlServer::Start(const std::filesystem::path& path, TControlHandler handler, std::string* error) {
  sockaddr_un a;
  if (!FillAddress(path, a)) {
    if (error) *error = "control socket path too long: " + path.string();
    return false;
  }
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  mode_t old_mask = ::umask(0077);
  bool bound = listen_fd_ >= 0 && ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::umask(old_mask);
  if (!bound || ::listen(listen_fd_, 8) != 0) {
    if (error) *error = "cannot listen on " + path.string() + ": " + std::strerror(errno);
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    return false;
  }
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC);
  path_ = path;
  handler_ = std::move(handler);
  thread_ = std::thread([this] {
    while (true) {
      pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents) return;
      int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        Serve(client);
        ::close(client);
      }
    }
  });
  return true;
}

void TControlServer::Serve(int client) {
  // Both ways bounded: a client that stops reading its answer must not hold the admin thread.
  timeval timeout{5, 0};
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  std::string request;
  char buffer[4096];
  while (request.find('\n') == std::string::npos) {
    ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    request.append(buffer, static_cast<std::size_t>(n));
    if (request.size() > kMaxRequest) {
      WriteAll(client, "error: request too long\n");
      return;
    }
  }
  auto newline = request.find('\n');
  if (newline == std::string::npos) return;
  request.resize(newline);
  std::string answer;
  try {
    answer = handler_(Split(request));
  } catch (const std::exception& e) {
    answer = std::string("error: ") + e.what() + "\n";
  }
  WriteAll(client, answer);
}

void TControlServer::Stop() {
  if (!thread_.joinable()) return;
  std::uint64_t one = 1;
  if (::write(wake_fd_, &one, sizeof one) < 0) {
  }
  thread_.join();
  ::close(listen_fd_);
  ::close(wake_fd_);
  listen_fd_ = wake_fd_ = -1;
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

bool ControlRequest(const std::filesystem::path& path, const std::vector<std::string>& args,
                    std::string& answer) {
  sockaddr_un a;
  if (!FillAddress(path, a)) return false;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return false;
  }
  std::string line;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) line += '\t';
    for (char c : args[i]) line += (c == '\t' || c == '\n') ? ' ' : c;
  }
  line += '\n';
  if (!WriteAll(fd, line)) {
    ::close(fd);
    return false;
  }
  answer.clear();
  char buffer[4096];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return true;
}

}  // namespace kiv::server
