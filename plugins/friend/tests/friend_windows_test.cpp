// The friend windows in a real client against the real server on loopback: the panel's rows,
// menus, clicks and drags, the request notice, the search window, the profile window and the
// invitation picker. The other side is a protocol client signed in to the same server.
#include <signal.h>

#include <QGroupBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QScreen>
#include <QScrollBar>
#include <cstdlib>

#include "friend_fixture.h"
#include "udp/global_udp.h"

namespace kiv {
namespace {

QStringList Texts(const QMenu* menu) {
  QStringList texts;
  for (const QAction* a : menu->actions())
    if (a->isVisible()) texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
  return texts;
}

bool Grey(const QIcon& icon) {
  const QImage picture = icon.pixmap(16, 16).toImage();
  for (int y = 0; y < picture.height(); ++y)
    for (int x = 0; x < picture.width(); ++x) {
      const QColor c = picture.pixelColor(x, y);
      if (c.red() != c.green() || c.green() != c.blue()) return false;
    }
  return true;
}

using FriendWindowsTest = FriendClientTest;

TEST_F(FriendWindowsTest, ThePanelFollowsPresenceClicksAndDrags) {
  SignInAs(10001);
  ASSERT_TRUE(RunUntil([] { return Row(10002) && Row(10003); }));
  EXPECT_EQ(RowsOf(1), (std::vector<std::uint32_t>{10002, 10003}));

  // B signs in and tells its friends, as its client does: it comes first, in colour, and the
  // caption counts it.
  TProtocolClient c;
  auto sc = SignInPeer(c, 10003);
  ASSERT_TRUE(sc.ok());
  RecordWriter state(fw::state::kSize);
  state.u32(0, fw::kUserState).u32(fw::state::kTarget, 10001).u8(fw::state::kState, kStateOnline);
  state.u32(fw::state::kSender, 10003).u8(fw::state::kCamera, 1).text(fw::state::kSignature, 255, "今天天气不错");
  c.Send(sc.home, state.take());
  ASSERT_TRUE(RunUntil([] { return RowsOf(1) == std::vector<std::uint32_t>{10003, 10002}; }))
      << int(Friend(10003)->state) << " " << RowsOf(1).size() << " " << GroupCaptions().join(QLatin1Char(',')).toStdString();
  EXPECT_TRUE(GroupCaptions().contains(QStringLiteral("我的好友[1/2]")));
  EXPECT_FALSE(Grey(Row(10003)->icon()));
  EXPECT_TRUE(Grey(Row(10002)->icon()));
  EXPECT_EQ(Row(10003)->Detail(), QStringLiteral("今天天气不错"));
  EXPECT_EQ(Row(10003)->toolTip(), QStringLiteral("小刚[10003](今天天气不错)"));
  // Its camera flag starts a video call.
  auto* camera = Section(1)->findChild<TKivButton*>(QStringLiteral("FriendVideoFlag"));
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(camera->toolTip(), QStringLiteral("与小刚进行视频聊天"));
  camera->click();
  EXPECT_TRUE(RunUntil([this] { return ChatGot("70012 10003"); }));

  // A single click opens the friend menu after 200 ms; its move list leaves out the own group.
  Click(Row(10002));
  EXPECT_FALSE(PanelMenu("FriendMenu")->isVisible());
  ASSERT_TRUE(RunUntil([] { return PanelMenu("FriendMenu")->isVisible(); }));
  EXPECT_EQ(Texts(PanelMenu("FriendMenu")),
            (QStringList{QStringLiteral("发送消息"), QStringLiteral("音频聊天"), QStringLiteral("视频聊天"),
                         QStringLiteral("传送文件"), QStringLiteral("-"), QStringLiteral("查看资料"),
                         QStringLiteral("聊天记录"), QStringLiteral("删除此好友"), QStringLiteral("将好友移动到")}));
  EXPECT_EQ(Texts(PanelMenu("MoveFriendMenu")), QStringList{QStringLiteral("我的黑名单")});
  PanelAction("AudioAction")->trigger();
  EXPECT_TRUE(RunUntil([this] { return ChatGot("70010 10002"); }));
  PanelMenu("FriendMenu")->hide();

  // A double-click opens a chat and no menu.
  DoubleClick(Row(10002));
  EXPECT_TRUE(RunUntil([this] { return ChatGot("70005 10002"); }));
  RunUntil([] { return false; }, 500);
  EXPECT_FALSE(PanelMenu("FriendMenu")->isVisible());

  // The general menu: the switch items name the other state; own groups only can be renamed.
  RightClick(Section(1)->Caption());
  QMenu* general = PanelMenu("FriendGeneralMenu");
  ASSERT_TRUE(RunUntil([&] { return general->isVisible(); }));
  EXPECT_EQ(Texts(general), (QStringList{QStringLiteral("搜索用户"), QStringLiteral("-"),
                                         QStringLiteral("新建用户组"), QStringLiteral("-"),
                                         QStringLiteral("显示小头像"), QStringLiteral("更新好友名单"),
                                         QStringLiteral("只显示在线好友"), QStringLiteral("不显示自定义头像")}));
  general->hide();
  AnswerGroupName(QStringLiteral("同学"));
  PanelAction("AddGroupAction")->trigger();
  ASSERT_TRUE(RunUntil([] { return Section(4) && Section(4)->findChild<TKivButton*>(QStringLiteral("FriendPlaceholder")); }));
  RightClick(Section(4)->Caption());
  ASSERT_TRUE(RunUntil([&] { return general->isVisible(); }));
  EXPECT_TRUE(PanelAction("RenameGroupAction")->isVisible());
  EXPECT_TRUE(PanelAction("DeleteGroupAction")->isVisible());
  general->hide();
  PanelAction("OnlineOnlyAction")->trigger();  // only online friends, and back
  ASSERT_TRUE(RunUntil([] { return RowsOf(1) == std::vector<std::uint32_t>{10003}; }));
  RightClick(Row(10003));
  ASSERT_TRUE(RunUntil([&] { return general->isVisible(); }));
  EXPECT_EQ(PanelAction("OnlineOnlyAction")->text(), QStringLiteral("显示全部好友"));
  EXPECT_FALSE(PanelAction("RenameGroupAction")->isVisible());  // a friend row was pressed
  general->hide();
  PanelAction("OnlineOnlyAction")->trigger();
  ASSERT_TRUE(RunUntil([] { return RowsOf(1).size() == 2; }));

  // Dropped on a member of its own group, B stays; dropped on the new group's placeholder it moves
  // there once the server has answered.
  DropFriend(10003, Row(10002));
  RunUntil([] { return false; }, 300);
  EXPECT_EQ(Friend(10003)->group_id, 1u);
  DropFriend(10003, Section(4)->findChild<TKivButton*>(QStringLiteral("FriendPlaceholder")));
  ASSERT_TRUE(RunUntil([] { return RowsOf(4) == std::vector<std::uint32_t>{10003}; }));
  EXPECT_TRUE(GroupCaptions().contains(QStringLiteral("同学[1/1]")));
  EXPECT_TRUE(GroupCaptions().contains(QStringLiteral("我的好友[0/1]")));
  // Back by a drop on the group caption.
  DropFriend(10003, Section(1)->Caption());
  ASSERT_TRUE(RunUntil([] { return Friend(10003)->group_id == 1 && RowsOf(1).size() == 2; }));

  // B signs out: it moves to the offline part.
  c.Disconnect(sc.home);
  ASSERT_TRUE(RunUntil([] { return RowsOf(1) == std::vector<std::uint32_t>{10002, 10003}; }));
  EXPECT_TRUE(Grey(Row(10003)->icon()));
  EXPECT_TRUE(GroupCaptions().contains(QStringLiteral("我的好友[0/2]")));
}

TEST_F(FriendWindowsTest, ARequestNoticeAgreesOrRefusesWithAReason) {
  ASSERT_TRUE(AddUser(20001, QStringLiteral("新朋友")));
  ASSERT_TRUE(AddUser(20002, QStringLiteral("陌生人")));
  // The user asks for requests with a verification text.
  ASSERT_TRUE(SetVerifyMode(10001, QStringLiteral("小明"), 1));
  SignInAs(10001);
  auto request = [](std::uint32_t from, const std::string& nick, const std::string& text) {
    RecordWriter w(fw::add::kSize);
    w.u32(0, fw::kAddFriend).u8(fw::add::kKind, fw::add::kRequest).u32(fw::add::kTarget, 10001);
    w.u32(fw::add::kSender, from).text(fw::add::kNickname, 40, nick).text(fw::add::kText, 255, text);
    return w.take();
  };

  TProtocolClient b;
  auto sb = SignInPeer(b, 20001);
  ASSERT_TRUE(sb.ok());
  b.Send(sb.home, request(20001, "新朋友", "我是小明的同学"));
  const QString asked = QStringLiteral("新朋友[20001]想要和你成为朋友，验证信息:我是小明的同学。是否同意？");
  ASSERT_TRUE(RequestNoticeShown(asked));
  QWidget* notice = RequestNotice(asked);
  EXPECT_EQ(notice->windowTitle(), QStringLiteral("添加好友通知"));
  EXPECT_TRUE(notice->findChild<QPushButton*>(QStringLiteral("AgreeButton"))->isVisible());
  EXPECT_TRUE(notice->findChild<QPushButton*>(QStringLiteral("RefuseButton"))->isVisible());
  EXPECT_FALSE(notice->findChild<QPushButton*>(QStringLiteral("ConfirmButton"))->isVisible());
  notice->findChild<QPushButton*>(QStringLiteral("AgreeButton"))->click();
  // The other side hears the server's consent, and both become friends.
  auto added = Await(b, fw::kAddFriend, sb.home);
  ASSERT_TRUE(added);
  EXPECT_EQ(RecordReader(*added).u8(fw::add::kKind), fw::add::kAdded);
  EXPECT_EQ(RecordReader(*added).u32(fw::add::kSender), 10001u);
  ASSERT_TRUE(RunUntil([] { return Friend(20001) != nullptr; }));
  EXPECT_TRUE(RequestNoticeShown(QStringLiteral("新朋友[20001]已经成为了你的朋友。")));
  QWidget* added_notice = RequestNotice(QStringLiteral("新朋友[20001]已经成为了你的朋友。"));
  EXPECT_TRUE(added_notice->findChild<QPushButton*>(QStringLiteral("ConfirmButton"))->isVisible());
  EXPECT_FALSE(added_notice->findChild<QPushButton*>(QStringLiteral("AgreeButton"))->isVisible());

  TProtocolClient d;
  auto sd = SignInPeer(d, 20002);
  ASSERT_TRUE(sd.ok());
  d.Send(sd.home, request(20002, "陌生人", ""));
  const QString plain = QStringLiteral("陌生人[20002]想要和你成为朋友，是否同意？");
  ASSERT_TRUE(RequestNoticeShown(plain));
  // The reason prompt cancelled: nothing is sent and the notice stays.
  AnswerText(QStringLiteral("不送"), false);
  RequestNotice(plain)->findChild<QPushButton*>(QStringLiteral("RefuseButton"))->click();
  EXPECT_TRUE(RequestNotice(plain) != nullptr);
  AnswerText(QStringLiteral("我不认识你"));
  RequestNotice(plain)->findChild<QPushButton*>(QStringLiteral("RefuseButton"))->click();
  auto refused = Await(d, fw::kAddFriend, sd.home);
  ASSERT_TRUE(refused);
  EXPECT_EQ(RecordReader(*refused).u8(fw::add::kKind), fw::add::kRefused);
  EXPECT_EQ(RecordReader(*refused).text(fw::add::kText, 255), "我不认识你");
  EXPECT_TRUE(RunUntil([&] { return RequestNotice(plain) == nullptr; }));
  EXPECT_FALSE(Friend(20002));
}

TEST_F(FriendWindowsTest, SearchPagesForwardAndBackAndReportsATimeOut) {
  for (std::uint32_t code = 20001; code <= 20012; ++code)
    ASSERT_TRUE(AddUser(code, QStringLiteral("用户%1").arg(code)));
  SignInAs(10001);
  std::uint32_t none = 0;
  PluginManager->DealMessage("KivFriend", 0x70002, &none, sizeof none);
  QWidget* form = nullptr;
  ASSERT_TRUE(RunUntil([&] { return (form = Window("FriendSearchForm")) != nullptr; }));
  EXPECT_EQ(form->windowTitle(), QStringLiteral("查找/添加用户"));
  auto* results = form->findChild<QTreeWidget*>(QStringLiteral("SearchResults"));
  auto* online = form->findChild<QCheckBox*>(QStringLiteral("OnlineBox"));
  auto* search = form->findChild<QPushButton*>(QStringLiteral("SearchButton"));
  auto* next = form->findChild<QPushButton*>(QStringLiteral("NextButton"));
  auto* previous = form->findChild<QPushButton*>(QStringLiteral("PreviousButton"));
  auto* page = form->findChild<QLabel*>(QStringLiteral("PageLabel"));
  auto* status = form->findChild<QLabel*>(QStringLiteral("StatusLabel"));
  EXPECT_TRUE(online->isChecked());
  EXPECT_FALSE(next->isVisible());
  EXPECT_FALSE(page->isVisible());
  // Typing a nickname clears "在线用户查找"; the field holds 40 GBK bytes, 20 Chinese characters.
  auto* nickname = form->findChild<QLineEdit*>(QStringLiteral("NicknameEdit"));
  nickname->setFocus();
  for (int i = 0; i < 25; ++i) {
    QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QStringLiteral("好"));
    QApplication::sendEvent(nickname, &key);
  }
  EXPECT_EQ(nickname->text(), QString(20, QChar(0x597D)));
  EXPECT_FALSE(online->isChecked());
  nickname->clear();

  auto codes = [&] {
    QStringList all;
    for (int i = 0; i < results->topLevelItemCount(); ++i) all << results->topLevelItem(i)->text(0);
    return all;
  };
  search->click();
  ASSERT_TRUE(RunUntil([&] { return results->topLevelItemCount() == 10; }));
  const QStringList first = codes();
  EXPECT_TRUE(next->isVisible());
  EXPECT_FALSE(previous->isVisible());
  EXPECT_EQ(page->text(), QStringLiteral("第1页"));
  EXPECT_EQ(form->findChild<QGroupBox*>(QStringLiteral("ResultPanel"))->title(), QStringLiteral("查询结果 10人"));
  EXPECT_TRUE(form->findChild<QLabel*>(QStringLiteral("OnlineLabel"))->text().startsWith(QStringLiteral("当前在线人数:")));
  // Offline users have grey faces.
  for (int i = 0; i < results->topLevelItemCount(); ++i) {
    if (results->topLevelItem(i)->text(0) != QStringLiteral("10001")) {
      EXPECT_TRUE(Grey(results->topLevelItem(i)->icon(0))) << results->topLevelItem(i)->text(0).toStdString();
    }
  }

  next->click();
  ASSERT_TRUE(RunUntil([&] { return page->text() == QStringLiteral("第2页") && search->isEnabled() &&
                                   results->topLevelItemCount() > 0 && codes() != first; }));
  EXPECT_TRUE(previous->isVisible());
  for (const QString& code : codes()) EXPECT_FALSE(first.contains(code)) << code.toStdString();
  previous->click();
  ASSERT_TRUE(RunUntil([&] { return page->text() == QStringLiteral("第1页"); }));
  EXPECT_EQ(codes(), first);
  EXPECT_FALSE(previous->isVisible());

  // A hit: the verification panel, by its mode (these users need none).
  ClickItem(results, results->topLevelItem(1));
  auto* verify = form->findChild<QPlainTextEdit*>(QStringLiteral("VerifyEdit"));
  ASSERT_TRUE(RunUntil([&] { return verify->isVisible(); }));
  EXPECT_EQ(verify->toPlainText(), QStringLiteral("此用户没有设置添加好友验证。"));
  EXPECT_TRUE(verify->isReadOnly());
  EXPECT_TRUE(form->findChild<QPushButton*>(QStringLiteral("AddButton"))->isEnabled());
  form->findChild<QPushButton*>(QStringLiteral("CancelButton"))->click();
  EXPECT_FALSE(verify->isVisible());
  EXPECT_TRUE(form->findChild<QGroupBox*>(QStringLiteral("CriteriaPanel"))->isVisible());

  // The server does not answer: after 10 s the status line says so and the search can go again.
  ::kill(server_.Pid(), SIGSTOP);
  search->click();
  EXPECT_EQ(status->text(), QStringLiteral("正在连接服务器中..."));
  EXPECT_FALSE(search->isEnabled());
  const bool timed_out = RunUntil([&] { return status->text() == QStringLiteral("连接服务器超时。"); }, 30000);
  ::kill(server_.Pid(), SIGCONT);
  EXPECT_TRUE(timed_out);
  EXPECT_TRUE(search->isEnabled());
}

TEST_F(FriendWindowsTest, TheProfileWindowShowsTheLevelRow) {
  SignInAs(10001);
  ASSERT_TRUE(RunUntil([] { return Row(10002) != nullptr; }));
  // From the friend menu, through the server.
  ASSERT_TRUE(OpenFriendMenu(10002));
  PanelAction("ProfileAction")->trigger();
  QWidget* form = nullptr;
  ASSERT_TRUE(RunUntil([&] { return (form = Window("UserInfoForm")) != nullptr; }));
  EXPECT_EQ(form->windowTitle(), QStringLiteral("小红[10002]的用户资料"));
  EXPECT_EQ(form->findChild<QLineEdit*>(QStringLiteral("NicknameField"))->text(), QStringLiteral("小红"));
  auto* refresh = form->findChild<QPushButton*>(QStringLiteral("RefreshButton"));
  refresh->click();
  EXPECT_FALSE(refresh->isEnabled());
  ASSERT_TRUE(RunUntil([&] { return refresh->isEnabled(); }));  // the answer came to the same window

  // Profiles of every level, as the server's answer on the home connection carries them.
  const auto home = static_cast<std::uint16_t>(GlobalManager->HomeServer & 0xFFFF);
  struct Case {
    std::uint32_t level;
    int suns, moons, stars;
  };
  for (const Case& c : {Case{0, 0, 0, 0}, Case{1, 0, 0, 1}, Case{24, 0, 4, 4}, Case{25, 1, 0, 0},
                        Case{37, 1, 2, 2}, Case{0xFFFFFFFFu, 26, 4, 0}}) {
    RecordWriter w(fw::profile::kSize);
    w.u32(0, fw::kProfile).u32(fw::profile::kTarget, 10001).u32(fw::profile::kSubject, 10002);
    w.u8(fw::profile::kPurpose, 2).text(fw::profile::kNickname, 40, "小红").u8(fw::profile::kSex, 2);
    w.u32(fw::profile::kLevelPoints, c.level).text(fw::profile::kIntroduction, 255, "第一行#13#10第二行");
    MsgOnDataRecive(home, w.view().data(), static_cast<std::uint32_t>(w.view().size()));
    auto count = [&](const char* graphic) {
      int n = 0;
      for (QLabel* icon : form->findChildren<QLabel*>(QStringLiteral("LevelIcon")))
        n += icon->property("graphic").toString() == QLatin1String(graphic);
      return n;
    };
    ASSERT_TRUE(RunUntil([&] {
      return count("sun") == c.suns && count("moon") == c.moons && count("star") == c.stars;
    })) << c.level;
    EXPECT_LE(form->findChildren<QLabel*>(QStringLiteral("LevelIcon")).size(), 30);
    for (QLabel* icon : form->findChildren<QLabel*>(QStringLiteral("LevelIcon")))
      EXPECT_EQ(icon->toolTip(), QStringLiteral("等级：%1").arg(c.level));
  }
  EXPECT_EQ(form->findChild<QLineEdit*>(QStringLiteral("SexField"))->text(), QStringLiteral("女"));
  EXPECT_EQ(form->findChild<QPlainTextEdit*>(QStringLiteral("IntroductionField"))->toPlainText(),
            QStringLiteral("第一行\n第二行"));
  int windows = 0;
  for (QWidget* w : QApplication::topLevelWidgets()) windows += w->objectName() == QLatin1String("UserInfoForm");
  EXPECT_EQ(windows, 1);  // one window per user, reused
}

TEST_F(FriendWindowsTest, TheInvitationPickerInvitesTheChosenFriends) {
  TProtocolClient b, c;
  auto sb = SignInPeer(b, 10002);
  auto sc = SignInPeer(c, 10003);
  ASSERT_TRUE(sb.ok() && sc.ok());
  SignInAs(10001);
  ASSERT_TRUE(RunUntil([] { return Friend(10002) && Friend(10002)->remote && Friend(10003) && Friend(10003)->remote; }));
  ASSERT_TRUE(Await(b, fw::kUserState));
  ASSERT_TRUE(Await(c, fw::kUserState));

  QStringList nodes;
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, timer, [timer, &nodes] {
    QWidget* form = Window("PrayFriendForm");
    if (!form) return;
    timer->deleteLater();
    auto* tree = form->findChild<QTreeWidget*>(QStringLiteral("PrayFriendTree"));
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
      nodes << tree->topLevelItem(i)->text(0);
      for (int j = 0; j < tree->topLevelItem(i)->childCount(); ++j) {
        nodes << QStringLiteral("  ") + tree->topLevelItem(i)->child(j)->text(0);
        tree->topLevelItem(i)->child(j)->setSelected(true);
      }
    }
    form->findChild<QPushButton*>(QStringLiteral("OkButton"))->click();
  });
  timer->start(20);
  std::uint32_t room = 4321;
  PluginManager->DealMessage("KivFriend", 0x70040, &room, sizeof room);  // modal until chosen
  EXPECT_EQ(nodes, (QStringList{QStringLiteral("我的好友"), QStringLiteral("  小红[10002]"),
                                QStringLiteral("  小刚[10003]"), QStringLiteral("我的黑名单")}));
  for (TProtocolClient* peer : {&b, &c}) {
    auto invite = Await(*peer, fw::kInvite);
    ASSERT_TRUE(invite);
    EXPECT_EQ(RecordReader(*invite).u8(fw::invite::kKind), fw::invite::kInvite);
    EXPECT_EQ(RecordReader(*invite).u32(fw::invite::kRoom), room);
    EXPECT_EQ(RecordReader(*invite).u32(fw::invite::kSender), 10001u);
  }
}


// Pictures of the windows for a person to look at: run under an X server with
// KIV_FRIEND_SHOTS=<folder> (and QT_QPA_PLATFORM=xcb). Skipped otherwise.
TEST_F(FriendWindowsTest, Screenshots) {
  const char* folder = std::getenv("KIV_FRIEND_SHOTS");
  if (!folder) GTEST_SKIP() << "KIV_FRIEND_SHOTS is not set";
  const std::filesystem::path out = folder;
  std::filesystem::create_directories(out);
  for (std::uint32_t code = 20001; code <= 20012; ++code)
    ASSERT_TRUE(AddUser(code, code % 3 ? QStringLiteral("搜索用户%1").arg(code)
                                        : QStringLiteral("一个名字特别特别特别长的用户%1").arg(code % 100)));
  SignInAs(10001);
  ASSERT_TRUE(RunUntil([] { return Row(10002) && Row(10003); }));
  const auto home = static_cast<std::uint16_t>(GlobalManager->HomeServer & 0xFFFF);
  auto deliver = [&](const Bytes& m) { MsgOnDataRecive(home, m.data(), static_cast<std::uint32_t>(m.size())); };

  // Three groups of one's own besides the two fixed ones, twenty friends.
  const std::vector<std::pair<std::uint32_t, std::string>> groups = {
      {4, "同学"}, {5, "一起打球的朋友们和他们的朋友们"}, {6, "公司同事"}};
  RecordWriter g(fw::groups::kHeaderSize + groups.size() * fw::groups::kEntrySize);
  g.u32(0, fw::kGroups).u32(fw::groups::kTarget, 10001).u8(fw::groups::kCount, static_cast<std::uint8_t>(groups.size()));
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const std::size_t at = fw::groups::kHeaderSize + i * fw::groups::kEntrySize;
    g.u32(at + fw::groups::kId, groups[i].first).text(at + fw::groups::kName, 40, groups[i].second);
  }
  deliver(g.take());
  struct F {
    std::uint32_t code;
    const char* nick;
    std::uint8_t group, state, camera, face;
    const char* signature;
  };
  const std::vector<F> friends = {
      {10002, "小红", 1, 1, 1, 3, "今天心情很好"},
      {10003, "小刚", 1, 0, 0, 5, ""},
      {30001, "张三丰太极拳传人第十八代弟子王大锤", 1, 1, 0, 7, "每天坚持锻炼身体，身体是革命的本钱，大家一起加油"},
      {30002, "李四", 1, 0, 0, 9, "出差中，有事请留言"},
      {30003, "王五", 1, 1, 0, 11, ""},
      {30004, "赵六", 1, 0, 0, 13, "周末去爬山"},
      {30005, "孙悟空", 4, 1, 1, 15, "俺老孙来也"},
      {30006, "猪八戒", 4, 0, 0, 17, ""},
      {30007, "沙和尚", 4, 0, 0, 19, "师父，大师兄说得对"},
      {30008, "唐僧", 4, 1, 0, 21, "阿弥陀佛"},
      {30009, "篮球", 5, 1, 0, 23, "晚上七点体育馆见，不见不散哦"},
      {30010, "足球小将", 5, 0, 0, 25, ""},
      {30011, "羽毛球高手", 5, 0, 0, 27, "求搭档"},
      {30012, "乒乓", 5, 1, 1, 29, ""},
      {30013, "经理", 6, 1, 0, 31, "开会中，勿扰"},
      {30014, "财务部的会计小姐姐", 6, 0, 0, 33, "报销请在每月五号之前提交单据，逾期不候"},
      {30015, "前台", 6, 0, 0, 35, ""},
      {30016, "技术部老王", 6, 1, 0, 37, "代码写完了吗"},
      {30017, "人事", 6, 0, 0, 39, "招聘中"},
      {30018, "不想理的人", 3, 0, 0, 41, ""},
  };
  RecordWriter l(fw::list::kHeaderSize + friends.size() * fw::list::kEntrySize);
  l.u32(0, fw::kList).u32(fw::list::kTarget, 10001).u16(fw::list::kCount, static_cast<std::uint16_t>(friends.size()));
  for (std::size_t i = 0; i < friends.size(); ++i) {
    const std::size_t at = fw::list::kHeaderSize + i * fw::list::kEntrySize;
    const F& f = friends[i];
    l.u32(at + fw::list::kUser, f.code).text(at + fw::list::kNickname, 40, f.nick).u8(at + fw::list::kFace, f.face);
    l.u8(at + fw::list::kState, f.state).u8(at + fw::list::kGroup, f.group).u8(at + fw::list::kCamera, f.camera);
  }
  deliver(l.take());
  ASSERT_TRUE(RunUntil([] { return Friend(30018) != nullptr; }));
  for (const F& f : friends) Friend(f.code)->signature = std::string(f.signature);
  for (const auto& group : GlobalManager->FriendGroupList) group->expanded = group->id != 3;
  std::uint32_t any = 10002;
  PluginManager->DealMessage("KivFriend", 0x70043, &any, sizeof any);  // redraw
  QWidget* main = Panel()->window();
  main->move(0, 0);
  main->show();
  RunUntil([] { return false; }, 800);
  auto save = [&](const QPixmap& p, const char* name) { ASSERT_TRUE(p.save(QString::fromStdString((out / name).string()))); };
  auto screen = [&](QRect r) { return QGuiApplication::primaryScreen()->grabWindow(0, r.x(), r.y(), r.width(), r.height()); };
  save(main->grab(), "01-main-window.png");
  save(Row(30001)->grab().scaled(Row(30001)->size() * 3), "01b-long-row-zoomed.png");
  Bar()->verticalScrollBar()->setValue(Bar()->verticalScrollBar()->maximum());
  RunUntil([] { return false; }, 300);
  save(main->grab(), "02-main-window-scrolled.png");
  Bar()->verticalScrollBar()->setValue(0);

  // The friend menu with its move list, and the general menu.
  ASSERT_TRUE(OpenFriendMenu(30001));
  QMenu* fm = PanelMenu("FriendMenu");
  fm->popup(main->geometry().topLeft() + QPoint(120, 120));
  RunUntil([] { return false; }, 300);
  QMenu* move = PanelMenu("MoveFriendMenu");
  move->popup(fm->geometry().topRight() + QPoint(0, fm->actionGeometry(PanelAction("MoveFriendAction")).y()));
  RunUntil([] { return false; }, 300);
  save(screen(main->frameGeometry().united(move->geometry())), "03-friend-menu.png");
  move->hide();
  fm->hide();
  QWidget* caption5 = Section(5)->Caption();
  RightClick(caption5);
  QMenu* general = PanelMenu("FriendGeneralMenu");
  ASSERT_TRUE(RunUntil([&] { return general->isVisible(); }));
  general->move(caption5->mapToGlobal(QPoint(40, 10)));
  RunUntil([] { return false; }, 300);
  save(screen(main->frameGeometry().united(general->geometry())), "04-general-menu-own-group.png");
  general->hide();
  RightClick(Row(10002));
  ASSERT_TRUE(RunUntil([&] { return general->isVisible(); }));
  RunUntil([] { return false; }, 300);
  save(general->grab(), "05-general-menu-on-a-friend.png");
  general->hide();
  GlobalManager->SetupInfo.SmallFace = 1;
  PluginManager->DealMessage("KivFriend", 0x70043, &any, sizeof any);
  RunUntil([] { return false; }, 500);
  save(main->grab(), "06-main-window-small-faces.png");
  GlobalManager->SetupInfo.SmallFace = 0;
  PluginManager->DealMessage("KivFriend", 0x70043, &any, sizeof any);

  // The search window with a page of results and the verification panel.
  std::uint32_t none = 0;
  PluginManager->DealMessage("KivFriend", 0x70002, &none, sizeof none);
  QWidget* search = nullptr;
  ASSERT_TRUE(RunUntil([&] { return (search = Window("FriendSearchForm")) != nullptr; }));
  search->findChild<QCheckBox*>(QStringLiteral("OnlineBox"))->setChecked(false);
  search->findChild<QPushButton*>(QStringLiteral("SearchButton"))->click();
  auto* results = search->findChild<QTreeWidget*>(QStringLiteral("SearchResults"));
  ASSERT_TRUE(RunUntil([&] { return results->topLevelItemCount() == 10; }));
  RunUntil([] { return false; }, 300);
  save(search->grab(), "07-search-results.png");
  ClickItem(results, results->topLevelItem(4));
  RunUntil([] { return false; }, 300);
  save(search->grab(), "08-search-verification.png");
  search->close();

  // A profile with level 37 and a request notice.
  RecordWriter p(fw::profile::kSize);
  p.u32(0, fw::kProfile).u32(fw::profile::kTarget, 10001).u32(fw::profile::kSubject, 30001);
  p.u8(fw::profile::kPurpose, 2).text(fw::profile::kNickname, 40, "张三丰太极拳传人第十八代弟子王大锤").u8(fw::profile::kSex, 1);
  p.u8(fw::profile::kAge, 28).u8(fw::profile::kFace, 7).text(fw::profile::kEmail, 40, "wangdachui@example.org");
  p.text(fw::profile::kProvince, 20, "湖北").text(fw::profile::kCity, 20, "十堰").text(fw::profile::kPhone, 20, "027-12345678");
  p.text(fw::profile::kAddress, 60, "武当山紫霄宫后山第三个路口左转").text(fw::profile::kOccupation, 20, "武术教练");
  p.u32(fw::profile::kLevelPoints, 37).text(fw::profile::kIntroduction, 255, "太极拳教学二十年。#13#10欢迎大家来武当山切磋交流。");
  deliver(p.take());
  QWidget* info = nullptr;
  ASSERT_TRUE(RunUntil([&] { return (info = Window("UserInfoForm")) != nullptr; }));
  RunUntil([] { return false; }, 300);
  save(info->grab(), "09-profile-level-37.png");
  RecordWriter big(fw::profile::kSize);
  big.u32(0, fw::kProfile).u32(fw::profile::kTarget, 10001).u32(fw::profile::kSubject, 30001);
  big.u8(fw::profile::kPurpose, 2).text(fw::profile::kNickname, 40, "张三丰太极拳传人第十八代弟子王大锤").u8(fw::profile::kFace, 7);
  big.u32(fw::profile::kLevelPoints, 4000000000u);
  deliver(big.take());
  RunUntil([] { return false; }, 300);
  save(info->grab(), "10-profile-huge-level.png");
  info->close();
  RecordWriter r(fw::add::kSize);
  r.u32(0, fw::kAddFriend).u8(fw::add::kKind, fw::add::kRequest).u32(fw::add::kTarget, 10001).u32(fw::add::kSender, 20005);
  r.text(fw::add::kNickname, 40, "一个名字特别特别特别长的用户5").text(fw::add::kText, 255, "我们在上周的同学聚会上见过面，我是坐在你旁边的那个人，还记得吗？");
  deliver(r.take());
  QWidget* notice = nullptr;
  ASSERT_TRUE(RunUntil([&] { return (notice = Window("AddFriendForm")) != nullptr; }));
  RunUntil([] { return false; }, 300);
  save(notice->grab(), "11-request-notice.png");
  notice->close();

  // The invitation picker.
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, timer, [timer, &save] {
    QWidget* form = Window("PrayFriendForm");
    if (!form) return;
    timer->deleteLater();
    save(form->grab(), "12-invitation-picker.png");
    form->findChild<QPushButton*>(QStringLiteral("CloseButton"))->click();
  });
  timer->start(300);
  std::uint32_t room = 4321;
  PluginManager->DealMessage("KivFriend", 0x70040, &room, sizeof room);
}

}  // namespace
}  // namespace kiv
