// Where the server fuzz targets keep their databases and content folders.
#pragma once

#include <filesystem>
#include <system_error>

namespace kiv::fuzz {

// Memory-backed when the system has it: the stores commit every message, and a disk would make
// each commit wait.
inline std::filesystem::path ScratchFolder() {
  std::error_code ec;
  return std::filesystem::is_directory("/dev/shm", ec) ? std::filesystem::path("/dev/shm")
                                                       : std::filesystem::temp_directory_path();
}

}  // namespace kiv::fuzz
