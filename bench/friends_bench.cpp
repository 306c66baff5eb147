// bench/run friends: the friend list at sign-in, on the client and on the server.
//
//   list_ready_cold_ms / list_ready_warm_ms
//       A user with 500 friends, 100 of them signed in (protocol clients). The driver runs itself
//       as a client process (the same libraries, windows and KivFriend plug-in as Kivora, on the
//       offscreen platform) and times from pressing "登录" until the friend list holds all 500
//       friends with the 100 online ones in state 1: without the cache files (the list comes from
//       0x30005/0x30017) and with them (the states come from 0x30006). Median of 5 runs each; the
//       peer is the time to the signed-in main window in the same runs, so the ratio shows what
//       the list adds.
//   server_cpu_signin_1000x50_s / server_cpu_percent_1000x50
//       1000 users with 50 friends each sign in, evenly spread over 10 s, each asking for its
//       friend list as the client does; the server's CPU time (user + system) over the run, and
//       that time as a share of one core over the run's wall time. The peer is the same run with
//       users who have no friends.
// Password hashes use the minimum cost, so the figures show the friends' work, not the hash.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/text_checks.h"
#include "declare/declare.h"
#include "declare/friend_wire.h"
#include "ma_main.h"
#include "manager/global_manager.h"
#include "password_hash.h"
#include "protocol_client.h"
#include "report.h"
#include "server_process.h"
#include "store.h"

namespace {

using namespace kiv;
namespace fw = friend_wire;

constexpr const char* kPassword = "kivora";
constexpr int kRuns = 5;
constexpr std::uint32_t kSubject = 60000;  // the user with 500 friends: 60001 .. 60500
constexpr int kListFriends = 500, kListOnline = 100;
constexpr std::uint32_t kCrowdFirst = 70001;  // the 1000 users of the server figure
constexpr int kCrowd = 1000, kCrowdFriends = 50;
constexpr double kCrowdSeconds = 10;

std::int64_t NowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

template <typename Fn>
bool Until(Fn done, int limit_ms = 120000) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < limit_ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return done();
}

// ---- the client process -------------------------------------------------------------------------

// Signs in as the subject; prints "signin_ms list_ms".
int RunClient(const std::filesystem::path& app) {
  int argc = 1;
  char name[] = "Kivora";
  char* argv[] = {name, nullptr};
  SetAppType(1, app / "DBConfig.ini");
  QApplication application(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  TManagerOptions options;
  options.app_folder = app;
  auto form = std::make_unique<TMainForm>(options);
  TManager& manager = *form->Manager();
  if (!Until([&] { return manager.LoginForm() && manager.LoginForm()->isVisible(); })) return 1;
  TLoginForm* login = manager.LoginForm();
  login->UserCodeBox()->setEditText(QString::number(kSubject));
  login->PasswordBox()->setText(QString::fromUtf8(kPassword));
  const std::int64_t pressed = NowNs();
  login->LoginButton()->click();
  if (!Until([&] { return GlobalManager->RunState == kRunSignedIn && form->isVisible(); })) return 2;
  const std::int64_t signed_in = NowNs();
  auto complete = [] {
    int known = 0, online = 0;
    for (const auto& g : GlobalManager->FriendGroupList)
      for (const auto& m : g->members) {
        ++known;
        if (m->state == kStateOnline) ++online;
      }
    return known == kListFriends && online == kListOnline;
  };
  if (!Until(complete)) return 3;
  const std::int64_t ready = NowNs();
  std::printf("%.3f %.3f\n", (signed_in - pressed) / 1e6, (ready - pressed) / 1e6);
  std::fflush(stdout);
  form.reset();
  return 0;
}

// ---- seeding --------------------------------------------------------------------------------------

bool CreateAccounts(const std::filesystem::path& db, std::uint32_t first, int count) {
  std::unique_ptr<server::IAccountStore> store = server::OpenStore(db.string());
  server::TPasswordHasher hasher(server::ParseHashCost("min"));
  server::TAccount a;
  a.password_hash = hasher.Hash(MD5(kPassword, 2));
  a.money = 1000;
  for (int i = 0; i < count; ++i) {
    a.code = first + static_cast<std::uint32_t>(i);
    a.nickname = "用户" + std::to_string(a.code);
    if (store->Create(a) != a.code) return false;
  }
  return true;
}

// Both directions of every pair, in one transaction (the store's own call commits each pair).
bool AddFriendships(const std::filesystem::path& db,
                    const std::vector<std::pair<std::uint32_t, std::uint32_t>>& pairs) {
  sqlite3* handle = nullptr;
  if (sqlite3_open(db.c_str(), &handle) != SQLITE_OK) return false;
  bool ok = sqlite3_exec(handle, "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_stmt* insert = nullptr;
  ok = ok && sqlite3_prepare_v2(
                 handle, "INSERT OR IGNORE INTO friendships (owner, friend, group_id) VALUES (?1, ?2, 1)", -1,
                 &insert, nullptr) == SQLITE_OK;
  for (std::size_t i = 0; ok && i < pairs.size(); ++i) {
    for (auto [x, y] : {pairs[i], std::pair{pairs[i].second, pairs[i].first}}) {
      sqlite3_bind_int64(insert, 1, x);
      sqlite3_bind_int64(insert, 2, y);
      ok = sqlite3_step(insert) == SQLITE_DONE;
      sqlite3_reset(insert);
    }
  }
  sqlite3_finalize(insert);
  ok = ok && sqlite3_exec(handle, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(handle);
  return ok;
}

bool StartServer(testing::TServerProcess& server, const std::filesystem::path& data) {
  std::string error;
  if (!server.Start(testing::ServerBinary(),
                    {"--data", data.string(), "--login-port", "0", "--home-port", "0", "--web-port", "0", "--hash-cost", "min",
                     "--announce", "127.0.0.1", "--sign-in-rate", "0"},
                    30000, &error)) {
    std::fprintf(stderr, "kivora-server did not start: %s\n", error.c_str());
    return false;
  }
  return true;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// ---- the list at sign-in --------------------------------------------------------------------------

struct TListFigures {
  std::vector<double> cold_signin, cold_list, warm_signin, warm_list;
};

bool RunClientProcess(const std::filesystem::path& app, double& signin_ms, double& list_ms) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  int out[2];
  if (pipe(out) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("PULSE_SERVER", "unix:/nonexistent/kivora-bench-pulse", 1);
    execl(self.c_str(), self.c_str(), "--client", app.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string line;
  char buffer[256];
  for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) > 0;)
    line.append(buffer, static_cast<std::size_t>(got));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (std::sscanf(line.c_str(), "%lf %lf", &signin_ms, &list_ms) != 2) {
    std::fprintf(stderr, "client run failed (status %d)\n", status);
    return false;
  }
  return true;
}

bool MeasureList(const std::filesystem::path& root, TListFigures& figures) {
  const std::filesystem::path data = root / "list-data";
  std::filesystem::create_directories(data);
  const std::filesystem::path db = data / "kivora.db";
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
  for (int i = 1; i <= kListFriends; ++i)
    pairs.emplace_back(kSubject, kSubject + static_cast<std::uint32_t>(i));
  if (!CreateAccounts(db, kSubject, kListFriends + 1) || !AddFriendships(db, pairs)) return false;
  testing::TServerProcess server;
  if (!StartServer(server, data)) return false;

  std::vector<std::unique_ptr<testing::TProtocolClient>> online;
  for (int i = 1; i <= kListOnline; ++i) {
    auto& peer = online.emplace_back(std::make_unique<testing::TProtocolClient>());
    testing::TLoginFields f{kSubject + static_cast<std::uint32_t>(i), kPassword};
    if (!peer->SignInVia(server.Login(), f, 30000).ok()) {
      std::fprintf(stderr, "friend %u did not sign in\n", f.user);
      return false;
    }
  }

  const std::filesystem::path bin = KIV_BIN_DIR;
  const std::filesystem::path app = root / "app";
  std::filesystem::create_directories(app / "Plugins");
  for (const char* folder : {"skins", "faces", "Sounds"})
    std::filesystem::create_directory_symlink(bin / folder, app / folder);
  for (const char* plugin : {"KivHint.so", "KivFriend.so"})
    std::filesystem::copy_file(bin / "Plugins" / plugin, app / "Plugins" / plugin);
  std::ofstream(app / "DBConfig.ini")
      << "[Server]\nLoginServer=127.0.0.1\nLoginPort=" << server.Login().port << "\n";
  const std::filesystem::path user = app / std::to_string(kSubject);

  for (int run = 0; run < kRuns; ++run) {
    std::error_code ignored;
    std::filesystem::remove(user / "FriendInfo.dat", ignored);
    std::filesystem::remove(user / "FriendGroupInfo.dat", ignored);
    double signin = 0, list = 0;
    if (!RunClientProcess(app, signin, list)) return false;
    figures.cold_signin.push_back(signin);
    figures.cold_list.push_back(list);
    std::fprintf(stderr, "run %d, cold cache: signed in %.1f ms, list complete %.1f ms\n", run, signin, list);
    if (!std::filesystem::exists(user / "FriendInfo.dat")) {
      std::fprintf(stderr, "the client wrote no cache\n");
      return false;
    }
    if (!RunClientProcess(app, signin, list)) return false;
    figures.warm_signin.push_back(signin);
    figures.warm_list.push_back(list);
    std::fprintf(stderr, "run %d, warm cache: signed in %.1f ms, list complete %.1f ms\n", run, signin, list);
  }
  online.clear();
  server.Signal(SIGTERM);
  server.Wait();
  return true;
}

// ---- server CPU for a crowd signing in ------------------------------------------------------------

double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), {});
  std::size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos) return 0;
  std::istringstream fields(text.substr(close_paren + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;  // fields 3 .. 13
  double utime = 0, stime = 0;
  fields >> utime >> stime;
  return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct TCrowdRun {
  double cpu_s = 0, wall_s = 0;
  bool ok = false;
};

TCrowdRun MeasureCrowd(const std::filesystem::path& root, bool with_friends) {
  TCrowdRun run;
  const std::filesystem::path data = root / (with_friends ? "crowd-friends" : "crowd-alone");
  std::filesystem::create_directories(data);
  const std::filesystem::path db = data / "kivora.db";
  if (!CreateAccounts(db, kCrowdFirst, kCrowd)) return run;
  if (with_friends) {
    // A ring: each user is a friend of the 25 after it and the 25 before it.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
    for (int i = 0; i < kCrowd; ++i)
      for (int d = 1; d <= kCrowdFriends / 2; ++d)
        pairs.emplace_back(kCrowdFirst + static_cast<std::uint32_t>(i),
                           kCrowdFirst + static_cast<std::uint32_t>((i + d) % kCrowd));
    if (!AddFriendships(db, pairs)) return run;
  }
  testing::TServerProcess server;
  if (!StartServer(server, data)) return run;

  std::vector<std::unique_ptr<testing::TProtocolClient>> clients(kCrowd);
  for (auto& c : clients) c = std::make_unique<testing::TProtocolClient>();
  std::atomic<int> done{0};
  const auto start = std::chrono::steady_clock::now();
  const double cpu_before = CpuSeconds(server.Pid());
  std::vector<std::thread> drivers;
  constexpr int kDrivers = 50;
  for (int t = 0; t < kDrivers; ++t) {
    drivers.emplace_back([&, t] {
      for (int i = t; i < kCrowd; i += kDrivers) {
        // User i starts at i / kCrowd of the ten seconds.
        std::this_thread::sleep_until(
            start + std::chrono::microseconds(static_cast<std::int64_t>(kCrowdSeconds * 1e6 * i / kCrowd)));
        const std::uint32_t code = kCrowdFirst + static_cast<std::uint32_t>(i);
        testing::TProtocolClient& c = *clients[static_cast<std::size_t>(i)];
        auto s = c.SignInVia(server.Login(), {code, kPassword}, 60000);
        if (!s.ok()) continue;
        RecordWriter w(fw::list_request::kSize);
        w.u32(0, fw::kListRequest).u32(fw::list_request::kOwnCode, code);
        if (c.Ask(s.home, w.take(), fw::kList, 60000)) ++done;
      }
    });
  }
  for (auto& d : drivers) d.join();
  run.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.cpu_s = CpuSeconds(server.Pid()) - cpu_before;
  run.ok = done == kCrowd;
  std::fprintf(stderr, "%s: %d of %d signed in with their lists in %.2f s, server CPU %.2f s\n",
               with_friends ? "50 friends each" : "no friends", done.load(), kCrowd, run.wall_s, run.cpu_s);
  clients.clear();
  server.Signal(SIGTERM);
  server.Wait();
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--client") return RunClient(argv[2]);

  char pattern[] = "/tmp/kivbench.XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const std::filesystem::path root = pattern;
  TListFigures list;
  const bool list_ok = MeasureList(root, list);
  const TCrowdRun alone = MeasureCrowd(root, false);
  const TCrowdRun crowd = MeasureCrowd(root, true);
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  if (!list_ok || !alone.ok || !crowd.ok) return 1;

  kivbench::Print({"friends",
                   "list_ready_cold_ms",
                   "ms",
                   Median(list.cold_list),
                   {{"signed_in", Median(list.cold_signin)}}});
  kivbench::Print({"friends",
                   "list_ready_warm_ms",
                   "ms",
                   Median(list.warm_list),
                   {{"signed_in", Median(list.warm_signin)}}});
  kivbench::Print(
      {"friends", "server_cpu_signin_1000x50_s", "s", crowd.cpu_s, {{"no_friends", alone.cpu_s}}});
  kivbench::Print({"friends",
                   "server_cpu_percent_1000x50",
                   "%",
                   100 * crowd.cpu_s / crowd.wall_s,
                   {{"no_friends", 100 * alone.cpu_s / alone.wall_s}}});
  return 0;
}
