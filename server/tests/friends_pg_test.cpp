// Friends on two home nodes sharing one PostgreSQL database: presence and friend messages cross
// the nodes through the store.
#include <gtest/gtest.h>

#include "declare/friend_wire.h"
#include "pg_nodes_fixture.h"
#include "protocol_client.h"
#include "server.h"
#include "test_dir.h"

namespace kiv::server {
namespace {

namespace fw = friend_wire;
using kiv::testing::TProtocolClient;

class FriendsPgTest : public PgNodesTest {};

TEST_F(FriendsPgTest, AFriendOnAnotherNodeComesAndGoes) {
  auto a_node = Node("a");
  auto b_node = Node("b");
  TProtocolClient a, b;
  auto sa = SignIn(a, *a_node, 10001);
  ASSERT_TRUE(sa.ok());
  ASSERT_TRUE(a.WaitFor(fw::kOnline, sa.home));
  auto sb = SignIn(b, *b_node, 10002);
  ASSERT_TRUE(sb.ok());
  // 10002 on node b hears that 10001 is online on node a, with node a as its server.
  auto online = b.WaitFor(fw::kOnline, sb.home);
  ASSERT_TRUE(online);
  RecordReader o(*online);
  ASSERT_EQ(o.u16(fw::online::kCount), 1);
  EXPECT_EQ(o.u32(fw::online::kHeaderSize + fw::online::kUser), 10001u);
  EXPECT_EQ(o.address(fw::online::kHeaderSize + fw::online::kServer),
            (WireAddress{"127.0.0.1", a_node->HomePort()}));

  // A connect request from b reaches a through the store.
  RecordWriter c(fw::connect::kSize);
  c.u32(0, fw::kConnect).u32(fw::connect::kTarget, 10001).u32(fw::connect::kSender, 10002);
  b.Send(sb.home, c.take());
  auto forwarded = a.WaitFor(fw::kConnect, sa.home);
  ASSERT_TRUE(forwarded);
  EXPECT_EQ(RecordReader(*forwarded).address(fw::connect::kServer),
            (WireAddress{"127.0.0.1", b_node->HomePort()}));

  // A client of node b may also send to node a directly, from the address of its session on b;
  // from any other address the same message is dropped.
  std::uint16_t b_to_a = b.Connect({"127.0.0.1", a_node->HomePort()});
  ASSERT_NE(b_to_a, 0);
  RecordWriter invite(fw::invite::kSize);
  invite.u32(0, fw::kInvite)
      .u32(fw::invite::kTarget, 10001)
      .u8(fw::invite::kKind, 1)
      .u32(fw::invite::kRoom, 5);
  invite.u32(fw::invite::kSender, 10002);
  Bytes invitation = invite.take();
  TProtocolClient spoofer;
  std::uint16_t s_to_a = spoofer.Connect({"127.0.0.1", a_node->HomePort()});
  ASSERT_NE(s_to_a, 0);
  spoofer.Send(s_to_a, invitation);
  EXPECT_TRUE(a.NothingOf(fw::kInvite, sa.home, 300));
  b.Send(b_to_a, invitation);
  auto invited = a.WaitFor(fw::kInvite, sa.home);
  ASSERT_TRUE(invited);
  EXPECT_EQ(RecordReader(*invited).u32(fw::invite::kRoom), 5u);

  // 10002 signs out on node b: 10001 on node a hears state 0.
  b.Disconnect(sb.home);
  auto gone = a.WaitFor(fw::kUserState, sa.home);
  ASSERT_TRUE(gone);
  EXPECT_EQ(RecordReader(*gone).u32(fw::state::kSender), 10002u);
  EXPECT_EQ(RecordReader(*gone).u8(fw::state::kState), 0);
  EXPECT_FALSE(b_node->FriendStore().Presence(10002));
}

// The same store calls as on SQLite, on PostgreSQL: the friend list's joins, the queue's quotas and
// pages, and a search that sees users of every node.
TEST_F(FriendsPgTest, ListsQueuesAndSearchesSpanTheNodes) {
  auto a_node = Node("a");
  auto b_node = Node("b");
  TProtocolClient a, b;
  auto sa = SignIn(a, *a_node, 10001);
  ASSERT_TRUE(sa.ok());
  auto sb = SignIn(b, *b_node, 10002);
  ASSERT_TRUE(sb.ok());
  IFriendStore& store = b_node->FriendStore();
  ASSERT_TRUE(store.MoveFriend(10003, 10002, fw::kBlockGroup));
  std::vector<TFriendEntry> list = store.FriendList(10002, 10);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].code, 10001u);
  EXPECT_EQ(list[0].nickname, "小明");
  ASSERT_TRUE(list[0].presence);
  EXPECT_EQ(list[0].presence->node, "a");
  EXPECT_FALSE(list[0].blocks_owner);
  EXPECT_TRUE(list[1].blocks_owner);
  EXPECT_FALSE(list[1].presence);
  EXPECT_EQ(store.FriendCount(10002), 2u);

  TFriendQueueQuota quota;
  quota.per_target = 2;
  quota.per_sender = 2;
  RecordWriter w(fw::add::kSize);
  w.u32(0, fw::kAddFriend).u8(fw::add::kKind, fw::add::kRequest).u32(fw::add::kTarget, 20001);
  const Bytes m = w.take();
  EXPECT_TRUE(store.Queue(20001, 1, m, quota));
  EXPECT_TRUE(store.Queue(20001, 2, m, quota));
  EXPECT_TRUE(store.Queue(20001, 1, m, quota));  // replaces
  EXPECT_FALSE(store.Queue(20001, 3, m, quota));
  EXPECT_EQ(store.QueuedFor(20001), 2u);
  EXPECT_EQ(store.TakeQueued(20001, 1).size(), 1u);
  EXPECT_EQ(store.TakeQueued(20001, 5).size(), 1u);
  EXPECT_EQ(store.QueuedFor(20001), 0u);
  EXPECT_TRUE(store.AddRequest(10003, 20001));
  EXPECT_FALSE(store.AddRequest(10003, 20001));

  // Online only, from node b: 10001 is signed in on node a.
  namespace q = fw::search;
  RecordWriter search(q::kSize);
  search.u32(0, fw::kSearch).u32(q::kOwnCode, 10002).text(q::kNickname, 40, "小明").u8(q::kOnlineOnly, 1);
  auto found = b.Ask(sb.home, search.take(), fw::kSearchResult);
  ASSERT_TRUE(found);
  RecordReader r(*found);
  ASSERT_EQ(r.u8(fw::search_result::kCount), 1);
  EXPECT_EQ(r.u32(fw::search_result::kOnlineUsers), 2u);
  EXPECT_EQ(r.address(fw::search_result::kHeaderSize + fw::search_result::kServer),
            (WireAddress{"127.0.0.1", a_node->HomePort()}));
  TUserQuery all;
  TSearchPage page = store.Search(all, 0, 10, 2);
  ASSERT_EQ(page.hits.size(), 2u);
  EXPECT_EQ(page.next, 10002u);
  EXPECT_FALSE(page.done);
}

}  // namespace
}  // namespace kiv::server
