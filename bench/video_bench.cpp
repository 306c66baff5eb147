// The video engine on FFmpeg's test picture (testsrc2) at 176×144 and 352×288, in one run with its
// peers:
// - colour conversion + encoding, ms per frame (median, p99), bytes per frame and PSNR after
//   decoding: ours (bottom-up BGR24 → I420 → OpenH264) against libx264 through libavcodec (ultrafast,
//   zerolatency, Baseline, the same bit rate, frame rate and key frame interval, with the same
//   conversion in front);
// - decoding + conversion to the display format (bottom-up BGR24), ms per frame: ours (OpenH264)
//   against FFmpeg's own H.264 decoder, both on our stream;
// - CPU of a running capture (test camera, 15 frames a second, a callback that only frees the
//   bitmap) in percent of one core, against the test picture source read alone at the same rate.
// The machine's load average is printed with the figures.
#include <QCoreApplication>
#include <QEventLoop>
#include <QImage>
#include <QStringList>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "core/h264_codec.h"
#include "core/picture.h"
#include "report.h"
#include "video_interface.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr int kFrames = 300;
constexpr int kKeyInterval = 20;
constexpr int kQuality = 6;  // as the camera's encoder

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Stats {
  double median = 0, p99 = 0;
};
Stats Summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) return {};
  return {v[v.size() / 2],
          v[std::min(v.size() - 1, static_cast<std::size_t>(std::ceil(v.size() * 0.99)) - 1)]};
}

double Psnr(const Bytes& a, const Bytes& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  const double mse = sum / static_cast<double>(a.size());
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// kFrames pictures of the test picture as the test camera delivers them (YUY2 through the engine's
// conversion, bottom-up BGR24), read as fast as FFmpeg makes them.
std::vector<Bytes> TestPictures(int w, int h) {
  std::vector<Bytes> pictures;
  char graph[128];
  std::snprintf(graph, sizeof(graph), "testsrc2=size=%dx%d:rate=15,format=yuyv422", w, h);
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, graph, av_find_input_format("lavfi"), nullptr) < 0) return pictures;
  AVPacket* packet = av_packet_alloc();
  while (static_cast<int>(pictures.size()) < kFrames && av_read_frame(format, packet) >= 0) {
    if (packet->size == w * h * 2) {
      Bytes bits(kiv::video::BitmapBytes(w, h));
      kiv::video::ConvertYuy2ToBgr24(packet->data, static_cast<std::size_t>(packet->size), w, h, bits.data());
      pictures.push_back(std::move(bits));
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  avformat_close_input(&format);
  return pictures;
}

struct EncodeRun {
  std::vector<Bytes> stream;
  std::vector<double> ms;
  double bytes_per_frame = 0;
};

EncodeRun EncodeOurs(const std::vector<Bytes>& pictures, int w, int h) {
  EncodeRun run;
  kiv::video::TH264Encoder* encoder = kiv::video::CreateH264Encoder(
      kiv::video::kUsageCamera, kiv::video::kSentFramesPerSecond, w, h, kKeyInterval, kQuality);
  Bytes out(kiv::video::kMaxCompressedFrameBytes);
  double total = 0;
  for (const Bytes& picture : pictures) {
    std::uint32_t size = static_cast<std::uint32_t>(out.size());
    int type = 0;
    const auto start = Clock::now();
    const int result = kiv::video::EncodeH264Data(
        encoder, picture.data(), static_cast<std::uint32_t>(picture.size()), out.data(), &size, &type);
    run.ms.push_back(Ms(Clock::now() - start));
    run.stream.emplace_back(result == 0 ? Bytes(out.begin(), out.begin() + size) : Bytes{});
    total += result == 0 ? size : 0;
  }
  kiv::video::DeleteH264Encoder(encoder);
  run.bytes_per_frame = total / static_cast<double>(pictures.size());
  return run;
}

// libx264 with the conversion in front that our encoder does inside.
EncodeRun EncodeX264(const std::vector<Bytes>& pictures, int w, int h) {
  EncodeRun run;
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) return run;
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->width = w;
  context->height = h;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->time_base = AVRational{3, 20};  // one frame per 150 ms
  context->framerate = AVRational{20, 3};
  context->bit_rate =
      static_cast<std::int64_t>(std::lround(w * h * kQuality / 8.0 * kiv::video::kSentFramesPerSecond));
  context->gop_size = kKeyInterval;
  context->max_b_frames = 0;
  context->thread_count = 1;
  av_opt_set(context->priv_data, "preset", "ultrafast", 0);
  av_opt_set(context->priv_data, "tune", "zerolatency", 0);
  av_opt_set(context->priv_data, "profile", "baseline", 0);
  if (avcodec_open2(context, codec, nullptr) < 0) {
    avcodec_free_context(&context);
    return run;
  }
  SwsContext* to_yuv = sws_getContext(w, h, AV_PIX_FMT_BGR24, w, h, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                                      nullptr, nullptr);
  AVFrame* frame = av_frame_alloc();
  frame->width = w;
  frame->height = h;
  frame->format = AV_PIX_FMT_YUV420P;
  av_frame_get_buffer(frame, 0);
  AVPacket* packet = av_packet_alloc();
  double total = 0;
  std::int64_t pts = 0;
  for (const Bytes& picture : pictures) {
    const auto start = Clock::now();
    av_frame_make_writable(frame);
    const std::uint8_t* source[1] = {picture.data() + static_cast<std::size_t>(h - 1) * w * 3};
    const int source_stride[1] = {-w * 3};
    sws_scale(to_yuv, source, source_stride, 0, h, frame->data, frame->linesize);
    frame->pts = pts++;
    Bytes unit;
    if (avcodec_send_frame(context, frame) == 0) {
      while (avcodec_receive_packet(context, packet) == 0) {
        unit.insert(unit.end(), packet->data, packet->data + packet->size);
        av_packet_unref(packet);
      }
    }
    run.ms.push_back(Ms(Clock::now() - start));
    total += static_cast<double>(unit.size());
    run.stream.push_back(std::move(unit));
  }
  av_packet_free(&packet);
  av_frame_free(&frame);
  sws_freeContext(to_yuv);
  avcodec_free_context(&context);
  run.bytes_per_frame = total / static_cast<double>(pictures.size());
  return run;
}

struct DecodeRun {
  std::vector<double> ms;
  double psnr = 0;  // mean over the frames against the pictures
};

DecodeRun DecodeOurs(const std::vector<Bytes>& stream, const std::vector<Bytes>& pictures, int w, int h) {
  DecodeRun run;
  kiv::video::TH264Decoder* decoder = kiv::video::CreateH264Decoder(w, h);
  Bytes out(kiv::video::BitmapBytes(w, h));
  double psnr = 0;
  int decoded = 0;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    if (stream[i].empty()) continue;
    std::uint32_t length = static_cast<std::uint32_t>(out.size());
    const auto start = Clock::now();
    const int result =
        kiv::video::DecodeH264Data(decoder, stream[i].data(), static_cast<std::uint32_t>(stream[i].size()),
                                   out.data(), &length, kiv::video::kOutputBottomUpBgr24);
    run.ms.push_back(Ms(Clock::now() - start));
    if (result == 0) {
      psnr += Psnr(out, pictures[i]);
      ++decoded;
    }
  }
  kiv::video::DeleteH264Decoder(decoder);
  run.psnr = decoded ? psnr / decoded : 0;
  return run;
}

// FFmpeg's H.264 decoder with the conversion to bottom-up BGR24 that our decoder does inside.
DecodeRun DecodeFfmpeg(const std::vector<Bytes>& stream, const std::vector<Bytes>& pictures, int w, int h) {
  DecodeRun run;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->thread_count = 1;
  context->flags |= AV_CODEC_FLAG_LOW_DELAY;
  if (avcodec_open2(context, codec, nullptr) < 0) {
    avcodec_free_context(&context);
    return run;
  }
  SwsContext* to_bgr = sws_getContext(w, h, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr,
                                      nullptr, nullptr);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  Bytes out(kiv::video::BitmapBytes(w, h));
  double psnr = 0;
  int decoded = 0;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    if (stream[i].empty()) continue;
    const auto start = Clock::now();
    av_new_packet(packet, static_cast<int>(stream[i].size()));
    std::copy(stream[i].begin(), stream[i].end(), packet->data);
    bool got = false;
    if (avcodec_send_packet(context, packet) == 0) {
      while (avcodec_receive_frame(context, frame) == 0) {
        std::uint8_t* target[1] = {out.data() + static_cast<std::size_t>(h - 1) * w * 3};
        const int target_stride[1] = {-w * 3};
        sws_scale(to_bgr, frame->data, frame->linesize, 0, h, target, target_stride);
        got = true;
        av_frame_unref(frame);
      }
    }
    av_packet_unref(packet);
    run.ms.push_back(Ms(Clock::now() - start));
    if (got) {
      psnr += Psnr(out, pictures[i]);
      ++decoded;
    }
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  sws_freeContext(to_bgr);
  avcodec_free_context(&context);
  run.psnr = decoded ? psnr / decoded : 0;
  return run;
}

void Figure(const std::string& metric, const std::string& unit, double ours,
            std::map<std::string, double> peers) {
  kivbench::Print({"video", metric, unit, ours, std::move(peers)});
}

void CodecFigures(int w, int h) {
  const std::string size = std::to_string(w) + "x" + std::to_string(h);
  const std::vector<Bytes> pictures = TestPictures(w, h);
  if (pictures.size() != kFrames) {
    std::fprintf(stderr, "no test picture at %s\n", size.c_str());
    return;
  }
  const EncodeRun ours = EncodeOurs(pictures, w, h);
  const EncodeRun x264 = EncodeX264(pictures, w, h);
  const DecodeRun ours_decoded = DecodeOurs(ours.stream, pictures, w, h);
  const DecodeRun ffmpeg_decoded = DecodeFfmpeg(ours.stream, pictures, w, h);
  const DecodeRun x264_decoded = DecodeFfmpeg(x264.stream, pictures, w, h);

  const Stats enc = Summarise(ours.ms), enc_x264 = Summarise(x264.ms);
  const Stats dec = Summarise(ours_decoded.ms), dec_ffmpeg = Summarise(ffmpeg_decoded.ms);
  std::vector<double> both, both_peer;
  for (std::size_t i = 0; i < ours.ms.size() && i < ours_decoded.ms.size(); ++i)
    both.push_back(ours.ms[i] + ours_decoded.ms[i]);
  for (std::size_t i = 0; i < x264.ms.size() && i < ffmpeg_decoded.ms.size(); ++i) {
    both_peer.push_back(x264.ms[i] + ffmpeg_decoded.ms[i]);
  }
  const Stats sum = Summarise(both), sum_peer = Summarise(both_peer);
  Figure("encode_ms_median_" + size, "ms", enc.median, {{"libx264", enc_x264.median}});
  Figure("encode_ms_p99_" + size, "ms", enc.p99, {{"libx264", enc_x264.p99}});
  Figure("decode_ms_median_" + size, "ms", dec.median, {{"ffmpeg_h264", dec_ffmpeg.median}});
  Figure("decode_ms_p99_" + size, "ms", dec.p99, {{"ffmpeg_h264", dec_ffmpeg.p99}});
  Figure("encode_decode_ms_median_" + size, "ms", sum.median, {{"libx264+ffmpeg_h264", sum_peer.median}});
  Figure("bytes_per_frame_" + size, "bytes", ours.bytes_per_frame, {{"libx264", x264.bytes_per_frame}});
  Figure("psnr_" + size, "dB", ours_decoded.psnr, {{"libx264", x264_decoded.psnr}});
}

void IgnoreFrame(void*, std::uint32_t, QImage* bitmap) { delete bitmap; }

// CPU of the process over `seconds` of the Qt event loop while the test camera runs.
double CaptureCpuPercent(int w, int h, double seconds) {
  std::unique_ptr<QStringList> names(GetVideoDeviceList());
  const int camera = names ? static_cast<int>(names->indexOf(QStringLiteral("测试摄像头"))) : -1;
  if (camera < 0 || !StartVideo(nullptr, camera, w, h, &IgnoreFrame, 15)) return -1;
  const double cpu = CpuSeconds();
  const auto start = Clock::now();
  QEventLoop loop;
  QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
  loop.exec();
  const double used = CpuSeconds() - cpu;
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  StopVideo();
  return 100 * used / wall;
}

// The same test picture read alone at the same pace: the cost of the picture's own making.
double SourceCpuPercent(int w, int h, double seconds) {
  char graph[128];
  std::snprintf(graph, sizeof(graph), "testsrc2=size=%dx%d:rate=15,format=yuyv422,realtime", w, h);
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, graph, av_find_input_format("lavfi"), nullptr) < 0) return -1;
  AVPacket* packet = av_packet_alloc();
  const double cpu = CpuSeconds();
  const auto start = Clock::now();
  while (std::chrono::duration<double>(Clock::now() - start).count() < seconds &&
         av_read_frame(format, packet) >= 0) {
    av_packet_unref(packet);
  }
  const double used = CpuSeconds() - cpu;
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  av_packet_free(&packet);
  avformat_close_input(&format);
  return 100 * used / wall;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  av_log_set_level(AV_LOG_ERROR);
  avdevice_register_all();
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) == 3) Figure("load_average_1min_at_start", "runnable tasks", load[0], {});

  CodecFigures(176, 144);
  CodecFigures(352, 288);
  for (auto [w, h] : {std::pair{176, 144}, std::pair{352, 288}}) {
    const std::string size = std::to_string(w) + "x" + std::to_string(h);
    const double ours = CaptureCpuPercent(w, h, 5);
    const double source = SourceCpuPercent(w, h, 5);
    Figure("capture_cpu_percent_" + size, "% of a core", ours, {{"test_picture_alone", source}});
  }
  if (getloadavg(load, 3) == 3) Figure("load_average_1min_at_end", "runnable tasks", load[0], {});
  return 0;
}
