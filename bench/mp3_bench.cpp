// MP3 decoding speed in multiples of real time: Sonadec (libmad with the dither to 16 bits) against
// FFmpeg's MP3 decoders (fixed point "mp3", 16-bit planar output; floating point "mp3float") on the same
// stream, the stereo test tone at 96 kbit/s, decoded from start to end in every iteration.
#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "report.h"
#include "sonadec.h"

namespace {

using ByteVector = std::vector<std::uint8_t>;

const ByteVector& Stream() {
  static const ByteVector mp3 = [] {
    std::ifstream in(KIV_SOURCE_DIR "/mp3decoder/tests/data/tone_stereo.mp3", std::ios::binary);
    return ByteVector(std::istreambuf_iterator<char>(in), {});
  }();
  return mp3;
}

// Seconds of audio per iteration, reported as a rate: audio seconds per second of decoding.
void SetRealTime(benchmark::State& state, std::size_t samples_per_channel, int rate) {
  state.counters["xrt"] = benchmark::Counter(static_cast<double>(samples_per_channel) / rate,
                                             benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Sonadec(benchmark::State& state) {
  const auto& mp3 = Stream();
  std::uint8_t out[SONADEC_MAX_FRAME_BYTES];
  std::size_t samples = 0;
  for (auto _ : state) {
    void* decoder = CreateMp3Decoder();
    samples = 0;
    std::uint32_t consumed = 0, produced = 0;
    // Pieces of 4000 bytes, each drained before the next, as a player feeds it.
    for (std::size_t pos = 0; pos < mp3.size(); pos += 4000) {
      const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(4000, mp3.size() - pos));
      int rc = DecodeMp3Data(decoder, mp3.data() + pos, n, out, sizeof out, &consumed, &produced);
      while (rc == 0) {
        samples += produced / 4;
        benchmark::DoNotOptimize(out);
        rc = DecodeMp3Data(decoder, nullptr, 0, out, sizeof out, &consumed, &produced);
      }
    }
    DeleteMp3Decoder(decoder);
  }
  if (samples == 0) state.SkipWithError("nothing decoded");
  SetRealTime(state, samples, 44100);
}
BENCHMARK(BM_Sonadec)->MinTime(1.0);

void DecodeWithFfmpeg(benchmark::State& state, const char* decoder_name) {
  const auto& mp3 = Stream();
  const AVCodec* codec = avcodec_find_decoder_by_name(decoder_name);
  if (!codec) {
    state.SkipWithError("decoder not available");
    return;
  }
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  std::size_t samples = 0;
  int rate = 44100;
  for (auto _ : state) {
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVCodecParserContext* parser = av_parser_init(codec->id);
    avcodec_open2(context, codec, nullptr);
    samples = 0;
    auto drain = [&] {
      while (avcodec_receive_frame(context, frame) == 0) {
        samples += static_cast<std::size_t>(frame->nb_samples);
        rate = frame->sample_rate;
        benchmark::DoNotOptimize(frame->data[0]);
      }
    };
    const std::uint8_t* data = mp3.data();
    int left = static_cast<int>(mp3.size());
    while (left > 0) {
      const int used = av_parser_parse2(parser, context, &packet->data, &packet->size, data, left,
                                        AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
      data += used;
      left -= used;
      if (packet->size > 0 && avcodec_send_packet(context, packet) == 0) drain();
    }
    av_parser_parse2(parser, context, &packet->data, &packet->size, nullptr, 0, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    if (packet->size > 0 && avcodec_send_packet(context, packet) == 0) drain();
    avcodec_send_packet(context, nullptr);
    drain();
    av_parser_close(parser);
    avcodec_free_context(&context);
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  if (samples == 0) state.SkipWithError("nothing decoded");
  SetRealTime(state, samples, rate);
}

void BM_FfmpegMp3(benchmark::State& state) { DecodeWithFfmpeg(state, "mp3"); }
BENCHMARK(BM_FfmpegMp3)->MinTime(1.0);

void BM_FfmpegMp3Float(benchmark::State& state) { DecodeWithFfmpeg(state, "mp3float"); }
BENCHMARK(BM_FfmpegMp3Float)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  return kivbench::Run(argc, argv,
                       {{"mp3",
                         "decode_stereo_96k",
                         "x real time",
                         "BM_Sonadec",
                         {{"ffmpeg_mp3", "BM_FfmpegMp3"}, {"ffmpeg_mp3float", "BM_FfmpegMp3Float"}},
                         kivbench::Measure::kCounter,
                         "xrt"}});
}
