#include "config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

#include "base/ini.h"
#include "protocol.h"

namespace kiv::server {

const std::vector<TParameterField> kParameterFields = {
    {"room_relay", 4, 1, 1},
    {"relay_max_level", 8, 4, 5},
    {"relay_ping_threshold", 12, 4, 300},
    {"relay_max_lower_nodes", 20, 4, 4},
    {"relay_hello_count", 24, 4, 3},
    {"relay_request_timeout", 28, 4, 3000},
    {"relay_check_interval", 32, 4, 10000},
    {"relay_video_queue", 36, 4, 200},
    {"relay_audio_queue", 40, 4, 100},
    {"relay_max_cpu", 44, 4, 80},
    {"relay_max_memory", 48, 4, 80},
    {"relay_super_node_ping", 56, 4, 100},
    // One-to-one chat may go through the friend's server when there is no direct connection.
    {"chat_relay", 92, 1, 1},
    {"transfer_fee", 112, 4, 10},
    {"room_abate_percent", 116, 4, 80},
    {"room_base_price", 124, 4, 100},
    {"room_min_days", 348, 4, 30},
    {"broadcast_price", 356, 4, 10},
    {"stamp_clear_price", 424, 4, 5},
    {"parking_price", 428, 4, 50},
};

namespace {

Bytes BuildParameters(const IniFile* ini) {
  RecordWriter w(proto::params::kSize);
  w.u32(0, proto::kServerParameters);
  for (const TParameterField& f : kParameterFields) {
    long long v = ini ? ini->GetInt("parameters", f.name, f.fallback) : f.fallback;
    auto value = static_cast<std::uint32_t>(v);
    if (f.width == 1)
      w.u8(f.offset, static_cast<std::uint8_t>(value));
    else
      w.u32(f.offset, value);
  }
  return w.take();
}

bool IsIPv4(const std::string& text) {
  in_addr a{};
  return ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

}  // namespace

bool ParseAddress(const std::string& text, WireAddress& out) {
  auto colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string ip = text.substr(0, colon);
  unsigned port = 0;
  const char* first = text.data() + colon + 1;
  const char* last = text.data() + text.size();
  auto [end, ec] = std::from_chars(first, last, port);
  if (ec != std::errc() || end != last || port == 0 || port > 65535 || !IsIPv4(ip)) return false;
  out = {ip, static_cast<std::uint16_t>(port)};
  return true;
}

THashCost ParseHashCost(const std::string& text, bool* ok) {
  if (ok) *ok = true;
  if (text == "min") return THashCost::kMin;
  if (text == "interactive") return THashCost::kInteractive;
  if (text == "moderate") return THashCost::kModerate;
  if (text == "sensitive") return THashCost::kSensitive;
  if (ok) *ok = false;
  return THashCost::kInteractive;
}

TServerConfig DefaultConfig() {
  TServerConfig c;
  c.parameters = BuildParameters(nullptr);
  return c;
}

TServerConfig LoadConfig(const std::filesystem::path& path, std::vector<std::string>* errors) {
  TServerConfig c = DefaultConfig();
  IniFile ini = IniFile::Load(path);
  auto fail = [&](const std::string& what) {
    if (errors) errors->push_back(what);
  };
  auto port = [&](const char* section, std::uint16_t fallback) -> std::uint16_t {
    long long v = ini.GetInt(section, "port", fallback);
    if (v < 0 || v > 65535) {
      fail(std::string("[") + section + "] port out of range");
      return fallback;
    }
    return static_cast<std::uint16_t>(v);
  };
  auto address = [&](const char* section, const char* key, std::string fallback) {
    std::string v = ini.Get(section, key, fallback);
    if (!v.empty() && !IsIPv4(v)) {
      fail(std::string("[") + section + "] " + key + " is not an IPv4 address");
      return fallback;
    }
    return v;
  };

  c.announce = address("server", "announce", c.announce);
  if (c.announce.empty()) c.announce = "127.0.0.1";
  c.max_users = static_cast<std::uint32_t>(
      std::clamp<long long>(ini.GetInt("server", "max_users", c.max_users), 0, kMaxUsersPerNode));
  c.maintenance = ini.GetInt("server", "maintenance", 0) != 0;
  if (auto cost = ini.Find("server", "hash_cost")) {
    bool ok = false;
    c.hash_cost = ParseHashCost(*cost, &ok);
    if (!ok) fail("[server] hash_cost must be min, interactive, moderate or sensitive");
  }
  c.node = ini.Get("server", "node", c.node);

  c.login_port = port("login", c.login_port);
  c.home_port = port("home", c.home_port);
  if (auto overflow = ini.Find("home", "overflow"); overflow && !overflow->empty()) {
    if (!ParseAddress(*overflow, c.home_overflow)) fail("[home] overflow must be address:port");
  }
  c.lobby = {address("lobby", "address", ""), port("lobby", c.lobby.port)};
  c.update = {address("update", "address", ""), port("update", c.update.port)};

  c.latest_version = static_cast<std::int32_t>(ini.GetInt("version", "latest", c.latest_version));
  long long mode = ini.GetInt("version", "mode", c.update_mode);
  if (mode < 0 || mode > 3)
    fail("[version] mode must be 0..3");
  else
    c.update_mode = static_cast<std::uint8_t>(mode);

  c.demo_payments = ini.GetInt("web", "demo_payments", 0) != 0;
  auto limit = [&](const char* key, int fallback) {
    long long v = ini.GetInt("limits", key, fallback);
    if (v < 0 || v > 1000000) {
      fail(std::string("[limits] ") + key + " must be 0..1000000");
      return fallback;
    }
    return static_cast<int>(v);
  };
  c.sign_in_burst = limit("sign_in_burst", c.sign_in_burst);
  c.sign_in_per_second = limit("sign_in_per_second", c.sign_in_per_second);
  c.parameters = BuildParameters(&ini);
  return c;
}

}  // namespace kiv::server
