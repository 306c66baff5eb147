// LZRW compression and decompression throughput against zlib at levels 1 and 9, on the same text, binary
// and random inputs of 1 MiB, plus the compressed size of each (percent of the input).
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/lzrw.h"
#include "report.h"

namespace {

using ByteVector = std::vector<std::uint8_t>;
constexpr std::size_t kSize = 1 << 20;

// Words of 1 to 4 syllables drawn with a skewed (Zipf-like) frequency, with punctuation and line breaks.
ByteVector MakeText() {
  static const char* const kSyllables[] = {"ka", "ri", "to", "mel", "sun", "de", "ba",  "lo",  "fen", "qui",
                                           "an", "or", "pe", "sta", "ni",  "vo", "gra", "tem", "ul",  "es"};
  std::vector<std::string> vocabulary;
  std::uint32_t seed = 12345;
  auto next = [&] { return (seed = seed * 1664525u + 1013904223u) >> 8; };
  for (int i = 0; i < 3000; ++i) {
    std::string word;
    for (std::uint32_t n = 1 + next() % 4; n > 0; --n) word += kSyllables[next() % 20];
    vocabulary.push_back(word);
  }
  ByteVector text;
  while (text.size() < kSize) {
    // Log-uniform ranks: word r comes up about as often as 1/r, as in natural text.
    const double u = static_cast<double>(next() % 100000) / 100000.0;
    const auto rank =
        std::min(vocabulary.size() - 1, static_cast<std::size_t>(std::exp(u * std::log(3000.0))) - 1);
    text.insert(text.end(), vocabulary[rank].begin(), vocabulary[rank].end());
    const std::uint32_t p = next() % 20;
    text.push_back(p == 0 ? '.' : p == 1 ? ',' : p == 2 ? '\n' : ' ');
  }
  text.resize(kSize);
  return text;
}

// The first MiB of this program: machine code, tables and debugging data.
ByteVector MakeBinary() {
  std::ifstream in("/proc/self/exe", std::ios::binary);
  ByteVector bytes(std::istreambuf_iterator<char>(in), {});
  ByteVector out;
  while (out.size() < kSize && !bytes.empty()) out.insert(out.end(), bytes.begin(), bytes.end());
  out.resize(kSize);
  return out;
}

ByteVector MakeRandom() {
  ByteVector out(kSize);
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  for (auto& b : out) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return out;
}

const ByteVector& Input(const std::string& kind) {
  static const ByteVector text = MakeText(), binary = MakeBinary(), random = MakeRandom();
  return kind == "text" ? text : kind == "binary" ? binary : random;
}

void SetSize(benchmark::State& state, std::size_t packed) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
  state.counters["size_pct"] = 100.0 * static_cast<double>(packed) / kSize;
}

void LzrwCompress(benchmark::State& state, const std::string& kind) {
  const auto& input = Input(kind);
  ByteVector packed;
  for (auto _ : state) {
    packed.clear();
    kiv::LZRW::CompressStream(input, packed);
    benchmark::DoNotOptimize(packed.data());
  }
  SetSize(state, packed.size());
}

void LzrwDecompress(benchmark::State& state, const std::string& kind) {
  const auto& input = Input(kind);
  ByteVector packed, plain;
  kiv::LZRW::CompressStream(input, packed);
  if (kiv::LZRW::DeCompressStream(packed, plain, kSize) != kiv::LZRW::StreamError::kNone || plain != input) {
    state.SkipWithError("round trip failed");
    return;
  }
  for (auto _ : state) {
    plain.clear();
    kiv::LZRW::DeCompressStream(packed, plain, kSize);
    benchmark::DoNotOptimize(plain.data());
  }
  SetSize(state, packed.size());
}

void ZlibCompress(benchmark::State& state, const std::string& kind, int level) {
  const auto& input = Input(kind);
  ByteVector packed(compressBound(kSize));
  uLongf size = 0;
  for (auto _ : state) {
    size = packed.size();
    compress2(packed.data(), &size, input.data(), kSize, level);
    benchmark::DoNotOptimize(packed.data());
  }
  SetSize(state, size);
}

void ZlibDecompress(benchmark::State& state, const std::string& kind, int level) {
  const auto& input = Input(kind);
  ByteVector packed(compressBound(kSize)), plain(kSize);
  uLongf size = packed.size();
  compress2(packed.data(), &size, input.data(), kSize, level);
  for (auto _ : state) {
    uLongf plain_size = plain.size();
    if (uncompress(plain.data(), &plain_size, packed.data(), size) != Z_OK) {
      state.SkipWithError("inflate failed");
      break;
    }
    benchmark::DoNotOptimize(plain.data());
  }
  SetSize(state, size);
}

const char* const kKinds[] = {"text", "binary", "random"};

void Register() {
  for (std::string kind : kKinds) {
    benchmark::RegisterBenchmark(("lzrw_compress_" + kind).c_str(), LzrwCompress, kind)->MinTime(0.3);
    benchmark::RegisterBenchmark(("zlib1_compress_" + kind).c_str(), ZlibCompress, kind, 1)->MinTime(0.3);
    benchmark::RegisterBenchmark(("zlib9_compress_" + kind).c_str(), ZlibCompress, kind, 9)->MinTime(0.3);
    benchmark::RegisterBenchmark(("lzrw_decompress_" + kind).c_str(), LzrwDecompress, kind)->MinTime(0.3);
    benchmark::RegisterBenchmark(("zlib1_decompress_" + kind).c_str(), ZlibDecompress, kind, 1)->MinTime(0.3);
    benchmark::RegisterBenchmark(("zlib9_decompress_" + kind).c_str(), ZlibDecompress, kind, 9)->MinTime(0.3);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Register();
  std::vector<kivbench::Figure> figures;
  for (std::string kind : kKinds) {
    for (std::string op : {"compress", "decompress"}) {
      figures.push_back({"compress",
                         op + "_" + kind,
                         "MB/s",
                         "lzrw_" + op + "_" + kind,
                         {{"zlib1", "zlib1_" + op + "_" + kind}, {"zlib9", "zlib9_" + op + "_" + kind}},
                         kivbench::Measure::kBytesPerSecond,
                         ""});
    }
    figures.push_back({"compress",
                       "size_" + kind,
                       "% of input",
                       "lzrw_compress_" + kind,
                       {{"zlib1", "zlib1_compress_" + kind}, {"zlib9", "zlib9_compress_" + kind}},
                       kivbench::Measure::kCounter,
                       "size_pct"});
  }
  return kivbench::Run(argc, argv, figures);
}
