// libKivUDP's flat interface in mode 0 on a Qt event loop, against a second engine on loopback, and
// the diagnostics window on the offscreen platform.
#include <gtest/gtest.h>

#include "qt_wait.h"

#include <QApplication>
#include <QElapsedTimer>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "udp_info.h"
#include "udp_interface.h"
#include "udp_kivudp.h"

namespace kiv {
namespace {

using namespace std::chrono_literals;

struct TRecorded {
  std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> messages;
  std::vector<std::pair<std::uint16_t, std::uint8_t>> disconnects;
};
TRecorded g_seen;

void OnData(uint16_t handle, const void* data, uint32_t length) {
  auto* p = static_cast<const std::uint8_t*>(data);
  g_seen.messages.push_back({handle, {p, p + length}});
}
void OnDisconnect(uint16_t handle, uint8_t reason) { g_seen.disconnects.emplace_back(handle, reason); }

// A second engine in this process (mode 1), standing in for the other end.
struct TPeerEngine {
  TPeerEngine() {
    engine.SetCallbacks(
        [this](std::uint16_t h, const std::uint8_t* d, std::uint32_t n) {
          std::lock_guard lock(mutex);
          messages.push_back({h, {d, d + n}});
        },
        [this](std::uint16_t h, std::uint8_t reason) {
          std::lock_guard lock(mutex);
          disconnects.emplace_back(h, reason);
        });
    engine.Start(0, 1);
  }
  std::size_t Count() {
    std::lock_guard lock(mutex);
    return messages.size();
  }
  std::mutex mutex;
  std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> messages;
  std::vector<std::pair<std::uint16_t, std::uint8_t>> disconnects;
  TKivUDP engine{TEngineOptions{}};  // last: stopped (and its last callbacks run) before the records go
};

class Interface : public ::testing::Test {
 protected:
  void SetUp() override { g_seen = {}; }
  void TearDown() override { UDPStop(); }
};

TEST_F(Interface, WithoutAnEngineEveryCallFailsQuietly) {
  EXPECT_TRUE(UDPStop());
  EXPECT_EQ(UDPConnect("127.0.0.1", 9009, 100), 0u);
  EXPECT_FALSE(UDPConnected("127.0.0.1", 9009));
  EXPECT_FALSE(UDPSendData(1, "abcd", 4, 1, 0, 0));
  EXPECT_EQ(UDPGetPing(1), 0u);
  EXPECT_EQ(UDPCreateTempRemote("127.0.0.1", 9009), 0u);
  // Neither makes an engine nor a window.
  UDPSetProxyInfo("127.0.0.1", 1080);
  UDPViewInfo();
  EXPECT_EQ(UDPCreateTempRemote("127.0.0.1", 9009), 0u);
  EXPECT_TRUE(QApplication::topLevelWidgets().isEmpty());
}

TEST_F(Interface, StartsOnceConnectsSendsAndDisconnects) {
  ASSERT_TRUE(UDPStart(0, 0, OnData, OnDisconnect));
  EXPECT_TRUE(UDPStart(0, 0, OnData, OnDisconnect));  // one engine; the second call changes nothing
  EXPECT_EQ(UDPConnect("", 9009, 100), 0u);
  EXPECT_EQ(UDPConnect("127.0.0.1", 0, 100), 0u);

  TPeerEngine peer;
  std::uint32_t handle = UDPConnect("127.0.0.1", peer.engine.LocalPort(), 5000);
  ASSERT_NE(handle, 0u);
  EXPECT_TRUE(UDPConnected("127.0.0.1", peer.engine.LocalPort()));
  EXPECT_EQ(UDPConnect("127.0.0.1", peer.engine.LocalPort(), 5000), handle);

  char address[8] = "unset";
  std::uint16_t port = 77;
  EXPECT_FALSE(UDPGetRemoteAdd(9000, address, 7, &port));
  EXPECT_STREQ(address, "unset");
  EXPECT_EQ(port, 77);
  EXPECT_TRUE(UDPGetRemoteAdd(static_cast<uint16_t>(handle), address, 5, &port));
  EXPECT_STREQ(address, "127.0");  // cut to the maximum length
  EXPECT_EQ(port, peer.engine.LocalPort());

  std::vector<std::uint8_t> big(50000, 0x42);
  for (int i = 0; i < 5; ++i)
    EXPECT_TRUE(
        UDPSendData(static_cast<uint16_t>(handle), big.data(), static_cast<uint32_t>(big.size()), 3, 0, 0));
  ASSERT_TRUE(RunUntil([&] { return peer.Count() == 5; }));

  // The answer arrives on the main thread through the Qt event loop.
  std::uint16_t back = peer.messages[0].first;
  ASSERT_TRUE(peer.engine.SendData(back, std::vector<std::uint8_t>{1, 2, 3, 4, 5}, 9, 0, 0));
  ASSERT_TRUE(RunUntil([] { return !g_seen.messages.empty(); }));
  EXPECT_EQ(g_seen.messages[0],
            std::make_pair(static_cast<std::uint16_t>(handle), std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(UDPGetSendChannelSize(static_cast<uint16_t>(handle), 3), 0u);
  EXPECT_EQ(UDPGetSendChannelSize(0, 3), 0u);

  ASSERT_TRUE(UDPDisConnect(static_cast<uint16_t>(handle)));
  ASSERT_TRUE(RunUntil([] { return !g_seen.disconnects.empty(); }));
  EXPECT_EQ(g_seen.disconnects[0], std::make_pair(static_cast<std::uint16_t>(handle), std::uint8_t{1}));
  EXPECT_FALSE(UDPConnected("127.0.0.1", peer.engine.LocalPort()));
}

TEST_F(Interface, ProxyInfoWithAnEmptyAddressTurnsTheRelayOff) {
  ASSERT_TRUE(UDPStart(0, 0, OnData, OnDisconnect));
  TPeerEngine peer;
  UDPSetProxyInfo("127.0.0.1", 9);  // a relay that is not there: nothing gets through
  EXPECT_EQ(UDPConnect("127.0.0.1", peer.engine.LocalPort(), 300), 0u);
  UDPSetProxyInfo("", 0);
  EXPECT_NE(UDPConnect("127.0.0.1", peer.engine.LocalPort(), 5000), 0u);
  EXPECT_TRUE(UDPStop());  // while the peer is there to answer the disconnect
}

bool g_stop_in_callback = false;
bool g_stop_result = false;
void OnDataStop(uint16_t handle, const void* data, uint32_t length) {
  OnData(handle, data, length);
  if (g_stop_in_callback) {
    g_stop_in_callback = false;
    g_stop_result = UDPStop();
  }
}

// A handler that stops the transport, as signing out from a message does: the engine finishes the
// delivery it is in before it is freed, and a new one starts afterwards.
TEST_F(Interface, StopFromInsideACallbackFreesTheEngineAfterwards) {
  ASSERT_TRUE(UDPStart(0, 0, OnDataStop, OnDisconnect));
  TPeerEngine peer;
  std::uint32_t handle = UDPConnect("127.0.0.1", peer.engine.LocalPort(), 5000);
  ASSERT_NE(handle, 0u);
  ASSERT_TRUE(UDPSendData(static_cast<uint16_t>(handle), "ping", 4, 1, 0, 0));
  ASSERT_TRUE(RunUntil([&] { return peer.Count() == 1; }));
  std::uint16_t back = peer.messages[0].first;
  g_stop_in_callback = true;
  // Two messages complete together; the handler stops the transport at the first.
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(peer.engine.SendData(back, std::vector<std::uint8_t>{9, 9, 9, static_cast<std::uint8_t>(i)},
                                     2, 0, 0));
  ASSERT_TRUE(RunUntil([] { return !g_seen.messages.empty() && !g_stop_in_callback; }));
  RunUntil([] { return false; }, 100);
  EXPECT_TRUE(g_stop_result);
  EXPECT_EQ(g_seen.messages.size(), 1u);  // nothing is delivered once stopped
  EXPECT_FALSE(UDPConnected("127.0.0.1", peer.engine.LocalPort()));
  ASSERT_TRUE(UDPStart(0, 0, OnData, OnDisconnect));
  EXPECT_NE(UDPConnect("127.0.0.1", peer.engine.LocalPort(), 5000), 0u);
  EXPECT_TRUE(UDPStop());  // while the peer is there to answer the disconnect
}

TEST(InfoForm, ListsPeersAndChannelsAndSortsByValue) {
  TPeerEngine a, b;
  std::uint16_t handle = a.engine.Connect("127.0.0.1", b.engine.LocalPort(), 5000);
  ASSERT_NE(handle, 0);
  ASSERT_TRUE(a.engine.SendData(handle, std::vector<std::uint8_t>(3000, 7), 3, 0, 0));
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (b.Count() < 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(b.Count(), 1u);

  // b has only a receive channel 3 for its peer: one channel row with the send columns empty.
  TInfoForm form(b.engine);
  EXPECT_EQ(form.windowTitle(), QStringLiteral("UDP信息"));
  EXPECT_TRUE(form.queueLabel()->text().startsWith(QStringLiteral("待处理的数据：")));
  form.Button1Click();
  QTreeWidget* t = form.table();
  ASSERT_EQ(t->topLevelItemCount(), 2);
  QTreeWidgetItem* peer = t->topLevelItem(0);
  EXPECT_EQ(peer->text(0), QStringLiteral("工作中"));
  EXPECT_EQ(peer->text(5), QString::number(a.engine.LocalPort()));
  QTreeWidgetItem* channel = t->topLevelItem(1);
  EXPECT_EQ(channel->text(7), QStringLiteral("3"));
  EXPECT_TRUE(channel->text(8).isEmpty());
  EXPECT_TRUE(channel->text(9).isEmpty());
  EXPECT_EQ(channel->text(11), QStringLiteral("3/3000"));
  EXPECT_EQ(channel->text(15), QStringLiteral("3000"));
  // 收速 counts from the previous refresh, however long ago.
  form.Button1Click();
  EXPECT_EQ(form.table()->topLevelItem(1)->text(15), QStringLiteral("0"));

  // Numbers sort by value: "9" before "10" ascending, then the other way round on a second click.
  EXPECT_LT(TInfoForm::SortKey(QStringLiteral("9")), TInfoForm::SortKey(QStringLiteral("10")));
  form.ListView1ColumnClick(7);
  EXPECT_EQ(t->topLevelItem(0)->text(7), QString());  // the peer row's empty cell sorts first
  form.ListView1ColumnClick(7);
  EXPECT_EQ(t->topLevelItem(0)->text(7), QStringLiteral("3"));

  // The one-second timer shows the counters and turns them into per-second figures.
  form.Timer1Timer();
  EXPECT_EQ(form.peersLabel()->text(), QStringLiteral("当前连接数量：1个"));
  EXPECT_EQ(form.refusedLabel()->text(), QStringLiteral("拒收：冒名0 超额0 停滞0 未认领0 积压0"));
  EXPECT_EQ(b.engine.Counters(), TSocketCounters{});
}

}  // namespace
}  // namespace kiv

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
