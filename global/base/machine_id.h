// The machine identifier sent (as a digest) at login: the first disk's serial number, or else the
// first network adapter address that is not all zeros, as "00-1a-2b-3c-4d-5e".
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kiv {

using AdapterAddress = std::array<std::uint8_t, 6>;

// What the identifier is made from; read from the system by ReadMachineFacts().
struct MachineFacts {
  std::string disk_serial;               // empty when none could be read
  std::vector<AdapterAddress> adapters;  // in adapter order
};

// The first fixed disk's serial (`sys_root`/block/*/device/serial, else the ATA identify ioctl on
// `dev_root`/<disk>) and the hardware addresses of `sys_root`/class/net in interface-index order,
// loopback left out. Tests pass fixture trees.
MachineFacts ReadMachineFacts(const std::filesystem::path& sys_root = "/sys",
                              const std::filesystem::path& dev_root = "/dev");

// The identifier from given facts: the disk serial when there is one, else the first adapter address
// text with a digit other than 0, else empty.
std::string MachineIdentifier(const MachineFacts& facts);

// The identifier of this machine.
std::string NBGetFirstMac();

}  // namespace kiv
