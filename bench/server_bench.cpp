// bench/run server: kivora-server (release build, its own process) with 500 simulated clients on
// loopback, each its own transport endpoint. Figures per store (SQLite; PostgreSQL on a private
// cluster when one can start) and per password hash cost (the configured default, "interactive",
// and the minimum):
//   signins_per_s        complete sign-ins (login role, redirect, home role) per second, all
//                        clients signing in at once from 32 driver threads;
//   memory_per_user_kib  growth of the server's resident memory per signed-in user;
//   profile_p99_ms       99th percentile of a profile request's round trip (0x30012 → 0x30013) on
//                        one signed-in client while the others sign in.
// Each line's peers are the same figure with the minimum hash cost, so the ratio shows how much of
// the figure the hash cost takes. The minimum-cost runs use --clients N (default 500); the
// configured-cost runs --configured-clients N (default 20), since each of their sign-ins hashes
// twice with 64 MiB of memory and 500 of them would take minutes on a small machine.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/text_checks.h"
#include "password_hash.h"
#include "pg_cluster.h"
#include "protocol.h"
#include "protocol_client.h"
#include "report.h"
#include "server_process.h"
#include "sqlite_store.h"
#include "store.h"
#include "test_dir.h"

namespace {

using namespace kiv;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kFirstCode = 50001;
constexpr const char* kPassword = "bench-pass";

struct Run {
  double signins_per_s = 0, memory_per_user_kib = 0, profile_p99_ms = 0;
  bool ok = false;
};

long RssKib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  return 0;
}

// Creates the accounts before the server starts, with one hash of the password at `cost`.
bool Seed(server::IAccountStore& store, server::THashCost cost, int clients) {
  server::TPasswordHasher hasher(cost);
  server::TAccount a;
  a.password_hash = hasher.Hash(MD5(kPassword, 2));
  a.money = 1000;
  for (int i = 0; i < clients; ++i) {
    a.code = kFirstCode + static_cast<std::uint32_t>(i);
    a.nickname = "用户" + std::to_string(a.code);
    if (store.Create(a) != a.code) return false;
  }
  return true;
}

Run Measure(const std::string& store_url, const char* cost, int clients) {
  Run run;
  TestDir dir;
  server::THashCost hash_cost = server::ParseHashCost(cost);
  {
    std::unique_ptr<server::IAccountStore> store =
        server::OpenStore(store_url.empty() ? (dir.path() / "kivora.db").string() : store_url);
    if (!Seed(*store, hash_cost, clients)) return run;
  }
  std::vector<std::string> args{
      "--data", dir.path().string(), "--login-port", "0", "--home-port", "0", "--web-port", "0", "--hash-cost", cost,
      "--sign-in-rate", "0"};  // every client signs in from this one address
  if (!store_url.empty()) args.insert(args.end(), {"--store", store_url});
  testing::TServerProcess server;
  std::string error;
  if (!server.Start(testing::ServerBinary(), args, 30000, &error)) {
    std::fprintf(stderr, "server did not start: %s\n", error.c_str());
    return run;
  }

  // The probe: one client signed in first, asking for its profile again and again.
  testing::TProtocolClient probe;
  testing::TLoginFields probe_fields{kFirstCode + static_cast<std::uint32_t>(clients) - 1, kPassword};
  auto probe_session = probe.SignInVia(server.Login(), probe_fields, 30000);
  if (!probe_session.ok()) return run;
  long rss_before = RssKib(server.Pid());

  std::vector<std::unique_ptr<testing::TProtocolClient>> endpoints(static_cast<std::size_t>(clients - 1));
  for (auto& e : endpoints) e = std::make_unique<testing::TProtocolClient>();
  std::atomic<int> next{0}, signed_in{0};
  std::atomic<bool> signing{true};
  std::vector<double> round_trips;
  std::thread prober([&] {
    Bytes request = testing::ProfileRequest(probe_fields.user);
    while (signing) {
      auto start = Clock::now();
      if (probe.Ask(probe_session.home, request, proto::kProfileReply, 10000))
        round_trips.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
  });
  auto start = Clock::now();
  std::vector<std::thread> drivers;
  for (int t = 0; t < 32; ++t) {
    drivers.emplace_back([&] {
      for (int i; (i = next++) < clients - 1;) {
        testing::TLoginFields f{kFirstCode + static_cast<std::uint32_t>(i), kPassword};
        if (endpoints[static_cast<std::size_t>(i)]->SignInVia(server.Login(), f, 600000).ok()) ++signed_in;
      }
    });
  }
  for (auto& d : drivers) d.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  signing = false;
  prober.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let freed hash buffers go back
  long rss_after = RssKib(server.Pid());

  if (signed_in != clients - 1 || round_trips.empty()) {
    std::fprintf(stderr, "only %d of %d clients signed in\n", signed_in.load(), clients - 1);
    return run;
  }
  std::sort(round_trips.begin(), round_trips.end());
  run.signins_per_s = signed_in / seconds;
  run.memory_per_user_kib = static_cast<double>(rss_after - rss_before) / signed_in;
  run.profile_p99_ms = round_trips[std::min(round_trips.size() - 1, round_trips.size() * 99 / 100)];
  run.ok = true;
  std::fprintf(stderr, "%-10s %-12s %8.1f sign-ins/s  %7.2f KiB/user  p99 %7.2f ms  (%zu probes)\n",
               store_url.empty() ? "sqlite" : "postgresql", cost, run.signins_per_s, run.memory_per_user_kib,
               run.profile_p99_ms, round_trips.size());
  endpoints.clear();
  server.Signal(SIGTERM);
  server.Wait();
  return run;
}

void Report(const std::string& store, const Run& configured, const Run& minimum) {
  auto line = [&](const char* metric, const char* unit, double ours, double peer) {
    kivbench::Value v{"server", std::string(metric) + "_" + store, unit, ours, {{"min_hash_cost", peer}}};
    kivbench::Print(v);
  };
  line("signins_per_s", "sign-ins/s", configured.signins_per_s, minimum.signins_per_s);
  line("memory_per_user_kib", "KiB", configured.memory_per_user_kib, minimum.memory_per_user_kib);
  line("profile_p99_ms", "ms", configured.profile_p99_ms, minimum.profile_p99_ms);
}

}  // namespace

int main(int argc, char** argv) {
  int clients = 500, configured_clients = 20;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--clients") == 0) clients = std::max(2, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--configured-clients") == 0)
      configured_clients = std::max(2, std::atoi(argv[i + 1]));
  }

  Run sqlite_configured = Measure("", "interactive", configured_clients);
  Run sqlite_min = Measure("", "min", clients);
  if (!sqlite_configured.ok || !sqlite_min.ok) return 1;
  Report("sqlite", sqlite_configured, sqlite_min);

  testing::TPgCluster cluster;
  if (!cluster.Available()) {
    std::fprintf(stderr, "PostgreSQL figures skipped: %s\n", cluster.Reason().c_str());
    return 0;
  }
  Run pg_configured = Measure(cluster.CreateDatabase("bench_configured"), "interactive", configured_clients);
  Run pg_min = Measure(cluster.CreateDatabase("bench_min"), "min", clients);
  if (!pg_configured.ok || !pg_min.ok) return 1;
  Report("postgresql", pg_configured, pg_min);
  return 0;
}
