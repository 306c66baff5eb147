#include "base/socket.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>

#include "base/files.h"
#include "base/ini.h"
#include "base/proxy.h"

namespace kiv {
namespace {

std::string DottedText(const in_addr& address) {
  char text[INET_ADDRSTRLEN] = {};
  return ::inet_ntop(AF_INET, &address, text, sizeof text) ? std::string(text) : std::string();
}

bool IsLoopback(const in_addr& address) { return (ntohl(address.s_addr) >> 24) == 127; }

struct AddressList {
  std::vector<std::string> others;
  std::vector<std::string> containers;
  std::vector<std::string> loopback;
  void Add(const in_addr& address, bool container = false) {
    std::string text = DottedText(address);
    if (text.empty()) return;
    auto& list = IsLoopback(address) ? loopback : container ? containers : others;
    if (std::find(list.begin(), list.end(), text) == list.end()) list.push_back(std::move(text));
  }
};

}  // namespace

int GetFreePort(int port, bool tcp) {
  if (port > 65535) return 0;
  int socket = ::socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
  if (socket < 0) return port;
  int found = 0;
  // A failed bind leaves the socket unbound, so one probe socket serves until a bind succeeds.
  for (int candidate = std::max(port, 1); candidate <= 65535; ++candidate) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(candidate));
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      found = candidate;
      break;
    }
  }
  ::close(socket);
  return found;
}

std::vector<std::string> LocalIPv4Addresses() {
  AddressList list;
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;  // one entry per address
    addrinfo* result = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &result) == 0) {
      for (addrinfo* entry = result; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
          list.Add(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr);
        }
      }
      ::freeaddrinfo(result);
    }
  }
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) == 0) {
    for (ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
      if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET || !(entry->ifa_flags & IFF_UP)) continue;
      list.Add(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr,
               entry->ifa_name && IsContainerInterface(entry->ifa_name));
    }
    ::freeifaddrs(interfaces);
  }
  if (!list.others.empty()) return list.others;
  return list.containers.empty() ? list.loopback : list.containers;
}

std::string GetIP(const std::vector<std::string>& addresses, bool first) {
  if (addresses.empty()) return {};
  if (addresses.size() == 1) return addresses.front();
  return first ? addresses[0] : addresses[1];
}

std::string GetIP(bool first) { return GetIP(LocalIPv4Addresses(), first); }

std::string RoutedLocalAddress(std::string_view destination) {
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(9);  // any port: nothing is sent
  const std::string text(destination);
  if (::inet_pton(AF_INET, text.c_str(), &remote.sin_addr) != 1) return {};
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return {};
  std::string local;
  sockaddr_in own{};
  socklen_t size = sizeof own;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &size) == 0 && own.sin_addr.s_addr != 0) {
    local = DottedText(own.sin_addr);
  }
  ::close(fd);
  return local;
}

bool IsContainerInterface(std::string_view name) {
  for (std::string_view prefix :
       {"docker", "br-", "veth", "virbr", "cni", "podman", "lxcbr", "lxdbr", "vnet", "flannel", "cali"}) {
    if (name.starts_with(prefix)) return true;
  }
  return false;
}

std::string PickIPForServer(const std::vector<std::string>& addresses, bool local_debug,
                            std::string_view routed) {
  if (local_debug) return addresses.empty() ? std::string() : addresses.back();
  if (!routed.empty() && std::find(addresses.begin(), addresses.end(), routed) != addresses.end())
    return std::string(routed);
  for (auto it = addresses.rbegin(); it != addresses.rend(); ++it) {
    if (!it->starts_with("192")) return *it;
  }
  return {};
}

std::string GetIPForServer(const std::vector<std::string>& addresses, const std::filesystem::path& db_config,
                           std::string_view routed) {
  return PickIPForServer(addresses, GetIniint(db_config, "DebugInfo", "LocalDebug") == 1, routed);
}

std::string GetIPForServer(std::string_view server) {
  return GetIPForServer(LocalIPv4Addresses(), ApplicationFolder() / "DBConfig.ini",
                        RoutedLocalAddress(server));
}

std::string GetIPForServer() { return GetIPForServer(kDefaultRouteProbe); }

NetState ReadNetState() {
  NetState state;
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) == 0) {
    for (ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
      const unsigned flags = entry->ifa_flags;
      if ((flags & IFF_LOOPBACK) || !(flags & IFF_UP) || !(flags & IFF_RUNNING)) continue;
      state.connected = true;
      if (flags & IFF_POINTOPOINT)
        state.modem = true;
      else
        state.lan = true;
    }
    ::freeifaddrs(interfaces);
  }
  for (const char* name :
       {"all_proxy", "ALL_PROXY", "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY"}) {
    const char* value = std::getenv(name);
    if (value && *value) state.proxy = true;
  }
  return state;
}

int NetTypeFromState(const NetState& state) {
  if (!state.connected) return 0;
  if (state.lan) return 3;
  if (state.proxy) return 2;
  if (state.modem) return 1;
  return 0;
}

int GetNetType() { return NetTypeFromState(ReadNetState()); }

bool PeerIsSameUser(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer &&
         peer.uid == ::getuid();
}

namespace {

// A real folder (not a link) of this user that no other account can write to or list.
bool IsPrivateFolder(const std::filesystem::path& folder) {
  struct stat info {};
  return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::getuid() &&
         (info.st_mode & 077) == 0;
}

// Socket paths must fit sockaddr_un::sun_path with room for a name of up to 64 bytes.
constexpr std::size_t kMaxSocketFolderLength = sizeof(sockaddr_un::sun_path) - 64;

std::filesystem::path PrivateSubfolder(const std::filesystem::path& parent, const std::string& name) {
  if (parent.empty() || !parent.is_absolute()) return {};
  const std::filesystem::path folder = parent / name;
  if (folder.native().size() > kMaxSocketFolderLength) return {};
  ::mkdir(folder.c_str(), 0700);  // an existing one is checked below like a new one
  return IsPrivateFolder(folder) ? folder : std::filesystem::path();
}

}  // namespace

std::filesystem::path PrivateSocketFolder(const std::filesystem::path& runtime_dir,
                                          const std::filesystem::path& temp_dir) {
  if (!runtime_dir.empty() && IsPrivateFolder(runtime_dir)) {
    if (auto folder = PrivateSubfolder(runtime_dir, "kivora"); !folder.empty()) return folder;
  }
  return PrivateSubfolder(temp_dir, "kivora-" + std::to_string(::getuid()));
}

std::string HostToIP(std::string_view host) {
  if (host.empty() || host.find('\0') != std::string_view::npos) return {};
  std::string name(host);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0) return {};
  std::string text;
  for (addrinfo* entry = result; entry && text.empty(); entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(sockaddr_in)) continue;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(
        &reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr);
    text = std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
           std::to_string(bytes[3]);
  }
  ::freeaddrinfo(result);
  return text;
}

// --- The process-wide relay
// ------------------------------------------------------------------------------------

namespace {
std::mutex g_proxy_mutex;
std::unique_ptr<TProxy> g_proxy;
}  // namespace

std::uint16_t StartProxy(std::string_view host, std::uint16_t port, std::uint16_t udp_port,
                         std::string_view user, std::string_view password,
                         std::chrono::milliseconds watchdog_delay) {
  std::lock_guard lock(g_proxy_mutex);
  g_proxy.reset();  // closes the previous control connection and ends its watchdog
  g_proxy = std::make_unique<TProxy>(watchdog_delay);
  return g_proxy->StartProxy(host, port, udp_port, user, password);
}

std::uint16_t StartProxy(std::string_view host, std::uint16_t port, std::uint16_t udp_port,
                         std::string_view user, std::string_view password) {
  return StartProxy(host, port, udp_port, user, password, kProxyWatchdogDelay);
}

bool StopProxy() {
  std::lock_guard lock(g_proxy_mutex);
  g_proxy.reset();
  return true;
}

}  // namespace kiv
