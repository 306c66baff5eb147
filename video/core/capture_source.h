// Camera capture through FFmpeg: V4L2 devices, and the test picture of FFmpeg's lavfi source when
// there is no camera, through the same path.
//
// A capture thread reads and decodes frames as the device delivers them and keeps only the newest;
// the consumer takes it whenever it wants one (frames are pulled, not pushed).
//
// Threads: Open, Close, TakeLatest and the destructor are called by the owner's thread; the capture
// thread only touches what `frame_lock_` guards and the stop flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVFrame;

namespace kiv::video {

// One capture device.
struct TDevice {
  std::string name;  // what the user sees, UTF-8
  std::string path;  // the V4L2 device node; empty for the test picture
  // Test picture only: a fixed picture size the source keeps whatever is requested (0 = the requested
  // size), like a camera that ignores the requested format.
  int fixed_width = 0;
  int fixed_height = 0;
};

// The name of the test picture device.
inline constexpr const char* kTestCameraName = "测试摄像头";

// The V4L2 capture devices FFmpeg finds, in its order, then the test picture.
std::vector<TDevice> ListCaptureDevices();

// Whether a V4L2 capture device exists.
bool HasCameraDevice();

class TCaptureSource {
 public:
  TCaptureSource() = default;
  TCaptureSource(const TCaptureSource&) = delete;
  TCaptureSource& operator=(const TCaptureSource&) = delete;
  ~TCaptureSource();

  // Asks for width × height pictures at `frame_rate` per second (15 when 0) from the next Open.
  // A device may deliver another size; the consumer scales.
  void SetVideoFormat(int width, int height, int frame_rate);

  // Called on the capture thread after each new frame is stored (set before Open).
  void SetFrameNotification(std::function<void()> notify) { notify_ = std::move(notify); }

  // Opens the device and starts the capture thread. False when FFmpeg cannot open the device or has
  // no decoder for its stream; `error` then says why.
  bool Open(const TDevice& device, std::string* error);

  // Stops the capture: the interrupt callback aborts FFmpeg's blocking reads, then the thread is
  // joined and everything released. Safe to call when not open.
  void Close();

  // Moves the newest frame not taken before into `frame` (unreferenced first). False when no new
  // frame arrived since the last call. `seconds` gets the frame's capture time stamp.
  bool TakeLatest(AVFrame* frame, double* seconds = nullptr);

  bool IsOpen() const { return thread_.joinable(); }
  // Frames decoded since Open.
  std::uint64_t FramesCaptured() const { return frames_captured_.load(); }
  // True once the capture thread stopped on its own (device gone, end of stream, read error).
  bool Failed() const { return failed_.load(); }

 private:
  static int InterruptCallback(void* opaque);
  void Run();
  void Release();

  int width_ = 176;
  int height_ = 144;
  int frame_rate_ = 15;
  AVFormatContext* format_ = nullptr;
  AVCodecContext* decoder_ = nullptr;
  int stream_index_ = -1;
  double time_base_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  std::atomic<std::uint64_t> frames_captured_{0};
  std::function<void()> notify_;
  std::thread thread_;

  // The frame lock: guards the newest frame between the capture thread and the consumer.
  std::mutex frame_lock_;
  AVFrame* latest_ = nullptr;  // guarded by frame_lock_
  double latest_seconds_ = 0;  // guarded by frame_lock_
  bool latest_fresh_ = false;  // guarded by frame_lock_
};

}  // namespace kiv::video
