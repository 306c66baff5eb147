// The friends role against protocol clients on loopback: list and groups, presence, the add-friend
// dialogue with its queue, search paging, forwarding and the block list.
#include <gtest/gtest.h>

#include "declare/chat_wire.h"
#include "declare/friend_wire.h"
#include "protocol.h"
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

Bytes Invite(std::uint32_t sender, std::uint32_t target, std::uint32_t room) {
  namespace iv = fw::invite;
  RecordWriter w(iv::kSize);
  w.u32(0, fw::kInvite).u32(iv::kTarget, target).u8(iv::kKind, iv::kInvite).u32(iv::kRoom, room);
  w.u32(iv::kSender, sender);
  return w.take();
}

// The own state, as the home role takes it (target 0).
Bytes OwnState(std::uint32_t own, std::uint8_t state) {
  namespace us = proto::user_state;
  RecordWriter w(us::kSize);
  w.u32(0, fw::kUserState).u32(us::kTarget, 0).u8(us::kState, state).u32(us::kUserCode, own);
  return w.take();
}

Bytes Padded(Bytes message, std::size_t extra) {
  message.resize(message.size() + extra, 0x41);
  return message;
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

TEST_F(FriendsTest, RelayedMessagesStayWithinWhatTheReceivingClientTakes) {
  TProtocolClient a, b;
  auto sa = SignIn(a, 10001);
  auto sb = SignIn(b, 10002);
  ASSERT_TRUE(sa.ok() && sb.ok());
  namespace cw = chat_wire;
  // Friend messages have one size; chat data is bounded by what the chat plug-in reads (6000-byte
  // file blocks, 100 KiB video frames).
  struct Case {
    const char* what;
    Bytes message;
  } cases[] = {
      {"state with 16 KiB more", Padded(State(10001, 10002, 1), 16 << 10)},
      {"connect with one byte more", Padded(Connect(10001, 10002), 1)},
      {"invitation with 1 MiB more", Padded(Invite(10001, 10002, 7), 1 << 20)},
      {"request with 100 bytes more", Padded(AddFriend(fw::add::kAdded, 10001, 10002), 100)},
      {"operation of 400 bytes", Padded(kiv::testing::ChatOperate(10001, 10002, 1, 1, 1), 122)},
      {"file block of 6001 bytes", kiv::testing::ChatFileData(10001, 10002, 3, 0, 6001)},
      {"video frame of 200 KiB", kiv::testing::ChatVideo(10001, 10002, 200 << 10, true)},
  };
  const std::uint64_t refused = server_->ChatRole().Counters().refused;
  for (const Case& c : cases) ASSERT_NE(a.SendTemp(Home(), c.message), 0) << c.what;
  // The largest of each that a client takes still goes through, after the bad ones.
  const Bytes good[] = {State(10001, 10002, 1), Connect(10001, 10002),
                        kiv::testing::ChatFileData(10001, 10002, 3, 0, cw::file_data::kBlockBytes),
                        kiv::testing::ChatVideo(10001, 10002, cw::video::kMaxFrame, true),
                        Invite(10001, 10002, 8)};
  for (const Bytes& m : good) ASSERT_NE(a.SendTemp(Home(), m), 0);
  for (const Bytes& m : good) {
    auto got = b.WaitFor(LoadU32(m.data()), sb.home);
    ASSERT_TRUE(got) << std::hex << LoadU32(m.data());
    EXPECT_EQ(got->size(), m.size()) << std::hex << LoadU32(m.data());
  }
  for (std::uint32_t code : {fw::kUserState, fw::kConnect, fw::kInvite, fw::kAddFriend, cw::kOperate,
                             cw::kFileData, cw::kVideoData})
    EXPECT_TRUE(b.NothingOf(code, sb.home, 1)) << std::hex << code;
  EXPECT_TRUE(a.NothingOf(fw::kAddFriend, sa.home, 1));  // not even "already friends"
  EXPECT_EQ(server_->ChatRole().Counters().refused - refused, 3u);
}

TEST_F(FriendsTest, ForwardedSenderFieldsComeFromTheAccount) {
  ASSERT_EQ(AddUser(20001, "验证", 1), 20001u);
  TProtocolClient a, b, d;
  auto sa = SignIn(a, 10001);
  auto sb = SignIn(b, 10002);
  auto sd = SignIn(d, 20001);
  ASSERT_TRUE(sa.ok() && sb.ok() && sd.ok());
  // The request claims another nickname, the state another user type.
  a.Send(sa.home, AddFriend(fw::add::kRequest, 10001, 20001));  // nickname "昵称"
  Bytes state = State(10001, 10002, 1);
  state[fw::state::kUserType] = 9;
  a.Send(sa.home, state);
  auto request = d.WaitFor(fw::kAddFriend, sd.home);
  ASSERT_TRUE(request);
  EXPECT_EQ(RecordReader(*request).text(fw::add::kNickname, 40), "小明");
  auto forwarded = b.WaitFor(fw::kUserState, sb.home);
  ASSERT_TRUE(forwarded);
  EXPECT_EQ(RecordReader(*forwarded).u8(fw::state::kUserType), 1);  // the demo users' type
}

TEST_F(FriendsTest, TheQueueForAnOfflineUserHoldsOneMessagePerSender) {
  ASSERT_EQ(AddUser(20001, "验证", 1), 20001u);
  ASSERT_EQ(AddUser(20002, "开放", 0), 20002u);
  TProtocolClient a;
  auto sa = SignIn(a, 10001);
  ASSERT_TRUE(sa.ok());
  // Requests again and again, and befriending and deleting over and over, while they are offline.
  for (int i = 0; i < 2000; ++i)
    ASSERT_TRUE(a.Send(sa.home, AddFriend(fw::add::kRequest, 10001, 20001, "第" + std::to_string(i))));
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(a.Ask(sa.home, AddFriend(fw::add::kAdded, 10001, 20002), fw::kAddFriend)) << i;
    ASSERT_TRUE(a.Ask(sa.home, AddFriend(fw::add::kDelete, 10001, 20002), fw::kAddFriend)) << i;
  }
  // The first request is what waits; the last word on the other pair (deleted) is what waits.
  for (auto [code, kind, text] :
       {std::tuple{20001u, fw::add::kRequest, "第0"}, std::tuple{20002u, fw::add::kDeleted, ""}}) {
    TProtocolClient t;
    auto st = SignIn(t, code);
    ASSERT_TRUE(st.ok());
    auto first = t.WaitFor(fw::kAddFriend, st.home);
    ASSERT_TRUE(first) << code;
    EXPECT_EQ(RecordReader(*first).u8(fw::add::kKind), kind) << code;
    EXPECT_EQ(RecordReader(*first).text(fw::add::kText, 255), text) << code;
    // The list answer comes after everything handed out at sign-in.
    ASSERT_TRUE(t.Ask(st.home, ListRequest(code), fw::kList)) << code;
    EXPECT_TRUE(t.NothingOf(fw::kAddFriend, st.home, 1)) << code;
  }

  // Many senders: handed out in order over several pages.
  ASSERT_EQ(AddUser(20003, "验证", 1), 20003u);
  const std::uint32_t senders = 2 * TFriendsRole::kQueuePage + 7;
  for (std::uint32_t i = 0; i < senders; ++i)
    ASSERT_TRUE(
        server_->FriendStore().Queue(20003, 70000 + i, AddFriend(fw::add::kRequest, 70000 + i, 20003), {}));
  TProtocolClient t;
  auto st = SignIn(t, 20003);
  ASSERT_TRUE(st.ok());
  for (std::uint32_t i = 0; i < senders; ++i) {
    auto m = t.WaitFor(fw::kAddFriend, st.home);
    ASSERT_TRUE(m) << i;
    EXPECT_EQ(RecordReader(*m).u32(fw::add::kSender), 70000 + i);
  }
  ASSERT_TRUE(t.Ask(st.home, ListRequest(20003), fw::kList));
  EXPECT_TRUE(t.NothingOf(fw::kAddFriend, st.home, 1));
  EXPECT_EQ(server_->FriendStore().QueuedFor(20003), 0u);
}

TEST_F(FriendsTest, NoFriendshipBeyondTheFriendLimit) {
  ASSERT_EQ(AddUser(20002, "开放", 0), 20002u);
  ASSERT_EQ(AddUser(20003, "开放", 0), 20003u);
  // 10001 has two demo friends; fill its list up to the limit.
  for (std::uint32_t i = 0; i + 2 < TFriendsRole::kMaxFriends; ++i)
    ASSERT_TRUE(server_->FriendStore().MakeFriends(10001, 40000 + i));
  TProtocolClient a;
  auto sa = SignIn(a, 10001);
  ASSERT_TRUE(sa.ok());
  a.Send(sa.home, AddFriend(fw::add::kAdded, 10001, 20002));
  // The other side's limit counts as well.
  TProtocolClient c;
  auto sc = SignIn(c, 20003);
  ASSERT_TRUE(sc.ok());
  for (std::uint32_t i = 0; i < TFriendsRole::kMaxFriends; ++i)
    ASSERT_TRUE(server_->FriendStore().MakeFriends(20002, 50000 + i));
  c.Send(sc.home, AddFriend(fw::add::kAdded, 20003, 20002));
  auto list = a.Ask(sa.home, ListRequest(10001), fw::kList);
  ASSERT_TRUE(list);
  EXPECT_EQ(RecordReader(*list).u16(fw::list::kCount), TFriendsRole::kMaxFriends);
  ASSERT_TRUE(c.Ask(sc.home, ListRequest(20003), fw::kList));
  EXPECT_TRUE(a.NothingOf(fw::kAddFriend, sa.home, 1));
  EXPECT_TRUE(c.NothingOf(fw::kAddFriend, sc.home, 1));
  EXPECT_FALSE(server_->FriendStore().GroupOf(10001, 20002));
  EXPECT_FALSE(server_->FriendStore().GroupOf(20003, 20002));
}

TEST_F(FriendsTest, OnlineSearchFollowsStateChanges) {
  ASSERT_EQ(AddUser(30001, "查询", 1), 30001u);
  TProtocolClient a, hidden;
  auto sa = SignIn(a, 10001);
  auto sh = SignIn(hidden, 30001, kDemoPassword, fw::kInvisible);
  ASSERT_TRUE(sa.ok() && sh.ok());
  auto none = a.Ask(sa.home, Search(10001, "查询", true), fw::kSearchResult);
  ASSERT_TRUE(none);
  EXPECT_EQ(RecordReader(*none).u8(fw::search_result::kCount), 0);
  // Visible now; the profile answer follows the state change on the same connection.
  hidden.Send(sh.home, OwnState(30001, fw::kOnlineState));
  namespace pr = fw::profile_request;
  RecordWriter ask(pr::kSize);
  ask.u32(0, fw::kProfileRequest)
      .u32(pr::kSubject, 30001)
      .u32(pr::kRequester, 30001)
      .u8(pr::kPurpose, pr::kShow);
  ASSERT_TRUE(hidden.Ask(sh.home, ask.take(), fw::kProfile));
  auto found = a.Ask(sa.home, Search(10001, "查询", true), fw::kSearchResult);
  ASSERT_TRUE(found);
  RecordReader r(*found);
  ASSERT_EQ(r.u8(fw::search_result::kCount), 1);
  EXPECT_EQ(r.u32(fw::search_result::kHeaderSize + fw::search_result::kUser), 30001u);
  EXPECT_EQ(r.u8(fw::search_result::kHeaderSize + fw::search_result::kOnline), 1);
  EXPECT_EQ(r.address(fw::search_result::kHeaderSize + fw::search_result::kServer), Home());
  EXPECT_EQ(r.u32(fw::search_result::kOnlineUsers), 2u);
}

// The store alone: the queue's quotas and pages, and a search's window.
TEST_F(FriendsTest, StoreQueueQuotasAndSearchWindows) {
  IFriendStore& store = server_->FriendStore();
  TFriendQueueQuota quota;
  quota.per_target = 5;
  quota.per_sender = 3;
  auto message = [](std::uint32_t sender, std::uint8_t tag) {
    Bytes m = AddFriend(fw::add::kRequest, sender, 20001);
    m[fw::add::kText + 1] = tag;
    return m;
  };
  for (std::uint32_t sender = 60001; sender <= 60008; ++sender)
    EXPECT_EQ(store.Queue(20001, sender, message(sender, 1), quota), sender <= 60005) << sender;
  // A sender's newer message replaces its waiting one, even with the target's box full.
  EXPECT_TRUE(store.Queue(20001, 60002, message(60002, 2), quota));
  EXPECT_EQ(store.QueuedFor(20001), 5u);
  // The sender's quota spans its targets.
  EXPECT_TRUE(store.Queue(20002, 60001, message(60001, 3), quota));
  EXPECT_TRUE(store.Queue(20003, 60001, message(60001, 3), quota));
  EXPECT_FALSE(store.Queue(20004, 60001, message(60001, 3), quota));
  // Handed out oldest first, a page at a time; the replaced one comes last.
  std::vector<std::pair<std::uint32_t, std::uint8_t>> got;
  for (std::vector<Bytes> page; !(page = store.TakeQueued(20001, 2)).empty();) {
    EXPECT_LE(page.size(), 2u);
    for (const Bytes& m : page)
      got.emplace_back(RecordReader(m).u32(fw::add::kSender), m[fw::add::kText + 1]);
  }
  using P = std::vector<std::pair<std::uint32_t, std::uint8_t>>;
  EXPECT_EQ(got, (P{{60001, 1}, {60003, 1}, {60004, 1}, {60005, 1}, {60002, 2}}));
  EXPECT_EQ(store.QueuedFor(20001), 0u);

  // A search looks at a window of accounts: a page may end before ten hits, and says where to go on.
  for (std::uint32_t i = 0; i < 12; ++i) ASSERT_EQ(AddUser(30000 + i, i % 4 ? "别人" : "稀有", 1), 30000 + i);
  TUserQuery rare;
  rare.nickname = "稀有";
  TSearchPage p = store.Search(rare, 20000, 10, 6);  // 30000..30005
  ASSERT_EQ(p.hits.size(), 2u);
  EXPECT_EQ(p.hits[1].code, 30004u);
  EXPECT_EQ(p.next, 30005u);
  EXPECT_FALSE(p.done);
  p = store.Search(rare, p.next, 10, 6);  // 30006..30011
  ASSERT_EQ(p.hits.size(), 1u);
  EXPECT_EQ(p.hits[0].code, 30008u);
  EXPECT_EQ(p.next, 30011u);
  EXPECT_FALSE(p.done);
  p = store.Search(rare, p.next, 10, 6);
  EXPECT_TRUE(p.hits.empty());
  EXPECT_TRUE(p.done);
  p = store.Search(rare, 20000, 1, 100);  // a full page goes on after its last hit
  EXPECT_EQ(p.next, 30000u);
  EXPECT_FALSE(p.done);
}

}  // namespace
}  // namespace kiv::server
