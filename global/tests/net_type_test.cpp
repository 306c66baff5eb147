// GetNetType from the real network state of a fresh network namespace: only loopback, then a veth pair.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

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

}  // namespace
}  // namespace kiv
