#include "report.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>

namespace kivbench {
namespace {

// Collects each run's figures while the console reporter prints its table to stderr.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.error_occurred) continue;
      // With repetitions, keep the median aggregate; otherwise the single run.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      runs_[run.run_name.function_name + (run.run_name.args.empty() ? "" : "/" + run.run_name.args)] = run;
    }
  }
  const Run* Find(const std::string& name) const {
    auto it = runs_.find(name);
    return it == runs_.end() ? nullptr : &it->second;
  }

 private:
  std::map<std::string, Run> runs_;
};

double Extract(const benchmark::BenchmarkReporter::Run& run, const Figure& figure) {
  auto counter = [&](const char* name) {
    auto it = run.counters.find(name);
    return it == run.counters.end() ? NAN : static_cast<double>(it->second);
  };
  switch (figure.measure) {
    case Measure::kBytesPerSecond:
      return counter("bytes_per_second") / 1e6;
    case Measure::kItemsPerSecond:
      return counter("items_per_second");
    case Measure::kRealTimeMicroseconds:
      return run.GetAdjustedRealTime() * benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e6;
    case Measure::kCounter:
      return counter(figure.counter.c_str());
  }
  return NAN;
}

std::string Number(double v) {
  if (!std::isfinite(v)) return "null";
  std::ostringstream out;
  out.precision(6);
  out << v;
  return out.str();
}

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

void Print(const Value& value) {
  std::ostringstream line;
  line << "{\"bench\": " << Quote(value.bench) << ", \"metric\": " << Quote(value.metric)
       << ", \"unit\": " << Quote(value.unit) << ", \"ours\": " << Number(value.ours) << ", \"peers\": {";
  const char* sep = "";
  for (const auto& [peer, v] : value.peers) {
    line << sep << Quote(peer) << ": " << Number(v);
    sep = ", ";
  }
  line << "}, \"ratio\": {";
  sep = "";
  for (const auto& [peer, v] : value.peers) {
    line << sep << Quote(peer) << ": " << Number(v != 0 ? value.ours / v : NAN);
    sep = ", ";
  }
  line << "}}";
  std::cout << line.str() << std::endl;
}

int Run(int argc, char** argv, const std::vector<Figure>& figures) {
  benchmark::Initialize(&argc, argv);
  CollectingReporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  for (const auto& figure : figures) {
    const auto* ours = reporter.Find(figure.ours);
    if (!ours) continue;  // filtered out on the command line
    Value value{figure.bench, figure.metric, figure.unit, Extract(*ours, figure), {}};
    for (const auto& [peer, name] : figure.peers) {
      if (const auto* run = reporter.Find(name)) value.peers[peer] = Extract(*run, figure);
    }
    Print(value);
  }
  return 0;
}

}  // namespace kivbench
