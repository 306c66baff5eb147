// Feeds arbitrary blocks to what PlayAudioData does with a block once it has found the handle's
// output: the checks, the decoder and the playout queue, with the sound server's pulls in between.
// Checks the promises: the level stays in 0..32768 and the queue stays under its cap.
//
// Input: a quality byte, then blocks of (u16 length, bytes); the length is taken as it comes, so
// lengths beyond the input and beyond the block limit are tried too.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "voice_playout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  kiv::TVoicePlayout playout;
  const std::uint8_t quality = data[0] % 4;  // 1 and 2 are valid, 0 and 3 are not
  std::size_t pos = 1;
  std::vector<std::int16_t> pulled(480);
  constexpr std::size_t kMaxDepth =
      kiv::kPlaybackRate / 1000 * kiv::TJitterBuffer::kCapMilliseconds + kiv::kPlaybackRate / 1000 * 120;
  while (pos + 2 <= size) {
    const std::uint32_t claimed = static_cast<std::uint32_t>(data[pos] | data[pos + 1] << 8);
    pos += 2;
    const std::uint32_t length = static_cast<std::uint32_t>(std::min<std::size_t>(claimed, size - pos));
    // Past the end of the input only when the claimed length is refused before any read.
    const std::uint32_t passed = claimed > kiv::kMaxBlockBytes ? claimed : length;
    const std::int32_t level = playout.Play(quality, data + pos, passed);
    if (level < 0 || level > 32768) std::abort();
    if ((quality != 1 && quality != 2) && level != 0) std::abort();
    pos += length;
    playout.Pull(pulled, data[0]);
    if (playout.queue().Depth() > kMaxDepth) std::abort();
  }
  return 0;
}
