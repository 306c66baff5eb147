// The transport core's hot paths: scrambling + restoring a full 1044-byte fragment datagram against
// memcpy of the same bytes, and fragmenting + reassembling 1 MiB messages through the in-memory
// link with no loss (unscrambled channel 1 and scrambled channel 0) against memcpy of 1 MiB.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "report.h"
#include "testing/memory_link.h"
#include "udp_datagram.h"

namespace {

std::vector<std::uint8_t> Pattern(std::size_t n) {
  std::vector<std::uint8_t> b(n);
  std::uint32_t x = 12345;
  for (auto& byte : b) byte = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 16);
  return b;
}

void BM_RecastRestore1044(benchmark::State& state) {
  auto datagram = Pattern(kiv::kMaxFragmentDatagram);
  for (auto _ : state) {
    kiv::DataRecast(datagram.data(), datagram.size());
    if (!kiv::DataRestore(datagram.data(), datagram.size())) state.SkipWithError("restore failed");
    benchmark::DoNotOptimize(datagram.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * datagram.size()));
}
BENCHMARK(BM_RecastRestore1044)->MinTime(0.5);

void BM_Memcpy1044(benchmark::State& state) {
  const auto source = Pattern(kiv::kMaxFragmentDatagram);
  std::vector<std::uint8_t> target(source.size());
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), source.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_Memcpy1044)->MinTime(0.5);

void LinkOneMiB(benchmark::State& state, std::uint8_t channel) {
  const auto message = Pattern(1 << 20);
  std::size_t delivered = 0;
  kiv::testing::TMemoryLink link(
      {.delay_ms = 0}, 1, [&](int, std::uint8_t, std::span<const std::uint8_t> m) { delivered += m.size(); });
  for (auto _ : state) {
    link.Send(0, message, channel);
    if (!link.RunUntilIdle(1'000'000)) state.SkipWithError("link did not settle");
  }
  if (delivered != state.iterations() * message.size()) state.SkipWithError("lost bytes");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
}
void BM_Link1MiBChannel1(benchmark::State& state) { LinkOneMiB(state, 1); }
void BM_Link1MiBChannel0(benchmark::State& state) { LinkOneMiB(state, 0); }
BENCHMARK(BM_Link1MiBChannel1)->MinTime(0.5);
BENCHMARK(BM_Link1MiBChannel0)->MinTime(0.5);

void BM_Memcpy1MiB(benchmark::State& state) {
  const auto source = Pattern(1 << 20);
  std::vector<std::uint8_t> target(source.size());
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), source.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_Memcpy1MiB)->MinTime(0.5);

kivbench::Figure Throughput(const char* metric, const char* ours, const char* peer) {
  kivbench::Figure figure;
  figure.bench = "transport_core";
  figure.metric = metric;
  figure.unit = "MB/s";
  figure.ours = ours;
  figure.peers = {{"memcpy", peer}};
  return figure;
}

}  // namespace

int main(int argc, char** argv) {
  return kivbench::Run(
      argc, argv,
      {Throughput("recast_restore_1044B", "BM_RecastRestore1044", "BM_Memcpy1044"),
       Throughput("fragment_reassemble_1MiB_channel1", "BM_Link1MiBChannel1", "BM_Memcpy1MiB"),
       Throughput("fragment_reassemble_1MiB_channel0_scrambled", "BM_Link1MiBChannel0", "BM_Memcpy1MiB")});
}
