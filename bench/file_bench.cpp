// bench/run file: a 200 MB file through the chat window's file transfer (sender and receiver in two
// processes, each with its own transport engine in mode 0 as in the client), on loopback and through
// netsim at 1 % loss and 20 ms round trip; against, in the same run, our transport's own bulk figure
// on one channel, ENet reliable and TCP with sendfile (loopback; the ceiling).
//
// Figures: goodput (from the accept to the last byte written by the receiver), the CPU time of each
// side per transferred MB, and each side's peak resident memory, also for a 20 MB file so that
// "flat in the file size" can be read off.
//
// Options: --quick (20 MB instead of 200 MB, and 5 MB through netsim); --lossy-mb N sets the size
// through netsim (default 50: at 1 % loss the path carries well under 1 MB/s, so 200 MB would take
// some 5 minutes per contender).
// Internal: --receiver FOLDER runs the receiving side and reports on stdout.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "file_peer.h"
#include "netsim.h"
#include "report.h"
#include "transport/endpoint.h"
#include "transport/scenarios.h"

namespace kivbench {
std::unique_ptr<Endpoint> MakeKivEndpoint();
}

using namespace kivbench;

namespace {

constexpr std::uint32_t kSenderCode = 10001, kReceiverCode = 10002;

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double PeakRssMB() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB
}

// Runs the Qt loop until `done` holds or `limit_ms` passed. The loop sleeps in Qt's wait, as the
// client's does, so the transport's socket is read the moment a datagram arrives; a timer makes it
// look at `done` at least every 20 ms.
template <typename Fn>
bool Loop(Fn done, int limit_ms) {
  QElapsedTimer timer;
  timer.start();
  QTimer tick;
  tick.start(20);
  while (!done() && timer.elapsed() < limit_ms) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return done();
}

// The receiving process: prints "port N", accepts the first offer, prints "done CPU PEAK" once the
// file is complete, and leaves.
int Receiver(const char* folder) {
  int argc = 1;
  char name[] = "bench_file";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  kiv::TFilePeer peer(kReceiverCode, kSenderCode, folder);
  std::printf("port %u\n", peer.Port());
  std::fflush(stdout);
  bool accepted = false;
  const double cpu_before = CpuSeconds();
  Loop(
      [&] {
        if (!accepted && peer.Has(kiv::TFileNoteKind::kOfferReceived)) {
          peer.files->Accept(peer.Last(kiv::TFileNoteKind::kOfferReceived)->operate_id);
          accepted = true;
        }
        return peer.Has(kiv::TFileNoteKind::kReceiveComplete) || peer.Has(kiv::TFileNoteKind::kFailed);
      },
      600000);
  std::printf("done %d %.3f %.1f\n", peer.Has(kiv::TFileNoteKind::kReceiveComplete) ? 1 : 0,
              CpuSeconds() - cpu_before, PeakRssMB());
  std::fflush(stdout);
  // Let the last acknowledgements leave before the engine stops.
  Loop([] { return false; }, 200);
  return 0;
}

struct FileRun {
  double goodput = 0;  // MB/s
  double sender_cpu_s = 0, receiver_cpu_s = 0;
  double sender_peak_mb = 0, receiver_peak_mb = 0;
  bool ok = false;
};

// Reads one line from the child's stdout, letting the Qt loop run meanwhile.
bool ReadLine(int fd, std::string& line, int limit_ms) {
  line.clear();
  bool readable = false;
  QSocketNotifier notifier(fd, QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, [&] { readable = true; });
  if (!Loop([&] { return readable; }, limit_ms)) return false;
  notifier.setEnabled(false);
  char c;
  while (::read(fd, &c, 1) == 1) {
    if (c == '\n') return true;
    line.push_back(c);
  }
  return false;
}

FileRun SendThroughTheChat(const std::filesystem::path& file, const std::filesystem::path& scratch,
                           const std::optional<kiv::netsim::Impairment>& impairment) {
  FileRun result;
  std::filesystem::remove_all(scratch / "in");
  std::filesystem::create_directories(scratch / "in");
  int out[2];
  if (::pipe(out) != 0) return result;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string folder = (scratch / "in").string();
  std::string arg0 = self, arg1 = "--receiver", arg2 = folder;
  char* argv[] = {arg0.data(), arg1.data(), arg2.data(), nullptr};
  pid_t child = 0;
  int spawned = posix_spawn(&child, self.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    return result;
  }
  std::string line;
  unsigned port = 0;
  if (ReadLine(out[0], line, 20000)) std::sscanf(line.c_str(), "port %u", &port);
  {
    kiv::TFilePeer sender(kSenderCode, kReceiverCode, scratch / "unused");
    std::unique_ptr<kiv::netsim::Relay> relay;
    std::uint16_t target = static_cast<std::uint16_t>(port);
    if (impairment) {
      relay = std::make_unique<kiv::netsim::Relay>("127.0.0.1", 0, "127.0.0.1", target, 17);
      relay->SetBoth(*impairment);
      target = relay->port();
    }
    bool connected = sender.ConnectToPort(target);
    const double cpu_before = CpuSeconds();
    if (connected && sender.files->ReadySendFile(file)) {
      Loop([&] { return sender.Has(kiv::TFileNoteKind::kStarted) || sender.Has(kiv::TFileNoteKind::kFailed); },
           20000);
      QElapsedTimer timer;
      timer.start();
      int ok = 0;
      double cpu = 0, peak = 0;
      if (ReadLine(out[0], line, 600000) && std::sscanf(line.c_str(), "done %d %lf %lf", &ok, &cpu, &peak) == 3) {
        const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
        result.ok = ok == 1;
        result.goodput = static_cast<double>(std::filesystem::file_size(file)) / seconds / 1e6;
        result.receiver_cpu_s = cpu;
        result.receiver_peak_mb = peak;
      }
    }
    result.sender_cpu_s = CpuSeconds() - cpu_before;
    result.sender_peak_mb = PeakRssMB();
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return result;
}

// TCP with sendfile from the file, the receiver writing to a file: the ceiling of this machine.
double TcpSendfile(const std::filesystem::path& file, const std::filesystem::path& scratch) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    ::close(listener);
    return 0;
  }
  const std::uint64_t size = std::filesystem::file_size(file);
  std::filesystem::create_directories(scratch / "tcp");
  const std::string target = (scratch / "tcp" / "copy").string();
  std::chrono::steady_clock::time_point end;
  std::thread receiver([&] {
    int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<char> buffer(256 * 1024);
    std::uint64_t got = 0;
    while (got < size) {
      ssize_t r = ::read(s, buffer.data(), buffer.size());
      if (r <= 0) break;
      if (::write(fd, buffer.data(), static_cast<std::size_t>(r)) != r) break;
      got += static_cast<std::uint64_t>(r);
    }
    end = std::chrono::steady_clock::now();
    ::close(fd);
    ::close(s);
  });
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const auto start = std::chrono::steady_clock::now();
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    off_t offset = 0;
    while (static_cast<std::uint64_t>(offset) < size) {
      ssize_t r = ::sendfile(s, fd, &offset, size - static_cast<std::uint64_t>(offset));
      if (r <= 0) break;
    }
    ::close(fd);
  }
  ::shutdown(s, SHUT_WR);
  receiver.join();
  ::close(s);
  ::close(listener);
  std::filesystem::remove(target);
  return static_cast<double>(size) / std::chrono::duration<double>(end - start).count() / 1e6;
}

void MakeFile(const std::filesystem::path& path, std::uint64_t size) {
  std::ofstream out(path, std::ios::binary);
  std::mt19937_64 gen(42);
  std::vector<std::uint64_t> chunk(1 << 17);
  for (std::uint64_t written = 0; written < size;) {
    for (auto& w : chunk) w = gen();
    const std::uint64_t n = std::min<std::uint64_t>(size - written, chunk.size() * 8);
    out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
    written += n;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && !std::strcmp(argv[1], "--receiver")) return Receiver(argv[2]);
  bool quick = false;
  std::uint64_t lossy_mb = 0;
  for (int i = 1; i < argc; ++i) {
    quick = quick || !std::strcmp(argv[i], "--quick");
    if (!std::strcmp(argv[i], "--lossy-mb") && i + 1 < argc) lossy_mb = std::strtoull(argv[++i], nullptr, 10);
  }
  const std::uint64_t big = (quick ? 20ull : 200ull) * 1000 * 1000;
  const std::uint64_t small = 20ull * 1000 * 1000;
  const std::uint64_t lossy_size = (lossy_mb ? lossy_mb : quick ? 5ull : 50ull) * 1000 * 1000;

  std::string pattern = (std::filesystem::temp_directory_path() / "kivbench-file.XXXXXX").string();
  if (!::mkdtemp(pattern.data())) return 1;
  const std::filesystem::path scratch = pattern;
  MakeFile(scratch / "big.bin", big);
  MakeFile(scratch / "small.bin", small);
  MakeFile(scratch / "lossy.bin", lossy_size);

  QCoreApplication app(argc, argv);
  const kiv::netsim::Impairment lossy{.loss = 0.01, .delay_ms = 10};

  // The sender runs in this process: measure it first, smaller file first, so that its peak memory
  // is not that of the peers' runs below.
  const FileRun loop_small = SendThroughTheChat(scratch / "small.bin", scratch, std::nullopt);
  const FileRun loop = SendThroughTheChat(scratch / "big.bin", scratch, std::nullopt);
  const FileRun impaired = SendThroughTheChat(scratch / "lossy.bin", scratch, lossy);

  // Peers and our transport's own bulk figure, one channel, same sizes.
  EndpointFactory ours_transport = [] { return MakeKivEndpoint(); };
  EndpointFactory enet = [] { return MakeEnetEndpoint(16); };
  const double transport_loop = Bulk(ours_transport, big, 64 * 1024, 4 << 20);
  const double enet_loop = Bulk(enet, big, 64 * 1024, 4 << 20);
  const double tcp_loop = TcpSendfile(scratch / "big.bin", scratch);
  const double transport_lossy = Bulk(ours_transport, lossy_size, 64 * 1024, 4 << 20, {lossy});
  const double enet_lossy = Bulk(enet, lossy_size, 64 * 1024, 4 << 20, {lossy});


  const std::string big_name = std::to_string(big / 1000000) + "MB";
  const std::string lossy_name = std::to_string(lossy_size / 1000000) + "MB";
  Print({"file",
         "goodput_" + big_name + "_loopback",
         "MB/s",
         loop.ok ? loop.goodput : 0,
         {{"transport_bulk_1ch", transport_loop}, {"enet", enet_loop}, {"tcp_sendfile", tcp_loop}}});
  Print({"file",
         "goodput_" + lossy_name + "_1pct_loss_20ms_rtt",
         "MB/s",
         impaired.ok ? impaired.goodput : 0,
         {{"transport_bulk_1ch", transport_lossy}, {"enet", enet_lossy}}});
  auto per_mb = [](double cpu, std::uint64_t bytes) { return cpu / (static_cast<double>(bytes) / 1e6) * 1000; };
  Print({"file", "sender_cpu_loopback", "ms per MB", per_mb(loop.sender_cpu_s, big), {}});
  Print({"file", "receiver_cpu_loopback", "ms per MB", per_mb(loop.receiver_cpu_s, big), {}});
  Print({"file", "sender_cpu_lossy", "ms per MB", per_mb(impaired.sender_cpu_s, lossy_size), {}});
  Print({"file", "receiver_cpu_lossy", "ms per MB", per_mb(impaired.receiver_cpu_s, lossy_size), {}});
  Print({"file",
         "sender_peak_rss_" + big_name,
         "MB",
         loop.sender_peak_mb,
         {{"sender_20MB", loop_small.sender_peak_mb}}});
  Print({"file",
         "receiver_peak_rss_" + big_name,
         "MB",
         loop.receiver_peak_mb,
         {{"receiver_20MB", loop_small.receiver_peak_mb}}});
  std::filesystem::remove_all(scratch);
  return loop.ok && impaired.ok ? 0 : 1;
}
