#include "video_manager.h"

#include <QObject>
#include <QWidget>
#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include "core/h264_codec.h"
#include "core/picture.h"
#include "property_page.h"

namespace kiv::video {

namespace {
// Key frame interval and quality (eighths of a bit per pixel) of the camera's encoder.
constexpr int kKeyFrameInterval = 20;
constexpr int kCameraQuality = 6;
}  // namespace

QImage* MakeBitmap(const std::uint8_t* buffer, std::uint32_t size, int width, int height) {
  if (width <= 0 || height <= 0) return nullptr;
  auto* bitmap = new QImage(width, height, QImage::Format_BGR888);
  bitmap->fill(Qt::black);
  const std::size_t row = static_cast<std::size_t>(width) * 3;
  std::size_t left = buffer ? std::min<std::size_t>(size, row * static_cast<std::size_t>(height)) : 0;
  // Bottom-up: the first row of the buffer is the picture's last scan line.
  for (int y = height - 1; y >= 0 && left > 0; --y) {
    const std::size_t bytes = std::min(left, row);
    std::memcpy(bitmap->scanLine(y), buffer, bytes);
    buffer += bytes;
    left -= bytes;
  }
  return bitmap;
}

QImage* YUY2toRGB24(std::vector<std::uint8_t>& buffer, std::uint32_t& size, int width, int height) {
  if (width <= 0 || height <= 0) return nullptr;
  std::vector<std::uint8_t> bitmap(static_cast<std::size_t>(width) * height * 3);
  ConvertYuy2ToBgr24(buffer.data(), std::min<std::size_t>(size, buffer.size()), width, height, bitmap.data());
  buffer = std::move(bitmap);
  size = static_cast<std::uint32_t>(buffer.size());
  return MakeBitmap(buffer.data(), size, width, height);
}

QImage* JPGtoRGB24(const std::uint8_t* buffer, std::uint32_t size) {
  if (!buffer || size == 0) return nullptr;
  QImage picture;
  if (!picture.loadFromData(buffer, static_cast<int>(std::min<std::uint32_t>(size, 0x7fffffff)), "JPEG")) {
    return nullptr;
  }
  return new QImage(picture.convertToFormat(QImage::Format_BGR888));
}

TVideoManager::TVideoManager() : TVideoManager(ListCaptureDevices()) {}

TVideoManager::TVideoManager(std::vector<TDevice> devices) : devices_(std::move(devices)) {}

TVideoManager::~TVideoManager() {
  Close();
  alive_.reset();
  sws_freeContext(scaler_);
  av_frame_free(&frame_);
}

bool TVideoManager::Open(QObject* window, int device, int width, int height, TVideoFrameCallback callback,
                         std::uint8_t frame_rate) {
  if (open_) return false;
  width_ = width;
  height_ = height;
  callback_ = callback;
  window_ = window;
  frame_rate_ = frame_rate;
  if (device < 0 || static_cast<std::size_t>(device) >= devices_.size()) return false;
  if (!IsValidVideoSize(width, height)) return false;
  device_ = device;
  SetVideoFormat();
  if (!frame_) frame_ = av_frame_alloc();
  if (!frame_) return false;
  encoder_ =
      CreateH264Encoder(kUsageCamera, kSentFramesPerSecond, width, height, kKeyFrameInterval, kCameraQuality);
  if (!encoder_) return false;
  output_.resize(kMaxCompressedFrameBytes);
  delivered_any_ = false;
  if (frame_rate != 0) {
    wake_target_ = std::make_unique<QObject>();
    QObject* target = wake_target_.get();
    // Runs on the capture thread; Close joins that thread before the target goes.
    // A wake-up still queued when the manager is gone finds `alive` expired.
    std::weak_ptr<bool> alive = alive_;
    capture_.SetFrameNotification([this, target, alive] {
      if (!wake_pending_.exchange(true)) {
        QMetaObject::invokeMethod(
            target,
            [this, alive] {
              if (alive.expired()) return;
              wake_pending_ = false;
              GetData();
            },
            Qt::QueuedConnection);
      }
    });
  } else {
    capture_.SetFrameNotification(nullptr);
  }
  if (!capture_.Open(devices_[static_cast<std::size_t>(device)], nullptr)) {
    Close();
    return false;
  }
  open_ = true;
  return true;
}

bool TVideoManager::Close() {
  capture_.Close();  // no wake-up is posted after this
  if (wake_target_) {
    // Pending wake-ups go with their target. The callback may close the manager from inside one of
    // them: then Qt frees the target once that call has returned.
    if (delivering_) {
      wake_target_.release()->deleteLater();
    } else {
      wake_target_.reset();
    }
  }
  wake_pending_ = false;
  DeleteH264Encoder(encoder_);
  encoder_ = nullptr;
  open_ = false;
  return false;
}

void TVideoManager::SetVideoFormat() { capture_.SetVideoFormat(width_, height_, frame_rate_); }

void TVideoManager::GetData() {
  if (!open_ || delivering_ || !callback_ || frame_rate_ == 0) return;
  double seconds = 0;
  if (!capture_.TakeLatest(frame_, &seconds)) return;
  const double interval = 1.0 / frame_rate_;
  if (delivered_any_ && seconds - last_frame_seconds_ < 0.75 * interval && seconds >= last_frame_seconds_) {
    av_frame_unref(frame_);
    return;
  }
  Convert(frame_);
  av_frame_unref(frame_);
  if (pixels_.empty()) return;
  QImage* bitmap = MakeBmp(pixels_.data(), static_cast<std::uint32_t>(pixels_.size()));
  if (!bitmap) return;
  last_frame_seconds_ = seconds;
  delivered_any_ = true;
  delivering_ = true;
  try {
    callback_(pixels_.data(), static_cast<std::uint32_t>(pixels_.size()), bitmap);
  } catch (...) {
    // A failing receiver loses this frame only.
  }
  delivering_ = false;
}

void TVideoManager::Convert(AVFrame* frame) {
  pixels_.clear();
  const int w = width_;
  const int h = height_;
  if (frame->width <= 0 || frame->height <= 0 || !frame->data[0]) return;
  if (frame->format == AV_PIX_FMT_YUYV422) {
    // The usual camera format: the engine's YUY2 conversion. A picture of another size than requested
    // is first scaled, in YUY2, to the requested size, so it shows the same way and never overflows.
    const std::size_t row = static_cast<std::size_t>(w) * 2;
    const std::uint8_t* source = frame->data[0];
    if (frame->width != w || frame->height != h || frame->linesize[0] != static_cast<int>(row)) {
      scaler_ = sws_getCachedContext(scaler_, frame->width, frame->height, AV_PIX_FMT_YUYV422, w, h,
                                     AV_PIX_FMT_YUYV422, SWS_BILINEAR, nullptr, nullptr, nullptr);
      if (!scaler_) return;
      packed_.resize(row * static_cast<std::size_t>(h));
      std::uint8_t* target[1] = {packed_.data()};
      const int target_stride[1] = {static_cast<int>(row)};
      sws_scale(scaler_, frame->data, frame->linesize, 0, frame->height, target, target_stride);
      source = packed_.data();
    }
    pixels_.resize(BitmapBytes(w, h));
    ConvertYuy2ToBgr24(source, row * static_cast<std::size_t>(h), w, h, pixels_.data());
    return;
  }
  // Any other format (MJPEG cameras, say), of any size: scaled into the requested size, so no more
  // than width × height × 3 bytes are ever written.
  scaler_ =
      sws_getCachedContext(scaler_, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), w,
                           h, AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!scaler_) return;
  pixels_.resize(BitmapBytes(w, h));
  std::uint8_t* target[1] = {pixels_.data() + static_cast<std::size_t>(h - 1) * w * 3};
  const int target_stride[1] = {-w * 3};
  sws_scale(scaler_, frame->data, frame->linesize, 0, frame->height, target, target_stride);
}

bool TVideoManager::CompressData(const void*& data, std::uint32_t& size, bool& key_frame) {
  if (!open_ || !encoder_ || !data) return false;
  std::uint32_t out_size = static_cast<std::uint32_t>(output_.size());
  int frame_type = kFrameTypeDelta;
  if (EncodeH264Data(encoder_, static_cast<const std::uint8_t*>(data), size, output_.data(), &out_size,
                     &frame_type) != 0) {
    return false;
  }
  data = output_.data();
  size = out_size;
  key_frame = frame_type == kFrameTypeKey;
  return true;
}

QImage* TVideoManager::MakeBmp(const std::uint8_t* buffer, std::uint32_t size) const {
  return MakeBitmap(buffer, size, width_, height_);
}

void TVideoManager::ShowPropertyPage() {
  if (device_ < 0 || static_cast<std::size_t>(device_) >= devices_.size()) return;
  ShowDevicePropertyPage(devices_[static_cast<std::size_t>(device_)], qobject_cast<QWidget*>(window_.data()));
}

}  // namespace kiv::video
