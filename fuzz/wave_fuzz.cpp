// The wave file parser over arbitrary bytes: no crash or out-of-bounds read, and what it accepts is
// playable: a known format and whole sample frames taken from inside the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/wave.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto wave = kiv::ParseWave({data, size});
  if (!wave) return 0;
  if (wave->channels < 1 || wave->channels > 2 || (wave->bits != 8 && wave->bits != 16)) std::abort();
  if (wave->sample_rate < 1000 || wave->sample_rate > 192000) std::abort();
  if (wave->samples.size() > size || wave->samples.size() % (wave->channels * wave->bits / 8) != 0)
    std::abort();
  return 0;
}
