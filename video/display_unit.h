// KivDisplayUnit: shows received H.264 frames in picture controls, one player per control, each with
// its own decoder.
//
// A picture control is a QLabel; each decoded frame becomes its pixmap. The caller owns the control;
// a player notices when the control is destroyed and then draws nothing.
// Threads: main thread only.
#pragma once

#include <QLabel>
#include <QPointer>
#include <cstdint>
#include <vector>

#include "video_api.h"

namespace kiv::video {

struct TH264Decoder;

class KIVVIDEO_API TVideoPlay {
 public:
  explicit TVideoPlay(QLabel* picture);
  TVideoPlay(const TVideoPlay&) = delete;
  TVideoPlay& operator=(const TVideoPlay&) = delete;
  ~TVideoPlay();

  // Decodes one frame of `length` bytes for a width × height picture and shows it. Frames over
  // kMaxCompressedFrameBytes, of a size IsValidVideoSize refuses, or that the decoder rejects are
  // dropped. A new size clears the picture and starts a new decoder.
  void PlayData(const std::uint8_t* data, std::uint32_t length, int width, int height);

  // The control this player draws into (compared by address; it may be gone).
  const QLabel* Control() const { return control_; }
  int Width() const { return width_; }
  int Height() const { return height_; }

 private:
  void CheckFormat(int width, int height);

  const QLabel* control_;
  QPointer<QLabel> picture_;
  int width_ = 0;
  int height_ = 0;
  TH264Decoder* decoder_ = nullptr;
  std::vector<std::uint8_t> decode_buffer_;
  bool closing_ = false;
};

}  // namespace kiv::video
