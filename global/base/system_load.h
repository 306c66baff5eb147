// Processor and memory load of the machine and of this process, read from /proc.
#pragma once

#include <cstdint>

namespace kiv {

// Whole-system processor load in percent over one second; blocks the caller for one second.
// 0 when /proc/stat cannot be read.
int GetSystemCPU();

// Two readings of the processor times of all processors together (/proc/stat "cpu" line, in ticks).
struct CpuTimes {
  unsigned long long idle = 0;   // idle and waiting for I/O
  unsigned long long total = 0;  // every kind of time
};
// The load between two readings: 100 - idle share x 100 + 0.5, rounded to the nearest integer with
// halves to even (the idle share already covers all processors). 0 when the old idle time is 0 or
// the total did not change.
int SystemCpuLoad(const CpuTimes& before, const CpuTimes& after);

// 100 - available physical memory * 100 / total physical memory; 0 on failure.
int GetSystemMemory();

// Processor load of this process: 0 at the first call and until 700 ms of a measuring interval have
// passed, then the process time used over the interval scaled as (time in 100 ns) / (interval in ms)
// / 100 / 2, rounded half to even. Measurements are kept per process; call from one thread.
std::int64_t GetProgressCPU();
// The same with the clock and process time given: `now_ms` a millisecond counter, `process_time`
// in 100-nanosecond units. State is kept in `state` so tests can run the rule.
struct ProcessCpuState {
  std::uint64_t interval_start_ms = 0;  // FdtStartByProcess
  std::uint64_t previous_time = 0;      // FdtCPUPrevByProcess
  bool has_previous = false;
};
std::int64_t ProcessCpuLoad(ProcessCpuState& state, std::uint64_t now_ms, std::uint64_t process_time);

// Resident set size of this process in bytes; 0 on failure.
std::int64_t GetProgressMemory();

// Returns freed heap memory to the system (the working-set trim of other platforms).
bool ClearMem();

enum class TOSVersion : std::uint8_t {
  osUnknown,
  os95,
  os95OSR2,
  os98,
  os98SE,
  osNT3,
  osNT4,
  os2K,
  osME,
  osXP
};
// None of the listed versions runs here.
inline TOSVersion GetSystemType() { return TOSVersion::osUnknown; }

}  // namespace kiv
