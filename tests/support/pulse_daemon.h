// A private PulseAudio daemon for one test: no sound card, no system or user configuration.
//
// It has a null sink "out" (its monitor "out.monitor" records what is played) and a pipe source
// "mic" fed by the test through `Feed`, which writes in real time the way a microphone would. The
// process's PULSE_SERVER points at it while the object lives. `Available()` is false (the test
// should skip) when the machine has no pulseaudio or sox.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "test_dir.h"

extern char** environ;

namespace kiv {

class TPulseDaemon {
 public:
  static bool ToolsPresent() {
    return std::system(
               "command -v pulseaudio >/dev/null && command -v pactl >/dev/null && "
               "command -v parec >/dev/null && command -v sox >/dev/null") == 0;
  }

  TPulseDaemon() {
    if (!ToolsPresent() || dir_.path().empty()) return;
    const std::string d = dir_.path().string();
    server_ = "unix:" + d + "/native";
    const std::string env_home = "HOME=" + d, env_runtime = "XDG_RUNTIME_DIR=" + d,
                      env_config = "XDG_CONFIG_HOME=" + d;
    std::vector<std::string> args = {
        "pulseaudio",
        "-n",
        "--daemonize=no",
        "--exit-idle-time=-1",
        "--use-pid-file=no",
        "--disable-shm=yes",
        "--log-target=file:" + d + "/daemon.log",
        "-L",
        "module-native-protocol-unix auth-anonymous=1 socket=" + d + "/native",
        "-L",
        "module-null-sink sink_name=out rate=48000 channels=1",
        "-L",
        "module-pipe-source source_name=mic file=" + d + "/mic.fifo rate=48000 channels=1 format=s16le"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = {env_home, env_runtime, env_config, "PATH=/usr/bin:/bin"};
    std::vector<char*> envp;
    for (std::string& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (posix_spawnp(&pid_, "pulseaudio", nullptr, nullptr, argv.data(), envp.data()) != 0) {
      pid_ = -1;
      return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Ctl("list short sources", "grep -q '\tmic\t'")) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ready_ = Ctl("set-default-source mic") && Ctl("set-default-sink out");
    ::setenv("PULSE_SERVER", server_.c_str(), 1);
  }

  ~TPulseDaemon() {
    StopRecording();
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      int status = 0;
      while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          ::kill(pid_, SIGKILL);
          ::waitpid(pid_, &status, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    ::unsetenv("PULSE_SERVER");
  }
  TPulseDaemon(const TPulseDaemon&) = delete;
  TPulseDaemon& operator=(const TPulseDaemon&) = delete;

  bool Available() const { return ready_; }
  pid_t pid() const { return pid_; }
  const std::filesystem::path& dir() const { return dir_.path(); }
  const std::string& server() const { return server_; }

  // Runs `pactl <command>` against this daemon; `filter` is a shell pipe its output goes through.
  bool Ctl(const std::string& command, const std::string& filter = "cat") const {
    return std::system(
               ("pactl --server=" + server_ + " " + command + " 2>/dev/null | " + filter + " >/dev/null")
                   .c_str()) == 0;
  }
  // The first line of `pactl <command>`'s output.
  std::string CtlOutput(const std::string& command) const {
    std::string text;
    if (FILE* pipe = ::popen(("pactl --server=" + server_ + " " + command + " 2>/dev/null").c_str(), "r")) {
      char line[512];
      if (std::fgets(line, sizeof line, pipe)) text = line;
      ::pclose(pipe);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
  }

  // Another pipe source, `name`, fed through `Feed(name, …)`.
  bool AddSource(const std::string& name) {
    return Ctl("load-module module-pipe-source source_name=" + name +
               " file=" + (dir() / (name + ".fifo")).string() + " rate=48000 channels=1 format=s16le");
  }

  // Writes 48 kHz mono samples into the source's pipe in 10 ms pieces at real-time pace; returns
  // when all are written. Like a microphone nobody listens to, pieces the source does not take
  // (it is suspended while nothing records) are lost.
  void Feed(const std::vector<std::int16_t>& samples, const std::string& source = "mic") const {
    const int fd = ::open((dir() / (source + ".fifo")).c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) return;
    constexpr std::size_t kPiece = 480;
    auto next = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < samples.size(); at += kPiece) {
      const std::size_t n = std::min(kPiece, samples.size() - at);
      if (::write(fd, samples.data() + at, n * sizeof(std::int16_t)) < 0 && errno != EAGAIN) break;
      next += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next);
    }
    ::close(fd);
  }

  // Records the sink's monitor (48 kHz mono raw) into `file` until StopRecording. The monitor
  // carries sound only while something plays; with something playing, this returns once the
  // recording has begun (the server may take a moment to start a new monitor stream).
  bool StartRecording(const std::filesystem::path& file, bool wait_for_sound = true) {
    const std::string command =
        "exec parec --server=" + server_ +
        " -d out.monitor --rate=48000 --channels=1 --format=s16le --raw --latency-msec=10 > '" +
        file.string() + "' 2>'" + file.string() + ".log'";
    std::vector<std::string> args = {"sh", "-c", command};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&recorder_, "sh", nullptr, nullptr, argv.data(), environ) != 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::error_code error;
    while (wait_for_sound && std::chrono::steady_clock::now() < deadline) {
      if (std::filesystem::exists(file, error) && std::filesystem::file_size(file, error) > 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return !wait_for_sound;
  }
  void StopRecording() {
    if (recorder_ <= 0) return;
    ::kill(recorder_, SIGTERM);
    int status = 0;
    ::waitpid(recorder_, &status, 0);
    recorder_ = -1;
  }

 private:
  TestDir dir_;
  std::string server_;
  pid_t pid_ = -1;
  pid_t recorder_ = -1;
  bool ready_ = false;
};

// Samples made by sox: `effect` is a sox synth line such as "sine 1000 vol -20dB".
inline std::vector<std::int16_t> SoxSamples(double seconds, const std::string& effect, int rate = 48000) {
  std::vector<std::int16_t> samples;
  const std::string command = "sox -n -t raw -r " + std::to_string(rate) + " -e signed -b 16 -c 1 - synth " +
                              std::to_string(seconds) + " " + effect + " 2>/dev/null";
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    std::int16_t buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, sizeof(std::int16_t), 4096, pipe)) > 0)
      samples.insert(samples.end(), buffer, buffer + n);
    ::pclose(pipe);
  }
  return samples;
}

// What sox's "stat" says about a stretch of a raw 48 kHz mono recording: the stretch starts
// `skip` seconds after the sound starts (after the leading silence, unless `from_sound` is false)
// and lasts `length` seconds.
struct TSoxStat {
  double rms = 0;        // RMS amplitude, 0 to 1
  double frequency = 0;  // sox's rough frequency, Hz
};
inline TSoxStat SoxStat(const std::filesystem::path& raw, double skip, double length,
                        bool from_sound = true) {
  TSoxStat stat;
  const std::string command = "sox -t raw -r 48000 -e signed -b 16 -c 1 '" + raw.string() + "' -n " +
                              (from_sound ? "silence 1 0.005 1% " : "") + "trim " + std::to_string(skip) +
                              " " + std::to_string(length) + " stat 2>&1";
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, pipe)) {
      const std::string text = line;
      const auto value = [&] { return std::atof(text.substr(text.find(':') + 1).c_str()); };
      if (text.rfind("RMS     amplitude", 0) == 0) stat.rms = value();
      if (text.rfind("Rough   frequency", 0) == 0) stat.frequency = value();
    }
    ::pclose(pipe);
  }
  return stat;
}

}  // namespace kiv
