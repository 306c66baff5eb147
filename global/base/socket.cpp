#include "base/socket.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
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
  std::vector<std::string> loopback;
  void Add(const in_addr& address) {
    std::string text = DottedText(address);
    if (text.empty()) return;
    auto& list = IsLoopback(address) ? loopback : others;
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
      list.Add(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr);
    }
    ::freeifaddrs(interfaces);
  }
  return list.others.empty() ? list.loopback : list.others;
}

std::string GetIP(const std::vector<std::string>& addresses, bool first) {
  if (addresses.empty()) return {};
  if (addresses.size() == 1) return addresses.front();
  return first ? addresses[0] : addresses[1];
}

std::string GetIP(bool first) { return GetIP(LocalIPv4Addresses(), first); }

std::string PickIPForServer(const std::vector<std::string>& addresses, bool local_debug) {
  if (local_debug) return addresses.empty() ? std::string() : addresses.back();
  for (auto it = addresses.rbegin(); it != addresses.rend(); ++it) {
    if (!it->starts_with("192")) return *it;
  }
  return {};
}

std::string GetIPForServer(const std::vector<std::string>& addresses,
                           const std::filesystem::path& db_config) {
  return PickIPForServer(addresses, GetIniint(db_config, "DebugInfo", "LocalDebug") == 1);
}

std::string GetIPForServer() { return GetIPForServer(LocalIPv4Addresses(), ApplicationFolder() / "DBConfig.ini"); }

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

// --- Stream-frame scrambling
// -------------------------------------------------------------------------------------

namespace {

constexpr std::uint16_t kTCPChecksumBase = 635;
constexpr std::uint16_t kTCPLengthBias = 732;
constexpr int kTCPKeyBias = 65;

std::uint16_t ContentSum(const std::uint8_t* buffer, std::size_t length) {
  std::uint32_t sum = kTCPChecksumBase;
  for (std::size_t i = 4; i + 2 < length; ++i) sum += buffer[i];
  return static_cast<std::uint16_t>(sum);
}

// Reverses the block of `block` bytes ending at `end`, except its two middle bytes.
void ExchangeBlock(std::uint8_t* buffer, std::size_t end, std::size_t block) {
  for (std::size_t m = 0; m <= block / 2; ++m) std::swap(buffer[end - block + 1 + m], buffer[end - m]);
}

// Adds (or subtracts) the key to bytes 4 to n - 1 and reverses every complete block as it closes.
void ApplyKey(std::uint8_t* buffer, std::size_t length, std::uint8_t key, std::size_t block, bool add) {
  for (std::size_t i = 4; i < length; ++i) {
    buffer[i] = static_cast<std::uint8_t>(add ? buffer[i] + key : buffer[i] - key);
    if ((i - 3) % block == 0) ExchangeBlock(buffer, i, block);
  }
}

}  // namespace

bool TCPDataRecast(std::uint8_t* buffer, std::size_t length, std::uint32_t r, std::uint8_t k) {
  if (!buffer || length < kTCPFrameMin || length > kTCPFrameMax) return false;
  r %= static_cast<std::uint32_t>(length);
  const std::uint16_t block = static_cast<std::uint16_t>(2 * (r / 2) + 2);
  const std::uint16_t sum = ContentSum(buffer, length);
  buffer[length - 2] = static_cast<std::uint8_t>(sum);
  buffer[length - 1] = static_cast<std::uint8_t>(sum >> 8);
  buffer[0] = 1;
  ApplyKey(buffer, length, k, block, true);
  const std::uint16_t key_field = static_cast<std::uint16_t>(block + (k - kTCPKeyBias) - kTCPLengthBias);
  buffer[1] = static_cast<std::uint8_t>(key_field);
  buffer[2] = static_cast<std::uint8_t>(key_field >> 8);
  buffer[3] = static_cast<std::uint8_t>(k - kTCPKeyBias);
  return true;
}

bool TCPDataRecast(std::uint8_t* buffer, std::size_t length) {
  thread_local std::mt19937 random{std::random_device{}()};
  if (!buffer || length < kTCPFrameMin || length > kTCPFrameMax) return false;
  std::uniform_int_distribution<std::uint32_t> pick_r(0, static_cast<std::uint32_t>(length - 1));
  std::uniform_int_distribution<int> pick_k(0, 253);
  const std::uint32_t r = pick_r(random);
  return TCPDataRecast(buffer, length, r, static_cast<std::uint8_t>(pick_k(random)));
}

bool TCPDataRestore(std::uint8_t* buffer, std::size_t length) {
  if (!buffer || length == 0) return false;
  if (buffer[0] == 0) return true;
  if (length < kTCPFrameMin) return false;
  const std::uint8_t key = static_cast<std::uint8_t>(buffer[3] + kTCPKeyBias);
  const std::uint16_t key_field = static_cast<std::uint16_t>(buffer[1] | (buffer[2] << 8));
  // The key field holds L + (k - 65) - 732 with (k - 65) as a signed number, so it is undone with the same
  // signed value; taking byte 3 (its value modulo 256) instead would give a wrong block length for k < 65.
  const std::uint16_t block = static_cast<std::uint16_t>(key_field - (key - kTCPKeyBias) + kTCPLengthBias);
  if (block == 0) return false;
  ApplyKey(buffer, length, key, block, false);
  const std::uint16_t stored = static_cast<std::uint16_t>(buffer[length - 2] | (buffer[length - 1] << 8));
  return ContentSum(buffer, length) == stored;
}

}  // namespace kiv
