// Lib_Socket: small network helpers shared by the client, the transport, the updater and the server,
// and the process-wide SOCKS5 relay that the client opens for the transport.
//
// Every function blocks the calling thread (resolver calls, the proxy handshake). The proxy functions
// keep one process-wide `TProxy` behind a lock; they are meant to be called from the main thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/stream_scramble.h"

namespace kiv {

// --- Ports -------------------------------------------------------------------------------------------------

// The first port from `port` upwards that a socket of the given kind (TCP when `tcp`, else UDP) can bind on
// all local addresses; the probe socket is closed again. Counting stops at 65535: when no port up to there
// can be bound, or `port` is above 65535, the answer is 0, which callers treat as failure. A `port` below 1
// starts the count at 1 (port 0 would bind to any port and prove nothing). When the probe socket cannot be
// created at all, `port` is returned unchanged.
int GetFreePort(int port, bool tcp);

// --- The host's own addresses
// --------------------------------------------------------------------------------

// The host's IPv4 addresses as dotted text. First the addresses the resolver gives for the host's own name,
// in its order; then the addresses of every interface that is up, in interface order, that are not listed
// yet. Loopback addresses (127/8) are left out unless nothing else is found: on Linux the host name usually
// resolves to a loopback address only, which is not what callers want to announce. Addresses of container
// interfaces (IsContainerInterface) come only when nothing but them and loopback is found.
std::vector<std::string> LocalIPv4Addresses();

// With two or more addresses, the first when `first` is set, else the second; with one, that one; with
// none, empty.
std::string GetIP(const std::vector<std::string>& addresses, bool first);
std::string GetIP(bool first);

// The local address the system sends from to reach `destination` (dotted IPv4): the address of the
// interface that routes there. A UDP socket is connected, which sends nothing, and asked for its own
// address. Empty when there is no route.
std::string RoutedLocalAddress(std::string_view destination);
// Where RoutedLocalAddress looks when no server is named: an address of the documentation range
// (RFC 5737), which follows the default route like any address outside the local networks.
inline constexpr std::string_view kDefaultRouteProbe = "192.0.2.1";

// True for the names of container and virtual-machine bridges and their links (docker0, br-1a2b,
// veth0a1b, virbr0, cni0, podman0, lxcbr0, vnet3, flannel.1): their addresses are not reachable
// from other hosts.
bool IsContainerInterface(std::string_view name);

// The address the transport announces. With `local_debug`, the last of the list. Otherwise the
// address of the interface that routes to the server (`routed`, from RoutedLocalAddress) when it is
// on the list, as another host can reach it; failing that the last whose first three characters are
// not "192" (empty when there is none).
std::string PickIPForServer(const std::vector<std::string>& addresses, bool local_debug,
                            std::string_view routed = {});
// The same with `local_debug` read from `db_config`: integer key LocalDebug of section DebugInfo equal to
// 1. A missing file or key counts as 0.
std::string GetIPForServer(const std::vector<std::string>& addresses, const std::filesystem::path& db_config,
                           std::string_view routed = {});
// LocalIPv4Addresses() with DBConfig.ini beside the running program, preferring the address that
// routes to `server` (dotted IPv4).
std::string GetIPForServer(std::string_view server);
// The same for a server not known yet: the address of the default route is preferred.
std::string GetIPForServer();

// --- Kind of connection
// ----------------------------------------------------------------------------------------

// What the network state says about the host's connection.
struct NetState {
  bool connected = false;  // an interface other than loopback is up and running
  bool modem = false;      // such an interface is point-to-point (ppp, dial-up, a point-to-point tunnel)
  bool proxy = false;      // a proxy is configured for this process (all_proxy, http_proxy, https_proxy)
  bool lan = false;        // such an interface is not point-to-point (Ethernet, wireless, bridges, veth)
};

// Reads the interfaces (getifaddrs: IFF_UP and IFF_RUNNING, IFF_LOOPBACK, IFF_POINTOPOINT) and the proxy
// variables of the environment (either letter case, non-empty).
NetState ReadNetState();

// 0 none, 1 modem, 2 proxy, 3 LAN: not connected gives 0; the modem flag gives 1; the proxy flag overrides it
// with 2; the LAN flag overrides both with 3.
int NetTypeFromState(const NetState& state);
int GetNetType();

// --- Local sockets
// ---------------------------------------------------------------------------------------------

// True when the process at the other end of the connected local (AF_UNIX) socket `fd` runs as this
// process's user (SO_PEERCRED); false for another user or when it cannot be told.
bool PeerIsSameUser(int fd);

// A folder for this user's local sockets that no other local account can write to: `runtime_dir`
// (normally $XDG_RUNTIME_DIR) + "/kivora" when `runtime_dir` is a folder of this user closed to
// others, else `temp_dir` + "/kivora-<uid>". The folder is created mode 0700 when missing. Empty
// when neither is safe (a folder of that name that belongs to someone else, is a link or is open to
// others), or when a socket path in it could grow too long.
std::filesystem::path PrivateSocketFolder(const std::filesystem::path& runtime_dir,
                                          const std::filesystem::path& temp_dir);

// --- Resolver
// ----------------------------------------------------------------------------------------------------

// The first IPv4 address the resolver gives for `host` as "%d.%d.%d.%d"; empty when it does not resolve.
std::string HostToIP(std::string_view host);

// --- SOCKS5 relay
// --------------------------------------------------------------------------------------------------

// How long the handshake may take before the watchdog ends it.
inline constexpr std::chrono::milliseconds kProxyWatchdogDelay{10000};

// Stops and frees the current proxy client, creates a new one and opens a UDP relay through the SOCKS5 server
// at `host` (dotted IPv4 text) and `port` for the local UDP port `udp_port`. With both `user` and `password`
// empty no authentication is offered; otherwise user/password authentication (each at most 255 bytes).
// Returns the relay port, 0 on any failure. The relay stays usable until the next StartProxy or StopProxy.
std::uint16_t StartProxy(std::string_view host, std::uint16_t port, std::uint16_t udp_port,
                         std::string_view user, std::string_view password);
// The same with another watchdog delay.
std::uint16_t StartProxy(std::string_view host, std::uint16_t port, std::uint16_t udp_port,
                         std::string_view user, std::string_view password,
                         std::chrono::milliseconds watchdog_delay);
// Stops and frees the current proxy client, if any. Always true.
bool StopProxy();

}  // namespace kiv
