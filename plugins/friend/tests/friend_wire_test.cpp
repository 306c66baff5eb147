// The friends plug-in in a real client against raw protocol peers: a scripted home server and a
// scripted friend send messages whose counts and lengths do not match the message, and the
// client must change nothing. Each case is followed by a well-formed message on the same
// connection (delivered in order), so the test knows the bad one has been handled.
#include <QAction>
#include <QTreeWidget>

#include "declare/friend_wire.h"
#include "session_fixture.h"

namespace kiv {
namespace {

namespace fw = friend_wire;

struct TListEntry {
  std::uint32_t code;
  std::string nickname;
  std::uint8_t state = 0;
  std::uint32_t group = 1;
  WireAddress own;
};

Bytes Groups(std::uint8_t count, const std::vector<std::pair<std::uint32_t, std::string>>& entries) {
  RecordWriter w(fw::groups::kHeaderSize + entries.size() * fw::groups::kEntrySize);
  w.u32(0, fw::kGroups).u32(fw::groups::kTarget, 10001).u8(fw::groups::kCount, count);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t at = fw::groups::kHeaderSize + i * fw::groups::kEntrySize;
    w.u32(at + fw::groups::kId, entries[i].first).text(at + fw::groups::kName, 40, entries[i].second);
  }
  return w.take();
}

Bytes List(std::uint16_t count, const std::vector<TListEntry>& entries) {
  namespace l = fw::list;
  RecordWriter w(l::kHeaderSize + entries.size() * l::kEntrySize);
  w.u32(0, fw::kList).u32(l::kTarget, 10001).u16(l::kCount, count);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t at = l::kHeaderSize + i * l::kEntrySize;
    w.u32(at + l::kUser, entries[i].code).text(at + l::kNickname, 40, entries[i].nickname);
    w.u8(at + l::kState, entries[i].state).u8(at + l::kGroup, static_cast<std::uint8_t>(entries[i].group));
    w.address(at + l::kOwnAddress, entries[i].own);
  }
  return w.take();
}

Bytes Online(std::uint16_t count, const std::vector<std::uint32_t>& codes) {
  namespace o = fw::online;
  RecordWriter w(o::kHeaderSize + codes.size() * o::kEntrySize);
  w.u32(0, fw::kOnline).u32(o::kTarget, 10001).u16(o::kCount, count);
  for (std::size_t i = 0; i < codes.size(); ++i)
    w.u32(o::kHeaderSize + i * o::kEntrySize + o::kUser, codes[i])
        .u8(o::kHeaderSize + i * o::kEntrySize + o::kState, kStateOnline);
  return w.take();
}

Bytes Results(std::uint8_t count, std::size_t records) {
  namespace h = fw::search_result;
  RecordWriter w(h::kHeaderSize + records * h::kEntrySize);
  w.u32(0, fw::kSearchResult).u32(h::kTarget, 10001).u8(h::kCount, count).u32(h::kOnlineUsers, 3);
  for (std::size_t i = 0; i < records; ++i)
    w.u32(h::kHeaderSize + i * h::kEntrySize + h::kUser, 30001 + static_cast<std::uint32_t>(i))
        .text(h::kHeaderSize + i * h::kEntrySize + h::kNickname, 40, "路人");
  return w.take();
}

// A group-operation result that creates group `id`: the marker that the messages before it ran.
Bytes Marker(std::uint32_t id) {
  namespace r = fw::group_result;
  RecordWriter w(r::kSize);
  w.u32(0, fw::kGroupResult).u32(r::kTarget, 10001).u8(r::kOperation, 1).u32(r::kGroup, id);
  w.text(r::kName, 40, "标记" + std::to_string(id));
  return w.take();
}

Bytes Photo(std::uint32_t size_field, std::size_t body, char fill) {
  Bytes m(fw::photo::kHeaderSize + body, static_cast<std::uint8_t>(fill));
  RecordWriter(m.data(), fw::photo::kHeaderSize)
      .u32(0, fw::kPhoto)
      .u32(fw::photo::kTarget, 10001)
      .u32(fw::photo::kSender, 10002)
      .u32(fw::photo::kSizeField, size_field);
  return m;
}

class FriendWireTest : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    const std::filesystem::path bin = KIV_BIN_DIR;
    std::filesystem::copy_file(bin / "Plugins" / "KivFriend.so", app_.path() / "Plugins" / "KivFriend.so");
  }

  // Signs in; the plug-in asks the home server for the list, which is given as `friends`.
  void SignInWith(const std::vector<TListEntry>& friends) {
    SignIn();
    ASSERT_TRUE(RunUntil([this] { return !home_.Messages(fw::kListRequest).empty(); }));
    FromHome(Groups(1, {{4, "同学"}}));
    FromHome(List(static_cast<std::uint16_t>(friends.size()), friends));
    ASSERT_TRUE(RunUntil([&] { return Friend(friends.back().code) != nullptr; }));
  }

  void FromHome(const Bytes& m) { home_.Send(home_handle_, m); }
  // Sends the marker of group `id` on the home connection and waits until it is applied.
  bool Handled(std::uint32_t id) {
    FromHome(Marker(id));
    return RunUntil([id] { return Group(id) != nullptr; });
  }

  static TFriend* Friend(std::uint32_t code) {
    return GlobalManager ? GlobalManager->GetFriendInfo(code) : nullptr;
  }
  static TFriendGroupInfo* Group(std::uint32_t id) {
    for (const auto& g : GlobalManager->FriendGroupList)
      if (g->id == id) return g.get();
    return nullptr;
  }
};

TEST_F(FriendWireTest, ServerListsAreCheckedAgainstTheMessage) {
  ASSERT_NO_FATAL_FAILURE(SignInWith({{10002, "小红", 0, 4, {}}, {10003, "小刚", 0, 1, {}}}));
  // The search window is open, so results would be shown.
  std::uint32_t none = 0;
  PluginManager->DealMessage("KivFriend", 0x70002, &none, sizeof none);
  QTreeWidget* results = nullptr;
  ASSERT_TRUE(RunUntil([&] {
    for (QWidget* w : QApplication::allWidgets())
      if (w->objectName() == QLatin1String("SearchResults")) results = qobject_cast<QTreeWidget*>(w);
    return results != nullptr;
  }));

  auto cut = [](Bytes m, std::size_t size) {
    m.resize(size);
    return m;
  };
  struct Case {
    const char* what;
    Bytes message;
  } cases[] = {
      {"groups: two counted, one sent", Groups(2, {{5, "坏组"}})},
      {"groups: header cut", cut(Groups(1, {{5, "坏组"}}), fw::groups::kHeaderSize - 1)},
      {"groups: the last entry one byte short", cut(Groups(1, {{5, "坏组"}}), fw::groups::kHeaderSize + 44)},
      {"list: two counted, one sent", List(2, {{10004, "陌生人", 0, 1, {}}})},
      {"list: 65535 counted", List(0xFFFF, {{10004, "陌生人", 0, 1, {}}})},
      {"list: header cut", cut(List(1, {{10004, "陌生人", 0, 1, {}}}), fw::list::kHeaderSize - 1)},
      {"online: two counted, one sent", Online(2, {10002})},
      {"online: the entry one byte short", cut(Online(1, {10002}), fw::online::kHeaderSize + 42)},
      {"results: eleven counted, ten sent", Results(11, 10)},
      {"results: header cut", cut(Results(1, 1), fw::search_result::kHeaderSize - 1)},
  };
  std::uint32_t marker = 100;
  for (const Case& c : cases) {
    FromHome(c.message);
    ASSERT_TRUE(Handled(++marker)) << c.what;
    EXPECT_FALSE(Group(5)) << c.what;
    EXPECT_FALSE(Friend(10004)) << c.what;
    ASSERT_TRUE(Friend(10002) && Friend(10003)) << c.what;  // the groups were not rebuilt
    EXPECT_EQ(Friend(10002)->group_id, 4u) << c.what;
    EXPECT_EQ(Friend(10002)->state, kStateOffline) << c.what;
    EXPECT_EQ(results->topLevelItemCount(), 0) << c.what;
  }

  // A list entry for a friend already known changes nothing of it.
  FromHome(List(1, {{10002, "改名", kStateOnline, 1, {}}}));
  ASSERT_TRUE(Handled(++marker));
  EXPECT_EQ(Friend(10002)->nickname.str(), "小红");
  EXPECT_EQ(Friend(10002)->group_id, 4u);
  EXPECT_EQ(Friend(10002)->state, kStateOffline);

  // With the markers there are more than twelve groups: a new one is refused before it is asked for.
  QAction* add_group = nullptr;
  for (QWidget* w : QApplication::allWidgets())
    if (w->objectName() == QLatin1String("FriendPanel"))
      add_group = w->findChild<QAction*>(QStringLiteral("AddGroupAction"));
  ASSERT_TRUE(add_group);
  add_group->trigger();
  EXPECT_TRUE(MessageShown(QStringLiteral("已经达到用户可建组最大数。")));

  // The same messages whole are taken.
  FromHome(Online(1, {10002}));
  FromHome(Results(2, 2));
  FromHome(List(1, {{10004, "陌生人", 0, 1, {}}}));
  EXPECT_TRUE(RunUntil([] { return Friend(10004) && Friend(10002)->state == kStateOnline; }));
  EXPECT_TRUE(RunUntil([&] { return results->topLevelItemCount() == 2; }));
}

TEST_F(FriendWireTest, PhotosAreCheckedAgainstTheMessageAndTheLimit) {
  // The friend is a scripted peer, online at its own address: the client dials it.
  TScriptedServer peer;
  ASSERT_NO_FATAL_FAILURE(SignInWith({{10002, "小红", kStateOnline, 1, {"127.0.0.1", peer.Port()}}}));
  ASSERT_TRUE(RunUntil([&] { return !peer.Messages(fw::kUserState).empty(); }));
  const std::uint16_t link = peer.Messages(fw::kUserState).front().handle;
  ASSERT_TRUE(RunUntil([] { return Friend(10002)->remote != 0; }));
  const std::filesystem::path file = GlobalManager->PhotoPath(10002);

  struct Case {
    const char* what;
    Bytes message;
  } cases[] = {
      {"size beyond the message", Photo(5000, 4000, 'a')},
      {"size beyond the limit, short body", Photo(fw::photo::kMaxBytes + 1, 100, 'b')},
      {"size 0", Photo(0, 100, 'c')},
      {"size 2^32 - 1", Photo(0xFFFFFFFFu, 100, 'd')},
      {"one byte beyond the limit, whole", Photo(fw::photo::kMaxBytes + 1, fw::photo::kMaxBytes + 1, 'e')},
  };
  for (const Case& c : cases) peer.Send(link, c.message);
  // An answer to an invitation on the same connection: once shown, every photo before it was handled.
  RecordWriter refused(fw::invite::kSize);
  refused.u32(0, fw::kInvite).u32(fw::invite::kTarget, 10001).u8(fw::invite::kKind, fw::invite::kRefused);
  refused.u32(fw::invite::kSender, 10002);
  peer.Send(link, refused.take());
  ASSERT_TRUE(MessageShown(QStringLiteral("好友小红拒绝了你的视频聊天室邀请。")));
  EXPECT_FALSE(std::filesystem::exists(file));

  // A whole photo, with more bytes after it than it says, keeps exactly its own bytes.
  Bytes good = Photo(3000, 3000, 'p');
  good.resize(good.size() + 10, 'x');
  peer.Send(link, good);
  ASSERT_TRUE(RunUntil([&] { return std::filesystem::exists(file); }));
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), std::string(3000, 'p'));
}

}  // namespace
}  // namespace kiv
