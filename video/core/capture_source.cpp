#include "core/capture_source.h"

#include <chrono>
#include <cstdio>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
}

namespace kiv::video {

namespace {

void RegisterDevicesOnce() {
  static std::once_flag once;
  std::call_once(once, [] { avdevice_register_all(); });
}

std::string FfmpegError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof(text));
  return text;
}

std::vector<TDevice> ListCameras() {
  RegisterDevicesOnce();
  std::vector<TDevice> cameras;
  const AVInputFormat* v4l2 = av_find_input_format("video4linux2");
  if (!v4l2) return cameras;
  AVDeviceInfoList* list = nullptr;
  if (avdevice_list_input_sources(v4l2, nullptr, nullptr, &list) >= 0 && list) {
    for (int i = 0; i < list->nb_devices; ++i) {
      const AVDeviceInfo* info = list->devices[i];
      if (!info || !info->device_name) continue;
      TDevice device;
      device.path = info->device_name;
      device.name = info->device_description && *info->device_description ? info->device_description
                                                                          : info->device_name;
      cameras.push_back(std::move(device));
    }
  }
  avdevice_free_list_devices(&list);
  return cameras;
}

}  // namespace

std::vector<TDevice> ListCaptureDevices() {
  std::vector<TDevice> devices = ListCameras();
  TDevice test;
  test.name = kTestCameraName;
  devices.push_back(std::move(test));
  return devices;
}

bool HasCameraDevice() { return !ListCameras().empty(); }

TCaptureSource::~TCaptureSource() { Close(); }

void TCaptureSource::SetVideoFormat(int width, int height, int frame_rate) {
  width_ = width;
  height_ = height;
  frame_rate_ = frame_rate > 0 ? frame_rate : 15;
}

int TCaptureSource::InterruptCallback(void* opaque) {
  return static_cast<TCaptureSource*>(opaque)->stop_.load() ? 1 : 0;
}

bool TCaptureSource::Open(const TDevice& device, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    Release();
    return false;
  };
  if (IsOpen()) return fail("already open");
  RegisterDevicesOnce();
  stop_ = false;
  failed_ = false;
  frames_captured_ = 0;

  format_ = avformat_alloc_context();
  if (!format_) return fail("out of memory");
  format_->interrupt_callback.callback = &TCaptureSource::InterruptCallback;
  format_->interrupt_callback.opaque = this;

  AVDictionary* options = nullptr;
  const AVInputFormat* input = nullptr;
  std::string url;
  if (device.path.empty()) {
    // The test picture, paced to real time so that reading it blocks like a camera.
    const int w = device.fixed_width > 0 ? device.fixed_width : width_;
    const int h = device.fixed_height > 0 ? device.fixed_height : height_;
    char graph[160];
    std::snprintf(graph, sizeof(graph), "testsrc2=size=%dx%d:rate=%d,format=yuyv422,realtime", w, h,
                  frame_rate_);
    url = graph;
    input = av_find_input_format("lavfi");
  } else {
    url = device.path;
    input = av_find_input_format("video4linux2");
    char size[32];
    std::snprintf(size, sizeof(size), "%dx%d", width_, height_);
    av_dict_set(&options, "video_size", size, 0);
    av_dict_set_int(&options, "framerate", frame_rate_, 0);
  }
  if (!input) {
    av_dict_free(&options);
    return fail("FFmpeg has no input for the device");
  }
  const int opened = avformat_open_input(&format_, url.c_str(), input, &options);
  av_dict_free(&options);
  if (opened < 0) {
    format_ = nullptr;  // freed by avformat_open_input
    return fail("cannot open " + url + ": " + FfmpegError(opened));
  }

  stream_index_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (stream_index_ < 0) return fail("no video stream");
  const AVStream* stream = format_->streams[stream_index_];
  time_base_ = av_q2d(stream->time_base);
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (!codec) return fail("no decoder for the device's format");
  decoder_ = avcodec_alloc_context3(codec);
  if (!decoder_ || avcodec_parameters_to_context(decoder_, stream->codecpar) < 0 ||
      avcodec_open2(decoder_, codec, nullptr) < 0) {
    return fail("cannot open the decoder for the device's format");
  }
  latest_ = av_frame_alloc();
  if (!latest_) return fail("out of memory");
  latest_fresh_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void TCaptureSource::Run() {
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  while (packet && frame && !stop_.load()) {
    const int read = av_read_frame(format_, packet);
    if (read == AVERROR(EAGAIN)) {
      // Not expected from blocking devices; do not spin if one says it anyway.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    if (read < 0) break;
    if (packet->stream_index == stream_index_ && avcodec_send_packet(decoder_, packet) >= 0) {
      while (avcodec_receive_frame(decoder_, frame) >= 0) {
        // Frames without a time stamp are stamped with the time they arrive.
        const double seconds =
            frame->best_effort_timestamp == AV_NOPTS_VALUE
                ? std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count()
                : static_cast<double>(frame->best_effort_timestamp) * time_base_;
        {
          std::lock_guard lock(frame_lock_);
          av_frame_unref(latest_);
          av_frame_move_ref(latest_, frame);
          latest_seconds_ = seconds;
          latest_fresh_ = true;
        }
        frames_captured_.fetch_add(1);
        if (notify_) notify_();
      }
    }
    av_packet_unref(packet);
  }
  if (!stop_.load()) failed_ = true;
  av_frame_free(&frame);
  av_packet_free(&packet);
}

bool TCaptureSource::TakeLatest(AVFrame* frame, double* seconds) {
  std::lock_guard lock(frame_lock_);
  if (!latest_ || !latest_fresh_) return false;
  av_frame_unref(frame);
  av_frame_move_ref(frame, latest_);
  if (seconds) *seconds = latest_seconds_;
  latest_fresh_ = false;
  return true;
}

void TCaptureSource::Close() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  Release();
}

void TCaptureSource::Release() {
  avcodec_free_context(&decoder_);
  if (format_) avformat_close_input(&format_);
  {
    std::lock_guard lock(frame_lock_);
    av_frame_free(&latest_);
    latest_fresh_ = false;
  }
  stream_index_ = -1;
}

}  // namespace kiv::video
