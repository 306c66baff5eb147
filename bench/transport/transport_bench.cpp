// bench/run transport: our transport against ENet reliable channels, TCP with TCP_NODELAY and the raw
// UDP ceiling, all measured in this one run.
//
// Options: --quick runs smaller sizes (for a smoke run); --only S1|S2|S4|S5|S6|S7 runs one scenario.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "endpoint.h"
#include "report.h"
#include "scenarios.h"

namespace kivbench {
std::unique_ptr<Endpoint> MakeKivEndpoint();
}

using namespace kivbench;

namespace {

struct Contender {
  std::string name;
  EndpointFactory make;
};

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--quick")) quick = true;
    if (!std::strcmp(argv[i], "--only") && i + 1 < argc) only = argv[++i];
  }
  auto want = [&](const char* s) { return only.empty() || only == s; };

  EndpointFactory ours = [] { return MakeKivEndpoint(); };
  std::vector<Contender> peers = {{"enet", [] { return MakeEnetEndpoint(4095); }},
                                  {"tcp", [] { return MakeTcpEndpoint(); }}};

  if (want("S1")) {
    // Ours: silent peers handshake from plain UDP sockets, so the figures are the server's alone
    // (one engine holds at most 9999 peers, so the top tier has 9999). ENet: one client host of up
    // to 4095 peers per 4095 (its limit per host), so its memory covers both ends; its top tier is
    // 4095. TCP: one client endpoint and connection per peer, both ends in this process; at the top
    // tier both ends of 10 000 connections would not fit the descriptor limit, so it stops at 100.
    // A full window of 10 s holds one ageing pass, the only timer an idle engine has.
    double seconds = quick ? 1 : 10;
    for (int n : {1, 100, 10000}) {
      std::string tier = n == 10000 ? "max" : std::to_string(n);
      Idle o = MeasureIdle(ours, std::min(n, 9999), 1, seconds);
      Value cpu{"transport", "S1_idle_cpu_" + tier + "_peers", "% of a core", o.cpu_percent, {}};
      Value wake{"transport", "S1_idle_wakeups_" + tier + "_peers", "wake-ups/s", o.wakeups_per_s, {}};
      Value mem{"transport", "memory_per_peer_" + tier, "bytes", o.rss_per_peer, {}};
      Value count{"transport", "S1_connected_" + tier + "_peers", "peers", static_cast<double>(o.peers), {}};
      for (const auto& p : peers) {
        if (p.name == "tcp" && n > 100) continue;
        Idle r = MeasureIdle(p.make, p.name == "enet" ? std::min(n, 4095) : n, p.name == "enet" ? 4095 : 1,
                             seconds);
        cpu.peers[p.name] = r.cpu_percent;
        wake.peers[p.name] = r.wakeups_per_s;
        mem.peers[p.name] = r.rss_per_peer;
        count.peers[p.name] = r.peers;
      }
      Print(count);
      Print(cpu);
      Print(wake);
      Print(mem);
    }
  }

  if (want("S2")) {
    int count = quick ? 2000 : 20000;
    Latency o = PingPong(ours, count, 100);
    Latency raw = RawUdpPingPong(count, 100);
    std::map<std::string, Latency> r;
    for (const auto& p : peers) r[p.name] = PingPong(p.make, count, 100);
    auto figure = [&](const char* metric, double Latency::*field) {
      Value v{"transport", metric, "µs", o.*field, {{"udp_raw", raw.*field}}};
      for (auto& [name, l] : r) v.peers[name] = l.*field;
      Print(v);
    };
    figure("S2_pingpong_100B_p50", &Latency::p50_us);
    figure("S2_pingpong_100B_p99", &Latency::p99_us);
    figure("S2_pingpong_100B_p99.9", &Latency::p999_us);
  }

  if (want("S4")) {
    std::size_t total = (quick ? 8u : 64u) << 20;
    Value lossless{"transport", "S4_bulk_64MiB_loopback", "MB/s", Bulk(ours, total, 64 * 1024, 4 << 20), {}};
    lossless.peers["udp_raw"] = RawUdpBulk(total, 1044);
    for (const auto& p : peers) lossless.peers[p.name] = Bulk(p.make, total, 64 * 1024, 4 << 20);
    Print(lossless);
    PathSettings lossy{kiv::netsim::Impairment{.loss = 0.02, .delay_ms = 15}};
    std::size_t lossy_total = (quick ? 2u : 16u) << 20;
    Value impaired{"transport",
                   "S4_bulk_2pct_loss_30ms_rtt",
                   "MB/s",
                   Bulk(ours, lossy_total, 64 * 1024, 4 << 20, lossy),
                   {}};
    impaired.peers["enet"] = Bulk(peers[0].make, lossy_total, 64 * 1024, 4 << 20, lossy);
    Print(impaired);
  }

  if (want("S5")) {
    int count = quick ? 200 : 2000;
    PathSettings lossy{kiv::netsim::Impairment{.loss = 0.05, .delay_ms = 1}};
    Latency alone = PingPong(ours, count, 100, lossy);
    Latency beside = PingPongBesideBulk(ours, count, lossy);
    Latency enet_beside = PingPongBesideBulk(peers[0].make, count, lossy);
    Print({"transport",
           "S5_ch2_p99_beside_bulk_5pct_loss",
           "µs",
           beside.p99_us,
           {{"ours_ch2_alone", alone.p99_us}, {"enet", enet_beside.p99_us}}});
    // What sets the resend time-out of every channel of the peer: 3 x (estimate + 50) ms.
    Print({"transport",
           "S5_ours_rtt_estimate_at_end",
           "ms",
           beside.rtt_estimate_ms,
           {{"ours_ch2_alone", alone.rtt_estimate_ms}}});
  }

  if (want("S6")) {
    PathSettings lossy{kiv::netsim::Impairment{.loss = 0.30, .delay_ms = 5}};
    Handshakes o = ConnectMany(ours, 50, lossy, 60000);
    Handshakes e = ConnectMany(peers[0].make, 50, lossy, 60000);
    Print({"transport",
           "S6_handshakes_30pct_loss_connected",
           "of 50",
           static_cast<double>(o.connected),
           {{"enet", static_cast<double>(e.connected)}}});
    Print({"transport", "S6_handshakes_30pct_loss_mean", "ms", o.mean_ms, {{"enet", e.mean_ms}}});
    Print({"transport", "S6_handshakes_30pct_loss_max", "ms", o.max_ms, {{"enet", e.max_ms}}});
  }
  if (want("S7")) {
    // ENet: one client host of 1000 peers (its limit per host is 4095); ours: the swarm sends the
    // same frames a connected client sends.
    const int n = quick ? 200 : 1000;
    const double seconds = quick ? 3 : 10;
    FanIn o = ManyToOne(ours, n, 1, seconds);
    FanIn e = ManyToOne(peers[0].make, n, 4095, seconds);
    Print({"transport",
           "S7_1000_peers_1msg_per_s_connected",
           "peers",
           static_cast<double>(o.peers),
           {{"enet", static_cast<double>(e.peers)}}});
    Print({"transport",
           "S7_1000_peers_1msg_per_s_delivered",
           "of sent",
           o.sent ? static_cast<double>(o.delivered) / static_cast<double>(o.sent) : 0,
           {{"enet", e.sent ? static_cast<double>(e.delivered) / static_cast<double>(e.sent) : 0}}});
    Print({"transport",
           "S7_1000_peers_1msg_per_s_server_cpu",
           "% of a core",
           o.cpu_percent,
           {{"enet", e.cpu_percent}}});
    Print({"transport",
           "S7_1000_peers_1msg_per_s_server_wakeups",
           "wake-ups/s",
           o.wakeups_per_s,
           {{"enet", e.wakeups_per_s}}});
    Print({"transport",
           "S7_1000_peers_1msg_per_s_delivery_p50",
           "µs",
           o.delivery.p50_us,
           {{"enet", e.delivery.p50_us}}});
    Print({"transport",
           "S7_1000_peers_1msg_per_s_delivery_p99",
           "µs",
           o.delivery.p99_us,
           {{"enet", e.delivery.p99_us}}});
  }
  return 0;
}
