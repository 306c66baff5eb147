#include "base/log.h"

#include <ctime>
#include <fstream>
#include <mutex>

#include "base/files.h"

namespace kiv {

void Log(const std::filesystem::path& file, std::string_view text) {
  static std::mutex mutex;
  try {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::lock_guard lock(mutex);
    std::ofstream out(file, std::ios::binary | std::ios::app);
    out << "\r\n" << stamp << '/' << text;
  } catch (...) {
  }
}

void LogError(std::string_view text, const std::filesystem::path& app_folder) {
  Log((app_folder.empty() ? ApplicationFolder() : app_folder) / kErrorLogName, text);
}

}  // namespace kiv
