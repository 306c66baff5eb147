#include "display_unit.h"

#include <QImage>
#include <QPixmap>

#include "core/h264_codec.h"
#include "core/picture.h"

namespace kiv::video {

TVideoPlay::TVideoPlay(QLabel* picture) : control_(picture), picture_(picture) {}

TVideoPlay::~TVideoPlay() {
  closing_ = true;
  DeleteH264Decoder(decoder_);
}

void TVideoPlay::CheckFormat(int width, int height) {
  if (width == width_ && height == height_ && decoder_) return;
  if (width != width_ || height != height_) {
    width_ = width;
    height_ = height;
    if (picture_) picture_->clear();
  }
  DeleteH264Decoder(decoder_);
  decoder_ = CreateH264Decoder(width, height);
  decode_buffer_.resize(BitmapBytes(width, height));
}

void TVideoPlay::PlayData(const std::uint8_t* data, std::uint32_t length, int width, int height) {
  if (closing_ || !data || length > kMaxCompressedFrameBytes || !IsValidVideoSize(width, height)) return;
  CheckFormat(width, height);
  if (!decoder_) return;
  std::uint32_t out_length = static_cast<std::uint32_t>(decode_buffer_.size());
  if (DecodeH264Data(decoder_, data, length, decode_buffer_.data(), &out_length, kOutputBottomUpBgr24) != 0 ||
      closing_) {
    return;
  }
  if (!picture_) return;
  // The decoder writes bottom-up rows; the picture is top-down.
  const QImage bottom_up(decode_buffer_.data(), width, height, width * 3, QImage::Format_BGR888);
  picture_->setPixmap(QPixmap::fromImage(bottom_up.mirrored(false, true)));
}

}  // namespace kiv::video
