// Feeds arbitrary bytes to DecodeMp3Data in pieces, as a player would, and checks the call's promises:
// never more than the output room, consumed within the input area.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sonadec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first two bytes pick the piece size, up to beyond what the input area takes in one call.
  const std::size_t piece = 1 + ((std::size_t{data[0]} << 8 | data[1]) * 41) % (SONADEC_INPUT_AREA + 100);
  data += 2;
  size -= 2;
  void* decoder = CreateMp3Decoder();
  if (!decoder) return 0;
  std::vector<std::uint8_t> out(SONADEC_MAX_FRAME_BYTES);  // exactly the promised room
  std::vector<std::uint8_t> input;
  for (std::size_t pos = 0; pos < size; pos += piece) {
    input.assign(data + pos, data + std::min(size, pos + piece));
    std::uint32_t consumed = 0, produced = 0;
    int rc = DecodeMp3Data(decoder, input.data(), static_cast<uint32_t>(input.size()), out.data(),
                           static_cast<uint32_t>(out.size()), &consumed, &produced);
    while (rc == 0) {
      if (produced > out.size() || produced % 2 != 0 || consumed > SONADEC_INPUT_AREA) std::abort();
      rc = DecodeMp3Data(decoder, nullptr, 0, out.data(), static_cast<uint32_t>(out.size()), &consumed,
                         &produced);
    }
    if (consumed != 0 || produced != 0) std::abort();
  }
  DeleteMp3Decoder(decoder);
  return 0;
}
