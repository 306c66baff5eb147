// The session manager in this process against two servers on loopback: start-up and version check,
// login with redirect, the session's server messages, reconnecting, the notice plug-in and "Close".
#include <QMouseEvent>
#include <QProcess>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "ma_system_msg.h"
#include "manager/qt_app.h"
#include "private_runtime.h"
#include "session_fixture.h"
#include "udp_interface.h"

namespace kiv {
namespace {

using namespace std::chrono_literals;

// The tray program's event loop never ends because a window closed.
class TrayApplicationEnvironment : public QtApplicationEnvironment {
 public:
  void SetUp() override {
    QtApplicationEnvironment::SetUp();
    QApplication::setQuitOnLastWindowClosed(false);
  }
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new TrayApplicationEnvironment);

// The notice plug-in's window.
QWidget* NoticeWindow() {
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window->objectName() == QLatin1String("NoticeWindow")) return window;
  }
  return nullptr;
}

QString NoticeText() {
  QWidget* window = NoticeWindow();
  if (!window || !window->isVisible()) return {};
  return window->findChild<QLabel*>(QStringLiteral("NoticeText"))->text();
}

std::string ReadGbkFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return GbkToUtf8(std::string(std::istreambuf_iterator<char>(in), {}));
}

TEST_F(SessionTest, TheRunningVersionOpensTheMainLoginWindow) {
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  EXPECT_TRUE(Manager().LoginForm()->IsMainLoginWindow());
  EXPECT_EQ(Manager().LoginForm()->windowTitle(), QStringLiteral("登录Kivora娱乐"));
  EXPECT_FALSE(form_->StartupTimer().isActive());
  EXPECT_EQ(login_.Messages(kMsgLoginRequest).size(), 1u);
  EXPECT_EQ(RecordReader(login_.Messages(kMsgLoginRequest)[0].data).u8(49), kLoginVersionCheck);
  EXPECT_TRUE(commands_.empty());
  EXPECT_EQ(GlobalManager->RunState, kRunStarting);
  EXPECT_EQ(GlobalManager->UpdateServerPort, 9012);
}

TEST_F(SessionTest, ANewerVersionInEachUpdateMode) {
  struct Case {
    std::uint8_t mode;
    int answer;  // -1 no question; 0 No, 1 Yes
    bool updates;
    bool exits;
    const char* message;
  };
  const Case cases[] = {
      {1, -1, true, true, nullptr},
      {0, 1, true, true, nullptr},
      {0, 0, false, false, nullptr},
      {2, -1, false, true, "系统发现Kivora有最新版本，请从官方网站http://127.0.0.1:8080中下载安装。"},
      {3, -1, false, false,
       "系统发现Kivora有最新版本，当前版本可以继续使用，如果需要更新请从官方网站http://"
       "127.0.0.1:8080中下载安装。"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << int(c.mode) << " answer " << c.answer);
    script_.latest_version = CURRENTVERSION + 1;
    script_.update_mode = c.mode;
    commands_.clear();
    exits_ = 0;
    if (c.answer >= 0) AnswerQuestion(c.answer == 1);
    StartClient();
    if (c.exits) {
      ASSERT_TRUE(RunUntil([this] { return exits_ == 1; }));
      EXPECT_EQ(Manager().LoginForm(), nullptr);
    } else {
      ASSERT_TRUE(LoginWindowShown());
    }
    if (c.updates) {
      ASSERT_EQ(commands_.size(), 1u);
      EXPECT_EQ(commands_[0], (app_.path() / "KivUpdate").string() + " " + std::to_string(CURRENTVERSION) +
                                  " 127.0.0.1 9012 0 1");
    } else {
      EXPECT_TRUE(commands_.empty());
    }
    if (c.message) {
      EXPECT_TRUE(MessageShown(QString::fromUtf8(c.message)));
    }
    TearDown();
  }
}

TEST_F(SessionTest, NoVersionReplyOpensTheLoginWindowAfterTheStartUpTime) {
  script_.answer_version = false;
  StartClient();
  EXPECT_TRUE(form_->StartupTimer().isActive());
  EXPECT_EQ(Manager().LoginForm(), nullptr);
  ASSERT_TRUE(LoginWindowShown());
  EXPECT_TRUE(Manager().LoginForm()->IsMainLoginWindow());
}

TEST_F(SessionTest, RedirectThenSignInAtTheHomeServerHalfASecondLater) {
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  PressLogin(QStringLiteral("10001"), QStringLiteral("kivora"), /*invisible=*/true);
  for (QAction* item : form_->StateItems()) EXPECT_FALSE(item->isEnabled());
  ASSERT_TRUE(SignedIn());

  const auto first = login_.Messages(kMsgLoginRequest);
  const auto second = home_.Messages(kMsgLoginRequest);
  ASSERT_EQ(first.size(), 2u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(RecordReader(first[1].data).u8(49), kLoginInvisible);
  EXPECT_EQ(RecordReader(second[0].data).u8(49), kLoginInvisible);
  EXPECT_EQ(RecordReader(second[0].data).u32(4), 10001u);
  // The redirect waits 500 ms before it connects (the reply left the server before the first
  // message's arrival stamp plus the handshake, so the gap is at least the delay).
  EXPECT_GE(second[0].when - first[1].when, 490ms);

  const TMe& me = *GlobalManager->Me;
  EXPECT_EQ(me.UserCode(), 10001u);
  EXPECT_EQ(me.state, kStateInvisible);
  EXPECT_EQ(me.nickname.str(), "小明");
  EXPECT_EQ(me.GetMoney(), 1000u);
  EXPECT_EQ(me.face, 3);
  EXPECT_EQ(me.sex, 1);
  EXPECT_EQ(me.own_port, 4000);
  EXPECT_EQ(GlobalManager->HomeServerPort, home_.Port());
  EXPECT_TRUE(form_->isVisible());
  EXPECT_FALSE(Manager().LoginForm()->isVisible());
  EXPECT_FALSE(Manager().LoginForm()->TimeoutActive());
  EXPECT_EQ(form_->BalanceLabel()->text(), QStringLiteral("1000"));
  EXPECT_EQ(form_->NicknameLabel()->text(), QStringLiteral("小明 [10001]"));
  for (QAction* item : form_->StateItems()) EXPECT_TRUE(item->isEnabled());
  EXPECT_TRUE(PluginManager->GetPluginWorking("KivHint"));
  // The login-server connection is dropped once the sign-in is done.
  EXPECT_TRUE(RunUntil([this] { return login_.LostCount() == 1; }));
  EXPECT_EQ(GlobalManager->LoginServer, 0);
  // The user is at the head of the local user list now.
  EXPECT_TRUE(std::filesystem::exists(app_.path() / "Datas" / "LoginInfo.dat"));
  EXPECT_EQ(Manager().LoginForm()->UserCodeBox()->itemText(0), QStringLiteral("10001"));
}

TEST_F(SessionTest, GuestSignInSendsStateFourThenTheInvisibleBoxAtHome) {
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  PressLogin(QString(), QString(), /*invisible=*/false, /*guest=*/true);
  ASSERT_TRUE(SignedIn());
  const Bytes to_login = login_.Messages(kMsgLoginRequest).at(1).data;
  EXPECT_EQ(RecordReader(to_login).u8(49), kLoginGuest);
  EXPECT_EQ(RecordReader(to_login).u32(4), 0u);
  const Bytes to_home = home_.Messages(kMsgLoginRequest).at(0).data;
  EXPECT_EQ(RecordReader(to_home).u8(49), kLoginOnline);
  EXPECT_EQ(RecordReader(to_home).u32(4), kGuestCode);
  EXPECT_EQ(GlobalManager->Me->user_type, kGuestUserType);
  EXPECT_TRUE(Manager().Guest());
  EXPECT_FALSE(std::filesystem::exists(app_.path() / "Datas" / "LoginInfo.dat"));
}

TEST_F(SessionTest, RefusedLoginsLeaveTheUserOnTheLoginWindow) {
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  PressLogin(QStringLiteral("10001"), QStringLiteral("wrong"));
  EXPECT_TRUE(MessageShown(QStringLiteral("登录失败，用户名或密码不正确。")));
  EXPECT_NE(GlobalManager->RunState, kRunSignedIn);
  EXPECT_FALSE(Manager().LoginForm()->TimeoutActive());
  EXPECT_TRUE(Manager().LoginForm()->isVisible());

  PressLogin(QString(), QStringLiteral("kivora"));
  EXPECT_TRUE(MessageShown(QStringLiteral("用户号码或密码不能为空。")));
}

TEST_F(SessionTest, APasswordLongerThanTwentyCharactersIsRefusedByTheBox) {
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  QLineEdit* box = Manager().LoginForm()->PasswordBox();
  box->clear();
  box->insert(QString(25, QLatin1Char('a')));
  EXPECT_EQ(box->text().size(), 20);
  box->setText(QStringLiteral("01234567890123456789"));
  box->end(false);
  box->insert(QStringLiteral("x"));
  EXPECT_EQ(box->text(), QStringLiteral("01234567890123456789"));
}

TEST_F(SessionTest, AnUnreachableServerAndASilentOne) {
  // Nothing answers on this port: the handshake fails.
  TScriptedServer gone;
  const std::uint16_t dead_port = gone.Port();
  gone.Engine().Stop();
  WriteConfig(dead_port);
  StartClient();
  EXPECT_TRUE(MessageShown(QStringLiteral("连接服务器失败。")));
  ASSERT_TRUE(LoginWindowShown());
  TearDown();

  // The login server takes the handshake but never answers the login.
  WriteConfig(login_.Port());
  script_.answer_home = false;
  login_timeout_ms_ = 600;
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  PressLogin(QStringLiteral("10001"), QStringLiteral("kivora"));
  EXPECT_TRUE(Manager().LoginForm()->TimeoutActive());
  EXPECT_TRUE(MessageShown(QStringLiteral("连接服务器超时。")));
  EXPECT_NE(GlobalManager->RunState, kRunSignedIn);
  for (QAction* item : form_->StateItems()) EXPECT_TRUE(item->isEnabled());
}

TEST_F(SessionTest, BroadcastsBeforeSignInAreNotifiedAfterItInOrderAndStoredOnce) {
  script_.before_redirect = {Broadcast(1, "维护 通知"), Broadcast(0, "第二条"), Broadcast(1, "维护通知")};
  SignIn();
  // Three notices wait in the notice plug-in: the first shows now, in arrival order.
  EXPECT_TRUE(RunUntil([] { return GlobalManager->HintCount == 3; }));
  EXPECT_EQ(NoticeText(), QStringLiteral("维护通知"));
  NoticeWindow()->findChild<QPushButton*>(QStringLiteral("NoticeClose"))->click();
  EXPECT_EQ(GlobalManager->HintCount, 2);
  EXPECT_EQ(NoticeText(), QStringLiteral("第二条"));

  // Stored once per text, spaces removed.
  const std::string record = ReadGbkFile(SystemMessagePath(app_.path() / "10001"));
  EXPECT_EQ(record.find("维护通知"), record.rfind("维护通知"));
  EXPECT_NE(record.find("第二条"), std::string::npos);
  EXPECT_TRUE(Manager().EarlyNotices().empty());
}

TEST_F(SessionTest, TheNoticePluginShowsABroadcastCountsItAndRunsItsClickAction) {
  SignIn();
  home_.Send(home_handle_, Broadcast(1, "今晚维护"));
  ASSERT_TRUE(RunUntil([] { return NoticeText() == QStringLiteral("今晚维护"); }));
  EXPECT_EQ(GlobalManager->HintCount, 1);
  QWidget* window = NoticeWindow();
  EXPECT_EQ(window->findChild<QLabel*>(QStringLiteral("NoticeTitle"))->text(),
            QStringLiteral("来自服务器的消息"));
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(window, &press);
  EXPECT_EQ(GlobalManager->HintCount, 0);
  EXPECT_FALSE(window->isVisible());
}

TEST_F(SessionTest, AWebPageBroadcastOpensOneWindowPerCaption) {
  SignIn();
  home_.Send(home_handle_, Broadcast(2, "300!200!活动!http://127.0.0.1:8080/a.php"));
  ASSERT_TRUE(RunUntil([this] { return opened_.size() == 1; }));
  home_.Send(home_handle_, Broadcast(3, "300!200!活动!http://127.0.0.1:8080/b.php"));
  ASSERT_TRUE(RunUntil([this] { return opened_.size() == 2; }));
  ASSERT_EQ(Manager().WebWindows().Windows().size(), 1u);
  TWebForm* page = Manager().WebWindows().Windows()[0];
  EXPECT_EQ(page->windowTitle(), QStringLiteral("活动"));
  EXPECT_EQ(page->size(), QSize(300, 200));
  EXPECT_EQ(page->Url(), QUrl(QStringLiteral("http://127.0.0.1:8080/b.php")));
  // Closing the page asks for the profile again, for a balance a purchase changed.
  page->close();
  EXPECT_TRUE(RunUntil([this] { return home_.Messages(kMsgProfileRequest).size() == 1; }));
  EXPECT_TRUE(Manager().WebWindows().Windows().empty());
  EXPECT_EQ(home_.Messages(kMsgProfileRequest)[0].data, BuildOwnProfileRequest(10001));
}

TEST_F(SessionTest, KickOutsOfEachKind) {
  const struct {
    std::uint8_t kind;
    const char* message;
  } cases[] = {{1, "在别的地方有相同的号码登录，你已经自动注销。"},
               {2, "您因违反Kivora用户管理规定，已经被管理人员强制下线。"},
               {3, nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.kind));
    home_handle_ = 0;
    SignIn();
    home_.Send(home_handle_, KickOut(c.kind, 10002));  // another user's: ignored
    home_.Send(home_handle_, KickOut(c.kind, 10001));
    ASSERT_TRUE(RunUntil([] { return GlobalManager->RunState == kRunSignedOut; }));
    if (c.message) {
      EXPECT_EQ(Messages(), std::vector<QString>{QString::fromUtf8(c.message)});
    } else {
      EXPECT_TRUE(Messages().empty());
    }
    EXPECT_EQ(GlobalManager->Me->state, kStateOffline);
    TearDown();
  }
}

TEST_F(SessionTest, BalanceChangesChooseTheirSoundAndIgnoreOtherUsers) {
  SignIn();
  sounds_.clear();
  home_.Send(home_handle_, CodeRecord(kMsgBalance, 10001, 1500));
  ASSERT_TRUE(RunUntil([this] { return form_->BalanceLabel()->text() == QStringLiteral("1500"); }));
  home_.Send(home_handle_, CodeRecord(kMsgBalance, 10002, 1));
  home_.Send(home_handle_, CodeRecord(kMsgBalance, 10001, 200));
  ASSERT_TRUE(RunUntil([this] { return form_->BalanceLabel()->text() == QStringLiteral("200"); }));
  EXPECT_EQ(GlobalManager->Me->GetMoney(), 200u);
  const std::vector<std::filesystem::path> expected{app_.path() / "Sounds/Sound1.wav",
                                                    app_.path() / "Sounds/Sound2.wav"};
  EXPECT_EQ(sounds_, expected);
  // A plug-in reports a balance the same way.
  Bytes record = CodeRecord(kMsgBalanceChanged, 10001, 300);
  PluginManager->ExeDealMessage(kMsgBalanceChanged, record.data(), 12);
  EXPECT_EQ(GlobalManager->Me->GetMoney(), 300u);
}

TEST_F(SessionTest, ALevelUpPlaysItsSoundAndNotifies) {
  SignIn();
  sounds_.clear();
  home_.Send(home_handle_, CodeRecord(kMsgLevelUp, 10001, 0));
  ASSERT_TRUE(RunUntil([] { return NoticeText() == QStringLiteral("恭喜您又升了一级。"); }));
  EXPECT_EQ(sounds_, std::vector<std::filesystem::path>{app_.path() / "Sounds" / "LevelUp.wav"});
}

TEST_F(SessionTest, MessagesCutShortReadAsZeroAndOtherPeersAreNotServers) {
  SignIn();
  // A balance message of 10 bytes: the missing two bytes of the balance read as zero.
  Bytes cut = CodeRecord(kMsgBalance, 10001, 0x00AB0102);
  cut.resize(10);
  home_.Send(home_handle_, cut);
  ASSERT_TRUE(RunUntil([this] { return form_->BalanceLabel()->text() == QStringLiteral("258"); }));

  // Another peer of this process sends what only servers may send.
  TScriptedServer stranger;
  // This process answers the handshake from its event loop, so the stranger waits on a thread.
  std::atomic<std::uint16_t> handle{0};
  std::atomic<bool> done{false};
  std::thread connecting([&, port = GlobalManager->Me->local_port] {
    handle = stranger.Engine().Connect("127.0.0.1", port, 2000);
    done = true;
  });
  RunUntil([&] { return done.load(); });
  connecting.join();
  ASSERT_NE(handle, 0);
  stranger.Send(handle, CodeRecord(kMsgBalance, 10001, 99999));
  stranger.Send(handle, KickOut(2, 10001));
  stranger.Send(handle, Bytes{0x01, 0x00, 0x09, 0x00});  // the termination order
  // A message of the home server sent after them arrives after them.
  TScriptedServer& home = home_;
  home.Send(home_handle_, CodeRecord(kMsgBalance, 10001, 7));
  ASSERT_TRUE(RunUntil([this] { return form_->BalanceLabel()->text() == QStringLiteral("7"); }));
  QCoreApplication::processEvents();
  EXPECT_EQ(GlobalManager->RunState, kRunSignedIn);
  EXPECT_TRUE(Messages().empty());
  form_.reset();  // signs out while the stranger is there to answer
}

TEST_F(SessionTest, LosingTheHomeServerReconnectsOnlyWhileSignedIn) {
  SignIn();
  ASSERT_TRUE(home_.Disconnect(home_handle_));
  ASSERT_TRUE(RunUntil([this] { return home_.Messages(kMsgLoginRequest).size() == 2; }));
  EXPECT_EQ(RecordReader(home_.Messages(kMsgLoginRequest)[1].data).u8(49), kLoginOnline);
  TearDown();

  // Before the sign-in has completed the session does not reconnect.
  home_handle_ = 0;
  script_.answer_home = false;
  const std::size_t before = home_.Messages(kMsgLoginRequest).size();
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  PressLogin(QStringLiteral("10001"), QStringLiteral("kivora"));
  ASSERT_TRUE(RunUntil([&] { return home_.Messages(kMsgLoginRequest).size() == before + 1; }));
  const std::uint16_t handle = home_.Messages(kMsgLoginRequest).back().handle;
  ASSERT_TRUE(home_.Disconnect(handle));
  ASSERT_TRUE(RunUntil([] { return GlobalManager->HomeServer == -1; }));
  EXPECT_FALSE(Manager().AsynPending(kActionConnectHome));
}

TEST_F(SessionTest, ChangingStateWhileSignedInTellsTheServerWithoutSigningInAgain) {
  SignIn();
  Manager().ChangeState(kStateInvisible);
  ASSERT_TRUE(RunUntil([this] { return home_.Messages(kMsgOwnState).size() == 1; }));
  EXPECT_EQ(home_.Messages(kMsgOwnState)[0].data,
            BuildOwnState(10001, kStateInvisible, GlobalManager->Me->camera));
  EXPECT_EQ(home_.Messages(kMsgLoginRequest).size(), 1u);
  EXPECT_TRUE(Manager().LoginForm()->Invisible());
  Manager().ChangeState(kStateOffline);
  EXPECT_EQ(GlobalManager->RunState, kRunSignedOut);
}

TEST_F(SessionTest, CloseFromAnotherProgramEndsTheProgramAndLowerCaseCloseDoesNot) {
  const TPrivateRuntimeDir runtime(app_.path());
  SignIn();
  auto send = [](const QString& text) {
    QProcess sender;
    sender.start(QStringLiteral(KIV_TEST_DIR "/form_message_sender"),
                 {QStringLiteral("TMainForm"), QStringLiteral("Kivora娱乐"), text});
    EXPECT_TRUE(RunUntil([&] { return sender.state() == QProcess::NotRunning; }));
    return sender.exitCode();
  };
  EXPECT_EQ(send(QStringLiteral("close")), 0);
  QCoreApplication::processEvents();
  EXPECT_FALSE(Manager().AsynPending(kActionExit));
  EXPECT_EQ(send(QStringLiteral("Close now please")), 0);
  EXPECT_TRUE(RunUntil([this] { return exits_ == 1; }));
}

TEST_F(SessionTest, ThePluginsRequestsOfTheMainProgram) {
  SignIn();
  const std::string account = "&usercode=10001&password=" + MD5("kivora", 2);
  PluginManager->ExeDealMessage(kMsgOpenPayPage, nullptr, 0);
  PluginManager->ExeDealMessage(kMsgOpenServicePage, nullptr, 0);
  PluginManager->ExeDealMessage(kMsgOpenMallPage, nullptr, 0);
  Manager().ShowMoneyRecord();
  const std::vector<QUrl> expected{QUrl(QString::fromStdString(PAYURL + "?code=10001")),
                                   QUrl(QString::fromStdString(QUESTIONURL + account)),
                                   QUrl(QString::fromStdString(MALLURL + account)),
                                   QUrl(QString::fromStdString(MOEYRECORDURL + account))};
  EXPECT_EQ(opened_, expected);
  std::vector<QString> captions;
  for (const auto& window : Manager().WebWindows().Windows()) captions.push_back(window->windowTitle());
  EXPECT_EQ(captions, (std::vector<QString>{QStringLiteral("账号充值"), QStringLiteral("在线客服"),
                                            QStringLiteral("道具商城"), QStringLiteral("交易记录")}));
  EXPECT_EQ(Manager().WebWindows().Windows()[0]->size(), QSize(500, 486));
  EXPECT_EQ(Manager().WebWindows().Windows()[2]->size(), QSize(679, 611));

  PluginManager->ExeDealMessage(kMsgRequestOwnProfile, nullptr, 0);
  EXPECT_TRUE(RunUntil([this] { return home_.Messages(kMsgProfileRequest).size() == 1; }));

  // A guest may not open the mall.
  GlobalManager->Me->user_type = kGuestUserType;
  PluginManager->ExeDealMessage(kMsgOpenMallPage, nullptr, 0);
  EXPECT_TRUE(MessageShown(QStringLiteral("没有此操作权限。")));
  EXPECT_EQ(opened_.size(), 4u);
}

TEST_F(SessionTest, PendingNoticesShowAgainOnRequest) {
  SignIn();
  home_.Send(home_handle_, Broadcast(1, "甲"));
  home_.Send(home_handle_, Broadcast(1, "乙"));
  ASSERT_TRUE(RunUntil([] { return GlobalManager->HintCount == 2; }));
  NoticeWindow()->hide();
  PluginManager->DealMessage("KivHint", 0x70002, nullptr, 0);
  EXPECT_EQ(NoticeText(), QStringLiteral("甲"));
  EXPECT_EQ(GlobalManager->HintCount, 2);
  // Signing out clears the count.
  Manager().ChangeState(kStateOffline);
  EXPECT_EQ(GlobalManager->HintCount, 0);
}

TEST_F(SessionTest, WithoutTheNoticePluginNoticesFallBackToMessagesOrNothing) {
  std::filesystem::remove(app_.path() / "Plugins" / "KivHint.so");
  SignIn();
  EXPECT_EQ(PluginManager->GetPlug("KivHint"), nullptr);
  home_.Send(home_handle_, Broadcast(1, "无人接收"));
  home_.Send(home_handle_, CodeRecord(kMsgLevelUp, 10001, 0));
  RecordWriter result(28);
  result.u32(0, kMsgProfileChangeResult).u8(4, 1);
  home_.Send(home_handle_, result.take());
  EXPECT_TRUE(MessageShown(QStringLiteral("用户资料修改成功。")));
  EXPECT_EQ(GlobalManager->HintCount, 0);
  EXPECT_EQ(GlobalManager->RunState, kRunSignedIn);
}

// The transport ends the process on the order, so the session runs in a child of the test.
using SessionDeathTest = SessionTest;

TEST_F(SessionDeathTest, TheTerminationOrderFromTheHomeServerEndsTheProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SignIn();
        home_.Send(home_handle_, Bytes{0x01, 0x00, 0x09, 0x00});
        RunUntil([] { return false; }, 10000);
        std::exit(3);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace kiv
