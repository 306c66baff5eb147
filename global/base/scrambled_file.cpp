#include "base/scrambled_file.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <vector>

#include "base/files.h"

namespace kiv {
namespace {

constexpr std::size_t kMaxBlockSize = 65532;

}  // namespace

bool RecastDatatoFile(std::span<const std::uint8_t> data, const std::filesystem::path& file) {
  if (data.size() < kScrambledFileMinSize) return false;
  std::vector<std::uint8_t> copy(data.begin(), data.end());
  thread_local std::mt19937 random{std::random_device{}()};
  // The block size is stored modulo 65536, so it stays below that whatever the file's size.
  std::size_t range = std::min<std::size_t>(copy.size(), kMaxBlockSize);
  auto d = static_cast<std::uint32_t>(
      4 * (std::uniform_int_distribution<std::size_t>(0, range - 1)(random) / 4) + 4);
  auto k = static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 254)(random));
  ScrambleRecord(copy, d, k);
  return WriteFileAtomic(file, copy);
}

std::optional<std::size_t> RestoreFiletoData(std::span<std::uint8_t> buffer,
                                             const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  if (!in) return std::nullopt;
  auto size = static_cast<std::streamoff>(in.tellg());
  if (size < static_cast<std::streamoff>(kScrambledFileMinSize) ||
      static_cast<std::size_t>(size) > buffer.size())
    return std::nullopt;
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(buffer.data()), size)) return std::nullopt;
  auto n = static_cast<std::size_t>(size);
  if (!UnscrambleRecord(buffer.first(n))) return std::nullopt;
  return n;
}

}  // namespace kiv
