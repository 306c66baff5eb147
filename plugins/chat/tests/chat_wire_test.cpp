// The chat messages' readers against short, lying and oversized bodies, and the order of routes.
#include "chat_wire.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kiv::chat::wire {
namespace {

Bytes Filled(std::size_t n) { return Bytes(n, 0x5A); }

TEST(ChatWireTest, TextMessageRoundTripsAndItsSizeFieldMustFit) {
  const Bytes content = {'<', 'p', '>', 'h', 'i'};
  Bytes body = TextMessage(10002, 10001, 46000.5, content);
  ASSERT_EQ(body.size(), text::kHeaderSize + content.size());
  auto m = ReadTextMessage(body);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->target, 10002u);
  EXPECT_EQ(m->sender, 10001u);
  EXPECT_EQ(m->send_time, 46000.5);
  EXPECT_EQ(Bytes(m->content.begin(), m->content.end()), content);

  struct Case {
    const char* what;
    std::size_t length;
    std::uint32_t size_field;
    bool accepted;
  };
  const Case cases[] = {
      {"header only, size 0", 24, 0, true},
      {"one byte short of the header", 23, 0, false},
      {"size beyond the datagram", 30, 7, false},
      {"size smaller than the datagram", 40, 6, true},
      {"size of 4 GB", 40, 0xFFFFFFFF, false},
      {"content over the cap", 24 + text::kMaxContent + 1, text::kMaxContent + 1, false},
      {"content at the cap", 24 + text::kMaxContent, text::kMaxContent, true},
  };
  for (const Case& c : cases) {
    Bytes b = Filled(c.length);
    if (b.size() >= 24) StoreU32(b.data() + text::kContentSize, c.size_field);
    auto got = ReadTextMessage(b);
    EXPECT_EQ(got.has_value(), c.accepted) << c.what;
    if (got) {
      EXPECT_EQ(got->content.size(), c.size_field) << c.what;
    }
  }
}

TEST(ChatWireTest, OperationIsExactly278BytesAndCarriesOnlyTheFileName) {
  TOperateMessage m;
  m.target = 10002;
  m.sender = 10001;
  m.id = 110001;
  m.kind = 2;
  m.step = 1;
  m.value = 77;
  m.file_name = "照片.png";
  Bytes body = OperateMessage(m);
  ASSERT_EQ(body.size(), operate::kSize);
  EXPECT_EQ(body[operate::kKind], 2);
  auto back = ReadOperateMessage(body);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->id, 110001u);
  EXPECT_EQ(back->step, 1);
  EXPECT_EQ(back->value, 77u);
  EXPECT_EQ(back->file_name, "照片.png");
  body.pop_back();
  EXPECT_FALSE(ReadOperateMessage(body));
}

TEST(ChatWireTest, AudioAndVideoBoundsAreCheckedBeforeAnythingIsMade) {
  const Bytes block(40, 1);
  auto a = ReadAudioMessage(AudioMessage(10002, 10001, 2, block));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->quality, 2);
  EXPECT_EQ(a->data.size(), 40u);
  Bytes lying = AudioMessage(10002, 10001, 1, block);
  StoreU32(lying.data() + audio::kDataSize, 41);
  EXPECT_FALSE(ReadAudioMessage(lying));
  EXPECT_FALSE(ReadAudioMessage(AudioMessage(10002, 10001, 1, {})));

  struct Case {
    const char* what;
    std::uint16_t width, height;
    bool accepted;
  };
  const Case cases[] = {
      {"CIF", 352, 288, true},     {"QCIF", 176, 144, true},   {"zero width", 0, 144, false},
      {"odd side", 175, 144, false}, {"too many pixels", 354, 288, false},
      {"huge", 65534, 65534, false},
  };
  const Bytes frame(100, 7);
  for (const Case& c : cases) {
    auto v = ReadVideoMessage(VideoMessage(10002, 10001, true, c.width, c.height, frame));
    EXPECT_EQ(v.has_value(), c.accepted) << c.what;
    if (v) {
      EXPECT_TRUE(v->key_frame);
    }
  }
  Bytes short_frame = VideoMessage(10002, 10001, false, 176, 144, frame);
  short_frame.pop_back();
  EXPECT_FALSE(ReadVideoMessage(short_frame));
}

TEST(ChatWireTest, RoutesFollowTheConnectionTheFriendsStateAndTheRelaySwitch) {
  struct Case {
    const char* what;
    TRouteFacts facts;
    std::vector<TRoute> routes;
  };
  const Case cases[] = {
      {"text, connected, offline friend falls back to the home server", {true, true, 0, true, true},
       {TRoute::kDirect, TRoute::kHomeServer}},
      {"text to an online friend without a connection, relay on", {false, true, 1, true, true},
       {TRoute::kFriendServer}},
      {"text to an online friend, relay off", {false, true, 1, false, true}, {}},
      {"operation to an offline friend is not kept by the server", {false, false, 0, false, true}, {}},
      {"voice over the connection, then the relay", {true, false, 1, true, true},
       {TRoute::kDirect, TRoute::kFriendServer}},
      {"relay without the friend's server address", {false, false, 1, true, false}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(Routes(c.facts), c.routes) << c.what;
}

}  // namespace
}  // namespace kiv::chat::wire
