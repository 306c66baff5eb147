// The Sonadec exports: a carry-over input area in front of libmad, one frame per call, dithered to 16 bits.
#include "sonadec.h"

#include <mad.h>

#include <cstddef>
#include <cstring>
#include <new>

#include "dither.h"

namespace kiv::sonadec {
namespace {

struct DecoderState {
  mad_stream stream;
  mad_frame frame;
  mad_synth synth;
  // Set when a call ran out of input while searching for a frame: the next call goes on searching (and
  // checks that a frame header follows what it finds) instead of taking the area's first bytes on trust.
  bool resync;
  // Per decoder, so decoders on different threads never share it and a stream's PCM does not depend on
  // what other decoders did before.
  DitherState dither[2];
  std::uint8_t area[SONADEC_INPUT_AREA];
};

// The handle: a cell that holds the state, or null when the state could not be allocated.
struct Cell {
  DecoderState* state;
};

// Header errors (0x01xx) say that no frame starts where one was looked for, as opposed to a damaged frame.
bool IsHeaderError(mad_error error) { return (error & 0xFF00) == 0x0100; }

void Store16(std::uint8_t* out, std::int16_t sample) {
  const auto u = static_cast<std::uint16_t>(sample);
  out[0] = static_cast<std::uint8_t>(u);
  out[1] = static_cast<std::uint8_t>(u >> 8);
}

}  // namespace
}  // namespace kiv::sonadec

using kiv::sonadec::Cell;
using kiv::sonadec::DecoderState;

extern "C" SONADEC_API void* CreateMp3Decoder(void) {
  auto* cell = new (std::nothrow) Cell{nullptr};
  if (!cell) return nullptr;
  auto* state = new (std::nothrow) DecoderState;
  if (state) {
    std::memset(static_cast<void*>(state), 0, sizeof(*state));
    mad_stream_init(&state->stream);
    mad_frame_init(&state->frame);
    mad_synth_init(&state->synth);
    state->dither[0] = state->dither[1] = kiv::sonadec::DitherState{};
  }
  cell->state = state;
  return cell;
}

extern "C" SONADEC_API int DecodeMp3Data(void* handle, const uint8_t* input, uint32_t input_length,
                                         uint8_t* output, uint32_t output_size, uint32_t* consumed,
                                         uint32_t* produced) {
  if (consumed) *consumed = 0;
  if (produced) *produced = 0;
  if (!handle || !consumed || !produced || !output || output_size < SONADEC_MAX_FRAME_BYTES) return -1;
  if (!input && input_length > 0) return -1;
  DecoderState* st = static_cast<Cell*>(handle)->state;
  if (!st) return -1;

  // Bytes the previous call left after its frame (or all of them, when it found none).
  mad_stream& stream = st->stream;
  const std::uint8_t* left = stream.next_frame;
  const std::size_t carried = left ? static_cast<std::size_t>(stream.bufend - left) : 0;
  // Refuse what does not fit before touching anything, so the carried bytes stay as they are.
  if (input_length > SONADEC_INPUT_AREA - carried) return -1;
  if (carried > 0 && left != st->area) std::memmove(st->area, left, carried);
  if (input_length > 0) std::memcpy(st->area + carried, input, input_length);
  mad_stream_buffer(&stream, st->area, carried + input_length);
  if (st->resync) stream.sync = 0;

  // libmad's recoverable errors are passed over within this call: a header error means no frame starts
  // here (a tag, a damaged stretch), any other a damaged frame that yields no PCM. Each moves the stream
  // on by at least one byte, so the loop ends. Returning -1 for them instead would look to the caller like
  // a request for more input; the area would then fill faster than it drains and, once full, refuse every
  // piece for good. This way -1 means more input is needed (or a fatal error), and between calls the area
  // keeps at most one incomplete frame.
  bool searched = false;
  while (mad_frame_decode(&st->frame, &stream) != 0) {
    if (MAD_RECOVERABLE(stream.error)) {
      searched = searched || kiv::sonadec::IsHeaderError(stream.error);
      continue;
    }
    st->resync = searched && stream.error == MAD_ERROR_BUFLEN;
    return -1;
  }
  st->resync = false;
  mad_synth_frame(&st->synth, &st->frame);

  const mad_pcm& pcm = st->synth.pcm;
  const unsigned channels = pcm.channels > 1 ? 2 : 1;
  std::uint8_t* out = output;
  for (unsigned i = 0; i < pcm.length; ++i) {
    for (unsigned c = 0; c < channels; ++c) {
      kiv::sonadec::Store16(out, kiv::sonadec::Dither(pcm.samples[c][i], st->dither[c]));
      out += 2;
    }
  }
  *produced = static_cast<uint32_t>(out - output);
  *consumed = static_cast<uint32_t>(stream.next_frame - st->area);
  return 0;
}

extern "C" SONADEC_API void DeleteMp3Decoder(void* handle) {
  if (!handle) return;
  auto* cell = static_cast<Cell*>(handle);
  if (DecoderState* st = cell->state) {
    mad_synth_finish(&st->synth);
    mad_frame_finish(&st->frame);
    mad_stream_finish(&st->stream);
    delete st;
  }
  delete cell;
}
