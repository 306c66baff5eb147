#include "sounds.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <numbers>
#include <vector>

#include "base/wire.h"

namespace kiv::assets {
namespace {

constexpr int kRate = 22050;

// One struck note: a fundamental with a few partials, a short attack and an exponential decay.
struct Note {
  double start;              // seconds
  double frequency;          // Hz
  double length;             // seconds until silence
  double gain;               // 0..1
  double decay;              // decay rate per second
  double brightness = 0.35;  // weight of the upper partials
  double bend = 0;           // frequency change over the note, as a factor (0.1 = up 10 %)
};

double Midi(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }

void Render(std::vector<double>& out, const Note& n) {
  const std::size_t first = static_cast<std::size_t>(n.start * kRate);
  const std::size_t count = static_cast<std::size_t>(n.length * kRate);
  if (out.size() < first + count) out.resize(first + count, 0.0);
  double phase = 0;
  for (std::size_t i = 0; i < count; ++i) {
    double t = static_cast<double>(i) / kRate;
    double attack = std::min(1.0, t / 0.006);
    double release = std::min(1.0, (n.length - t) / 0.02);
    double env = attack * release * std::exp(-n.decay * t);
    double f = n.frequency * (1.0 + n.bend * t / n.length);
    phase += 2 * std::numbers::pi * f / kRate;
    double s = std::sin(phase) + n.brightness * 0.5 * std::sin(2 * phase) * std::exp(-3 * t) +
               n.brightness * 0.25 * std::sin(3 * phase) * std::exp(-6 * t) +
               n.brightness * 0.12 * std::sin(4.2 * phase) * std::exp(-10 * t);
    out[first + i] += n.gain * env * s;
  }
}

// A soft knock: a low thump with a short noise burst.
void Knock(std::vector<double>& out, double start, double gain, std::uint32_t& seed) {
  const std::size_t first = static_cast<std::size_t>(start * kRate);
  const std::size_t count = static_cast<std::size_t>(0.12 * kRate);
  if (out.size() < first + count) out.resize(first + count, 0.0);
  double lp = 0;
  for (std::size_t i = 0; i < count; ++i) {
    double t = static_cast<double>(i) / kRate;
    seed = seed * 1664525u + 1013904223u;
    double noise = (static_cast<double>(seed >> 8) / (1u << 24)) * 2 - 1;
    lp += 0.18 * (noise - lp);  // low-passed noise: a wooden sound rather than a hiss
    double f = 180 - 60 * t / 0.12;
    double body = std::sin(2 * std::numbers::pi * f * t) * std::exp(-38 * t);
    double click = lp * std::exp(-70 * t);
    double attack = std::min(1.0, t / 0.002);
    out[first + i] += gain * attack * (0.9 * body + 1.6 * click);
  }
}

bool WriteWav(const std::filesystem::path& path, std::vector<double> samples) {
  samples.resize(samples.size() + kRate / 50, 0.0);  // a short tail of silence
  double peak = 1e-9;
  for (double s : samples) peak = std::max(peak, std::abs(s));
  const double scale = 0.7 * 32767 / peak;  // normalise to about -3 dB
  const std::uint32_t data_size = static_cast<std::uint32_t>(samples.size() * 2);
  std::vector<std::uint8_t> bytes(44 + data_size, 0);
  std::uint8_t* h = bytes.data();
  std::memcpy(h, "RIFF", 4);
  StoreU32(h + 4, 36 + data_size);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  StoreU32(h + 16, 16);
  StoreU16(h + 20, 1);  // PCM
  StoreU16(h + 22, 1);  // mono
  StoreU32(h + 24, kRate);
  StoreU32(h + 28, kRate * 2);  // bytes per second
  StoreU16(h + 32, 2);          // bytes per frame
  StoreU16(h + 34, 16);         // bits per sample
  std::memcpy(h + 36, "data", 4);
  StoreU32(h + 40, data_size);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    auto v = static_cast<std::int16_t>(std::lround(std::clamp(samples[i] * scale, -32767.0, 32767.0)));
    StoreU16(h + 44 + 2 * i, static_cast<std::uint16_t>(v));
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::vector<double> Notes(std::initializer_list<Note> notes) {
  std::vector<double> out;
  for (const Note& n : notes) Render(out, n);
  return out;
}

}  // namespace

bool WriteSounds(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder);
  std::uint32_t seed = 0x2545F491u;
  bool ok = true;
  // Money up: two bright coin pings rising a fifth.
  ok &= WriteWav(folder / "Sound1.wav",
                 Notes({{0.00, Midi(88), 0.35, 0.7, 9, 0.5}, {0.09, Midi(95), 0.55, 0.8, 7, 0.5}}));
  // Money down: the same coin falling, duller.
  ok &= WriteWav(folder / "Sound2.wav",
                 Notes({{0.00, Midi(86), 0.30, 0.7, 10, 0.25}, {0.11, Midi(79), 0.50, 0.7, 8, 0.2}}));
  // Friend online: a rising major arpeggio, soft marimba.
  ok &= WriteWav(folder / "Sound3.wav", Notes({{0.00, Midi(72), 0.35, 0.6, 9, 0.3},
                                               {0.10, Midi(76), 0.35, 0.6, 9, 0.3},
                                               {0.20, Midi(79), 0.60, 0.7, 6, 0.3}}));
  // Friend offline: the arpeggio falling.
  ok &= WriteWav(folder / "Sound4.wav", Notes({{0.00, Midi(79), 0.35, 0.6, 9, 0.25},
                                               {0.11, Midi(76), 0.35, 0.6, 9, 0.25},
                                               {0.22, Midi(72), 0.60, 0.6, 6, 0.2}}));
  // System message: a two-tone bell.
  ok &= WriteWav(folder / "Sound5.wav", Notes({{0.00, Midi(81), 0.90, 0.7, 4.5, 0.6},
                                               {0.00, Midi(81) * 2.76, 0.5, 0.12, 9, 0},
                                               {0.16, Midi(76), 0.90, 0.6, 4.5, 0.6}}));
  // Message from a user: a quick, light double blip.
  ok &= WriteWav(folder / "Sound6.wav", Notes({{0.00, Midi(84), 0.14, 0.6, 18, 0.2, 0.05},
                                               {0.10, Midi(91), 0.30, 0.7, 12, 0.2, 0.03}}));
  // Nudge: three knocks on a door.
  {
    std::vector<double> knock;
    Knock(knock, 0.00, 0.9, seed);
    Knock(knock, 0.16, 0.8, seed);
    Knock(knock, 0.32, 1.0, seed);
    ok &= WriteWav(folder / "knock.wav", std::move(knock));
  }
  // Warning: two firm mid notes, a minor third apart, twice.
  ok &= WriteWav(folder / "Warning.wav", Notes({{0.00, Midi(69), 0.16, 0.7, 6, 0.8},
                                                {0.16, Midi(72), 0.22, 0.7, 6, 0.8},
                                                {0.42, Midi(69), 0.16, 0.6, 6, 0.8},
                                                {0.58, Midi(72), 0.30, 0.6, 6, 0.8}}));
  // Level up: a fanfare arpeggio ending in a sparkle.
  ok &= WriteWav(folder / "LevelUp.wav", Notes({{0.00, Midi(72), 0.25, 0.55, 6, 0.6},
                                                {0.09, Midi(76), 0.25, 0.55, 6, 0.6},
                                                {0.18, Midi(79), 0.25, 0.55, 6, 0.6},
                                                {0.27, Midi(84), 0.90, 0.75, 3.5, 0.6},
                                                {0.27, Midi(88), 0.90, 0.35, 3.5, 0.4},
                                                {0.45, Midi(96), 0.40, 0.18, 8, 0},
                                                {0.55, Midi(100), 0.40, 0.14, 8, 0}}));
  // Button: a short soft tick.
  ok &= WriteWav(folder / "Button.wav", Notes({{0.00, Midi(91), 0.06, 0.6, 45, 0.1, -0.2}}));
  return ok;
}

}  // namespace kiv::assets
