// The server's configuration: one INI file (GBK, read through IniFile), every key optional, so
// `--data DIR` alone runs with the defaults below. Command-line options override the file.
//
//   [server]     announce (the IPv4 address clients are told to use), max_users (at most
//                kMaxUsersPerNode; larger values count as that), maintenance (0/1),
//                hash_cost (interactive | moderate | sensitive | min), node (name of this home node)
//   [login]      port (default 9009; 0 picks a free port)
//   [home]       port (default 9010; 0 picks a free port), overflow (address:port of another home
//                node that takes sign-ins once this one holds max_users)
//   [lobby]      address, port      -- announced in the login reply
//   [update]     address, port      -- announced in the login reply and the version answer
//   [version]    latest (i32), mode (0..3)
//   [web]        demo_payments (0/1): the top-up page credits currency itself (a demonstration);
//                off, it says that payments go through the operator (`admin credit`). --seed-demo
//                turns it on
//   [limits]     sign_in_burst, sign_in_per_second: sign-ins, guest codes, clear-user and recovery
//                steps one address may have hashed at once and then per second (0: no limit)
//   [parameters] the fields of the 0x10000 parameter block by name (see kParameterFields)
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/wire.h"

namespace kiv::server {

// One field of the parameter block that the configuration can set.
struct TParameterField {
  const char* name;
  std::size_t offset;  // in the 0x10000 message
  std::uint8_t width;  // 1 or 4
  std::uint32_t fallback;
};
extern const std::vector<TParameterField> kParameterFields;

enum class THashCost { kMin, kInteractive, kModerate, kSensitive };

// The most users one home node holds: its endpoint holds 9 999 connections, and needs room beyond
// its users for sign-ins under way and for data relayed from other nodes' clients.
inline constexpr std::uint32_t kMaxUsersPerNode = 9000;

struct TServerConfig {
  std::string announce = "127.0.0.1";
  std::uint32_t max_users = kMaxUsersPerNode;
  bool maintenance = false;
  THashCost hash_cost = THashCost::kInteractive;
  std::string node = "home1";

  std::uint16_t login_port = 9009;
  std::uint16_t home_port = 9010;
  WireAddress home_overflow;  // empty ip: none
  WireAddress lobby{"", 9011};
  WireAddress update{"", 9012};

  std::int32_t latest_version = 201102;
  std::uint8_t update_mode = 0;

  bool demo_payments = false;

  int sign_in_burst = 40;
  int sign_in_per_second = 10;

  // Bytes 0..451 of the 0x10000 message (the code included), filled from [parameters].
  Bytes parameters;

  // The address to announce for a role: its configured address, else `announce`.
  WireAddress Announced(const WireAddress& role) const {
    return {role.ip.empty() ? announce : role.ip, role.port};
  }
};

// Reads `path` (a missing file gives the defaults). Unknown values are reported in `errors` and keep
// their defaults.
TServerConfig LoadConfig(const std::filesystem::path& path, std::vector<std::string>* errors = nullptr);
// The defaults alone.
TServerConfig DefaultConfig();
// Parses "address:port"; false when malformed.
bool ParseAddress(const std::string& text, WireAddress& out);
THashCost ParseHashCost(const std::string& text, bool* ok = nullptr);

}  // namespace kiv::server
