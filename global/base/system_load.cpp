#include "base/system_load.h"

#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace kiv {
namespace {

bool ReadCpuTimes(CpuTimes& out) {
  std::ifstream in("/proc/stat");
  std::string label;
  if (!(in >> label) || label != "cpu") return false;
  unsigned long long v, total = 0, idle = 0;
  for (int field = 0; field < 10 && (in >> v); ++field) {
    if (field == 8 || field == 9) continue;  // guest times are already counted in user and nice
    total += v;
    if (field == 3 || field == 4) idle += v;  // idle and iowait
  }
  out = {idle, total};
  return total > 0;
}

std::uint64_t MonotonicMs() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace

int SystemCpuLoad(const CpuTimes& before, const CpuTimes& after) {
  if (before.idle == 0 || after.total <= before.total || after.idle < before.idle) return 0;
  const double idle =
      static_cast<double>(after.idle - before.idle) / static_cast<double>(after.total - before.total);
  // nearbyint rounds halves to even in the default rounding mode.
  return static_cast<int>(std::nearbyint(100.0 - idle * 100.0 + 0.5));
}

int GetSystemCPU() {
  CpuTimes before, after;
  if (!ReadCpuTimes(before)) return 0;
  std::this_thread::sleep_for(std::chrono::seconds(1));
  if (!ReadCpuTimes(after)) return 0;
  return SystemCpuLoad(before, after);
}

int GetSystemMemory() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  unsigned long long value = 0, total = 0, available = 0;
  std::string unit;
  while (in >> key >> value) {
    std::getline(in, unit);
    if (key == "MemTotal:") total = value;
    if (key == "MemAvailable:") available = value;
  }
  if (total == 0) return 0;
  return static_cast<int>(100 - available * 100 / total);
}

std::int64_t ProcessCpuLoad(ProcessCpuState& state, std::uint64_t now_ms, std::uint64_t process_time) {
  std::int64_t result = 0;
  std::uint64_t elapsed = now_ms - state.interval_start_ms;
  if (state.interval_start_ms != 0 && state.has_previous) {
    if (elapsed >= 700 && process_time > state.previous_time) {
      double load = static_cast<double>(process_time - state.previous_time) / static_cast<double>(elapsed) /
                    100.0 / 2.0;
      result = static_cast<std::int64_t>(std::nearbyint(load));
    }
  }
  if (state.interval_start_ms == 0 || elapsed == 0 || elapsed >= 700) state.interval_start_ms = now_ms;
  state.previous_time = process_time;
  state.has_previous = true;
  return result;
}

std::int64_t GetProgressCPU() {
  static ProcessCpuState state;
  std::ifstream in("/proc/self/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  // Fields after the command name, which may itself hold spaces and parentheses.
  auto close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 2));
  std::string skip;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 13; ++i) fields >> skip;  // state .. cmajflt
  if (!(fields >> utime >> stime)) return 0;
  long ticks = ::sysconf(_SC_CLK_TCK);
  if (ticks <= 0) return 0;
  std::uint64_t time_100ns = (utime + stime) * 10'000'000ull / static_cast<unsigned long long>(ticks);
  return ProcessCpuLoad(state, MonotonicMs(), time_100ns);
}

std::int64_t GetProgressMemory() {
  std::ifstream in("/proc/self/statm");
  long long size = 0, resident = 0;
  if (!(in >> size >> resident)) return 0;
  return resident * ::sysconf(_SC_PAGESIZE);
}

bool ClearMem() {
  ::malloc_trim(0);
  return true;
}

}  // namespace kiv
