#include "base/machine_id.h"

#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace kiv {
namespace {

namespace fs = std::filesystem;

std::string ReadFirstLine(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

bool IsPhysicalDisk(const std::string& name) {
  return !(name.starts_with("loop") || name.starts_with("ram") || name.starts_with("zram") ||
           name.starts_with("dm-") || name.starts_with("md") || name.starts_with("sr"));
}

std::string DiskSerial(const fs::path& sys_root, const fs::path& dev_root) {
  std::error_code ec;
  std::vector<std::string> disks;
  for (const auto& entry : fs::directory_iterator(sys_root / "block", ec)) {
    std::string name = entry.path().filename().string();
    if (IsPhysicalDisk(name)) disks.push_back(name);
  }
  std::sort(disks.begin(), disks.end());
  for (const auto& name : disks) {
    for (const char* file : {"device/serial", "serial", "device/wwid"}) {
      std::string serial = ReadFirstLine(sys_root / "block" / name / file);
      if (!serial.empty()) return serial;
    }
    // ATA disks without a serial file answer the identify ioctl (root only).
    int fd = ::open((dev_root / name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    hd_driveid id{};
    bool ok = ::ioctl(fd, HDIO_GET_IDENTITY, &id) == 0;
    ::close(fd);
    if (!ok) continue;
    std::string serial(reinterpret_cast<const char*>(id.serial_no), sizeof id.serial_no);
    serial.resize(serial.find('\0') == std::string::npos ? serial.size() : serial.find('\0'));
    if (!serial.empty()) return serial;
  }
  return {};
}

std::vector<AdapterAddress> Adapters(const fs::path& sys_root) {
  std::error_code ec;
  std::vector<std::pair<int, AdapterAddress>> found;
  for (const auto& entry : fs::directory_iterator(sys_root / "class" / "net", ec)) {
    if (ReadFirstLine(entry.path() / "type") == "772") continue;  // loopback
    AdapterAddress address{};
    unsigned v[6];
    std::string text = ReadFirstLine(entry.path() / "address");
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6)
      continue;
    for (int i = 0; i < 6; ++i) address[i] = static_cast<std::uint8_t>(v[i]);
    int index = std::atoi(ReadFirstLine(entry.path() / "ifindex").c_str());
    found.emplace_back(index, address);
  }
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<AdapterAddress> adapters;
  for (const auto& [index, address] : found) adapters.push_back(address);
  return adapters;
}

}  // namespace

MachineFacts ReadMachineFacts(const fs::path& sys_root, const fs::path& dev_root) {
  return {DiskSerial(sys_root, dev_root), Adapters(sys_root)};
}

std::string MachineIdentifier(const MachineFacts& facts) {
  if (!facts.disk_serial.empty()) return facts.disk_serial;
  for (const auto& address : facts.adapters) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x-%02x-%02x-%02x-%02x-%02x", address[0], address[1], address[2],
                  address[3], address[4], address[5]);
    if (std::string_view(text).find_first_not_of("0-") != std::string_view::npos) return text;
  }
  return {};
}

std::string NBGetFirstMac() { return MachineIdentifier(ReadMachineFacts()); }

}  // namespace kiv
