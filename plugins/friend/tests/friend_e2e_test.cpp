// The friends plug-in in a real client against the real server on loopback. The other friends are
// protocol clients: they speak the friend messages as a client does, and a test reads what they
// receive.
#include <QCheckBox>

#include "friend_fixture.h"

namespace kiv {
namespace {

TEST_F(FriendClientTest, TheListComesFromTheServerIsCachedAndRebuiltWhenTheCacheIsGone) {
  SignInAs(10001);
  ASSERT_TRUE(RunUntil([] { return Friend(10002) && Friend(10003); }));
  ASSERT_TRUE(RunUntil([] { return GroupCaptions().contains(QStringLiteral("我的好友[0/2]")); }));
  EXPECT_EQ(GroupCaptions(),
            (QStringList{QStringLiteral("我的好友[0/2]"), QStringLiteral("我的黑名单[0/0]")}));
  EXPECT_EQ(Row(10002)->text(), QStringLiteral("小红"));
  EXPECT_EQ(Row(10002)->toolTip(), QStringLiteral("小红[10002]"));
  ASSERT_TRUE(RunUntil([this] { return std::filesystem::exists(UserFile("FriendInfo.dat")); }));
  EXPECT_EQ(std::filesystem::file_size(UserFile("FriendInfo.dat")), 8u + 2 * 500u);

  // A group of one's own, with a friend in it, survives a wiped cache.
  AnswerGroupName(QStringLiteral("同学"));
  PanelAction("AddGroupAction")->trigger();
  ASSERT_TRUE(RunUntil([] { return GroupCaptions().contains(QStringLiteral("同学[0/0]")); }));
  MoveBySubmenu(10003, 4);
  ASSERT_TRUE(RunUntil([] { return Friend(10003) && Friend(10003)->group_id == 4; }));
  ASSERT_NO_FATAL_FAILURE(SignOut());

  std::filesystem::remove(UserFile("FriendInfo.dat"));
  std::filesystem::remove(UserFile("FriendGroupInfo.dat"));
  SignInAs(10001);
  ASSERT_TRUE(RunUntil([] { return Friend(10003) && Friend(10003)->group_id == 4; }));
  EXPECT_TRUE(RunUntil([] { return GroupCaptions().contains(QStringLiteral("同学[0/1]")); }));
  EXPECT_TRUE(RunUntil([this] { return std::filesystem::exists(UserFile("FriendGroupInfo.dat")); }));
}

TEST_F(FriendClientTest, PresenceOverADirectConnectionAndThroughTheServer) {
  // A warm cache: the friends are known before the server names the online ones.
  SignInAs(10001);
  ASSERT_TRUE(RunUntil([this] { return std::filesystem::exists(UserFile("FriendInfo.dat")); }));
  ASSERT_NO_FATAL_FAILURE(SignOut());
  TProtocolClient b;
  auto sb = SignInPeer(b, 10002);
  ASSERT_TRUE(sb.ok());
  SignInAs(10001);
  // The server names 10002 online; the client dials it and tells it its own state.
  ASSERT_TRUE(RunUntil(
      [] { return Friend(10002) && Friend(10002)->state == kStateOnline && Friend(10002)->remote; }));
  auto state = Await(b, fw::kUserState);
  ASSERT_TRUE(state);
  RecordReader s(*state);
  EXPECT_EQ(s.u32(fw::state::kSender), 10001u);
  EXPECT_EQ(s.u8(fw::state::kState), kStateOnline);
  EXPECT_EQ(s.u8(fw::state::kReplyWanted), 1);
  EXPECT_TRUE(RunUntil([] { return GroupCaptions().contains(QStringLiteral("我的好友[1/2]")); }));
  EXPECT_TRUE(RunUntil([] { return NoticeText() == QStringLiteral("好友小红(10002)上线了。"); }));

  // A third peer that claims to be 10002 changes nothing.
  TProtocolClient spoofer;
  std::uint16_t to_a = ConnectToClient(spoofer);
  ASSERT_NE(to_a, 0);
  const std::uint32_t real_remote = Friend(10002)->remote;
  RecordWriter w(fw::state::kSize);
  w.u32(0, fw::kUserState).u32(fw::state::kTarget, 10001).u8(fw::state::kState, kStateInvisible);
  w.u32(fw::state::kSender, 10002).address(fw::state::kServer, {"127.0.0.1", 1});
  spoofer.Send(to_a, w.take());
  RunUntil([] { return false; }, 300);
  EXPECT_EQ(Friend(10002)->state, kStateOnline);
  EXPECT_EQ(Friend(10002)->remote, real_remote);
  EXPECT_EQ(Friend(10002)->server_port, server_.Home().port);

  // 10002 signs out: the server says state 0.
  b.Disconnect(sb.home);
  ASSERT_TRUE(RunUntil([] { return Friend(10002)->state == kStateOffline; }));
  EXPECT_EQ(Friend(10002)->remote, 0u);
  EXPECT_TRUE(RunUntil([] { return GroupCaptions().contains(QStringLiteral("我的好友[0/2]")); }));
}

TEST_F(FriendClientTest, ARequestFromASearchIsAgreedAtTheNextSignInOfTheOtherUser) {
  // 20001 wants a verification request.
  ASSERT_TRUE(AddUser(20001, QStringLiteral("新朋友"), 1));
  SignInAs(10001);
  QWidget* form = SearchFor(20001);
  ASSERT_TRUE(form);
  auto* results = form->findChild<QTreeWidget*>(QStringLiteral("SearchResults"));
  EXPECT_EQ(results->topLevelItem(0)->text(1), QStringLiteral("新朋友"));
  // A click on the hit shows the verification panel, which asks for the text.
  ClickItem(results, results->topLevelItem(0));
  auto* verify = form->findChild<QPlainTextEdit*>(QStringLiteral("VerifyEdit"));
  ASSERT_TRUE(RunUntil([&] { return verify->isVisible(); }));
  EXPECT_EQ(verify->toPlainText(), QStringLiteral("请输入身份验证信息。"));
  EXPECT_FALSE(verify->isReadOnly());
  verify->setPlainText(QStringLiteral("我是小明"));
  form->findChild<QPushButton*>(QStringLiteral("AddButton"))->click();
  EXPECT_TRUE(RequestNoticeShown(QStringLiteral("你已经向新朋友[20001]提出了好友请求。")));
  EXPECT_FALSE(verify->isVisible());  // back to the criteria

  // 20001 was offline: the request waits for its sign-in.
  TProtocolClient b;
  auto sb = SignInPeer(b, 20001);
  ASSERT_TRUE(sb.ok());
  auto request = Await(b, fw::kAddFriend, sb.home);
  ASSERT_TRUE(request);
  EXPECT_EQ(RecordReader(*request).u8(fw::add::kKind), fw::add::kRequest);
  EXPECT_EQ(RecordReader(*request).text(fw::add::kText, 255), "我是小明");

  // A kind 3 from a peer is not the server's consent.
  TProtocolClient spoofer;
  std::uint16_t to_a = ConnectToClient(spoofer);
  ASSERT_NE(to_a, 0);
  RecordWriter fake(fw::add::kSize);
  fake.u32(0, fw::kAddFriend).u8(fw::add::kKind, fw::add::kAdded).u32(fw::add::kTarget, 10001);
  fake.u32(fw::add::kSender, 20009).text(fw::add::kNickname, 40, "冒充");
  spoofer.Send(to_a, fake.take());

  RecordWriter agree(fw::add::kSize);
  agree.u32(0, fw::kAddFriend).u8(fw::add::kKind, fw::add::kAdded).u32(fw::add::kTarget, 10001);
  agree.u32(fw::add::kSender, 20001).text(fw::add::kNickname, 40, "新朋友");
  b.Send(sb.home, agree.take());
  EXPECT_TRUE(RequestNoticeShown(QStringLiteral("新朋友[20001]已经成为了你的朋友。")));
  ASSERT_TRUE(RunUntil([] { return Friend(20001) && Friend(20001)->group_id == 1; }));
  EXPECT_FALSE(Friend(20009));
  EXPECT_TRUE(
      RunUntil([this] { return std::filesystem::file_size(UserFile("FriendInfo.dat")) == 8u + 3 * 500u; }));
  // The server holds the friendship both ways.
  b.Send(sb.home, ListRequest(20001));
  auto list = Await(b, fw::kList, sb.home);
  ASSERT_TRUE(list);
  EXPECT_EQ(RecordReader(*list).u16(fw::list::kCount), 1);
  EXPECT_EQ(RecordReader(*list).u32(fw::list::kHeaderSize + fw::list::kUser), 10001u);
}

TEST_F(FriendClientTest, ABlockedFriendIsHiddenAndCanStillBeDeleted) {
  TProtocolClient c;
  auto sc = SignInPeer(c, 10003);
  ASSERT_TRUE(sc.ok());
  SignInAs(10001);
  ASSERT_TRUE(RunUntil([] { return Friend(10003) && Friend(10003)->state == kStateOnline; }));
  ASSERT_TRUE(Await(c, fw::kUserState));
  ASSERT_TRUE(RunUntil([] { return Row(10003) != nullptr; }));
  MoveBySubmenu(10003, 3);
  ASSERT_TRUE(RunUntil([] { return Friend(10003)->group_id == 3; }));
  // It sees the user offline; its state and invitations are ignored.
  auto hidden = Await(c, fw::kUserState);
  ASSERT_TRUE(hidden);
  EXPECT_EQ(RecordReader(*hidden).u8(fw::state::kState), kStateOffline);
  EXPECT_EQ(Friend(10003)->state, kStateOffline);

  ASSERT_TRUE(RunUntil([] { return Row(10003) != nullptr; }));
  Select(10003);
  AnswerQuestion(true);
  PanelAction("DeleteFriendAction")->trigger();
  EXPECT_TRUE(RequestNoticeShown(QStringLiteral("小刚[10003]已经从你的好友名单中删除。")));
  EXPECT_FALSE(Friend(10003));
  EXPECT_TRUE(RunUntil([] { return GroupCaptions().contains(QStringLiteral("我的黑名单[0/0]")); }));
}

TEST_F(FriendClientTest, InvitationAndPhotoOverTheDirectConnection) {
  TProtocolClient b;
  auto sb = SignInPeer(b, 10002);
  ASSERT_TRUE(sb.ok());
  SignInAs(10001);
  ASSERT_TRUE(RunUntil([] { return Friend(10002) && Friend(10002)->remote; }));
  ASSERT_TRUE(Await(b, fw::kUserState));

  // The user's own photo, asked for by the friend over the connection the client dialled.
  GlobalManager->SetupInfo.UseCustomPhoto = 1;
  std::filesystem::create_directories(app_.path() / "10001" / "FriendFace");
  const std::string photo(3000, 'p');
  std::ofstream(app_.path() / "10001" / "FriendFace" / "Me.pho", std::ios::binary) << photo;
  // The protocol client sees the client's connection under a handle of its own.
  std::uint16_t from_a = 0;
  RecordWriter probe(fw::photo_request::kSize);
  probe.u32(0, fw::kPhotoRequest)
      .u32(fw::photo_request::kTarget, 10001)
      .u32(fw::photo_request::kRequester, 10002);
  probe.u8(fw::photo_request::kKind, 1);
  // Besides its two server connections the peer has only the one the client dialled.
  for (std::uint16_t h = 1; h < 16 && !from_a; ++h) {
    if (h == sb.home || h == sb.login) continue;
    if (b.Send(h, Bytes(probe.view().begin(), probe.view().end()))) from_a = h;
  }
  ASSERT_NE(from_a, 0);
  auto got = Await(b, fw::kPhoto, from_a);
  ASSERT_TRUE(got);
  ASSERT_EQ(got->size(), fw::photo::kHeaderSize + photo.size());
  EXPECT_EQ(RecordReader(*got).u32(fw::photo::kSizeField), photo.size());
  EXPECT_EQ(std::string(got->begin() + fw::photo::kHeaderSize, got->end()), photo);

  // An invitation through the server: refused.
  RecordWriter invite(fw::invite::kSize);
  invite.u32(0, fw::kInvite).u32(fw::invite::kTarget, 10001).u8(fw::invite::kKind, fw::invite::kInvite);
  invite.u32(fw::invite::kRoom, 777).u32(fw::invite::kSender, 10002);
  AnswerQuestion(false);
  b.Send(sb.home, invite.take());
  auto answer = Await(b, fw::kInvite);
  ASSERT_TRUE(answer);
  EXPECT_EQ(RecordReader(*answer).u8(fw::invite::kKind), fw::invite::kRefused);
  EXPECT_EQ(RecordReader(*answer).u32(fw::invite::kRoom), 777u);

  // The user invites the friend from the invitation window, which offers the online friends only;
  // the friend accepts.
  QStringList offered;
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, timer, [timer, &offered] {
    QWidget* picker = Window("PrayFriendForm");
    if (!picker) return;
    timer->deleteLater();
    auto* tree = picker->findChild<QTreeWidget*>(QStringLiteral("PrayFriendTree"));
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
      for (int j = 0; j < tree->topLevelItem(i)->childCount(); ++j) {
        offered << tree->topLevelItem(i)->child(j)->text(0);
        tree->topLevelItem(i)->child(j)->setSelected(true);
      }
    picker->findChild<QPushButton*>(QStringLiteral("OkButton"))->click();
  });
  timer->start(20);
  std::uint32_t room = 888;
  PluginManager->DealMessage("KivFriend", 0x70040, &room, sizeof room);  // modal until chosen
  EXPECT_EQ(offered, QStringList{QStringLiteral("小红[10002]")});
  auto sent = Await(b, fw::kInvite);
  ASSERT_TRUE(sent);
  EXPECT_EQ(RecordReader(*sent).u8(fw::invite::kKind), fw::invite::kInvite);
  EXPECT_EQ(RecordReader(*sent).u32(fw::invite::kRoom), 888u);
  EXPECT_EQ(RecordReader(*sent).u32(fw::invite::kSender), 10001u);
  RecordWriter accepted(fw::invite::kSize);
  accepted.u32(0, fw::kInvite).u32(fw::invite::kTarget, 10001).u8(fw::invite::kKind, fw::invite::kAccepted);
  accepted.u32(fw::invite::kRoom, 888).u32(fw::invite::kSender, 10002);
  b.Send(from_a, accepted.take());
  EXPECT_TRUE(MessageShown(QStringLiteral("好友小红同意了你的视频聊天室邀请。")));

  // The direct connection drops: the friend is offline and its handle is free again.
  b.Disconnect(from_a);
  ASSERT_TRUE(RunUntil([] { return Friend(10002)->state == kStateOffline; }));
  EXPECT_EQ(Friend(10002)->remote, 0u);
}

TEST_F(FriendClientTest, SearchResultsComeTenAPageAndEarlierPagesAreKept) {
  for (std::uint32_t code = 20001; code <= 20011; ++code) ASSERT_TRUE(AddUser(code, QStringLiteral("同名")));
  SignInAs(10001);
  std::uint32_t none = 0;
  PluginManager->DealMessage("KivFriend", 0x70002, &none, sizeof none);
  QWidget* form = nullptr;
  ASSERT_TRUE(RunUntil([&] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == QLatin1String("FriendSearchForm") && w->isVisible()) form = w;
    return form != nullptr;
  }));
  auto* results = form->findChild<QTreeWidget*>(QStringLiteral("SearchResults"));
  auto* page = form->findChild<QLabel*>(QStringLiteral("PageLabel"));
  auto* next = form->findChild<QPushButton*>(QStringLiteral("NextButton"));
  auto* previous = form->findChild<QPushButton*>(QStringLiteral("PreviousButton"));
  auto first_code = [&] {
    return results->topLevelItemCount() ? results->topLevelItem(0)->text(0) : QString();
  };
  form->findChild<QLineEdit*>(QStringLiteral("NicknameEdit"))->setText(QStringLiteral("同名"));
  form->findChild<QCheckBox*>(QStringLiteral("OnlineBox"))->setChecked(false);  // offline users too
  form->findChild<QPushButton*>(QStringLiteral("SearchButton"))->click();
  ASSERT_TRUE(RunUntil([&] { return results->topLevelItemCount() == 10; }));
  EXPECT_EQ(first_code(), QStringLiteral("20001"));
  EXPECT_TRUE(next->isVisibleTo(form));
  EXPECT_FALSE(previous->isVisibleTo(form));

  // Page 2 is not held: the same search again gives the next hits.
  next->click();
  ASSERT_TRUE(
      RunUntil([&] { return results->topLevelItemCount() == 1 && page->text() == QStringLiteral("第2页"); }));
  EXPECT_EQ(first_code(), QStringLiteral("20011"));
  EXPECT_TRUE(previous->isVisibleTo(form));
  EXPECT_FALSE(next->isVisibleTo(form));
  // Page 1 is held and shown without asking.
  previous->click();
  EXPECT_EQ(results->topLevelItemCount(), 10);
  EXPECT_EQ(page->text(), QStringLiteral("第1页"));
  EXPECT_EQ(first_code(), QStringLiteral("20001"));
}

}  // namespace
}  // namespace kiv
