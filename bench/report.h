// Shared driver for the benchmarks: runs the registered Google Benchmark cases and prints one JSON
// line per figure, with our value, the peers' values measured in the same run, and the ratios.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kivbench {

enum class Measure {
  kBytesPerSecond,  // reported in MB/s (10^6 bytes per second)
  kItemsPerSecond,
  kRealTimeMicroseconds,  // mean real time per iteration, in µs
  kCounter,               // a user counter named by `counter`
};

struct Figure {
  std::string bench;                         // e.g. "md5"
  std::string metric;                        // e.g. "throughput_1MiB"
  std::string unit;                          // e.g. "MB/s"
  std::string ours;                          // name of our benchmark case
  std::map<std::string, std::string> peers;  // peer label -> benchmark case name
  Measure measure = Measure::kBytesPerSecond;
  std::string counter;  // for Measure::kCounter
};

// A figure measured outside Google Benchmark (a driver that times processes, say).
struct Value {
  std::string bench, metric, unit;
  double ours = 0;
  std::map<std::string, double> peers;
};

// Prints one JSON line for `value`: {"bench","metric","unit","ours","peers":{…},"ratio":{…}}, where
// ratio[peer] = ours / peer.
void Print(const Value& value);

// Runs the benchmarks selected on the command line (human-readable table on stderr), then prints the
// figures as JSON lines on stdout. Returns the process exit code.
int Run(int argc, char** argv, const std::vector<Figure>& figures);

}  // namespace kivbench
