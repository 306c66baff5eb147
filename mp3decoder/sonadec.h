/* Sonadec: MPEG audio Layer III (MP3) to 16-bit PCM, one frame per call, behind three C exports.
 *
 * Handle: returned by CreateMp3Decoder, owned by the caller until DeleteMp3Decoder. A handle is used by
 * one thread at a time; different handles share nothing and may run on different threads.
 *
 * Protocol: call DecodeMp3Data with each new piece of the stream. On 0 a frame was decoded; call again
 * with an input length of 0 until it returns -1, then give it the next piece. Bytes not yet decoded stay
 * in the decoder's input area between calls; damaged frames and bytes between frames are skipped on the
 * way. The area holds SONADEC_INPUT_AREA bytes: a call whose input does not fit beside the bytes kept from
 * earlier calls is refused with -1 and takes none of the input. Between calls the area keeps at most one
 * incomplete frame, under 3000 bytes for any ordinary stream, so pieces of 37000 bytes fit.
 */
#ifndef KIV_MP3DECODER_SONADEC_H
#define KIV_MP3DECODER_SONADEC_H

#include <stdint.h>

#if defined(_WIN32)
#define SONADEC_API __declspec(dllexport)
#else
#define SONADEC_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes the input area holds: carried-over bytes plus one call's input. */
#define SONADEC_INPUT_AREA 40000
/* PCM bytes of the largest frame: 1152 samples per channel, two channels, 16 bits. */
#define SONADEC_MAX_FRAME_BYTES 4608

/* A new decoder, or null when memory runs out. */
SONADEC_API void* CreateMp3Decoder(void);

/* Decodes at most one frame. `consumed` and `produced` are set to 0 first. Returns 0 when a frame was
 * decoded: `produced` PCM bytes (signed 16-bit little-endian, stereo interleaved left then right) were
 * written to `output`, and `consumed` is the number of input-area bytes (carried-over bytes plus this
 * call's input) up to the end of that frame. Returns -1 when no complete frame is left (more input is
 * needed), the input does not fit the area, the handle has no decoder state, `output_size` is below
 * SONADEC_MAX_FRAME_BYTES, or libmad reports a fatal error. */
SONADEC_API int DecodeMp3Data(void* handle, const uint8_t* input, uint32_t input_length, uint8_t* output,
                              uint32_t output_size, uint32_t* consumed, uint32_t* produced);

/* Frees the decoder; null is allowed. */
SONADEC_API void DeleteMp3Decoder(void* handle);

#ifdef __cplusplus
}
#endif

#endif
