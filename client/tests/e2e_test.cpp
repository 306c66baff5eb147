// The client against the real reference server: kivora-server runs as a child process on loopback
// with a fresh store and the demo users; its admin command sends what an operator would.
#include <httplib.h>

#include <QProcess>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/machine_id.h"
#include "udp_interface.h"

#include "ma_system_msg.h"
#include "ma_web.h"
#include "manager/qt_app.h"
#include "protocol_client.h"
#include "private_runtime.h"
#include "server_fixture.h"
#include "system/window_helpers.h"

namespace kiv {
namespace {

class TrayApplicationEnvironment : public QtApplicationEnvironment {
 public:
  void SetUp() override {
    QtApplicationEnvironment::SetUp();
    QApplication::setQuitOnLastWindowClosed(false);
  }
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new TrayApplicationEnvironment);

class ServerTest : public RealServerTest {
 protected:
  static QString NoticeText() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (window->objectName() == QLatin1String("NoticeWindow") && window->isVisible())
        return window->findChild<QLabel*>(QStringLiteral("NoticeText"))->text();
    }
    return {};
  }
};

TEST_F(ServerTest, TheRunningVersionShowsTheLoginWindow) {
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  EXPECT_TRUE(commands_.empty());
  EXPECT_EQ(GlobalManager->RunState, kRunStarting);
}

TEST_F(ServerTest, ANewerVersionStartsTheUpdaterOrTellsTheUser) {
  Admin({QStringLiteral("publish-version"), QString::number(CURRENTVERSION + 1), QStringLiteral("1")});
  StartClient();
  ASSERT_TRUE(RunUntil([this] { return exits_ == 1; }));
  ASSERT_EQ(commands_.size(), 1u);
  const std::string expected_head =
      (app_.path() / "KivUpdate").string() + " " + std::to_string(CURRENTVERSION) + " ";
  EXPECT_EQ(commands_[0].substr(0, expected_head.size()), expected_head);
  EXPECT_TRUE(commands_[0].ends_with(" 0 1")) << commands_[0];
  TearDown();

  Admin({QStringLiteral("publish-version"), QString::number(CURRENTVERSION + 1), QStringLiteral("3")});
  commands_.clear();
  exits_ = 0;
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  EXPECT_TRUE(MessageShown(
      QStringLiteral("系统发现Kivora有最新版本，当前版本可以继续使用，如果需要更新请从官方网站") +
      QString::fromStdString(HOMEPAGE) + QStringLiteral("中下载安装。")));
  EXPECT_TRUE(commands_.empty());
  EXPECT_EQ(exits_, 0);
}

TEST_F(ServerTest, SignInFollowsTheRedirectAndFillsTheUser) {
  SignInAs(QStringLiteral("10001"), QStringLiteral("kivora"), /*invisible=*/true);
  const TMe& me = *GlobalManager->Me;
  EXPECT_EQ(me.UserCode(), 10001u);
  EXPECT_EQ(me.state, kStateInvisible);
  EXPECT_FALSE(me.nickname.empty());
  EXPECT_EQ(me.GetMoney(), 1000u);
  EXPECT_EQ(me.own_ip.str(), "127.0.0.1");
  EXPECT_EQ(me.own_port, me.local_port);
  EXPECT_NE(GlobalManager->HomeServer, -1);
  EXPECT_EQ(GlobalManager->HomeServerPort, server_.Home().port);
  EXPECT_EQ(form_->BalanceLabel()->text(), QStringLiteral("1000"));
  // The server's parameters arrived (the chat relay switch is on).
  EXPECT_TRUE(RunUntil([] { return GlobalManager->ServerParam[92 - 4] == 1; }));
  EXPECT_TRUE(form_->isVisible());
}

TEST_F(ServerTest, GuestSignIn) {
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  PressLogin(QString(), QString(), false, /*guest=*/true);
  ASSERT_TRUE(SignedIn());
  EXPECT_NE(GlobalManager->Me->UserCode(), 0u);
  EXPECT_EQ(GlobalManager->Me->user_type, kGuestUserType);
  EXPECT_EQ(GlobalManager->Me->state, kStateOnline);
}

TEST_F(ServerTest, AWrongPasswordIsRefused) {
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  PressLogin(QStringLiteral("10001"), QStringLiteral("wrong"));
  EXPECT_TRUE(MessageShown(QStringLiteral("登录失败，用户名或密码不正确。")));
  EXPECT_NE(GlobalManager->RunState, kRunSignedIn);
}

TEST_F(ServerTest, AStoppedServerIsUnreachableAndAFrozenOneTimesOut) {
  // A frozen server: the version check went through, the login gets no answer.
  login_timeout_ms_ = 800;
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  server_.Signal(SIGSTOP);
  PressLogin(QStringLiteral("10001"), QStringLiteral("kivora"));
  EXPECT_TRUE(MessageShown(QStringLiteral("连接服务器超时。")));
  server_.Signal(SIGCONT);
  TearDown();

  server_.Signal(SIGTERM);
  server_.Wait();
  StartClient();
  EXPECT_TRUE(MessageShown(QStringLiteral("连接服务器失败。")));
  EXPECT_TRUE(LoginWindowShown());
}

TEST_F(ServerTest, ABroadcastIsNotifiedEachTimeAndStoredOnce) {
  SignInAs(QStringLiteral("10001"), QStringLiteral("kivora"));
  Admin({QStringLiteral("broadcast"), QStringLiteral("1"), QStringLiteral("今晚 22 点维护")});
  ASSERT_TRUE(RunUntil([] { return NoticeText() == QStringLiteral("今晚22点维护"); }));
  EXPECT_EQ(GlobalManager->HintCount, 1);
  Admin({QStringLiteral("broadcast"), QStringLiteral("1"), QStringLiteral("今晚 22 点维护")});
  ASSERT_TRUE(RunUntil([] { return GlobalManager->HintCount == 2; }));
  std::ifstream in(SystemMessagePath(app_.path() / "10001"), std::ios::binary);
  const std::string record = GbkToUtf8(std::string(std::istreambuf_iterator<char>(in), {}));
  EXPECT_NE(record.find("今晚22点维护"), std::string::npos);
  EXPECT_EQ(record.find("今晚22点维护"), record.rfind("今晚22点维护"));
}

TEST_F(ServerTest, KickedBySecondSignInAndByTheAdministrator) {
  SignInAs(QStringLiteral("10002"), QStringLiteral("kivora"));
  {
    testing::TProtocolClient other;
    testing::TLoginFields fields;
    fields.user = 10002;
    fields.password = "kivora";
    std::thread signing([&] { other.SignInVia(server_.Login(), fields); });
    const bool kicked = RunUntil([] { return GlobalManager->RunState == kRunSignedOut; });
    signing.join();
    ASSERT_TRUE(kicked);
  }
  EXPECT_TRUE(MessageShown(QStringLiteral("在别的地方有相同的号码登录，你已经自动注销。")));
  TearDown();

  SignInAs(QStringLiteral("10003"), QStringLiteral("kivora"));
  Admin({QStringLiteral("kick"), QStringLiteral("10003")});
  EXPECT_TRUE(RunUntil([] { return GlobalManager->RunState == kRunSignedOut; }));
  EXPECT_TRUE(MessageShown(QStringLiteral("您因违反Kivora用户管理规定，已经被管理人员强制下线。")));
}

TEST_F(ServerTest, BalanceUpAndDownChooseTheirSounds) {
  SignInAs(QStringLiteral("10001"), QStringLiteral("kivora"));
  sounds_.clear();
  Admin({QStringLiteral("set-balance"), QStringLiteral("10001"), QStringLiteral("1500")});
  ASSERT_TRUE(RunUntil([this] { return form_->BalanceLabel()->text() == QStringLiteral("1500"); }));
  Admin({QStringLiteral("set-balance"), QStringLiteral("10001"), QStringLiteral("200")});
  ASSERT_TRUE(RunUntil([this] { return form_->BalanceLabel()->text() == QStringLiteral("200"); }));
  const std::vector<std::filesystem::path> expected{app_.path() / "Sounds/Sound1.wav",
                                                    app_.path() / "Sounds/Sound2.wav"};
  EXPECT_EQ(sounds_, expected);
}

TEST_F(ServerTest, ALevelUpIsNotified) {
  SignInAs(QStringLiteral("10001"), QStringLiteral("kivora"));
  Admin({QStringLiteral("level-up"), QStringLiteral("10001")});
  EXPECT_TRUE(RunUntil([] { return NoticeText() == QStringLiteral("恭喜您又升了一级。"); }));
}

TEST_F(ServerTest, TheMainProgramsRequestsAreAnsweredByTheServer) {
  SignInAs(QStringLiteral("10001"), QStringLiteral("kivora"));
  const std::uint16_t home = static_cast<std::uint16_t>(GlobalManager->HomeServer);
  const std::string nickname = GlobalManager->Me->nickname.str();

  // The own profile (0x30012 → 0x30013) replaces what the client holds.
  GlobalManager->Me->nickname = "stale";
  PluginManager->ExeDealMessage(kMsgRequestOwnProfile, nullptr, 0);
  ASSERT_TRUE(RunUntil([&] { return GlobalManager->Me->nickname.str() == nickname; }));

  // A transfer (0x80008 → 0x80009 and the new balance).
  sounds_.clear();
  const Bytes transfer = BuildTransfer(10002, 10001, 100, "kivora", "", NBGetFirstMac());
  ASSERT_TRUE(UDPSendData(home, transfer.data(), static_cast<std::uint32_t>(transfer.size()), 0, 0, 0));
  EXPECT_TRUE(MessageShown(QStringLiteral("Kiv币赠送成功。")));
  ASSERT_TRUE(RunUntil([] { return GlobalManager->Me->GetMoney() < 1000; }));
  EXPECT_EQ(sounds_, std::vector<std::filesystem::path>{app_.path() / "Sounds/Sound2.wav"});

  // A profile change (0x30014 → 0x30015) is notified.
  TProfileChange change;
  change.own_code = 10001;
  change.nickname = nickname;
  change.password_digest = MD5("kivora", 2);
  change.machine_digest = MD5(NBGetFirstMac(), 4);
  const Bytes message = BuildProfileChange(change);
  ASSERT_TRUE(UDPSendData(home, message.data(), static_cast<std::uint32_t>(message.size()), 0, 0, 0));
  EXPECT_TRUE(RunUntil([] { return NoticeText() == QStringLiteral("用户资料修改成功。"); }));
}

// The web site's pages as the browser would use them: the page the client asked the desktop to
// open, then its form posted.
class WebPage {
 public:
  explicit WebPage(const QUrl& url) : url_(url), site_(url.host().toStdString(), url.port()) {
    site_.set_read_timeout(20, 0);
  }
  httplib::Result Open() {
    return site_.Get(url_.toString(QUrl::RemoveScheme | QUrl::RemoveAuthority).toStdString());
  }
  httplib::Result Post(const httplib::Params& fields) {
    return site_.Post(url_.path().toStdString(), fields);
  }

 private:
  QUrl url_;
  httplib::Client site_;
};

TEST_F(ServerTest, AnAccountRegisteredOnTheWebSiteSignsInFromTheClient) {
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  emit Manager().EnsureLoginForm()->RegisterRequested();  // "申请账号"
  ASSERT_EQ(opened_.size(), 1u);
  EXPECT_EQ(opened_[0].path(), QStringLiteral("/register.php"));
  WebPage page(opened_[0]);
  auto form = page.Open();
  ASSERT_TRUE(form);
  ASSERT_EQ(form->status, 200);
  EXPECT_NE(form->body.find("name=\"password2\""), std::string::npos);
  auto done = page.Post({{"nickname", "新朋友"}, {"password", "Pass 2026"}, {"password2", "Pass 2026"}});
  ASSERT_TRUE(done);
  ASSERT_EQ(done->status, 200);
  const auto at = done->body.find("id=\"code\">");
  ASSERT_NE(at, std::string::npos);
  const std::uint32_t code = static_cast<std::uint32_t>(std::stoul(done->body.substr(at + 10)));

  PressLogin(QString::number(code), QStringLiteral("Pass 2026"));
  ASSERT_TRUE(SignedIn());
  EXPECT_EQ(GlobalManager->Me->UserCode(), code);
  EXPECT_TRUE(RunUntil([] { return GlobalManager->Me->nickname.str() == "新朋友"; }));
}

TEST_F(ServerTest, ATopUpOnTheWebSiteShowsInTheClientOnceItsPageIsClosed) {
  SignInAs(QStringLiteral("10001"), QStringLiteral("kivora"));
  ASSERT_TRUE(RunUntil([this] { return form_->BalanceLabel()->text() == QStringLiteral("1000"); }));
  opened_.clear();
  PluginManager->ExeDealMessage(kMsgOpenPayPage, nullptr, 0);
  ASSERT_EQ(opened_.size(), 1u);
  EXPECT_EQ(opened_[0].query(), QStringLiteral("code=10001"));
  ASSERT_EQ(Manager().WebWindows().Windows().size(), 1u);
  QPointer<TWebForm> window = Manager().WebWindows().Windows()[0].data();
  EXPECT_EQ(window->windowTitle(), QStringLiteral("账号充值"));

  WebPage page(opened_[0]);
  auto form = page.Open();
  ASSERT_TRUE(form);
  EXPECT_NE(form->body.find("value=\"10001\""), std::string::npos);
  // The form's request id goes back with the payment, as a browser sends the hidden field.
  const std::string marker = "name=\"request\" value=\"";
  const auto at = form->body.find(marker);
  ASSERT_NE(at, std::string::npos);
  const std::string request = form->body.substr(at + marker.size(), 32);
  auto paid = page.Post({{"request", request}, {"code", "10001"}, {"password", "kivora"}, {"amount", "500"}});
  ASSERT_TRUE(paid);
  ASSERT_EQ(paid->status, 200);
  EXPECT_NE(paid->body.find("id=\"balance\">1500<"), std::string::npos);
  // The site does not tell the client; closing the page's window asks for the profile.
  window->close();
  EXPECT_TRUE(RunUntil([&] { return window.isNull(); }));
  EXPECT_TRUE(RunUntil([this] { return form_->BalanceLabel()->text() == QStringLiteral("1500"); }));
  EXPECT_EQ(GlobalManager->Me->GetMoney(), 1500);
}

// The program itself, as a user starts it, ended by another program's "Close".
TEST_F(ServerTest, TheProgramEndsOnCloseFromAnotherProcessButNotOnClose) {
  const std::filesystem::path program = app_.path() / "Kivora";
  std::filesystem::copy_file(std::filesystem::path(KIV_BIN_DIR) / "Kivora", program);
  // Window mailboxes are found by class and caption in the user's runtime folder. This process has
  // login windows of its own (the managers of the other tests), and other programs of this user may
  // run beside the test: the child and the lookups below share a runtime folder of their own, so
  // "Close" can reach no window but the child's and the child's mailbox is never taken.
  const TPrivateRuntimeDir runtime_dir(app_.path());
  const std::filesystem::path& runtime = runtime_dir.path();
  QProcess client;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(runtime.string()));
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  env.insert(QStringLiteral("LD_LIBRARY_PATH"), QStringLiteral(KIV_BIN_DIR));
  client.setProcessEnvironment(env);
  client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  client.start(QString::fromStdString(program.string()), {});
  ASSERT_TRUE(client.waitForStarted());
  // Each text is sent until the window took it: a loaded machine may keep the client from answering
  // within one delivery's wait.
  auto deliver = [](const QString& text) {
    return RunUntil([&] {
      return SendMessageToForm(FindForm(QStringLiteral("TLoginForm"), QStringLiteral("登录Kivora娱乐")),
                               text) == 1;
    });
  };
  ASSERT_TRUE(deliver(QStringLiteral("close")));
  EXPECT_FALSE(client.waitForFinished(1000));
  ASSERT_TRUE(deliver(QStringLiteral("Close")));
  ASSERT_TRUE(client.waitForFinished(20000));
  EXPECT_EQ(client.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(client.exitCode(), 0);
}

}  // namespace
}  // namespace kiv
