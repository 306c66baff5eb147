// Picture sizes and pixel conversions of the video engine. No Qt, no I/O.
//
// Frames travel as bottom-up BGR24 bitmaps: width × height pixels of 3 bytes (blue, green, red), the
// bottom scan line first, rows packed without padding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv::video {

// The largest picture the engine handles: 352 × 288 pixels at 3 bytes.
inline constexpr std::uint32_t kMaxPictureBytes = 352 * 288 * 3;
// The largest compressed frame the encoder produces and the decoder accepts.
inline constexpr std::uint32_t kMaxCompressedFrameBytes = 102400;

// True for a size the engine accepts from a caller, a stored setting or the network: both sides even
// and positive, and at most kMaxPictureBytes of pixels.
constexpr bool IsValidVideoSize(std::int64_t width, std::int64_t height) {
  return width > 0 && height > 0 && width % 2 == 0 && height % 2 == 0 &&
         width * height * 3 <= kMaxPictureBytes;
}

// Bytes of a bottom-up BGR24 bitmap of a valid size.
constexpr std::uint32_t BitmapBytes(int width, int height) {
  return static_cast<std::uint32_t>(width) * static_cast<std::uint32_t>(height) * 3;
}

// Converts packed YUY2 (Y0 U Y1 V per two pixels) into `output`, a bottom-up BGR24 bitmap of
// width × height pixels (BitmapBytes bytes, zeroed first). The source is read in groups of 4 bytes,
// from the last whole group back to the first; each group yields two pixels written forwards, first
// the pixel of Y1, then that of Y0, so a top-down camera picture shows upright and mirrored left to
// right. A tail of fewer than 4 bytes is ignored, and writing stops when the bitmap is full.
// Per pixel: Y' = 1.164 (Y − 16); R = Y' + 1.596 (V − 128); G = Y' − 0.813 (V − 128) − 0.391 (U − 128);
// B = Y' + 2.018 (U − 128); each rounded to the nearest integer (halves up) and clamped to 0..255,
// computed exactly in thousandths.
void ConvertYuy2ToBgr24(const std::uint8_t* source, std::size_t source_size, int width, int height,
                        std::uint8_t* output);

}  // namespace kiv::video
