// The friends plug-in in a real client (the session manager in this process, KivFriend loaded from
// its Plugins folder) against the real server on loopback. The other friends are protocol clients:
// they speak the friend messages as a client does, and a test reads what they receive.
#include <QInputDialog>
#include <QProcess>
#include <QTreeWidget>

#include "declare/friend_wire.h"
#include "manager/qt_app.h"
#include "protocol_client.h"
#include "server_process.h"
#include "session_fixture.h"

namespace kiv {
namespace {

namespace fw = friend_wire;
using testing::TProtocolClient;

class TrayApplicationEnvironment : public QtApplicationEnvironment {
 public:
  void SetUp() override {
    QtApplicationEnvironment::SetUp();
    QApplication::setQuitOnLastWindowClosed(false);
  }
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new TrayApplicationEnvironment);

constexpr int kUserCodeRole = Qt::UserRole + 2;

class FriendClientTest : public ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    if (!std::filesystem::exists(testing::ServerBinary())) GTEST_SKIP() << "kivora-server is not built";
    const std::filesystem::path bin = KIV_BIN_DIR;
    std::filesystem::copy_file(bin / "Plugins" / "KivFriend.so", app_.path() / "Plugins" / "KivFriend.so");
    std::string error;
    ASSERT_TRUE(server_.Start(testing::ServerBinary(),
                              {"--data", data_.path().string(), "--seed-demo", "--login-port", "0",
                               "--home-port", "0", "--hash-cost", "min", "--announce", "127.0.0.1"},
                              20000, &error))
        << error;
    WriteConfig(server_.Login().port);
  }

  void SignInAs(std::uint32_t code) {
    StartClient();
    ASSERT_TRUE(LoginWindowShown());
    PressLogin(QString::number(code), QStringLiteral("kivora"));
    ASSERT_TRUE(SignedIn());
  }

  void SignOut() {
    TearDown();
    ASSERT_TRUE(RunUntil([] { return !GlobalManager; }));
  }

  TProtocolClient::SignIn SignInPeer(TProtocolClient& peer, std::uint32_t code) {
    testing::TLoginFields f;
    f.user = code;
    f.password = "kivora";
    return peer.SignInVia(server_.Login(), f);
  }

  // Waits, with the client's event loop running, for a message of `code` at a peer.
  static std::optional<Bytes> Await(TProtocolClient& peer, std::uint32_t code, std::uint16_t handle = 0) {
    std::optional<Bytes> got;
    RunUntil([&] {
      if (!got) got = peer.WaitFor(code, handle, 0);
      return got.has_value();
    });
    return got;
  }

  // A connection from a peer to the client, with the client's event loop running meanwhile.
  static std::uint16_t ConnectToClient(TProtocolClient& peer) {
    std::atomic<std::uint16_t> handle{0};
    std::atomic<bool> done{false};
    const std::uint16_t port = GlobalManager->Me->local_port;
    std::thread dial([&] {
      handle = peer.Connect({"127.0.0.1", port});
      done = true;
    });
    RunUntil([&] { return done.load(); });
    dial.join();
    return handle;
  }

  static QString NoticeText() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (window->objectName() == QLatin1String("NoticeWindow") && window->isVisible())
        return window->findChild<QLabel*>(QStringLiteral("NoticeText"))->text();
    }
    return {};
  }

  static QTreeWidget* List() {
    for (QWidget* w : QApplication::allWidgets())
      if (w->objectName() == QLatin1String("FriendList")) return qobject_cast<QTreeWidget*>(w);
    return nullptr;
  }
  static QStringList GroupCaptions() {
    QStringList captions;
    if (QTreeWidget* list = List())
      for (int i = 0; i < list->topLevelItemCount(); ++i) captions << list->topLevelItem(i)->text(0);
    return captions;
  }
  static QTreeWidgetItem* Row(std::uint32_t code) {
    QTreeWidget* list = List();
    if (!list) return nullptr;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
      for (int j = 0; j < list->topLevelItem(i)->childCount(); ++j)
        if (list->topLevelItem(i)->child(j)->data(0, kUserCodeRole).toUInt() == code)
          return list->topLevelItem(i)->child(j);
    return nullptr;
  }
  static TFriend* Friend(std::uint32_t code) {
    return GlobalManager ? GlobalManager->GetFriendInfo(code) : nullptr;
  }
  static QAction* PanelAction(const char* name) {
    for (QWidget* w : QApplication::allWidgets())
      if (w->objectName() == QLatin1String("FriendPanel")) return w->findChild<QAction*>(QLatin1String(name));
    return nullptr;
  }
  static void Select(std::uint32_t code) { List()->setCurrentItem(Row(code)); }

  // Answers the next group-name question with `name`.
  static void AnswerGroupName(const QString& name) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, name] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QInputDialog*>(w);
        if (!dialog || !dialog->isVisible()) continue;
        dialog->setTextValue(name);
        dialog->accept();
        timer->deleteLater();
        return;
      }
    });
    timer->start(20);
  }

  std::filesystem::path UserFile(const char* name) const { return app_.path() / "10001" / name; }

  static Bytes ListRequest(std::uint32_t own) {
    RecordWriter w(fw::list_request::kSize);
    w.u32(0, fw::kListRequest).u32(fw::list_request::kOwnCode, own);
    return w.take();
  }

  TestDir data_;
  testing::TServerProcess server_;
};

TEST_F(FriendClientTest, TheListComesFromTheServerIsCachedAndRebuiltWhenTheCacheIsGone) {
  SignInAs(10001);
  ASSERT_TRUE(RunUntil([] { return Friend(10002) && Friend(10003); }));
  ASSERT_TRUE(RunUntil([] { return GroupCaptions().contains(QStringLiteral("我的好友[0/2]")); }));
  EXPECT_EQ(GroupCaptions(),
            (QStringList{QStringLiteral("我的好友[0/2]"), QStringLiteral("我的黑名单[0/0]")}));
  EXPECT_EQ(Row(10002)->text(0), QStringLiteral("小红"));
  EXPECT_EQ(Row(10002)->toolTip(0), QStringLiteral("小红[10002]"));
  ASSERT_TRUE(RunUntil([this] { return std::filesystem::exists(UserFile("FriendInfo.dat")); }));
  EXPECT_EQ(std::filesystem::file_size(UserFile("FriendInfo.dat")), 8u + 2 * 492u);

  // A group of one's own, with a friend in it, survives a wiped cache.
  AnswerGroupName(QStringLiteral("同学"));
  PanelAction("AddGroupAction")->trigger();
  ASSERT_TRUE(RunUntil([] { return GroupCaptions().contains(QStringLiteral("同学[0/0]")); }));
  Select(10003);
  PanelAction("MoveFriendAction")->setData(4);
  PanelAction("MoveFriendAction")->trigger();
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
  QProcess admin;
  admin.start(QString::fromStdString(testing::ServerBinary().string()),
              {QStringLiteral("admin"), QStringLiteral("--data"),
               QString::fromStdString(data_.path().string()), QStringLiteral("add-user"),
               QStringLiteral("20001"), QStringLiteral("kivora"), QStringLiteral("新朋友")});
  ASSERT_TRUE(admin.waitForFinished(20000));
  ASSERT_TRUE(admin.readAllStandardOutput().startsWith("added"));
  // 20001 wants a verification request.
  {
    TProtocolClient setup;
    auto s = SignInPeer(setup, 20001);
    ASSERT_TRUE(s.ok());
    testing::TProfileChangeFields f;
    f.user = 20001;
    f.nickname = "新朋友";
    f.password = "kivora";
    f.verify_mode = 1;
    ASSERT_TRUE(setup.Ask(s.home, testing::ProfileChangeRequest(f), 0x30015));
  }
  SignInAs(10001);
  std::uint32_t code = 20001;
  PluginManager->DealMessage("KivFriend", 0x70002, &code, sizeof code);
  QWidget* form = nullptr;
  ASSERT_TRUE(RunUntil([&] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == QLatin1String("FriendSearchForm")) form = w;
    return form && form->findChild<QTreeWidget*>(QStringLiteral("SearchResults"))->topLevelItemCount() == 1;
  }));
  auto* results = form->findChild<QTreeWidget*>(QStringLiteral("SearchResults"));
  EXPECT_EQ(results->topLevelItem(0)->text(1), QStringLiteral("新朋友"));
  results->setCurrentItem(results->topLevelItem(0));
  form->findChild<QLineEdit*>(QStringLiteral("VerifyEdit"))->setText(QStringLiteral("我是小明"));
  form->findChild<QPushButton*>(QStringLiteral("AddButton"))->click();
  EXPECT_TRUE(MessageShown(QStringLiteral("你已经向新朋友[20001]提出了好友请求。")));

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
  EXPECT_TRUE(MessageShown(QStringLiteral("新朋友[20001]已经成为了你的朋友。")));
  ASSERT_TRUE(RunUntil([] { return Friend(20001) && Friend(20001)->group_id == 1; }));
  EXPECT_FALSE(Friend(20009));
  EXPECT_TRUE(
      RunUntil([this] { return std::filesystem::file_size(UserFile("FriendInfo.dat")) == 8u + 3 * 492u; }));
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
  Select(10003);
  PanelAction("MoveFriendAction")->setData(3);
  PanelAction("MoveFriendAction")->trigger();
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
  EXPECT_TRUE(MessageShown(QStringLiteral("小刚[10003]已经从你的好友名单中删除。")));
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

  // The direct connection drops: the friend is offline and its handle is free again.
  b.Disconnect(from_a);
  ASSERT_TRUE(RunUntil([] { return Friend(10002)->state == kStateOffline; }));
  EXPECT_EQ(Friend(10002)->remote, 0u);
}

}  // namespace
}  // namespace kiv
