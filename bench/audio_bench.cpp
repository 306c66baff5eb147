// bench/run audio: one voice call through our engine against the sound server's own loopback.
//
// A private sound server (null sink, pipe source) carries a call: clicks fed into the pipe source
// are captured, encoded, sent over our transport on loopback, decoded and played into the null
// sink, and found again on its monitor. The floor is the server's module-loopback from the same
// source to the same sink, measured the same way. Also: the CPU the call costs this process, the
// latency change between the start and the end of the call, and the Opus encode time per block.
//
// Times: a click's send time is when its first sample went into the pipe; its arrival time is when
// the monitor recording returned it, less the recording's own latency as the server reports it.
#include <opus/opus.h>
#include <pulse/simple.h>

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <numeric>
#include <thread>

#include "kiv_audio.h"
#include "pulse_daemon.h"
#include "report.h"
#include "transport/endpoint.h"
#include "voice_codec.h"

namespace kivbench {
std::unique_ptr<Endpoint> MakeKivEndpoint();
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRate = 48000;
constexpr std::uint8_t kVoiceChannel = 23;
constexpr int kClickThreshold = 3000;

double Seconds(Clock::time_point t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

std::vector<pid_t> Tasks() {
  std::vector<pid_t> tids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    tids.push_back(static_cast<pid_t>(std::stoi(entry.path().filename().string())));
  return tids;
}

// CPU seconds used so far by the threads `tids` of this process.
double ThreadsCpuSeconds(const std::vector<pid_t>& tids) {
  double total = 0;
  const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
  for (pid_t tid : tids) {
    std::FILE* f = std::fopen(("/proc/self/task/" + std::to_string(tid) + "/stat").c_str(), "r");
    if (!f) continue;
    char text[1024] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    const char* after_name = std::strrchr(text, ')');
    if (!after_name || n == 0) continue;
    unsigned long utime = 0, stime = 0;
    // Fields after the name: state (3) ... utime (14), stime (15).
    if (std::sscanf(after_name + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) ==
        2)
      total += static_cast<double>(utime + stime) / tick;
  }
  return total;
}

// Feeds silence with a 10 ms click of -6 dBFS every `spacing_s`, in real time, and notes when each
// click went in.
struct TClickFeeder {
  std::vector<double> sent;
  void Run(const kiv::TPulseDaemon& daemon, double seconds, double spacing_s) {
    const int fd = ::open((daemon.dir() / "mic.fifo").c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) return;
    const std::size_t piece = kRate / 100;
    const std::size_t pieces = static_cast<std::size_t>(seconds * 100);
    const std::size_t spacing = static_cast<std::size_t>(spacing_s * 100);
    std::vector<std::int16_t> silence(piece, 0), click(piece);
    for (std::size_t i = 0; i < piece; ++i)
      click[i] = static_cast<std::int16_t>(16000 * std::sin(2 * M_PI * 1000.0 * i / kRate));
    auto next = Clock::now();
    for (std::size_t p = 0; p < pieces; ++p) {
      const bool is_click = p % spacing == spacing / 2;
      if (is_click) sent.push_back(Seconds(Clock::now()));
      if (::write(fd, (is_click ? click : silence).data(), piece * 2) < 0 && errno != EAGAIN) break;
      next += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next);
    }
    ::close(fd);
  }
};

// Records the null sink's monitor in 5 ms pieces and notes when each click onset came out.
struct TClickRecorder {
  std::vector<double> arrived;
  std::atomic<bool> stop{false};
  void Run(const std::string& server, const char* device = "out.monitor") {
    pa_sample_spec sample_format{PA_SAMPLE_S16LE, kRate, 1};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.fragsize = kRate / 200 * 2;
    int error = 0;
    pa_simple* rec = pa_simple_new(server.c_str() + 0, "bench", PA_STREAM_RECORD, device, "monitor", &sample_format,
                                   nullptr, &attr, &error);
    if (!rec) return;
    std::vector<std::int16_t> chunk(kRate / 200);
    Clock::time_point quiet_since = Clock::now();
    bool in_click = false;
    while (!stop) {
      if (pa_simple_read(rec, chunk.data(), chunk.size() * 2, &error) < 0) break;
      const Clock::time_point now = Clock::now();
      const double latency = static_cast<double>(pa_simple_get_latency(rec, &error)) * 1e-6;
      const auto loud = std::find_if(chunk.begin(), chunk.end(),
                                     [](std::int16_t s) { return std::abs(s) > kClickThreshold; });
      if (loud == chunk.end()) {
        if (in_click && now - quiet_since > std::chrono::milliseconds(100)) in_click = false;
        continue;
      }
      quiet_since = now;
      if (in_click) continue;
      in_click = true;
      const double after_onset = static_cast<double>(chunk.end() - loud) / kRate;
      arrived.push_back(Seconds(now) - after_onset - latency);
    }
    pa_simple_free(rec);
  }
};

// Pairs every click sent with the first arrival after it, in ms.
std::vector<double> Latencies(const std::vector<double>& sent, const std::vector<double>& arrived) {
  std::vector<double> out;
  for (double s : sent) {
    const auto it = std::find_if(arrived.begin(), arrived.end(), [&](double a) { return a > s; });
    if (it != arrived.end() && *it - s < 1.0) out.push_back((*it - s) * 1000);
  }
  return out;
}

double Median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct TCallResult {
  std::vector<double> latencies;
  double cpu_percent = NAN;            // the whole call: audio engine, transport, event loop
  double transport_cpu_percent = NAN;  // of it, the two transport engines' threads
};

// The method's own error: the clicks recorded straight from the pipe source should arrive at once.
std::vector<double> Calibration(kiv::TPulseDaemon& daemon, double seconds) {
  TClickFeeder feeder;
  TClickRecorder recorder;
  std::thread rec([&] { recorder.Run(daemon.server(), "mic"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  feeder.Run(daemon, seconds, 1.0);
  recorder.stop = true;
  TClickFeeder().Run(daemon, 0.3, 1e6);  // the pipe source is silent without a writer: wake the recorder up
  rec.join();
  std::vector<double> offsets;  // signed: the nearest arrival to each click
  for (double sent : feeder.sent) {
    double best = NAN;
    for (double a : recorder.arrived)
      if (std::isnan(best) || std::abs(a - sent) < std::abs(best)) best = a - sent;
    if (!std::isnan(best)) offsets.push_back(best * 1000);
  }
  return offsets;
}

// A call through the module-loopback of the server: the floor.
TCallResult ServerLoopbackCall(kiv::TPulseDaemon& daemon, double seconds) {
  TCallResult result;
  if (!daemon.Ctl("load-module module-loopback source=mic sink=out latency_msec=20 source_dont_move=1 "
                  "sink_dont_move=1"))
    return result;
  TClickFeeder feeder;
  TClickRecorder recorder;
  std::thread rec([&] { recorder.Run(daemon.server()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  feeder.Run(daemon, seconds, 1.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  recorder.stop = true;
  rec.join();
  daemon.Ctl("unload-module module-loopback");
  result.latencies = Latencies(feeder.sent, recorder.arrived);
  return result;
}

// A call through our engine: capture -> our transport on loopback -> playback.
struct TOurCall {
  std::unique_ptr<kivbench::Endpoint> sender = kivbench::MakeKivEndpoint();
  std::unique_ptr<kivbench::Endpoint> receiver = kivbench::MakeKivEndpoint();
  kivbench::PeerId to_receiver = -1;
  std::int32_t output = -1;
  std::uint8_t quality = 2;

  static void OnBlock(void* self, const void* data, std::uint32_t size, std::int32_t level) {
    auto* call = static_cast<TOurCall*>(self);
    if (level < 100) return;  // as the callers do: silence is not sent
    call->sender->Send(call->to_receiver, kVoiceChannel, {static_cast<const std::uint8_t*>(data), size});
  }
};

TCallResult OurCall(kiv::TPulseDaemon& daemon, double seconds, std::uint8_t quality) {
  TCallResult result;
  TOurCall call;
  call.quality = quality;
  call.output = StartAudioOut(0, nullptr);
  if (call.output < 0) return result;
  const bool started =
      call.receiver->Start(0, [&call](kivbench::PeerId, std::uint8_t, std::span<const std::uint8_t> block) {
        std::vector<std::uint8_t> copy(block.begin(), block.end());
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [&call, copy = std::move(copy)] {
              PlayAudioData(call.output, call.quality, copy.data(), static_cast<std::uint32_t>(copy.size()));
            },
            Qt::QueuedConnection);
      });
  if (!started ||
      !call.sender->Start(0, [](kivbench::PeerId, std::uint8_t, std::span<const std::uint8_t>) {}))
    return result;
  call.to_receiver = call.sender->Connect(call.receiver->Port(), 3000);
  if (call.to_receiver < 0 || !StartAudioIn(quality, 0, nullptr, &TOurCall::OnBlock, &call)) return result;

  // The call's threads: all there are now (main, the engine's sound-server thread, the transport's),
  // before the feeder and the recorder (with its own sound-server thread) start.
  const std::vector<pid_t> call_threads = Tasks();
  TClickFeeder feeder;
  TClickRecorder recorder;
  std::thread rec([&] { recorder.Run(daemon.server()); });
  std::atomic<bool> fed{false};
  const double cpu_start = ThreadsCpuSeconds(call_threads);
  const Clock::time_point wall_start = Clock::now();
  std::thread feed([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    feeder.Run(daemon, seconds, 2.0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    fed = true;
  });
  const std::vector<pid_t> transport_threads = [&] {
    std::vector<pid_t> t = call.sender->Threads(), r = call.receiver->Threads();
    t.insert(t.end(), r.begin(), r.end());
    return t;
  }();
  const double transport_start = ThreadsCpuSeconds(transport_threads);
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (fed) loop.quit();
  });
  poll.start(50);
  loop.exec();
  const double wall = std::chrono::duration<double>(Clock::now() - wall_start).count();
  const double cpu = ThreadsCpuSeconds(call_threads) - cpu_start;
  const double transport_cpu = ThreadsCpuSeconds(transport_threads) - transport_start;
  feed.join();
  recorder.stop = true;
  rec.join();
  StopAudioIn();
  StopAudioOut(call.output);
  result.cpu_percent = cpu / wall * 100;
  result.transport_cpu_percent = transport_cpu / wall * 100;
  result.latencies = Latencies(feeder.sent, recorder.arrived);
  return result;
}

// Mean µs to encode one 20 ms block of speech-like sound (a gliding tone with noise).
double EncodeMicroseconds(std::uint8_t quality, int complexity) {
  const kiv::TVoiceFormat format = *kiv::VoiceFormatOf(quality);
  int error = 0;
  OpusEncoder* encoder = opus_encoder_create(format.sample_rate, 1, OPUS_APPLICATION_VOIP, &error);
  opus_encoder_ctl(encoder, OPUS_SET_BITRATE(format.bitrate));
  opus_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
  if (complexity >= 0) opus_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(complexity));
  const int frame = format.FrameSamples();
  const int frames = 2500;
  std::vector<std::int16_t> pcm(static_cast<std::size_t>(frame) * frames);
  std::uint32_t noise = 1;
  for (std::size_t i = 0; i < pcm.size(); ++i) {
    noise = noise * 1664525u + 1013904223u;
    const double t = static_cast<double>(i) / format.sample_rate;
    pcm[i] =
        static_cast<std::int16_t>(6000 * std::sin(2 * M_PI * (200 + 150 * std::sin(t * 3)) * t) +
                                  static_cast<double>(static_cast<std::int32_t>(noise >> 16) - 32768) / 32);
  }
  std::vector<std::uint8_t> out(kiv::kMaxBlockBytes);
  const Clock::time_point start = Clock::now();
  opus_int32 bytes = 0;
  for (int f = 0; f < frames; ++f) {
    bytes += opus_encode(encoder, pcm.data() + static_cast<std::ptrdiff_t>(f) * frame, frame, out.data(),
                         static_cast<opus_int32>(out.size()));
  }
  const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / frames;
  opus_encoder_destroy(encoder);
  return bytes > 0 ? us : NAN;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  double call_seconds = 60;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]).rfind("--call-seconds=", 0) == 0) call_seconds = std::atof(argv[i] + 15);
  }
  // Encode time: ours against Opus at its default complexity (10).
  for (std::uint8_t quality : {1, 2}) {
    const std::string name = "opus_encode_block_q" + std::to_string(quality);
    kivbench::Print({"audio",
                     name,
                     "us",
                     EncodeMicroseconds(quality, kiv::kEncoderComplexity),
                     {{"opus_default_complexity", EncodeMicroseconds(quality, -1)}}});
  }

  kiv::TPulseDaemon daemon;
  if (!daemon.Available()) {
    std::fprintf(stderr,
                 "bench_audio: no private sound server (pulseaudio, pactl, sox): call figures skipped\n");
    return 0;
  }
  const std::vector<double> calibration = Calibration(daemon, 5);
  std::fprintf(stderr,
               "method check (pipe source recorded directly, should be about 0): %.1f ms over %zu clicks\n",
               Median(calibration), calibration.size());
  const TCallResult floor = ServerLoopbackCall(daemon, 10);
  const TCallResult ours = OurCall(daemon, call_seconds, 2);
  std::fprintf(stderr,
               "server loopback: %zu clicks, ours: %zu clicks over %.0f s; of the call's CPU, %.2f %% of a "
               "core in the transport\n",
               floor.latencies.size(), ours.latencies.size(), call_seconds, ours.transport_cpu_percent);
  for (double l : ours.latencies) std::fprintf(stderr, " %.1f", l);
  std::fprintf(stderr, "\n");
  kivbench::Print({"audio",
                   "mouth_to_ear_latency",
                   "ms",
                   Median(ours.latencies),
                   {{"pulseaudio_module_loopback_20ms", Median(floor.latencies)}}});
  kivbench::Print({"audio", "call_cpu", "% of a core", ours.cpu_percent, {}});

  if (ours.latencies.size() >= 10) {
    const double first = Median({ours.latencies.begin(), ours.latencies.begin() + 5});
    const double last = Median({ours.latencies.end() - 5, ours.latencies.end()});
    kivbench::Print({"audio",
                     "latency_drift_over_" + std::to_string(static_cast<int>(call_seconds)) + "s",
                     "ms",
                     last - first,
                     {}});
  }
  return 0;
}
