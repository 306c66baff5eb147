// The chat role against protocol clients on loopback: text messages kept for offline friends and
// handed out once after the friend list, the checks and quotas, and the forwarding of temporary
// data to a session.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "declare/chat_wire.h"
#include "declare/friend_wire.h"
#include "server_fixture.h"

namespace kiv::server {
namespace {

namespace cw = chat_wire;
namespace fw = friend_wire;
using kiv::testing::ChatAudio;
using kiv::testing::ChatFileData;
using kiv::testing::ChatOperate;
using kiv::testing::ChatText;
using kiv::testing::ChatVideo;
using kiv::testing::FriendListRequest;
using kiv::testing::TProtocolClient;

constexpr double kSendTime = 46000.53125;  // a day in 2025, half past noon

template <typename Fn>
bool Eventually(Fn done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class ChatTest : public ServerFixture {
 protected:
  std::uint64_t Waiting(std::uint32_t user) { return server_->ChatStore().CountFor(user); }
  std::uint32_t AddUser(std::uint32_t code) {
    TAccount a;
    a.code = code;
    a.password_hash = server_->Context().hasher.Hash(kiv::testing::PasswordDigest(kDemoPassword));
    a.nickname = "用户" + std::to_string(code);
    return server_->Store().Create(a);
  }
};

TEST_F(ChatTest, OfflineTextIsKeptAndDeliveredOnceAfterTheFriendList) {
  TProtocolClient a;
  auto sa = SignIn(a, 10001);
  ASSERT_TRUE(sa.ok());
  const Bytes first = ChatText(10001, 10002, kSendTime, 100, 'x');
  const Bytes second = ChatText(10001, 10002, kSendTime + 1, 100 * 1024, 'y');
  a.Send(sa.home, first);
  a.SendOn(sa.home, second, cw::kTextChannel);
  ASSERT_TRUE(Eventually([&] { return Waiting(10002) == 2; }));

  TProtocolClient b;
  auto sb = SignIn(b, 10002);
  ASSERT_TRUE(sb.ok());
  // Nothing before the friend list is asked for (the wait without a request is 2 s).
  EXPECT_TRUE(b.NothingOf(cw::kChatMessage, sb.home, 300));
  ASSERT_TRUE(b.Ask(sb.home, FriendListRequest(10002), fw::kList));
  auto got1 = b.WaitFor(cw::kChatMessage, sb.home);
  auto got2 = b.WaitFor(cw::kChatMessage, sb.home);
  ASSERT_TRUE(got1 && got2);
  EXPECT_EQ(*got1, first);  // unchanged: the sender's own send time
  EXPECT_EQ(*got2, second);
  EXPECT_TRUE(Eventually([&] { return Waiting(10002) == 0; }));  // deleted once acknowledged
  EXPECT_TRUE(Eventually([&] { return server_->ChatRole().Counters().delivered == 2; }));

  // Asking for the list again, or signing in again, hands out nothing twice.
  ASSERT_TRUE(b.Ask(sb.home, FriendListRequest(10002), fw::kList));
  EXPECT_TRUE(b.NothingOf(cw::kChatMessage, sb.home, 300));
  b.Disconnect(sb.home);
  TProtocolClient again;
  auto s2 = SignIn(again, 10002);
  ASSERT_TRUE(s2.ok());
  ASSERT_TRUE(again.Ask(s2.home, FriendListRequest(10002), fw::kList));
  EXPECT_TRUE(again.NothingOf(cw::kChatMessage, s2.home, 500));
}

TEST_F(ChatTest, WithoutAListRequestKeptTextFollowsAfterTheWait) {
  TProtocolClient a;
  auto sa = SignIn(a, 10001);
  ASSERT_TRUE(sa.ok());
  const Bytes text = ChatText(10001, 10003, kSendTime, 64);
  a.Send(sa.home, text);
  ASSERT_TRUE(Eventually([&] { return Waiting(10003) == 1; }));
  TProtocolClient c;
  auto sc = SignIn(c, 10003);
  ASSERT_TRUE(sc.ok());
  // A client with a cached friend list asks for none: the message comes after the wait.
  EXPECT_TRUE(c.NothingOf(cw::kChatMessage, sc.home, 1000));
  auto got = c.WaitFor(cw::kChatMessage, sc.home, 10000);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, text);
  EXPECT_TRUE(Eventually([&] { return Waiting(10003) == 0; }));
}

TEST_F(ChatTest, TextForAFriendSignedInMeanwhileIsHandedOutAtOnce) {
  TProtocolClient a, b;
  auto sa = SignIn(a, 10001);
  auto sb = SignIn(b, 10002);
  ASSERT_TRUE(sa.ok() && sb.ok());
  ASSERT_TRUE(b.Ask(sb.home, FriendListRequest(10002), fw::kList));
  const Bytes text = ChatText(10001, 10002, kSendTime, 300);
  a.Send(sa.home, text);  // a still saw b offline
  auto got = b.WaitFor(cw::kChatMessage, sb.home);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, text);
  EXPECT_TRUE(Eventually([&] { return Waiting(10002) == 0; }));
  EXPECT_TRUE(b.NothingOf(cw::kChatMessage, sb.home, 300));
}

TEST_F(ChatTest, BurstsFromSeveralFriendsArriveExactlyOnceAndInOrder) {
  // Kept text is handed out while more keeps arriving: every message must reach the friend once,
  // each sender's in the order sent, however the hand-out and the new arrivals interleave.
  std::vector<std::uint32_t> senders{10001, 10003};
  for (std::uint32_t code : {20011u, 20012u, 20013u, 20014u}) {
    ASSERT_EQ(AddUser(code), code);
    ASSERT_TRUE(server_->FriendStore().MakeFriends(code, 10002));
    senders.push_back(code);
  }
  TProtocolClient b;
  auto sb = SignIn(b, 10002);
  ASSERT_TRUE(sb.ok());
  ASSERT_TRUE(b.Ask(sb.home, FriendListRequest(10002), fw::kList));
  std::vector<std::unique_ptr<TProtocolClient>> clients;
  std::vector<TProtocolClient::SignIn> sessions;
  for (std::uint32_t code : senders) {
    clients.push_back(std::make_unique<TProtocolClient>());
    sessions.push_back(SignIn(*clients.back(), code));
    ASSERT_TRUE(sessions.back().ok()) << code;
  }
  constexpr int kRounds = 15, kBurst = 10;
  std::map<std::uint32_t, std::vector<Bytes>> sent;
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < senders.size(); ++i)
    for (int m = 0; m < kRounds * kBurst; ++m)
      sent[senders[i]].push_back(ChatText(senders[i], 10002, kSendTime + m, 40 + m % 50));
  for (std::size_t i = 0; i < senders.size(); ++i)
    threads.emplace_back([&, i] {
      const std::vector<Bytes>& mine = sent[senders[i]];
      for (int r = 0; r < kRounds; ++r) {
        for (int m = 0; m < kBurst; ++m) clients[i]->Send(sessions[i].home, mine[r * kBurst + m]);
        std::this_thread::sleep_for(std::chrono::milliseconds(r % 3));
      }
    });
  for (auto& t : threads) t.join();
  std::map<std::uint32_t, std::vector<Bytes>> got;
  const std::size_t total = senders.size() * kRounds * kBurst;
  for (std::size_t n = 0; n < total; ++n) {
    auto message = b.WaitFor(cw::kChatMessage, sb.home, 20000);
    ASSERT_TRUE(message) << "only " << n << " of " << total;
    got[LoadU32(message->data() + cw::text::kSender)].push_back(*message);
  }
  EXPECT_TRUE(b.NothingOf(cw::kChatMessage, sb.home, 1000)) << "a message came twice";
  for (std::uint32_t code : senders) {
    // Compared as a whole, not printed: the messages are long.
    EXPECT_EQ(got[code].size(), sent[code].size()) << code;
    EXPECT_TRUE(got[code] == sent[code]) << "from " << code << ": missing, repeated or out of order";
  }
  EXPECT_TRUE(Eventually([&] { return Waiting(10002) == 0; }));
}

TEST_F(ChatTest, BadTextMessagesAreNotKept) {
  ASSERT_EQ(AddUser(20005), 20005u);
  ASSERT_TRUE(server_->FriendStore().MakeFriends(20005, 10003));
  ASSERT_TRUE(server_->FriendStore().MoveFriend(10003, 20005, fw::kBlockGroup));
  TProtocolClient a, stranger;
  auto sa = SignIn(a, 10001);
  auto ss = SignIn(stranger, 20005);
  ASSERT_TRUE(sa.ok() && ss.ok());
  Bytes too_long = ChatText(10001, 10002, kSendTime, cw::text::kMaxContent + 1);
  Bytes header_only = ChatText(10001, 10002, kSendTime, 0);
  header_only.pop_back();  // 23 bytes
  struct Case {
    const char* what;
    TProtocolClient& client;
    std::uint16_t handle;
    Bytes message;
  } cases[] = {
      {"another sender's code", a, sa.home, ChatText(10003, 10002, kSendTime, 10)},
      {"longer than 409624 bytes", a, sa.home, too_long},
      {"shorter than the header", a, sa.home, header_only},
      {"to the sender itself", a, sa.home, ChatText(10001, 10001, kSendTime, 10)},
      {"not on the target's list", stranger, ss.home, ChatText(20005, 10002, kSendTime, 10)},
      {"in the target's block group", stranger, ss.home, ChatText(20005, 10003, kSendTime, 10)},
      {"guest-less unknown target", a, sa.home, ChatText(10001, 55555, kSendTime, 10)},
  };
  for (const Case& c : cases) c.client.Send(c.handle, c.message);
  // The largest allowed message and an empty document are kept; they come after the bad ones on
  // the same connection, so once they are in, every case was handled.
  a.Send(sa.home, ChatText(10001, 10002, kSendTime, cw::text::kMaxContent));
  a.Send(sa.home, ChatText(10001, 10003, kSendTime, 0));
  stranger.Send(ss.home, ChatText(20005, 20005, kSendTime, 1));
  ASSERT_TRUE(Eventually([&] { return Waiting(10002) == 1 && Waiting(10003) == 1; }));
  ASSERT_TRUE(Eventually([&] { return server_->ChatRole().Counters().refused >= 6; }));
  EXPECT_EQ(Waiting(10001) + Waiting(55555) + Waiting(20005), 0u);
  EXPECT_TRUE(Eventually([&] { return server_->ChatRole().Counters().kept == 2u; }));
}

TEST_F(ChatTest, QuotasBoundWhatWaits) {
  server_.reset();
  TServerOptions o;
  o.chat_quota.per_sender_messages = 3;
  o.chat_quota.per_target_messages = 5;
  o.chat_quota.per_target_bytes = 600u << 10;
  StartServer(o);
  TProtocolClient a, c;
  auto sa = SignIn(a, 10001);
  auto sc = SignIn(c, 10003);
  ASSERT_TRUE(sa.ok() && sc.ok());
  for (int i = 0; i < 5; ++i) a.Send(sa.home, ChatText(10001, 10002, kSendTime + i, 10));
  ASSERT_TRUE(Eventually([&] { return server_->ChatRole().Counters().refused == 2; }));
  EXPECT_EQ(Waiting(10002), 3u);  // the sender's quota
  // Another sender fills the target's box up to its bound: by count, then by bytes.
  c.Send(sc.home, ChatText(10003, 10002, kSendTime, 400 * 1024));
  c.Send(sc.home, ChatText(10003, 10002, kSendTime, 400 * 1024));
  c.Send(sc.home, ChatText(10003, 10002, kSendTime, 10));
  c.Send(sc.home, ChatText(10003, 10002, kSendTime, 10));
  ASSERT_TRUE(Eventually([&] { return server_->ChatRole().Counters().refused == 4; }));
  EXPECT_EQ(Waiting(10002), 5u);

  // Once delivered, the box takes messages again.
  TProtocolClient b;
  auto sb = SignIn(b, 10002);
  ASSERT_TRUE(sb.ok());
  ASSERT_TRUE(b.Ask(sb.home, FriendListRequest(10002), fw::kList));
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(b.WaitFor(cw::kChatMessage, sb.home)) << i;
  ASSERT_TRUE(Eventually([&] { return Waiting(10002) == 0; }));
  b.Disconnect(sb.home);
  ASSERT_TRUE(Eventually([&] { return !server_->Context().sessions.ByUser(10002); }));
  a.Send(sa.home, ChatText(10001, 10002, kSendTime, 10));
  EXPECT_TRUE(Eventually([&] { return Waiting(10002) == 1; }));
}

TEST_F(ChatTest, TemporaryDataIsForwardedOnlyFromTheSendersSession) {
  TProtocolClient a, b, spoofer;
  auto sa = SignIn(a, 10001);
  auto sb = SignIn(b, 10002);
  ASSERT_TRUE(sa.ok() && sb.ok());
  // The sender's client relays through the server its friend is on (here its own home server, so
  // the connectionless send travels on the connection it already has).
  const std::vector<Bytes> good = {
      ChatOperate(10001, 10002, 110001, 1, 1),
      ChatAudio(10001, 10002, 800),
      ChatVideo(10001, 10002, 3000, true),
      ChatFileData(10001, 10002, 110002, 0, 6000),
  };
  // From an address without the sender's session, with a wrong size field, or to someone offline.
  spoofer.SendTemp(Home(), ChatOperate(10001, 10002, 999, 1, 1));
  a.SendTemp(Home(), ChatAudio(10001, 10002, 100, 101));
  a.SendTemp(Home(), ChatVideo(10001, 10002, 100, false, 0xFFFFFFF0u));
  a.SendTemp(Home(), ChatFileData(10001, 10002, 1, 0, 10, 11));
  a.SendTemp(Home(), ChatOperate(10001, 10003, 5, 1, 1));
  for (const Bytes& m : good) ASSERT_NE(a.SendTemp(Home(), m), 0);
  for (const Bytes& m : good) {
    auto got = b.WaitFor(LoadU32(m.data()), sb.home);
    ASSERT_TRUE(got) << std::hex << LoadU32(m.data());
    EXPECT_EQ(*got, m);
  }
  EXPECT_TRUE(b.NothingOf(cw::kOperate, sb.home, 300));
  EXPECT_TRUE(b.NothingOf(cw::kAudioData, sb.home, 1));
  EXPECT_TRUE(b.NothingOf(cw::kVideoData, sb.home, 1));
  EXPECT_TRUE(b.NothingOf(cw::kFileData, sb.home, 1));
  TChatCounters n = server_->ChatRole().Counters();
  EXPECT_EQ(n.forwarded, good.size());
  EXPECT_EQ(n.dropped, 1u);  // the operation for 10003, who is offline
  EXPECT_EQ(n.refused, 4u);

  // A file's blocks arrive in order, however many there are, and the connection that carried them
  // as temporary data still works afterwards.
  for (std::uint32_t i = 0; i < 40; ++i)
    ASSERT_NE(a.SendTemp(Home(), ChatFileData(10001, 10002, 7, i * 6000, 6000)), 0);
  for (std::uint32_t i = 0; i < 40; ++i) {
    auto block = b.WaitFor(cw::kFileData, sb.home);
    ASSERT_TRUE(block) << i;
    EXPECT_EQ(RecordReader(*block).u32(cw::file_data::kOffset), i * 6000);
  }
  EXPECT_TRUE(a.Ask(sa.home, FriendListRequest(10001), fw::kList));
}

}  // namespace
}  // namespace kiv::server
