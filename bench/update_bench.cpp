// bench/run update: a 20 MB update over loopback, from the start of KivUpdate to its end after
// success, and the updater's peak resident memory, against copying the same files with cp. A 2 MB
// update shows whether the updater's memory grows with the update.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/socket.h"
#include "control_socket.h"
#include "report.h"
#include "server_process.h"

namespace fs = std::filesystem;

namespace {

struct TChildRun {
  double seconds = 0;
  long peak_rss_kb = 0;
  int status = -1;
};

// Runs `argv` with `env` added and reports its wall time and peak resident memory.
TChildRun RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const fs::path& cwd) {
  TChildRun run;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    if (chdir(cwd.c_str()) != 0) _exit(127);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  struct rusage usage {};
  wait4(pid, &run.status, 0, &usage);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peak_rss_kb = usage.ru_maxrss;
  return run;
}

void WriteRelease(const fs::path& folder, std::size_t total) {
  std::mt19937 rng(7);
  const std::size_t each = total / 4;
  for (int i = 0; i < 4; ++i) {
    std::vector<char> data(each);
    if (i % 2 == 0) {
      for (auto& c : data) c = static_cast<char>(rng());  // incompressible: sent as it is
    } else {
      for (std::size_t k = 0; k < data.size(); ++k)
        data[k] = static_cast<char>("kivora update text "[k % 19] + (rng() % 4 == 0 ? 1 : 0));
    }
    const fs::path path = folder / (i < 2 ? "Plugins" : "Datas") / ("file" + std::to_string(i) + ".bin");
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
  }
}

struct TResult {
  TChildRun update, copy;
};

}  // namespace

int main() {
  const fs::path root = fs::temp_directory_path() / ("kivbench-update-" + std::to_string(getpid()));
  fs::create_directories(root);
  const fs::path data = root / "server";
  const int port = kiv::GetFreePort(23000, false);
  kiv::testing::TServerProcess server;
  std::string error;
  if (!server.Start(kiv::testing::ServerBinary(),
                    {"--data", data.string(), "--login-port", "0", "--home-port", "0", "--web-port", "0",
                     "--update-port", std::to_string(port), "--hash-cost", "min"},
                    20000, &error)) {
    std::fprintf(stderr, "cannot start the server: %s\n", error.c_str());
    return 1;
  }
  const std::vector<std::string> env = {"QT_QPA_PLATFORM=offscreen", "KIVUPDATE_START_DELAY_MS=0",
                                        "KIVUPDATE_CLOSE_DELAY_MS=0"};
  std::map<std::size_t, TResult> results;
  int version = 201103;
  for (std::size_t total : {std::size_t{2} << 20, std::size_t{20} << 20}) {
    const fs::path release = root / ("release" + std::to_string(total));
    WriteRelease(release, total);
    std::string answer;
    kiv::server::ControlRequest(data / "control.sock",
                                {"publish-update", std::to_string(version), "1", release.string()}, answer);
    if (answer.rfind("published", 0) != 0) {
      std::fprintf(stderr, "publish failed: %s", answer.c_str());
      return 1;
    }
    const fs::path client = root / ("client" + std::to_string(total));
    fs::create_directories(client);
    // The updater installs into its own folder: run a copy of it there.
    fs::copy_file(fs::path(KIV_BIN_DIR) / "KivUpdate", client / "KivUpdate");
    TResult& r = results[total];
    r.update = RunChild({(client / "KivUpdate").string(), std::to_string(version - 1), "127.0.0.1",
                         std::to_string(port), "1", "1"},
                        env, client);
    r.copy = RunChild(
        {"cp", "-r", release.string() + "/.", (root / ("copy" + std::to_string(total))).string()}, {}, root);
    std::error_code ec;
    if (fs::file_size(client / "Datas" / "file3.bin", ec) != total / 4 || r.update.status != 0)
      std::fprintf(stderr, "update of %zu bytes did not complete (status %d)\n", total, r.update.status);
    ++version;
  }
  const TResult& big = results[std::size_t{20} << 20];
  const TResult& small = results[std::size_t{2} << 20];
  kivbench::Print({"update", "time_to_success_20MB", "s", big.update.seconds, {{"cp", big.copy.seconds}}});
  kivbench::Print({"update",
                   "peak_rss_20MB",
                   "KiB",
                   static_cast<double>(big.update.peak_rss_kb),
                   {{"cp", static_cast<double>(big.copy.peak_rss_kb)}}});
  kivbench::Print({"update",
                   "peak_rss_growth_2MB_to_20MB",
                   "KiB",
                   static_cast<double>(big.update.peak_rss_kb - small.update.peak_rss_kb),
                   {{"cp", static_cast<double>(big.copy.peak_rss_kb - small.copy.peak_rss_kb)}}});
  server.Signal(SIGTERM);
  server.Wait();
  fs::remove_all(root);
  return 0;
}
