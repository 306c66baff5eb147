// H.264 coding of bottom-up BGR24 bitmaps: OpenH264 (Baseline profile, CAVLC, one slice) behind
// create / encode / delete and create / decode / delete calls.
//
// Bit stream: one access unit per frame in Annex B form; every key frame is an IDR picture preceded by
// its SPS and PPS, so a receiver can start at any key frame.
//
// Handles: owned by the caller until the matching Delete call; one thread at a time per handle,
// different handles share nothing.
#pragma once

#include <cstdint>

namespace kiv::video {

struct TH264Encoder;
struct TH264Decoder;

// Frame types reported by EncodeH264Data.
inline constexpr int kFrameTypeDelta = 0;
inline constexpr int kFrameTypeKey = 1;

// Encoder usages.
inline constexpr int kUsageCamera = 0;  // camera pictures, real-time
inline constexpr int kUsageScreen = 1;  // screen content, real-time

// Decoder output formats.
inline constexpr int kOutputBottomUpBgr24 = 1;

// Frames per second the receivers are sent: at most one frame per 150 ms. The rate control is sized for
// this rate, not for the capture rate.
inline constexpr double kSentFramesPerSecond = 1000.0 / 150.0;

// A new encoder for width × height pictures, or null when the size is not valid (IsValidVideoSize),
// an argument is out of range, or OpenH264 refuses it.
// - usage: kUsageCamera or kUsageScreen.
// - frame_rate: frames per second the rate control assumes (> 0); the frames' time stamps advance by
//   1 / frame_rate each.
// - key_interval: a key frame starts every key_interval frames (1 .. 1000); the first frame is one.
// - quality: 1 .. 16, the target size of a frame in eighths of a bit per pixel; the target bit rate
//   is width × height × quality / 8 × frame_rate bits per second, and twice that is the ceiling.
TH264Encoder* CreateH264Encoder(int usage, double frame_rate, int width, int height, int key_interval,
                                int quality);

// Encodes one bitmap of `input_size` bytes (at least width × height × 3). On entry *output_size is the
// capacity of `output`; on success it is the size of the access unit written there and *frame_type is
// kFrameTypeKey or kFrameTypeDelta. Returns 0 on success. Fails (non-zero, nothing written) for a short
// input, when OpenH264 fails or skips the frame, or when the access unit would exceed the capacity or
// kMaxCompressedFrameBytes; the next frame is then a key frame, so receivers never need the lost one.
int EncodeH264Data(TH264Encoder* encoder, const std::uint8_t* input, std::uint32_t input_size,
                   std::uint8_t* output, std::uint32_t* output_size, int* frame_type);

// Asks for the next frame to be a key frame.
void ForceH264KeyFrame(TH264Encoder* encoder);

// Frees the encoder; null is allowed.
void DeleteH264Encoder(TH264Encoder* encoder);

// A new decoder for width × height pictures, or null when the size is not valid.
TH264Decoder* CreateH264Decoder(int width, int height);

// Decodes one access unit of `input_length` bytes. On entry *output_length is the capacity of `output`;
// with output_format kOutputBottomUpBgr24 a decoded picture is written there as a bottom-up BGR24
// bitmap and *output_length becomes width × height × 3. Returns 0 when a picture was written. Returns
// non-zero and writes nothing for: an empty access unit or one over kMaxCompressedFrameBytes; a
// capacity below the picture size; delta frames before the first key frame decoded; a frame OpenH264
// rejects or that yields no picture; a picture whose size (from the stream's SPS) is not the size the
// decoder was created for.
int DecodeH264Data(TH264Decoder* decoder, const std::uint8_t* input, std::uint32_t input_length,
                   std::uint8_t* output, std::uint32_t* output_length, int output_format);

// Frees the decoder; null is allowed.
void DeleteH264Decoder(TH264Decoder* decoder);

}  // namespace kiv::video
