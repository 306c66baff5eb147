// Chat on two home nodes sharing one PostgreSQL database: a text kept by one node is handed out by
// the node the target signs in to, and temporary data reaches a node other than the sender's.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "declare/chat_wire.h"
#include "declare/friend_wire.h"
#include "pg_nodes_fixture.h"
#include "protocol_client.h"
#include "server.h"
#include "test_dir.h"

namespace kiv::server {
namespace {

namespace cw = chat_wire;
namespace fw = friend_wire;
using kiv::testing::ChatOperate;
using kiv::testing::ChatText;
using kiv::testing::FriendListRequest;
using kiv::testing::TProtocolClient;

template <typename Fn>
bool Eventually(Fn done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class ChatPgTest : public PgNodesTest {};

TEST_F(ChatPgTest, KeptTextAndRelayedDataCrossTheNodes) {
  auto a_node = Node("a");
  auto b_node = Node("b");
  TProtocolClient a;
  auto sa = SignIn(a, *a_node, 10001);
  ASSERT_TRUE(sa.ok());

  // Kept by node a while 10002 is offline; handed out by node b after its friend list.
  const Bytes offline = ChatText(10001, 10002, 46000.25, 2000, 'o');
  a.Send(sa.home, offline);
  ASSERT_TRUE(Eventually([&] { return b_node->ChatStore().CountFor(10002) == 1; }));
  TProtocolClient b;
  auto sb = SignIn(b, *b_node, 10002);
  ASSERT_TRUE(sb.ok());
  ASSERT_TRUE(b.Ask(sb.home, FriendListRequest(10002), fw::kList));
  auto got = b.WaitFor(cw::kChatMessage, sb.home);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, offline);
  EXPECT_TRUE(Eventually([&] { return a_node->ChatStore().CountFor(10002) == 0; }));

  // Kept by node a while 10002 is signed in on node b (a saw it offline): node b is told at once.
  const Bytes late = ChatText(10001, 10002, 46000.5, 100, 'l');
  a.Send(sa.home, late);
  got = b.WaitFor(cw::kChatMessage, sb.home);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, late);
  EXPECT_TRUE(b.NothingOf(cw::kChatMessage, sb.home, 300));  // once

  // Temporary data from 10001's own address reaches 10002 through node b; from another it does not.
  const WireAddress b_home{"127.0.0.1", b_node->HomePort()};
  TProtocolClient spoofer;
  spoofer.SendTemp(b_home, ChatOperate(10001, 10002, 1, 4, 1));
  ASSERT_NE(a.SendTemp(b_home, ChatOperate(10001, 10002, 110001, 4, 1)), 0);
  auto nudge = b.WaitFor(cw::kOperate, sb.home);
  ASSERT_TRUE(nudge);
  EXPECT_EQ(RecordReader(*nudge).u32(cw::operate::kId), 110001u);
  EXPECT_TRUE(b.NothingOf(cw::kOperate, sb.home, 300));
  // A text relayed to node b for someone not signed in there is kept; other codes are dropped.
  a.SendTemp(b_home, ChatOperate(10001, 10003, 2, 4, 1));
  a.SendTemp(b_home, ChatText(10001, 10003, 46000.75, 10));
  EXPECT_TRUE(Eventually([&] { return a_node->ChatStore().CountFor(10003) == 1; }));
  EXPECT_EQ(b_node->ChatRole().Counters().dropped, 1u);
}

}  // namespace
}  // namespace kiv::server
