// The transport benchmark's scenarios, run the same way against every Endpoint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "endpoint.h"
#include "netsim.h"

namespace kivbench {

struct Latency {
  double p50_us = 0, p99_us = 0, p999_us = 0;
  double rtt_estimate_ms = -1;  // the client's round-trip estimate at the end (-1: not known)
};

// An impaired path between client and server, or none.
struct PathSettings {
  std::optional<kiv::netsim::Impairment> impairment;
};

// Ping-pong of `size`-byte messages on channel `channel`, `count` round trips, one at a time.
Latency PingPong(const EndpointFactory& make, int count, std::size_t size, const PathSettings& path = {});

// One-way bulk transfer of `total` bytes in `chunk`-byte messages on one channel, keeping at most
// `window` bytes queued; goodput in MB/s (10^6 bytes per second) from first send to last byte in.
double Bulk(const EndpointFactory& make, std::size_t total, std::size_t chunk, std::size_t window,
            const PathSettings& path = {});

// Small-message ping-pong on channel 2 while channel 1 carries bulk data, through `path`.
Latency PingPongBesideBulk(const EndpointFactory& make, int count, const PathSettings& path);

struct Idle {
  double cpu_percent = 0;    // of one core, by the server endpoint's threads
  double wakeups_per_s = 0;  // context switches of those threads
  double rss_per_peer = 0;   // bytes of resident memory per connected peer
  int peers = 0;             // peers actually connected
};
// Connects `peers` peers to one server endpoint (spread over client endpoints of `peers_per_client`
// each), waits for things to settle, then measures the server while nothing is sent.
Idle MeasureIdle(const EndpointFactory& make, int peers, int peers_per_client, double seconds);

struct Handshakes {
  int connected = 0;
  double mean_ms = 0, max_ms = 0;
};
// `count` clients connect at once to one server through `path`.
Handshakes ConnectMany(const EndpointFactory& make, int count, const PathSettings& path, int timeout_ms);

struct FanIn {
  int peers = 0;             // peers connected to the server
  double cpu_percent = 0;    // of one core, by the server endpoint's threads, while they send
  double wakeups_per_s = 0;  // context switches of those threads
  Latency delivery;          // from the send call to the server's message handler
  long long delivered = 0, sent = 0;
};
// `peers` clients each send one small message a second to one server, spread evenly over each
// second, for `seconds`. Clients are the endpoint's swarm where it can send, else client endpoints
// of `peers_per_client` connections each.
FanIn ManyToOne(const EndpointFactory& make, int peers, int peers_per_client, double seconds);

// Raw UDP: the lowest latency and the highest rate the loopback path gives, with no reliability.
Latency RawUdpPingPong(int count, std::size_t size);
double RawUdpBulk(std::size_t total, std::size_t datagram);

}  // namespace kivbench
