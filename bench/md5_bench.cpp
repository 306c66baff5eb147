// MD5 throughput on a 1 MiB buffer: ours against OpenSSL's.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <vector>

#include "base/md5.h"
#include "report.h"

namespace {

const std::vector<std::uint8_t>& Buffer() {
  static const std::vector<std::uint8_t> buffer = [] {
    std::vector<std::uint8_t> b(1 << 20);
    std::uint32_t x = 12345;
    for (auto& byte : b) byte = static_cast<std::uint8_t>((x = x * 1103515245 + 12345) >> 16);
    return b;
  }();
  return buffer;
}

void BM_Md5Ours(benchmark::State& state) {
  const auto& buffer = Buffer();
  for (auto _ : state) benchmark::DoNotOptimize(kiv::TMd5Digest::Digest(buffer.data(), buffer.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer.size()));
}
BENCHMARK(BM_Md5Ours)->MinTime(0.5);

void BM_Md5OpenSsl(benchmark::State& state) {
  const auto& buffer = Buffer();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  for (auto _ : state) {
    EVP_Digest(buffer.data(), buffer.size(), digest, &length, EVP_md5(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * buffer.size()));
}
BENCHMARK(BM_Md5OpenSsl)->MinTime(0.5);

}  // namespace

int main(int argc, char** argv) {
  return kivbench::Run(argc, argv,
                       {{"md5", "throughput_1MiB", "MB/s", "BM_Md5Ours", {{"openssl", "BM_Md5OpenSsl"}}}});
}
