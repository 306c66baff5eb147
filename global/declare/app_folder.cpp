#include "declare/app_folder.h"

#include <system_error>

namespace kiv {

std::filesystem::path ApplicationFolder() {
  std::error_code error;
  std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error || program.empty()) return std::filesystem::current_path(error);
  return program.parent_path();
}

}  // namespace kiv
