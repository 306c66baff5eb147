#include "base/socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <vector>

#include "test_dir.h"

namespace kiv {
namespace {

// A socket bound to all local addresses at `port`, closed when it goes out of scope.
class BoundSocket {
 public:
  BoundSocket(int port, bool tcp) {
    fd_ = ::socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd_ >= 0 && (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                     (tcp && ::listen(fd_, 1) != 0))) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~BoundSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  BoundSocket(const BoundSocket&) = delete;
  BoundSocket& operator=(const BoundSocket&) = delete;
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

bool Bindable(int port, bool tcp) { return BoundSocket(port, tcp).ok(); }

// A start port whose next three ports are free for both kinds right now.
int FreeRun(int from) {
  for (int port = from; port < 60000; ++port) {
    bool all = true;
    for (int i = 0; i < 3 && all; ++i) all = Bindable(port + i, false) && Bindable(port + i, true);
    if (all) return port;
  }
  return 0;
}

TEST(GetFreePort, SkipsPortsTakenBySocketsOfItsKind) {
  const int port = FreeRun(31000 + static_cast<int>(::getpid() % 2000) * 3);
  ASSERT_NE(port, 0);
  BoundSocket udp0(port, false), udp1(port + 1, false);
  ASSERT_TRUE(udp0.ok() && udp1.ok());
  EXPECT_EQ(GetFreePort(port, false), port + 2);
  EXPECT_EQ(GetFreePort(port, true), port);  // UDP sockets do not take TCP ports
  BoundSocket tcp0(port, true);
  ASSERT_TRUE(tcp0.ok());
  EXPECT_EQ(GetFreePort(port, true), port + 1);
  EXPECT_TRUE(Bindable(port + 2, false));  // the probe socket was closed again
}

TEST(GetFreePort, StopsAt65535AndAnswersZero) {
  BoundSocket last(65535, false);  // may fail if someone else holds it: the port is taken either way
  EXPECT_EQ(GetFreePort(65535, false), 0);
  EXPECT_EQ(GetFreePort(65536, false), 0);
  EXPECT_EQ(GetFreePort(70000, true), 0);
}

TEST(LocalAddresses, GetIPPicksFromTheList) {
  const std::vector<std::string> none, one{"10.0.0.7"}, two{"192.168.1.5", "10.0.0.7", "172.16.0.1"};
  EXPECT_EQ(GetIP(none, true), "");
  EXPECT_EQ(GetIP(one, false), "10.0.0.7");
  EXPECT_EQ(GetIP(two, true), "192.168.1.5");
  EXPECT_EQ(GetIP(two, false), "10.0.0.7");
}

TEST(LocalAddresses, PickIPForServer) {
  struct Case {
    std::vector<std::string> addresses;
    bool local_debug;
    std::string expected;
  };
  const Case cases[] = {
      {{"192.168.1.5", "10.0.0.7"}, false, "10.0.0.7"},
      {{"10.0.0.7", "192.168.1.5"}, false, "10.0.0.7"},  // the last that does not start with "192"
      {{"1.2.3.4", "5.6.7.8"}, false, "5.6.7.8"},
      {{"19.2.0.1", "192.0.2.1"}, false, "19.2.0.1"},  // the rule is on the text: "19." is not "192"
      {{"192.168.1.5", "192.0.2.1"}, false, ""},
      {{}, false, ""},
      {{"10.0.0.7", "192.168.1.5"}, true, "192.168.1.5"},  // LocalDebug: the last whatever it is
      {{}, true, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PickIPForServer(c.addresses, c.local_debug), c.expected)
        << testing::PrintToString(c.addresses) << " local_debug=" << c.local_debug;
  }
  // The address that routes to the server wins over a container bridge that happens to come last.
  const std::vector<std::string> with_bridge{"192.168.1.5", "172.17.0.1"};
  EXPECT_EQ(PickIPForServer(with_bridge, false), "172.17.0.1");
  EXPECT_EQ(PickIPForServer(with_bridge, false, "192.168.1.5"), "192.168.1.5");
  EXPECT_EQ(PickIPForServer(with_bridge, false, "10.9.9.9"), "172.17.0.1");    // not one of ours: the rule
  EXPECT_EQ(PickIPForServer(with_bridge, true, "192.168.1.5"), "172.17.0.1");  // LocalDebug still decides
}

TEST(LocalAddresses, ContainerInterfacesAndRoutes) {
  for (const char* name :
       {"docker0", "br-3f2a1b", "veth1a2b3c", "virbr0", "cni0", "podman0", "lxcbr0", "vnet3"})
    EXPECT_TRUE(IsContainerInterface(name)) << name;
  for (const char* name : {"eth0", "enp3s0", "wlan0", "wlp2s0", "lo", "bond0", "tun0"})
    EXPECT_FALSE(IsContainerInterface(name)) << name;
  EXPECT_EQ(RoutedLocalAddress("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(RoutedLocalAddress("127.3.4.5"), "127.0.0.1");
  EXPECT_EQ(RoutedLocalAddress("not an address"), "");
}

TEST(LocalAddresses, GetIPForServerReadsLocalDebugFromDBConfig) {
  TestDir dir;
  const auto ini = dir.path() / "DBConfig.ini";
  const std::vector<std::string> list{"10.0.0.7", "192.168.1.5"};
  EXPECT_EQ(GetIPForServer(list, ini), "10.0.0.7");  // no file: LocalDebug counts as 0
  struct Case {
    const char* text;
    std::string expected;
  };
  const Case cases[] = {
      {"[DebugInfo]\r\nLocalDebug=1\r\n", "192.168.1.5"},
      {"[debuginfo]\r\nlocaldebug = 1\r\n", "192.168.1.5"},
      {"[DebugInfo]\r\nLocalDebug=0\r\n", "10.0.0.7"},
      {"[DebugInfo]\r\nLocalDebug=2\r\n", "10.0.0.7"},
      {"[Other]\r\nLocalDebug=1\r\n", "10.0.0.7"},
  };
  for (const Case& c : cases) {
    std::ofstream(ini, std::ios::binary | std::ios::trunc) << c.text;
    EXPECT_EQ(GetIPForServer(list, ini), c.expected) << c.text;
  }
}

TEST(LocalAddresses, HostListIsDottedAndPrefersNonLoopback) {
  const auto list = LocalIPv4Addresses();
  bool loopback = false, other = false;
  for (const auto& text : list) {
    in_addr address{};
    ASSERT_EQ(::inet_pton(AF_INET, text.c_str(), &address), 1) << text;
    (text.starts_with("127.") ? loopback : other) = true;
  }
  EXPECT_FALSE(loopback && other);
  EXPECT_EQ(GetIP(true), GetIP(list, true));
}

TEST(HostToIP, DottedAddressesAndLocalhost) {
  EXPECT_EQ(HostToIP("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(HostToIP("10.1.2.3"), "10.1.2.3");
  EXPECT_EQ(HostToIP("255.255.255.255"), "255.255.255.255");
  EXPECT_EQ(HostToIP("localhost"), "127.0.0.1");
  EXPECT_EQ(HostToIP(""), "");
  EXPECT_EQ(HostToIP(std::string_view("127.0.0.1\0x", 11)), "");
}

TEST(GetNetType, MappingOfTheConnectionState) {
  struct Case {
    NetState state;
    int expected;
  };
  const Case cases[] = {
      {{false, false, false, false}, 0}, {{false, true, true, true}, 0},  // not connected wins
      {{true, true, false, false}, 1},   {{true, true, true, false}, 2},  {{true, false, true, false}, 2},
      {{true, true, true, true}, 3},     {{true, false, false, true}, 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NetTypeFromState(c.state), c.expected)
        << c.state.connected << c.state.modem << c.state.proxy << c.state.lan;
  }
}

// --- Stream-frame scrambling ---

TEST(TCPData, RecastLayoutOfAKnownFrame) {
  // n = 10, r = 3 gives block length 4; k = 70.
  std::uint8_t frame[10] = {0, 0, 0, 0, 1, 2, 3, 4, 0, 0};
  ASSERT_TRUE(TCPDataRecast(frame, sizeof frame, 3, 70));
  // Checksum 635 + 10 = 0x0285, little-endian, then every byte from 4 on plus 70; the block 4..7 reversed.
  const std::uint8_t expected[10] = {1, 0x2D, 0xFD, 5, 74, 72, 73, 71, 0x85 + 70, 0x02 + 70};
  EXPECT_EQ(std::vector<std::uint8_t>(frame, frame + 10), std::vector<std::uint8_t>(expected, expected + 10));
  ASSERT_TRUE(TCPDataRestore(frame, sizeof frame));
  EXPECT_EQ(std::vector<std::uint8_t>(frame + 4, frame + 8), (std::vector<std::uint8_t>{1, 2, 3, 4}));
}

TEST(TCPData, RestoreAfterRecastForEveryKeyAndBlock) {
  std::mt19937 random(7);
  std::vector<std::uint8_t> frame, original;
  for (std::size_t n : {std::size_t{6}, std::size_t{7}, std::size_t{13}, std::size_t{64}, std::size_t{301}}) {
    for (std::uint32_t r = 0; r < n; ++r) {
      for (int k : {0, 1, 64, 65, 66, 200, 253}) {
        frame.resize(n);
        for (auto& b : frame) b = static_cast<std::uint8_t>(random());
        frame[0] = 0;
        original = frame;
        ASSERT_TRUE(TCPDataRecast(frame.data(), n, r, static_cast<std::uint8_t>(k)));
        ASSERT_TRUE(TCPDataRestore(frame.data(), n)) << "n=" << n << " r=" << r << " k=" << k;
        ASSERT_TRUE(std::equal(frame.begin() + 4, frame.end() - 2, original.begin() + 4))
            << "n=" << n << " r=" << r << " k=" << k;
      }
    }
  }
  // And with the random draws, up to the largest frame.
  for (std::size_t n : {std::size_t{6}, std::size_t{1000}, kTCPFrameMax}) {
    frame.assign(n, 0);
    for (auto& b : frame) b = static_cast<std::uint8_t>(random());
    original = frame;
    ASSERT_TRUE(TCPDataRecast(frame.data(), n));
    EXPECT_EQ(frame[0], 1);
    ASSERT_TRUE(TCPDataRestore(frame.data(), n));
    EXPECT_TRUE(std::equal(frame.begin() + 4, frame.end() - 2, original.begin() + 4));
  }
}

TEST(TCPData, RejectsBadFrames) {
  std::vector<std::uint8_t> frame(kTCPFrameMax + 1, 9);
  EXPECT_FALSE(TCPDataRecast(frame.data(), 5));
  EXPECT_FALSE(TCPDataRecast(frame.data(), kTCPFrameMax + 1));
  EXPECT_FALSE(TCPDataRestore(frame.data(), 0));

  // An unscrambled frame is accepted as it is.
  std::vector<std::uint8_t> plain{0, 9, 9, 9, 1, 2};
  const auto copy = plain;
  EXPECT_TRUE(TCPDataRestore(plain.data(), plain.size()));
  EXPECT_EQ(plain, copy);

  // A scrambled frame too short to hold a checksum.
  std::uint8_t tiny[5] = {1, 0, 0, 0, 0};
  EXPECT_FALSE(TCPDataRestore(tiny, sizeof tiny));

  // A key field that gives block length 0: k = 65, field = 0 - 0 + 732 = 0 mod 65536.
  std::uint8_t zero_block[8] = {1, 0x24, 0xFD, 0, 0, 0, 0x7B, 0x02};
  EXPECT_FALSE(TCPDataRestore(zero_block, sizeof zero_block));

  // Any changed content byte breaks the checksum.
  std::vector<std::uint8_t> good(40);
  for (std::size_t i = 0; i < good.size(); ++i) good[i] = static_cast<std::uint8_t>(i * 7);
  ASSERT_TRUE(TCPDataRecast(good.data(), good.size(), 11, 30));
  for (std::size_t i = 4; i < good.size(); ++i) {
    auto bad = good;
    ++bad[i];
    EXPECT_FALSE(TCPDataRestore(bad.data(), bad.size())) << i;
  }
}

}  // namespace
}  // namespace kiv
