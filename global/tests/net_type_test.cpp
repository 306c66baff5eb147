// GetNetType from the real network state of a fresh network namespace: only loopback, then a veth pair.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/socket.h"

namespace kiv {
namespace {

// In a forked child that moves into its own network namespace: the connection type with nothing but
// loopback (down, then up) and after a veth pair comes up. -1 marks a step the machine cannot do.
struct NamespaceResult {
  int unshared = 0;  // 1 when the namespace was made
  int only_loopback_down = -1;
  int only_loopback_up = -1;
  int with_veth = -1;
};

NamespaceResult RunInFreshNamespace() {
  NamespaceResult result;
  int fds[2];
  if (::pipe(fds) != 0) return result;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    NamespaceResult r;
    for (const char* name :
         {"all_proxy", "ALL_PROXY", "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY"}) {
      ::unsetenv(name);
    }
    if (::unshare(CLONE_NEWNET) == 0) {
      r.unshared = 1;
      r.only_loopback_down = GetNetType();
      if (std::system("ip link set lo up >/dev/null 2>&1") == 0) r.only_loopback_up = GetNetType();
      if (std::system("ip link add kv0 type veth peer name kv1 >/dev/null 2>&1 && "
                      "ip link set kv0 up && ip link set kv1 up") == 0) {
        r.with_veth = GetNetType();
      }
    }
    [[maybe_unused]] ssize_t written = ::write(fds[1], &r, sizeof r);
    ::_exit(0);
  }
  ::close(fds[1]);
  if (child > 0) {
    if (::read(fds[0], &result, sizeof result) != static_cast<ssize_t>(sizeof result)) result = {};
    ::waitpid(child, nullptr, 0);
  }
  ::close(fds[0]);
  return result;
}

TEST(GetNetType, FromTheInterfacesOfANetworkNamespace) {
  const NamespaceResult r = RunInFreshNamespace();
  if (!r.unshared) GTEST_SKIP() << "cannot create a network namespace here (needs CAP_SYS_ADMIN)";
  EXPECT_EQ(r.only_loopback_down, 0);
  EXPECT_EQ(r.only_loopback_up, 0);  // loopback alone is no connection
  if (r.with_veth == -1) GTEST_SKIP() << "cannot create a veth pair in the namespace";
  EXPECT_EQ(r.with_veth, 3);
}

// In a fresh namespace: an uplink with the default route, a second LAN, and a container bridge that
// comes last in interface order. The announced address is the one that routes to the server.
struct RouteResult {
  int ready = 0;
  char default_route[32] = {};
  char to_second_lan[32] = {};
  char old_rule[32] = {};
};

RouteResult RunRoutesInFreshNamespace() {
  RouteResult result;
  int fds[2];
  if (::pipe(fds) != 0) return result;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    RouteResult r;
    if (::unshare(CLONE_NEWNET) == 0 &&
        std::system("ip link set lo up && "
                    "ip link add kv0 type veth peer name kv1 && ip addr add 10.1.0.2/24 dev kv0 && "
                    "ip link set kv0 up && ip link set kv1 up && ip route add default via 10.1.0.1 && "
                    "ip link add kv2 type veth peer name kv3 && ip addr add 10.2.0.2/24 dev kv2 && "
                    "ip link set kv2 up && ip link set kv3 up && "
                    "ip link add docker0 type bridge && ip addr add 172.17.0.1/16 dev docker0 && "
                    "ip link set docker0 up >/dev/null 2>&1") == 0) {
      r.ready = 1;
      const auto copy = [](char* to, const std::string& text) { text.copy(to, 31); };
      copy(r.default_route, GetIPForServer());
      copy(r.to_second_lan, GetIPForServer("10.2.0.9"));
      std::vector<std::string> everything = LocalIPv4Addresses();
      everything.push_back("172.17.0.1");  // as the list was before container interfaces were set apart
      copy(r.old_rule, PickIPForServer(everything, false));
    }
    [[maybe_unused]] ssize_t written = ::write(fds[1], &r, sizeof r);
    ::_exit(0);
  }
  ::close(fds[1]);
  if (child > 0) {
    if (::read(fds[0], &result, sizeof result) != static_cast<ssize_t>(sizeof result)) result = {};
    ::waitpid(child, nullptr, 0);
  }
  ::close(fds[0]);
  return result;
}

TEST(GetIPForServer, PrefersTheInterfaceThatRoutesToTheServer) {
  const RouteResult r = RunRoutesInFreshNamespace();
  if (!r.ready) GTEST_SKIP() << "cannot build interfaces in a network namespace here (needs CAP_NET_ADMIN)";
  EXPECT_STREQ(r.old_rule, "172.17.0.1");  // what a peer used to be told
  EXPECT_STREQ(r.default_route, "10.1.0.2");
  EXPECT_STREQ(r.to_second_lan, "10.2.0.2");
}

}  // namespace
}  // namespace kiv
