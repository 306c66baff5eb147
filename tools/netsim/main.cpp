// netsim: relays UDP between clients and a target while impairing the path.
//
//   netsim --listen IP:PORT --target IP:PORT [--seed N] [--loss P] [--duplicate P] [--reorder P]
//          [--delay MS] [--jitter MS] [--reorder-delay MS] [--rate BYTES_PER_S]
//
// The impairment applies to both directions. Runs until interrupted; prints its counters then.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "netsim.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

bool SplitAddress(const char* text, std::string& ip, std::uint16_t& port) {
  const char* colon = std::strrchr(text, ':');
  if (!colon) return false;
  ip.assign(text, colon);
  long value = std::strtol(colon + 1, nullptr, 10);
  if (value < 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

int Usage() {
  std::fprintf(stderr,
               "usage: netsim --listen IP:PORT --target IP:PORT [--seed N] [--loss P] [--duplicate P]\n"
               "              [--reorder P] [--delay MS] [--jitter MS] [--reorder-delay MS] [--rate B/S]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string listen_ip = "127.0.0.1", target_ip;
  std::uint16_t listen_port = 0, target_port = 0;
  std::uint64_t seed = 1;
  kiv::netsim::Impairment im;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (i + 1 >= argc) return Usage();
    const char* value = argv[++i];
    if (flag == "--listen") {
      if (!SplitAddress(value, listen_ip, listen_port)) return Usage();
    } else if (flag == "--target") {
      if (!SplitAddress(value, target_ip, target_port)) return Usage();
    } else if (flag == "--seed") {
      seed = std::strtoull(value, nullptr, 10);
    } else if (flag == "--loss") {
      im.loss = std::atof(value);
    } else if (flag == "--duplicate") {
      im.duplicate = std::atof(value);
    } else if (flag == "--reorder") {
      im.reorder = std::atof(value);
    } else if (flag == "--delay") {
      im.delay_ms = std::atof(value);
    } else if (flag == "--jitter") {
      im.jitter_ms = std::atof(value);
    } else if (flag == "--reorder-delay") {
      im.reorder_delay_ms = std::atof(value);
    } else if (flag == "--rate") {
      im.rate_bytes_per_s = std::atof(value);
    } else {
      return Usage();
    }
  }
  if (target_ip.empty()) return Usage();

  kiv::netsim::Relay relay(listen_ip, listen_port, target_ip, target_port, seed);
  if (!relay.ok()) {
    std::fprintf(stderr, "netsim: %s\n", relay.error().c_str());
    return 1;
  }
  relay.SetBoth(im);
  std::signal(SIGINT, [](int) { g_stop = 1; });
  std::signal(SIGTERM, [](int) { g_stop = 1; });
  std::printf("netsim: %s:%u -> %s:%u\n", listen_ip.c_str(), relay.port(), target_ip.c_str(), target_port);
  std::fflush(stdout);
  while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  for (auto d : {kiv::netsim::Direction::kToTarget, kiv::netsim::Direction::kToClient}) {
    auto c = relay.counters(d);
    std::printf("%s: received %llu forwarded %llu dropped %llu duplicated %llu reordered %llu\n",
                d == kiv::netsim::Direction::kToTarget ? "to target" : "to client",
                static_cast<unsigned long long>(c.received), static_cast<unsigned long long>(c.forwarded),
                static_cast<unsigned long long>(c.dropped), static_cast<unsigned long long>(c.duplicated),
                static_cast<unsigned long long>(c.reordered));
  }
  return 0;
}
