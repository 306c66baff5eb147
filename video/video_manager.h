// Video_Manager: the process's one camera. Opens a capture device, turns its frames, at most
// `frame_rate` a second by the device's clock, into bottom-up BGR24 bitmaps of the requested size,
// hands them to the caller's frame callback, and compresses frames the caller chooses to send.
//
// Pacing: the capture thread keeps only the newest frame and posts one wake-up at a time to the
// owner's thread, which then pulls that frame (GetData). A frame that comes sooner than three
// quarters of a frame interval after the last delivered one is passed over, so a device running
// faster than asked is thinned to the asked rate while a device running at it loses nothing.
//
// Ownership: the caller owns the manager (the flat interface keeps at most one per process). The
// manager owns its capture source, its encoder and the output buffer that CompressData's result
// points into. Each frame's bitmap belongs to the callback's receiver.
// Threads: every member runs on the thread that called Open (the main thread, whose event loop runs
// the wake-ups); only the capture source has a thread of its own.
#pragma once

#include <QImage>
#include <QPointer>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/capture_source.h"
#include "video_api.h"

struct AVFrame;
struct SwsContext;
class QObject;

namespace kiv::video {

struct TH264Encoder;

// The frame callback: `buffer` holds `size` bytes, the frame as a bottom-up BGR24 bitmap of the
// requested width × height (ready for CompressData); `bitmap` is the same picture, owned by the
// receiver from then on. Both live for the call only except the bitmap.
using TVideoFrameCallback = void (*)(void* buffer, std::uint32_t size, QImage* bitmap);

class KIVVIDEO_API TVideoManager {
 public:
  // Enumerates the capture devices.
  TVideoManager();
  // Uses the given devices instead of enumerating them.
  explicit TVideoManager(std::vector<TDevice> devices);
  TVideoManager(const TVideoManager&) = delete;
  TVideoManager& operator=(const TVideoManager&) = delete;
  ~TVideoManager();

  // Opens device `device` for width × height pictures at frame_rate frames a second; with frame_rate 0
  // the device runs (15 a second) but nothing is delivered. `window` is the owner window: the property
  // pages open over it.
  // Fails when already open, for an unknown device or a size IsValidVideoSize refuses, when the device
  // cannot be opened, or when the encoder cannot be created.
  bool Open(QObject* window, int device, int width, int height, TVideoFrameCallback callback,
            std::uint8_t frame_rate);
  // Stops delivery and the capture, frees the encoder. Always returns false.
  bool Close();
  // Pulls the newest captured frame, when there is one not delivered yet, and delivers it.
  void GetData();
  // Compresses `size` bytes at `data` (a bitmap as the callback delivers it). On success `data` points
  // at the manager's output buffer (valid until the next call), `size` is the frame's size and
  // `key_frame` tells a key frame. False when closed or when the encoder fails or skips the frame.
  bool CompressData(const void*& data, std::uint32_t& size, bool& key_frame);
  // Applies the requested picture size and frame rate to the capture.
  void SetVideoFormat();
  // Shows the capture device's settings in a window captioned "视频".
  void ShowPropertyPage();
  // A new width × height bitmap filled from `size` bytes of bottom-up BGR24 pixels.
  QImage* MakeBmp(const std::uint8_t* buffer, std::uint32_t size) const;

  bool IsOpen() const { return open_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  const std::vector<TDevice>& Devices() const { return devices_; }
  // True while the frame callback runs.
  bool Delivering() const { return delivering_; }
  // Frames the device delivered since Open, delivered to the callback or not.
  std::uint64_t FramesCaptured() const { return capture_.FramesCaptured(); }
  // Capture time stamp of the last delivered frame, in seconds of the device's clock.
  double LastFrameSeconds() const { return last_frame_seconds_; }

 private:
  void Convert(AVFrame* frame);

  std::vector<TDevice> devices_;
  TCaptureSource capture_;
  TH264Encoder* encoder_ = nullptr;
  int device_ = -1;
  int width_ = 0;
  int height_ = 0;
  std::uint8_t frame_rate_ = 0;
  TVideoFrameCallback callback_ = nullptr;
  QPointer<QObject> window_;
  // Receives the capture thread's wake-ups on the owner's thread; exists while open.
  std::unique_ptr<QObject> wake_target_;
  std::atomic<bool> wake_pending_{false};
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  bool delivered_any_ = false;
  bool open_ = false;
  bool delivering_ = false;
  double last_frame_seconds_ = 0;
  AVFrame* frame_ = nullptr;
  SwsContext* scaler_ = nullptr;
  std::vector<std::uint8_t> packed_;  // a YUY2 picture scaled to the requested size
  std::vector<std::uint8_t> pixels_;  // the frame being delivered
  std::vector<std::uint8_t> output_;
};

// A new width × height bitmap filled from `size` bytes of bottom-up BGR24 pixels (at most
// width × height × 3 are used; missing rows stay black).
KIVVIDEO_API QImage* MakeBitmap(const std::uint8_t* buffer, std::uint32_t size, int width, int height);

// Replaces the YUY2 bytes in `buffer` by the bottom-up BGR24 bitmap ConvertYuy2ToBgr24 makes of them,
// sets `size` to its length, and returns the bitmap of it.
KIVVIDEO_API QImage* YUY2toRGB24(std::vector<std::uint8_t>& buffer, std::uint32_t& size, int width,
                                 int height);

// The JPEG picture in `size` bytes at `buffer`, or null when it does not decode.
KIVVIDEO_API QImage* JPGtoRGB24(const std::uint8_t* buffer, std::uint32_t size);

}  // namespace kiv::video
