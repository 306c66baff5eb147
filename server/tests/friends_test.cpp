// The friends role against protocol clients on loopback: list and groups, presence, the add-friend
// dialogue with its queue, search paging, forwarding and the block list.
#include <gtest/gtest.h>

#include "declare/friend_wire.h"
#include "server_fixture.h"

namespace kiv::server {
namespace {

namespace fw = friend_wire;
using kiv::testing::TProtocolClient;

Bytes ListRequest(std::uint32_t own) {
  RecordWriter w(fw::list_request::kSize);
  w.u32(0, fw::kListRequest).u32(fw::list_request::kOwnCode, own);
  return w.take();
}

Bytes AddFriend(std::uint8_t kind, std::uint32_t sender, std::uint32_t target, const std::string& text = {}) {
  RecordWriter w(fw::add::kSize);
  w.u32(0, fw::kAddFriend)
      .u8(fw::add::kKind, kind)
      .u32(fw::add::kTarget, target)
      .u32(fw::add::kSender, sender);
  w.text(fw::add::kNickname, 40, "昵称").text(fw::add::kText, 255, text);
  return w.take();
}

Bytes GroupOp(std::uint32_t own, std::uint8_t op, std::uint32_t group, const std::string& name = {},
              std::uint32_t friend_code = 0) {
  namespace g = fw::group_op;
  RecordWriter w(g::kSize);
  w.u32(0, fw::kGroupOperation).u32(g::kOwnCode, own).u8(g::kOperation, op).u32(g::kGroup, group);
  w.text(g::kName, 40, name).u32(g::kFriend, friend_code);
  return w.take();
}

Bytes Search(std::uint32_t own, const std::string& nickname, bool online_only = false) {
  namespace q = fw::search;
  RecordWriter w(q::kSize);
  w.u32(0, fw::kSearch)
      .u32(q::kOwnCode, own)
      .text(q::kNickname, 40, nickname)
      .u8(q::kOnlineOnly, online_only);
  return w.take();
}

Bytes State(std::uint32_t sender, std::uint32_t target, std::uint8_t state) {
  namespace st = fw::state;
  RecordWriter w(st::kSize);
  w.u32(0, fw::kUserState).u32(st::kTarget, target).u8(st::kState, state).u32(st::kSender, sender);
  w.address(st::kOwnAddress, {"10.9.8.7", 1234});
  return w.take();
}

Bytes Connect(std::uint32_t sender, std::uint32_t target) {
  namespace c = fw::connect;
  RecordWriter w(c::kSize);
  w.u32(0, fw::kConnect)
      .u32(c::kTarget, target)
      .u32(c::kSender, sender)
      .address(c::kOwnAddress, {"10.9.8.7", 1});
  return w.take();
}

// The (user, group) pairs of a friend list.
std::vector<std::pair<std::uint32_t, std::uint32_t>> Entries(const Bytes& list) {
  RecordReader r(list);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
  for (std::size_t i = 0; i < r.u16(fw::list::kCount); ++i) {
    std::size_t at = fw::list::kHeaderSize + i * fw::list::kEntrySize;
    out.emplace_back(r.u32(at + fw::list::kUser), r.u8(at + fw::list::kGroup));
  }
  return out;
}

class FriendsTest : public ServerFixture {
 protected:
  std::uint32_t AddUser(std::uint32_t code, const std::string& nickname, std::uint8_t verify_mode) {
    TAccount a;
    a.code = code;
    a.password_hash = server_->Context().hasher.Hash(kiv::testing::PasswordDigest(kDemoPassword));
    a.nickname = nickname;
    a.verify_mode = verify_mode;
    return server_->Store().Create(a);
  }
  template <typename Fn>
  bool Eventually(Fn done) {
    for (int i = 0; i < 500; ++i) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

TEST_F(FriendsTest, DemoUsersAreFriendsAndTheListFollowsTheGroups) {
  TProtocolClient a;
  auto s = SignIn(a, 10001);
  ASSERT_TRUE(s.ok());
  ASSERT_TRUE(a.WaitFor(fw::kOnline, s.home));
  ASSERT_TRUE(a.Ask(s.home, GroupOp(10001, fw::group_op::kSave, 4, "同学"), fw::kGroupResult));
  a.Send(s.home, ListRequest(10001));
  auto groups = a.WaitFor(fw::kGroups, s.home);
  ASSERT_TRUE(groups);
  RecordReader g(*groups);
  ASSERT_EQ(g.u8(fw::groups::kCount), 1);
  EXPECT_EQ(g.u32(fw::groups::kHeaderSize + fw::groups::kId), 4u);
  EXPECT_EQ(g.text(fw::groups::kHeaderSize + fw::groups::kName, 40), "同学");
  EXPECT_EQ(groups->size(), fw::groups::kHeaderSize + fw::groups::kEntrySize);
  auto list = a.WaitFor(fw::kList, s.home);
  ASSERT_TRUE(list);
  using E = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  EXPECT_EQ(Entries(*list), (E{{10002, 1}, {10003, 1}}));
  EXPECT_EQ(list->size(), fw::list::kHeaderSize + 2 * fw::list::kEntrySize);
  EXPECT_EQ(RecordReader(*list).text(fw::list::kHeaderSize + fw::list::kNickname, 40), "小红");
  // Another user's list is not given.
  a.Send(s.home, ListRequest(10002));
  EXPECT_TRUE(a.NothingOf(fw::kList, s.home, 200));
}

TEST_F(FriendsTest, PresenceAtSignInAndWhenASessionEnds) {
  TProtocolClient a, b;
  auto sa = SignIn(a, 10001);
  ASSERT_TRUE(sa.ok());
  auto none = a.WaitFor(fw::kOnline, sa.home);
  ASSERT_TRUE(none);
  EXPECT_EQ(RecordReader(*none).u16(fw::online::kCount), 0);

  auto sb = SignIn(b, 10002, kDemoPassword, fw::kInvisible);
  ASSERT_TRUE(sb.ok());
  auto online = b.WaitFor(fw::kOnline, sb.home);
  ASSERT_TRUE(online);
  RecordReader o(*online);
  ASSERT_EQ(o.u16(fw::online::kCount), 1);
  EXPECT_EQ(online->size(), fw::online::kHeaderSize + fw::online::kEntrySize);
  EXPECT_EQ(o.u32(fw::online::kHeaderSize + fw::online::kUser), 10001u);
  EXPECT_EQ(o.u8(fw::online::kHeaderSize + fw::online::kState), 1);
  EXPECT_EQ(o.address(fw::online::kHeaderSize + fw::online::kOwnAddress),
            (WireAddress{"127.0.0.1", a.LocalPort()}));
  EXPECT_EQ(o.address(fw::online::kHeaderSize + fw::online::kServer), Home());

  // Signing out: the friend hears state 0 from the server.
  b.Disconnect(sb.home);
  auto gone = a.WaitFor(fw::kUserState, sa.home);
  ASSERT_TRUE(gone);
  EXPECT_EQ(RecordReader(*gone).u32(fw::state::kSender), 10002u);
  EXPECT_EQ(RecordReader(*gone).u8(fw::state::kState), 0);

  // A kick ends the session as well.
  TProtocolClient c;
  auto sc = SignIn(c, 10003);
  ASSERT_TRUE(sc.ok());
  server_->Admin({"kick", "10003"});
  auto kicked = a.WaitFor(fw::kUserState, sa.home);
  ASSERT_TRUE(kicked);
  EXPECT_EQ(RecordReader(*kicked).u32(fw::state::kSender), 10003u);
}

TEST_F(FriendsTest, RequestToAnOfflineUserArrivesAtSignInAndAgreeingStoresBothWays) {
  ASSERT_EQ(AddUser(20001, "验证", 1), 20001u);
  TProtocolClient a;
  auto sa = SignIn(a, 10001);
  ASSERT_TRUE(sa.ok());
  a.Send(sa.home, AddFriend(fw::add::kRequest, 10001, 20001, "你好"));
  // Consent cannot be claimed for the other side: kind 3 from 10001 to 20001 is refused (mode 1).
  a.Send(sa.home, AddFriend(fw::add::kAdded, 10001, 20001));
  ASSERT_TRUE(Eventually([&] { return server_->FriendStore().HasRequest(10001, 20001); }));
  EXPECT_FALSE(server_->FriendStore().GroupOf(10001, 20001));

  TProtocolClient b;
  auto sb = SignIn(b, 20001);
  ASSERT_TRUE(sb.ok());
  ASSERT_TRUE(b.WaitFor(fw::kOnline, sb.home));
  auto request = b.WaitFor(fw::kAddFriend, sb.home);
  ASSERT_TRUE(request);
  RecordReader q(*request);
  EXPECT_EQ(q.u8(fw::add::kKind), fw::add::kRequest);
  EXPECT_EQ(q.u32(fw::add::kSender), 10001u);
  EXPECT_EQ(q.text(fw::add::kText, 255), "你好");
  EXPECT_EQ(q.address(fw::add::kServer), Home());

  auto echo = b.Ask(sb.home, AddFriend(fw::add::kAdded, 20001, 10001), fw::kAddFriend);
  ASSERT_TRUE(echo);  // the server's consent to the one who agreed
  EXPECT_EQ(RecordReader(*echo).u8(fw::add::kKind), fw::add::kAdded);
  EXPECT_EQ(RecordReader(*echo).u32(fw::add::kSender), 10001u);
  auto added = a.WaitFor(fw::kAddFriend, sa.home);
  ASSERT_TRUE(added);
  EXPECT_EQ(RecordReader(*added).u8(fw::add::kKind), fw::add::kAdded);
  EXPECT_EQ(server_->FriendStore().GroupOf(10001, 20001), 1u);
  EXPECT_EQ(server_->FriendStore().GroupOf(20001, 10001), 1u);
  EXPECT_FALSE(server_->FriendStore().HasRequest(10001, 20001));

  // Asking again: already friends.
  auto again = a.Ask(sa.home, AddFriend(fw::add::kRequest, 10001, 20001), fw::kAddFriend);
  ASSERT_TRUE(again);
  EXPECT_EQ(RecordReader(*again).u8(fw::add::kKind), fw::add::kAlreadyFriends);

  // Deleting answers kind 9 to both.
  auto deleted = a.Ask(sa.home, AddFriend(fw::add::kDelete, 10001, 20001), fw::kAddFriend);
  ASSERT_TRUE(deleted);
  EXPECT_EQ(RecordReader(*deleted).u8(fw::add::kKind), fw::add::kDeleted);
  EXPECT_EQ(RecordReader(*deleted).u32(fw::add::kSender), 20001u);
  auto told = b.WaitFor(fw::kAddFriend, sb.home);
  ASSERT_TRUE(told);
  EXPECT_EQ(RecordReader(*told).u8(fw::add::kKind), fw::add::kDeleted);
  EXPECT_FALSE(server_->FriendStore().GroupOf(20001, 10001));
}

TEST_F(FriendsTest, VerificationModesDecideWhatIsAccepted) {
  ASSERT_EQ(AddUser(20002, "开放", 0), 20002u);
  ASSERT_EQ(AddUser(20003, "拒绝", 2), 20003u);
  ASSERT_EQ(AddUser(20004, "验证", 1), 20004u);
  TProtocolClient a;
  auto sa = SignIn(a, 10001);
  ASSERT_TRUE(sa.ok());
  ASSERT_TRUE(a.Ask(sa.home, AddFriend(fw::add::kAdded, 10001, 20002), fw::kAddFriend));  // open: stored
  a.Send(sa.home, AddFriend(fw::add::kRequest, 10001, 20003));  // nobody may add: dropped
  a.Send(sa.home, AddFriend(fw::add::kAdded, 10001, 20003));
  a.Send(sa.home, AddFriend(fw::add::kRequest, 10001, 20004));  // pending, then refused
  ASSERT_TRUE(Eventually([&] { return server_->FriendStore().HasRequest(10001, 20004); }));
  EXPECT_EQ(server_->FriendStore().GroupOf(20002, 10001), 1u);
  EXPECT_FALSE(server_->FriendStore().GroupOf(10001, 20003));
  EXPECT_FALSE(server_->FriendStore().HasRequest(10001, 20003));

  TProtocolClient d;
  auto sd = SignIn(d, 20004);
  ASSERT_TRUE(sd.ok());
  ASSERT_TRUE(d.WaitFor(fw::kAddFriend, sd.home));
  d.Send(sd.home, AddFriend(fw::add::kRefused, 20004, 10001, "不认识"));
  auto refused = a.WaitFor(fw::kAddFriend, sa.home);
  ASSERT_TRUE(refused);
  EXPECT_EQ(RecordReader(*refused).u8(fw::add::kKind), fw::add::kRefused);
  EXPECT_EQ(RecordReader(*refused).text(fw::add::kText, 255), "不认识");
  EXPECT_FALSE(server_->FriendStore().HasRequest(10001, 20004));
  // With the request gone, 10001 cannot claim 20004's consent either.
  a.Send(sa.home, AddFriend(fw::add::kAdded, 10001, 20004));
  EXPECT_TRUE(d.NothingOf(fw::kAddFriend, sd.home, 300));
  EXPECT_FALSE(server_->FriendStore().GroupOf(10001, 20004));
}

TEST_F(FriendsTest, GroupOperationsAreValidated) {
  TProtocolClient a;
  auto sa = SignIn(a, 10001);
  ASSERT_TRUE(sa.ok());
  namespace op = fw::group_op;
  struct Case {
    Bytes request;
    bool answered;
  } cases[] = {
      {GroupOp(10001, op::kSave, 3, "黑名单"), false},  // reserved id
      {GroupOp(10001, op::kSave, 256, "太大"), false},  // beyond a u8
      {GroupOp(10001, op::kSave, 4, ""), false},        // empty name
      {GroupOp(10001, op::kSave, 4, "同学"), true},
      {GroupOp(10001, op::kSave, 4, "老同学"), true},    // rename
      {GroupOp(10001, op::kMove, 5, {}, 10002), false},  // no such group
      {GroupOp(10001, op::kMove, 4, {}, 20009), false},  // not a friend
      {GroupOp(10001, op::kMove, 4, {}, 10002), true},
      {GroupOp(10001, op::kDelete, 4), false},  // not empty
      {GroupOp(10001, op::kMove, 1, {}, 10002), true},
      {GroupOp(10001, op::kDelete, 4), true},
      {GroupOp(10001, op::kDelete, 1), false},
      {GroupOp(10002, op::kSave, 4, "别人的"), false},  // another user's code
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    a.Send(sa.home, cases[i].request);
    // Each case is followed by a marker that is always answered, so silence is measured exactly.
    auto marker = a.Ask(sa.home, GroupOp(10001, op::kSave, 200, "标记"), fw::kGroupResult);
    ASSERT_TRUE(marker) << i;
    std::uint32_t group = RecordReader(*marker).u32(fw::group_result::kGroup);
    if (cases[i].answered) {
      EXPECT_EQ(group, RecordReader(cases[i].request).u32(op::kGroup)) << i;
      ASSERT_TRUE(a.WaitFor(fw::kGroupResult, sa.home)) << i;
    } else {
      EXPECT_EQ(group, 200u) << i;
    }
  }
  EXPECT_EQ(server_->FriendStore().GroupOf(10001, 10002), 1u);
  // At most ten groups of one's own.
  for (std::uint32_t id = 10; id < 19; ++id)
    ASSERT_TRUE(a.Ask(sa.home, GroupOp(10001, op::kSave, id, "组"), fw::kGroupResult));
  EXPECT_EQ(server_->FriendStore().Groups(10001).size(), 10u);
  a.Send(sa.home, GroupOp(10001, op::kSave, 30, "第十一"));
  EXPECT_TRUE(a.NothingOf(fw::kGroupResult, sa.home, 300));
}

TEST_F(FriendsTest, SearchPagesThroughTheHitsAndHidesInvisibleUsers) {
  for (std::uint32_t i = 0; i < 25; ++i)
    ASSERT_EQ(AddUser(30000 + i, "查询" + std::to_string(i), 1), 30000 + i);
  TProtocolClient a, hidden;
  auto sa = SignIn(a, 10001);
  ASSERT_TRUE(sa.ok());
  auto sh = SignIn(hidden, 30003, kDemoPassword, fw::kInvisible);
  ASSERT_TRUE(sh.ok());
  std::vector<std::uint32_t> seen;
  std::vector<std::size_t> pages;
  for (int page = 0; page < 4; ++page) {
    auto result = a.Ask(sa.home, Search(10001, "查询"), fw::kSearchResult);
    ASSERT_TRUE(result);
    RecordReader r(*result);
    std::size_t count = r.u8(fw::search_result::kCount);
    ASSERT_EQ(result->size(), fw::search_result::kHeaderSize + count * fw::search_result::kEntrySize);
    EXPECT_EQ(r.u32(fw::search_result::kOnlineUsers), 1u);  // the invisible one does not count
    pages.push_back(count);
    for (std::size_t i = 0; i < count; ++i) {
      std::size_t at = fw::search_result::kHeaderSize + i * fw::search_result::kEntrySize;
      seen.push_back(r.u32(at));
      if (r.u32(at) == 30003) {
        EXPECT_EQ(r.u8(at + fw::search_result::kOnline), 0);
        EXPECT_EQ(r.address(at + fw::search_result::kServer), WireAddress{});
      }
      EXPECT_EQ(r.u8(at + fw::search_result::kVerifyMode), 1);
    }
  }
  EXPECT_EQ(pages, (std::vector<std::size_t>{10, 10, 5, 0}));
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
  EXPECT_EQ(seen.size(), 25u);
  // Online only: the invisible user is not among them.
  auto online = a.Ask(sa.home, Search(10001, "查询", true), fw::kSearchResult);
  ASSERT_TRUE(online);
  EXPECT_EQ(RecordReader(*online).u8(fw::search_result::kCount), 0);
}

TEST_F(FriendsTest, ForwardingCarriesTheSessionsAddressAndOnlyBetweenFriends) {
  ASSERT_EQ(AddUser(20005, "陌生人", 0), 20005u);
  TProtocolClient a, b, stranger;
  auto sa = SignIn(a, 10001);
  auto sb = SignIn(b, 10002);
  auto ss = SignIn(stranger, 20005);
  ASSERT_TRUE(sa.ok() && sb.ok() && ss.ok());
  a.Send(sa.home, State(10003, 10002, 1));         // claims another sender
  stranger.Send(ss.home, State(20005, 10002, 1));  // not a friend
  a.Send(sa.home, Connect(10001, 10002));
  auto forwarded = b.WaitFor(fw::kConnect, sb.home);
  ASSERT_TRUE(forwarded);
  EXPECT_EQ(RecordReader(*forwarded).address(fw::connect::kOwnAddress),
            (WireAddress{"127.0.0.1", a.LocalPort()}));
  EXPECT_EQ(RecordReader(*forwarded).address(fw::connect::kServer), Home());
  EXPECT_TRUE(b.NothingOf(fw::kUserState, sb.home, 300));

  // Blocked: 10002 puts 10001 into its block list; 10001's messages stop and its presence hides.
  ASSERT_TRUE(b.Ask(sb.home, GroupOp(10002, fw::group_op::kMove, 3, {}, 10001), fw::kGroupResult));
  a.Send(sa.home, State(10001, 10002, 1));
  a.Send(sa.home, AddFriend(fw::add::kRequest, 10001, 10002));
  EXPECT_TRUE(b.NothingOf(fw::kUserState, sb.home, 300));
  EXPECT_TRUE(b.NothingOf(fw::kAddFriend, sb.home, 1));
  TProtocolClient again;
  a.Disconnect(sa.home);
  auto s2 = SignIn(again, 10001);
  ASSERT_TRUE(s2.ok());
  auto online = again.WaitFor(fw::kOnline, s2.home);
  ASSERT_TRUE(online);
  EXPECT_EQ(RecordReader(*online).u16(fw::online::kCount), 0);  // 10002 hides from 10001
  // Deleting the blocked friend still completes.
  auto deleted = b.Ask(sb.home, AddFriend(fw::add::kDelete, 10002, 10001), fw::kAddFriend);
  ASSERT_TRUE(deleted);
  EXPECT_EQ(RecordReader(*deleted).u8(fw::add::kKind), fw::add::kDeleted);
}

}  // namespace
}  // namespace kiv::server
