// The chat plug-in in a real client (the session manager in this process, KivFriend and KivChat
// loaded from its Plugins folder) against the real server on loopback. The friend on the other side
// is a protocol client that speaks the chat messages as a client does; the test reads what it
// receives and makes it answer.
#include <QAbstractButton>
#include <QBuffer>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextEdit>
#include <QTextFragment>
#include <QTimer>
#include <QTreeWidget>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <thread>

#include "base/gbk.h"
#include "chat_record.h"
#include "chat_wire.h"
#include "declare/friend_wire.h"
#include "emote/emote.h"
#include "file_transfer.h"
#include "manager/qt_app.h"
#include "protocol_client.h"
#include "pulse_daemon.h"
#include "server_process.h"
#include "session_fixture.h"
#include "stdin_lines.h"
#include "udp_interface.h"
#include "video_interface.h"

namespace kiv {
namespace {

namespace cw = chat::wire;
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

// Days since 1899-12-30 of a local time.
double Days(const QDateTime& when) {
  return static_cast<double>(QDateTime(QDate(1899, 12, 30), QTime(0, 0)).msecsTo(when)) / 86400000.0;
}

Bytes Text(std::uint32_t target, std::uint32_t sender, const QString& html, double when) {
  const QByteArray utf8 = html.toUtf8();
  return cw::TextMessage(target, sender, when,
                         std::span(reinterpret_cast<const std::uint8_t*>(utf8.constData()),
                                   static_cast<std::size_t>(utf8.size())));
}

Bytes Operation(std::uint32_t target, std::uint32_t sender, std::uint32_t id, std::uint8_t kind,
                std::uint8_t step) {
  cw::TOperateMessage m;
  m.target = target;
  m.sender = sender;
  m.id = id;
  m.kind = kind;
  m.step = step;
  return cw::OperateMessage(m);
}

class ChatClientTest : public ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    if (!std::filesystem::exists(testing::ServerBinary())) GTEST_SKIP() << "kivora-server is not built";
    const std::filesystem::path bin = KIV_BIN_DIR;
    for (const char* plugin : {"KivFriend.so", "KivChat.so"})
      std::filesystem::copy_file(bin / "Plugins" / plugin, app_.path() / "Plugins" / plugin);
    std::filesystem::create_directory_symlink(bin / "EmoteInfo", app_.path() / "EmoteInfo");
    std::string error;
    ASSERT_TRUE(
        server_.Start(testing::ServerBinary(),
                      {"--data", data_.path().string(), "--seed-demo", "--login-port", "0", "--home-port",
                       "0", "--web-port", "0", "--hash-cost", "min", "--announce", "127.0.0.1"},
                      20000, &error))
        << error;
    WriteConfig(server_.Login().port, server_.Web().port);
  }

  void TearDown() override {
    ::unsetenv("KIV_CHAT_REFUSE_DIRECT");
    ClientTest::TearDown();
  }

  void SignInAs(std::uint32_t code) {
    StartClient();
    ASSERT_TRUE(LoginWindowShown());
    PressLogin(QString::number(code), QStringLiteral("kivora"));
    ASSERT_TRUE(SignedIn());
  }

  void SignOut() {
    ClientTest::TearDown();
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
  // Lets the client run a while, then tells whether the peer got nothing of `code`.
  static bool NothingArrives(TProtocolClient& peer, std::uint32_t code, std::uint16_t handle = 0) {
    RunUntil([] { return false; }, 1500);
    return !peer.WaitFor(code, handle, 0);
  }
  static void Pause(int ms) {
    RunUntil([] { return false; }, ms);
  }

  static QString NoticeText() {
    for (QWidget* window : QApplication::topLevelWidgets())
      if (window->objectName() == QLatin1String("NoticeWindow") && window->isVisible())
        return window->findChild<QLabel*>(QStringLiteral("NoticeText"))->text();
    return {};
  }

  static TFriend* Friend(std::uint32_t code) {
    return GlobalManager ? GlobalManager->GetFriendInfo(code) : nullptr;
  }

  // Signs in the friend 10002 as a protocol client, then the user 10001, and waits until the client
  // has dialled the friend. `to_a` is the friend's handle of that connection.
  void ConnectFriend(TProtocolClient& b, TProtocolClient::SignIn& sb, std::uint16_t& to_a) {
    sb = SignInPeer(b, 10002);
    ASSERT_TRUE(sb.ok());
    ASSERT_NO_FATAL_FAILURE(SignInAs(10001));
    ASSERT_TRUE(RunUntil([] { return Friend(10002) && Friend(10002)->remote && Friend(10002)->state == 1; }));
    ASSERT_TRUE(Await(b, fw::kUserState));
    // Besides its two server connections the friend has only the one the client dialled; a message
    // for someone else finds it without effect.
    const Bytes probe = Text(99999, 10002, QStringLiteral("x"), 0);
    for (std::uint16_t h = 1; h < 16 && !to_a; ++h)
      if (h != sb.home && h != sb.login && b.Send(h, probe)) to_a = h;
    ASSERT_NE(to_a, 0);
  }

  static QWidget* ChatWindow(std::uint32_t code) {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == QLatin1String("ChatForm") && w->property("friendCode").toUInt() == code)
        return w;
    return nullptr;
  }
  static QWidget* OpenChat(std::uint32_t code) {
    PluginManager->DealMessage("KivChat", 0x70005, &code, sizeof code);
    QWidget* form = nullptr;
    RunUntil([&] { return (form = ChatWindow(code)) != nullptr && form->isVisible(); });
    return form;
  }
  static QTextBrowser* View(QWidget* form) {
    return form->findChild<QTextBrowser*>(QStringLiteral("ChatView"));
  }
  static QTextEdit* Input(QWidget* form) { return form->findChild<QTextEdit*>(QStringLiteral("ChatInput")); }
  static void Press(QWidget* form, const char* button) {
    form->findChild<QAbstractButton*>(QLatin1String(button))->click();
  }
  static bool ViewShows(QWidget* form, const QString& text) {
    return RunUntil([&] {
      return ChatWindow(form->property("friendCode").toUInt()) == form &&
             View(form)->toPlainText().contains(text);
    });
  }
  // Clicks the hot link of the view whose address ends with `suffix` (":yes" or ":no").
  static bool ClickHotLink(QWidget* form, const QString& suffix) {
    QTextDocument* doc = View(form)->document();
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next())
      for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QString href = it.fragment().charFormat().anchorHref();
        if (href.startsWith(QLatin1String("op:")) && href.endsWith(suffix)) {
          emit View(form)->anchorClicked(QUrl(href));
          return true;
        }
      }
    return false;
  }

  // The texts of the visible items of an option menu of the window, as it shows them when opened.
  static QStringList VisibleItems(QWidget* form, const char* menu_name) {
    auto* menu = form->findChild<QMenu*>(QLatin1String(menu_name));
    if (!menu) return {QStringLiteral("no menu")};
    emit menu->aboutToShow();
    QStringList items;
    for (QAction* action : menu->actions())
      if (action->isVisible() && !action->isSeparator()) items << action->text();
    return items;
  }

  // Clicks the file hot link "file:<id>:<action>" of the view; false when it is not shown.
  static bool ClickFileLink(QWidget* form, std::uint32_t id, const char* action) {
    const QString href = QStringLiteral("file:%1:%2").arg(id).arg(QLatin1String(action));
    QTextDocument* doc = View(form)->document();
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next())
      for (auto it = block.begin(); !it.atEnd(); ++it)
        if (it.fragment().charFormat().anchorHref() == href) {
          emit View(form)->anchorClicked(QUrl(href));
          return true;
        }
    return false;
  }
  static Bytes FileOffer(std::uint32_t id, std::uint8_t step, std::uint32_t value, const std::string& name) {
    cw::TOperateMessage m;
    m.target = 10001;
    m.sender = 10002;
    m.id = id;
    m.kind = kOperateFile;
    m.step = step;
    m.value = value;
    m.file_name = name;
    return cw::OperateMessage(m);
  }

  std::vector<std::string> Records(std::uint32_t code) const {
    auto records = chat::LoadChatRecords(chat::ChatRecordPath(app_.path() / "10001", code), 10001);
    return records ? *records : std::vector<std::string>{};
  }
  bool RecordCountIs(std::uint32_t code, std::size_t n) const {
    return RunUntil([&] { return Records(code).size() == n; });
  }

  // Types a message with a font, an emoticon and a link into the window's input.
  static QString ComposeRichMessage(QWidget* form) {
    const TEmoteTable table = TEmoteTable::Current();
    EXPECT_FALSE(table.empty()) << "the emoticon plug-in is not built";
    const QString hot_key = table.empty() ? QString() : table.HotKeys().first();
    QTextEdit* input = Input(form);
    QTextCursor cursor(input->document());
    QTextCharFormat font;
    font.setFontFamilies({QStringLiteral("DejaVu Serif")});
    font.setFontPointSize(14);
    font.setForeground(QColor(0xCC, 0, 0));
    cursor.insertText(QStringLiteral("你好 "), font);
    if (auto picture = table.Lookup(hot_key)) {
      EXPECT_TRUE(InsertEmotePicture(cursor, hot_key, picture->path));
    }
    cursor.insertText(QStringLiteral(" 看看 http://example.com/a"), QTextCharFormat());
    return hot_key;
  }

  // Runs this test program again as the second real client: the disabled test `test` (of SecondClient
  // or a fixture built on it), pointed at this test's server, with `env` added to the environment.
  void StartSecondClient(QProcess& peer, const QString& test, const QProcessEnvironment& env,
                         QProcess::ProcessChannelMode mode) {
    QProcessEnvironment all = QProcessEnvironment::systemEnvironment();
    all.insert(env);
    all.insert(QStringLiteral("KIV_CHAT_PEER_LOGIN_PORT"), QString::number(server_.Login().port));
    all.insert(QStringLiteral("KIV_CHAT_PEER_WEB_PORT"), QString::number(server_.Web().port));
    peer.setProcessEnvironment(all);
    peer.setProcessChannelMode(mode);
    peer.start(QCoreApplication::applicationFilePath(),
               {QStringLiteral("--gtest_also_run_disabled_tests"), QStringLiteral("--gtest_filter=") + test});
  }

  TestDir data_;
  testing::TServerProcess server_;
};

TEST_F(ChatClientTest, DirectTextWithFontEmoticonAndLinkBothWaysIsRecordedTwiceEach) {
  TProtocolClient b;
  TProtocolClient::SignIn sb;
  std::uint16_t to_a = 0;
  ASSERT_NO_FATAL_FAILURE(ConnectFriend(b, sb, to_a));
  QWidget* form = OpenChat(10002);
  ASSERT_TRUE(form);
  EXPECT_EQ(form->windowTitle(), QStringLiteral("与小红对话中"));
  EXPECT_EQ(form->findChild<QLabel*>(QStringLiteral("ChatNameLabel"))->text(), QStringLiteral("小红[10002]"));

  const QString hot_key = ComposeRichMessage(form);
  Press(form, "SendButton");
  auto sent = Await(b, cw::kChatMessage);
  ASSERT_TRUE(sent);
  auto m = cw::ReadTextMessage(*sent);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->target, 10002u);
  EXPECT_EQ(m->sender, 10001u);
  EXPECT_LT(std::abs(m->send_time - Days(QDateTime::currentDateTime())), 1.0 / 24 / 60);
  const QString html = QString::fromUtf8(reinterpret_cast<const char*>(m->content.data()),
                                         static_cast<qsizetype>(m->content.size()));
  EXPECT_TRUE(html.contains(QStringLiteral("DejaVu Serif"))) << html.toStdString();
  EXPECT_TRUE(html.contains(QStringLiteral("href=\"http://example.com/a\""))) << html.toStdString();
  EXPECT_TRUE(html.contains(hot_key.toHtmlEscaped())) << html.toStdString();
  EXPECT_FALSE(html.contains(QStringLiteral("<img"))) << "the emoticon travels as its hot key";
  EXPECT_TRUE(Input(form)->document()->isEmpty());
  EXPECT_TRUE(ViewShows(form, QStringLiteral("看看 http://example.com/a")));
  ASSERT_TRUE(RecordCountIs(10002, 2));
  EXPECT_NE(
      Records(10002)[0].find(QDateTime::currentDateTime().toString(QStringLiteral("MM/dd")).toStdString()),
      std::string::npos);
  EXPECT_NE(Records(10002)[1].find("http://example.com/a"), std::string::npos);

  // The friend answers over the same connection, with a time of its own.
  const QDateTime when(QDate(2026, 1, 2), QTime(3, 4, 5));
  const QString reply = QStringLiteral(
                            "<p><span style=\"font-family:'DejaVu Sans'; color:#0000ff\">收到 %1 </span>"
                            "<a href=\"https://example.org/b\">https://example.org/b</a>"
                            "<img src=\"/etc/hostname\"/><script>alert(1)</script></p>")
                            .arg(hot_key.toHtmlEscaped());
  ASSERT_TRUE(b.Send(to_a, Text(10001, 10002, reply, Days(when))));
  ASSERT_TRUE(ViewShows(form, QStringLiteral("小红 03:04:05")));
  ASSERT_TRUE(RecordCountIs(10002, 4));
  const std::vector<std::string> records = Records(10002);
  EXPECT_NE(records[2].find("小红 01/02 03:04:05"), std::string::npos) << records[2];
  EXPECT_NE(records[3].find("https://example.org/b"), std::string::npos);
  EXPECT_EQ(records[3].find("/etc/hostname"), std::string::npos);
  EXPECT_EQ(records[3].find("script"), std::string::npos);
  // The received hot key is shown as its picture.
  EXPECT_FALSE(View(form)->toPlainText().contains(QStringLiteral("收到 ") + hot_key + QLatin1Char(' ')));
  EXPECT_TRUE(View(form)->toHtml().contains(QStringLiteral("<img")));

  // A second message within 500 ms is refused and stays in the input.
  Pause(600);
  Input(form)->setPlainText(QStringLiteral("再来"));
  Press(form, "SendButton");
  ASSERT_TRUE(Await(b, cw::kChatMessage));
  Input(form)->setPlainText(QStringLiteral("太快"));
  Press(form, "SendButton");
  EXPECT_TRUE(ViewShows(form, QStringLiteral("发送消息速度太快了，休息一下。")));
  EXPECT_EQ(Input(form)->toPlainText(), QStringLiteral("太快"));
  EXPECT_TRUE(RecordCountIs(10002, 6));

  // A send time that is no date is replaced by the time of receipt.
  ASSERT_TRUE(b.Send(to_a, Text(10001, 10002, QStringLiteral("<p>无时间</p>"), std::nan(""))));
  ASSERT_TRUE(RecordCountIs(10002, 8));
  EXPECT_NE(
      Records(10002)[6].find(QDateTime::currentDateTime().toString(QStringLiteral("MM/dd")).toStdString()),
      std::string::npos)
      << Records(10002)[6];

  // Without "自动保存消息历史纪录" messages are shown but not recorded.
  GlobalManager->SetupInfo.SaveHistory = 0;
  ASSERT_TRUE(b.Send(to_a, Text(10001, 10002, QStringLiteral("<p>不记录</p>"), Days(when))));
  EXPECT_TRUE(ViewShows(form, QStringLiteral("不记录")));
  EXPECT_EQ(Records(10002).size(), 8u);

  // A nudge goes out once per 3 s however often it is pressed.
  Press(form, "NudgeButton");
  Press(form, "NudgeButton");
  auto nudge = Await(b, cw::kOperate, to_a);
  ASSERT_TRUE(nudge);
  EXPECT_EQ(cw::ReadOperateMessage(*nudge)->kind, kOperateNudge);
  EXPECT_TRUE(ViewShows(form, QStringLiteral("<提醒好友>")));
  EXPECT_TRUE(NothingArrives(b, cw::kOperate, to_a));
}

TEST_F(ChatClientTest, SpoofedTextAndUnsolicitedAnswersAreIgnored) {
  TProtocolClient b;
  TProtocolClient::SignIn sb;
  std::uint16_t to_a = 0;
  ASSERT_NO_FATAL_FAILURE(ConnectFriend(b, sb, to_a));

  // A third peer claims to be 10002; the friend 10002 claims to be 10003.
  TProtocolClient spoofer;
  std::atomic<std::uint16_t> spoof{0};
  std::atomic<bool> done{false};
  const std::uint16_t port = GlobalManager->Me->local_port;
  std::thread dial([&] {
    spoof = spoofer.Connect({"127.0.0.1", port});
    done = true;
  });
  RunUntil([&] { return done.load(); });
  dial.join();
  ASSERT_NE(spoof.load(), 0);
  const double now = Days(QDateTime::currentDateTime());
  spoofer.Send(spoof, Text(10001, 10002, QStringLiteral("<p>冒充</p>"), now));
  spoofer.Send(spoof, Operation(10001, 10002, 5, kOperateNudge, 1));
  b.Send(to_a, Text(10001, 10003, QStringLiteral("<p>冒充小刚</p>"), now));
  Pause(1000);
  EXPECT_FALSE(ChatWindow(10002));
  EXPECT_FALSE(ChatWindow(10003));
  EXPECT_TRUE(Records(10002).empty());
  EXPECT_TRUE(Records(10003).empty());

  // An accept nobody asked for starts nothing; nor does one of the wrong kind or role.
  QWidget* form = OpenChat(10002);
  ASSERT_TRUE(form);
  const std::uint32_t first_id = 10001 + 100000;
  b.Send(to_a, Operation(10001, 10002, first_id, kOperateVoice, cw::kStepAccept));
  Pause(500);
  EXPECT_FALSE(View(form)->toPlainText().contains(QStringLiteral("你的音频请求被同意了。")));
  Press(form, "VideoButton");
  auto request = Await(b, cw::kOperate);
  ASSERT_TRUE(request);
  auto op = cw::ReadOperateMessage(*request);
  ASSERT_TRUE(op);
  EXPECT_EQ(op->id, first_id);
  EXPECT_EQ(op->kind, kOperateVideo);
  EXPECT_EQ(op->step, cw::kStepRequest);
  EXPECT_TRUE(ViewShows(form, QStringLiteral("你已经向小红发出视频邀请，是否继续等待？")));
  b.Send(to_a, Operation(10001, 10002, first_id, kOperateVoice, cw::kStepAccept));  // wrong kind
  b.Send(to_a,
         Operation(10001, 10002, first_id, kOperateVideo, cw::kStepCancel));  // only the requester cancels
  Pause(500);
  EXPECT_FALSE(View(form)->toPlainText().contains(QStringLiteral("对方取消了视频请求。")));
  EXPECT_FALSE(CheckDeviceWorking());
  // A second request while one waits is refused in the window.
  Press(form, "VideoButton");
  EXPECT_TRUE(ViewShows(form, QStringLiteral("视频聊天请求已经发出。")));

  // A flood of requests: those beyond what the window keeps are refused at once.
  const std::uint32_t kept = 16;
  for (std::uint32_t i = 0; i <= kept; ++i)
    ASSERT_TRUE(b.Send(to_a, Operation(10001, 10002, 200000 + i, kOperateVoice, cw::kStepRequest)));
  auto refused = Await(b, cw::kOperate, to_a);
  ASSERT_TRUE(refused);
  EXPECT_EQ(cw::ReadOperateMessage(*refused)->id, 200000 + kept);
  EXPECT_EQ(cw::ReadOperateMessage(*refused)->step, cw::kStepRefuse);
  EXPECT_TRUE(NothingArrives(b, cw::kOperate, to_a));
}

TEST_F(ChatClientTest, ClosingAWindowRefusesReceivedAndCancelsOwnPendingRequests) {
  TProtocolClient b;
  TProtocolClient::SignIn sb;
  std::uint16_t to_a = 0;
  ASSERT_NO_FATAL_FAILURE(ConnectFriend(b, sb, to_a));
  QWidget* form = OpenChat(10002);
  ASSERT_TRUE(form);
  // Before any call the menus offer no stop items.
  EXPECT_EQ(VisibleItems(form, "FriendOptionMenu"), QStringList({QStringLiteral("查看资料")}));
  EXPECT_EQ(
      VisibleItems(form, "MyOptionMenu"),
      QStringList({QStringLiteral("视频效果调节"), QStringLiteral("查看资料"), QStringLiteral("更改头像")}));
  Press(form, "VideoButton");
  auto own = Await(b, cw::kOperate);
  ASSERT_TRUE(own);
  const std::uint32_t own_id = cw::ReadOperateMessage(*own)->id;
  // The friend numbers from its own code: its first id is the user's second.
  const std::uint32_t their_id = 10002 + 100000;
  ASSERT_TRUE(b.Send(to_a, Operation(10001, 10002, their_id, kOperateVoice, cw::kStepRequest)));
  ASSERT_TRUE(ViewShows(form, QStringLiteral("对方向你发出音频邀请，是否同意？")));

  form->close();
  std::vector<cw::TOperateMessage> answers;
  for (int i = 0; i < 2; ++i) {
    auto got = Await(b, cw::kOperate);
    ASSERT_TRUE(got);
    answers.push_back(*cw::ReadOperateMessage(*got));
  }
  std::sort(answers.begin(), answers.end(), [](const auto& x, const auto& y) { return x.kind < y.kind; });
  EXPECT_EQ(answers[0].kind, kOperateVoice);
  EXPECT_EQ(answers[0].id, their_id);
  EXPECT_EQ(answers[0].step, cw::kStepRefuse);
  EXPECT_EQ(answers[1].kind, kOperateVideo);
  EXPECT_EQ(answers[1].id, own_id);
  EXPECT_EQ(answers[1].step, cw::kStepCancel);
  EXPECT_TRUE(RunUntil([] { return ChatWindow(10002) == nullptr; }));

  // Before a friend-list refresh the user is asked to let the open windows go.
  ASSERT_TRUE(OpenChat(10002));
  std::uint8_t go_on = 1;
  AnswerQuestion(false);
  PluginManager->DealMessage("KivChat", 0x70013, &go_on, sizeof go_on);
  EXPECT_EQ(go_on, 0);
  EXPECT_TRUE(ChatWindow(10002));
  go_on = 1;
  AnswerQuestion(true);
  PluginManager->DealMessage("KivChat", 0x70013, &go_on, sizeof go_on);
  EXPECT_EQ(go_on, 1);
  EXPECT_TRUE(RunUntil([] { return ChatWindow(10002) == nullptr; }));
}

TEST_F(ChatClientTest, TextGoesThroughTheFriendsServerOnlyWhenTheRelaySwitchAllowsIt) {
  ::setenv("KIV_CHAT_REFUSE_DIRECT", "1", 1);
  TProtocolClient b;
  TProtocolClient::SignIn sb;
  std::uint16_t to_a = 0;
  ASSERT_NO_FATAL_FAILURE(ConnectFriend(b, sb, to_a));
  ASSERT_TRUE(RunUntil([] { return GlobalManager->ServerParam[92 - 4] == 1; }));
  QWidget* form = OpenChat(10002);
  ASSERT_TRUE(form);
  Input(form)->setPlainText(QStringLiteral("经服务器转发"));
  Press(form, "SendButton");
  auto relayed = Await(b, cw::kChatMessage, sb.home);
  ASSERT_TRUE(relayed);
  auto m = cw::ReadTextMessage(*relayed);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->sender, 10001u);
  EXPECT_NE(std::string(m->content.begin(), m->content.end()).find("经服务器转发"), std::string::npos);
  EXPECT_TRUE(RecordCountIs(10002, 2));

  // Switched off: the message is not sent, not recorded and stays in the input.
  GlobalManager->ServerParam[92 - 4] = 0;
  Pause(600);
  Input(form)->setPlainText(QStringLiteral("发不出去"));
  Press(form, "SendButton");
  EXPECT_TRUE(ViewShows(form, QStringLiteral("连接好友失败。")));
  EXPECT_EQ(Input(form)->toPlainText(), QStringLiteral("发不出去"));
  EXPECT_TRUE(NothingArrives(b, cw::kChatMessage));
  EXPECT_EQ(Records(10002).size(), 2u);
}

TEST_F(ChatClientTest, OfflineTextIsDeliveredOnceWithItsOriginalTime) {
  // The friend leaves a message for the user, who is offline and has no friend-list cache.
  const QDateTime when(QDate(2026, 3, 4), QTime(5, 6, 7));
  {
    TProtocolClient b;
    auto sb = SignInPeer(b, 10002);
    ASSERT_TRUE(sb.ok());
    ASSERT_TRUE(b.Send(
        sb.home,
        Text(10001, 10002, QStringLiteral("<p>留言：%1</p>").arg(QString(120, QChar(0x957F))), Days(when))));
    RunUntil([] { return false; }, 500);
  }
  ASSERT_NO_FATAL_FAILURE(SignInAs(10001));
  ASSERT_TRUE(RecordCountIs(10002, 2));
  EXPECT_NE(Records(10002)[0].find("小红 03/04 05:06:07"), std::string::npos);
  EXPECT_NE(Records(10002)[1].find("留言"), std::string::npos);
  // The window waits unread, and a notice says who wrote.
  EXPECT_TRUE(ChatWindow(10002));
  EXPECT_FALSE(ChatWindow(10002)->isVisible());
  EXPECT_TRUE(RunUntil([] { return NoticeText() == QStringLiteral("好友小红(10002)对你说："); }));
  // The message is the notice's title, cut to its one line.
  const auto title = [] {
    for (QWidget* window : QApplication::topLevelWidgets())
      if (window->objectName() == QLatin1String("NoticeWindow") && window->isVisible())
        return window->findChild<QLabel*>(QStringLiteral("NoticeTitle"));
    return static_cast<QLabel*>(nullptr);
  };
  EXPECT_TRUE(RunUntil([&] { return title() && title()->text().endsWith(QChar(0x2026)); }));
  if (QLabel* shown = title()) {
    EXPECT_TRUE(shown->text().startsWith(QStringLiteral("留言："))) << shown->text().toStdString();
    EXPECT_LE(shown->fontMetrics().horizontalAdvance(shown->text()), shown->contentsRect().width());
  }
  EXPECT_TRUE(RunUntil([] {
    return std::any_of(GlobalManager->WaitShowFormList.begin(), GlobalManager->WaitShowFormList.end(),
                       [](const auto& e) { return e->user_code == 10002; });
  }));
  Pause(1500);
  EXPECT_EQ(Records(10002).size(), 2u);

  // Signing in again, now with a cache, brings nothing twice.
  ASSERT_NO_FATAL_FAILURE(SignOut());
  ASSERT_NO_FATAL_FAILURE(SignInAs(10001));
  Pause(3000);
  EXPECT_EQ(Records(10002).size(), 2u);

  // The user writes to the friend, now offline: the server keeps it for its sign-in.
  ASSERT_TRUE(RunUntil([] { return Friend(10002) && Friend(10002)->state == 0; }));
  QWidget* form = OpenChat(10002);
  ASSERT_TRUE(form);
  Input(form)->setPlainText(QStringLiteral("等你上线"));
  Press(form, "SendButton");
  ASSERT_TRUE(RecordCountIs(10002, 4));
  Pause(500);
  TProtocolClient b;
  auto sb = SignInPeer(b, 10002);
  ASSERT_TRUE(sb.ok());
  auto kept = Await(b, cw::kChatMessage, sb.home);
  ASSERT_TRUE(kept);
  auto m = cw::ReadTextMessage(*kept);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->sender, 10001u);
  EXPECT_NE(std::string(m->content.begin(), m->content.end()).find("等你上线"), std::string::npos);
  EXPECT_TRUE(NothingArrives(b, cw::kChatMessage));
}

TEST_F(ChatClientTest, AVoiceCallRunsBothWaysAndEndsFromThisSide) {
  TPulseDaemon pulse;
  if (!pulse.Available()) GTEST_SKIP() << "no pulseaudio";
  TProtocolClient b;
  TProtocolClient::SignIn sb;
  std::uint16_t to_a = 0;
  ASSERT_NO_FATAL_FAILURE(ConnectFriend(b, sb, to_a));
  QWidget* form = OpenChat(10002);
  ASSERT_TRUE(form);
  Press(form, "VoiceButton");
  auto request = Await(b, cw::kOperate);
  ASSERT_TRUE(request);
  auto op = cw::ReadOperateMessage(*request);
  ASSERT_TRUE(op);
  EXPECT_EQ(op->kind, kOperateVoice);
  EXPECT_EQ(op->step, cw::kStepRequest);
  // Voice before the call runs is not played.
  const Bytes early = cw::AudioMessage(10001, 10002, 1, Bytes(40, 1));
  b.Send(to_a, early);
  ASSERT_TRUE(b.Send(to_a, Operation(10001, 10002, op->id, kOperateVoice, cw::kStepAccept)));
  ASSERT_TRUE(ViewShows(form, QStringLiteral("你的音频请求被同意了。")));
  ASSERT_TRUE(
      RunUntil([&] { return form->findChild<QWidget*>(QStringLiteral("AudioControls"))->isVisible(); }));
  EXPECT_EQ(form->findChild<QLabel*>(QStringLiteral("ChatHint"))->text(),
            QStringLiteral("音频连接已经建立。"));

  // A tone into the microphone goes to the friend on the voice channel; the friend's blocks play.
  std::vector<std::int16_t> tone(48000 * 6);
  for (std::size_t i = 0; i < tone.size(); ++i)
    tone[i] = static_cast<std::int16_t>(8000 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 48000));
  std::jthread feeder([&] { pulse.Feed(tone); });
  auto block = Await(b, cw::kAudioData, to_a);
  ASSERT_TRUE(block);
  auto voice = cw::ReadAudioMessage(*block);
  ASSERT_TRUE(voice);
  EXPECT_EQ(voice->sender, 10001u);
  EXPECT_EQ(voice->target, 10002u);
  auto* output = form->findChild<QProgressBar*>(QStringLiteral("OutputGauge"));
  ASSERT_TRUE(RunUntil([&] {
    if (auto more = b.WaitFor(cw::kAudioData, to_a, 0)) {
      auto v = cw::ReadAudioMessage(*more);
      b.Send(to_a, cw::AudioMessage(10001, 10002, v->quality, v->data));
    }
    return output->value() > 0;
  }));

  // While audio runs the option menus offer to stop it, and nothing of video.
  EXPECT_EQ(VisibleItems(form, "FriendOptionMenu"),
            QStringList({QStringLiteral("停止音频通讯"), QStringLiteral("查看资料")}));
  EXPECT_EQ(VisibleItems(form, "MyOptionMenu"),
            QStringList({QStringLiteral("视频效果调节"), QStringLiteral("结束音频通讯"),
                         QStringLiteral("查看资料"), QStringLiteral("更改头像")}));

  // Another quality restarts the microphone at it and is kept.
  auto* high = form->findChild<QCheckBox*>(QStringLiteral("HighQualityBox"));
  auto* normal = form->findChild<QCheckBox*>(QStringLiteral("NormalQualityBox"));
  EXPECT_TRUE(high->isChecked());
  EXPECT_FALSE(normal->isChecked());
  normal->click();
  EXPECT_FALSE(high->isChecked());
  EXPECT_EQ(GlobalManager->SystemInfo.AudioQuality, 1);
  bool normal_seen = false;
  EXPECT_TRUE(RunUntil([&] {
    if (auto more = b.WaitFor(cw::kAudioData, to_a, 0))
      normal_seen = normal_seen || cw::ReadAudioMessage(*more)->quality == 1;
    return normal_seen;
  }));

  Press(form, "StopAudioButton");
  EXPECT_TRUE(ViewShows(form, QStringLiteral("音频聊天已经结束。")));
  std::optional<cw::TOperateMessage> end;
  ASSERT_TRUE(RunUntil([&] {
    if (auto got = b.WaitFor(cw::kOperate, 0, 0)) end = cw::ReadOperateMessage(*got);
    return end.has_value();
  }));
  EXPECT_EQ(end->kind, kOperateVoice);
  EXPECT_EQ(end->step, cw::kStepEnd);
  EXPECT_FALSE(form->findChild<QWidget*>(QStringLiteral("AudioControls"))->isVisible());
}

TEST_F(ChatClientTest, AVideoCallOnTheTestPictureRunsAndEndsFromTheFriendsSide) {
  TProtocolClient b;
  TProtocolClient::SignIn sb;
  std::uint16_t to_a = 0;
  ASSERT_NO_FATAL_FAILURE(ConnectFriend(b, sb, to_a));
  std::unique_ptr<QStringList> devices(GetVideoDeviceList());
  ASSERT_TRUE(devices && devices->contains(QStringLiteral("测试摄像头")));
  GlobalManager->SystemInfo.VideoDevice =
      static_cast<std::int32_t>(devices->indexOf(QStringLiteral("测试摄像头")));
  GlobalManager->SetupInfo.VideoWidth = 176;
  GlobalManager->SetupInfo.VideoHeight = 144;
  QWidget* form = OpenChat(10002);
  ASSERT_TRUE(form);
  // Before any call the menus offer no stop items.
  EXPECT_EQ(VisibleItems(form, "FriendOptionMenu"), QStringList({QStringLiteral("查看资料")}));
  EXPECT_EQ(
      VisibleItems(form, "MyOptionMenu"),
      QStringList({QStringLiteral("视频效果调节"), QStringLiteral("查看资料"), QStringLiteral("更改头像")}));
  Press(form, "VideoButton");
  auto request = Await(b, cw::kOperate);
  ASSERT_TRUE(request);
  auto op = cw::ReadOperateMessage(*request);
  ASSERT_TRUE(op);
  ASSERT_TRUE(b.Send(to_a, Operation(10001, 10002, op->id, kOperateVideo, cw::kStepAccept)));
  ASSERT_TRUE(ViewShows(form, QStringLiteral("你的视频请求被同意了。")));
  EXPECT_TRUE(RunUntil([] { return CheckDeviceWorking(); }));

  // The user's frames reach the friend; sent back, they show in the friend's picture.
  auto* picture = form->findChild<QLabel*>(QStringLiteral("FriendPicture"));
  bool key_seen = false;
  ASSERT_TRUE(RunUntil([&] {
    if (auto frame = b.WaitFor(cw::kVideoData, to_a, 0)) {
      auto v = cw::ReadVideoMessage(*frame);
      EXPECT_TRUE(v);
      if (!v) return false;
      EXPECT_EQ(v->width, 176);
      EXPECT_EQ(v->height, 144);
      EXPECT_EQ(v->sender, 10001u);
      key_seen = key_seen || v->key_frame;
      if (key_seen) b.Send(to_a, cw::VideoMessage(10001, 10002, v->key_frame, v->width, v->height, v->frame));
    }
    return key_seen && !picture->pixmap().isNull() && picture->pixmap().width() >= 176;
  }));
  EXPECT_EQ(
      VisibleItems(form, "FriendOptionMenu"),
      QStringList({QStringLiteral("停止视频通讯"), QStringLiteral("拍照"), QStringLiteral("查看资料")}));
  EXPECT_EQ(VisibleItems(form, "MyOptionMenu"),
            QStringList({QStringLiteral("视频效果调节"), QStringLiteral("结束视频通讯"),
                         QStringLiteral("拍照"), QStringLiteral("查看资料"), QStringLiteral("更改头像")}));

  // "拍照" proposes the friend's name and saves the shown frame as BMP.
  const std::filesystem::path photo = data_.path() / "photo.bmp";
  QString proposed;
  QTimer::singleShot(0, [&] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* dialog = qobject_cast<QFileDialog*>(w); dialog && dialog->isVisible()) {
        proposed = dialog->selectedFiles().value(0);
        dialog->selectFile(QString::fromStdString(photo.string()));
        QMetaObject::invokeMethod(dialog, "accept");
      }
  });
  form->findChild<QMenu*>(QStringLiteral("FriendOptionMenu"))
      ->findChild<QAction*>(QStringLiteral("FriendPhotoItem"))
      ->trigger();
  EXPECT_TRUE(proposed.endsWith(QStringLiteral("/小红的照片.bmp"))) << proposed.toStdString();
  EXPECT_EQ(QImage(QString::fromStdString(photo.string()), "BMP").size(), picture->pixmap().size());

  // The friend ends the call.
  ASSERT_TRUE(b.Send(to_a, Operation(10001, 10002, 10002 + 100000, kOperateVideo, cw::kStepEnd)));
  EXPECT_TRUE(ViewShows(form, QStringLiteral("视频聊天已经结束。")));
  EXPECT_TRUE(RunUntil([] { return !CheckDeviceWorking(); }));
  // Frames after the end are not shown.
  EXPECT_EQ(form->findChild<QLabel*>(QStringLiteral("ChatHint"))->text(),
            QStringLiteral("视频连接已经结束。"));
}

// ---- the chat-record window ----------------------------------------------------------------------

// A record as the chat manager writes it: a chat document of one paragraph.
std::string RecordDocument(const QString& text, const QTextCharFormat& format = QTextCharFormat()) {
  QTextDocument doc;
  QTextCursor(&doc).insertText(text, format);
  return doc.toHtml().toStdString();
}

// What unrtf reads from an RTF file, as plain text. Its text mode prints "?" for every character
// outside ASCII, so the HTML it writes (characters as numeric entities) is read by QTextDocument.
QString UnrtfText(const std::filesystem::path& file) {
  QProcess p;
  p.start(QStringLiteral("unrtf"), {QStringLiteral("--html"), QString::fromStdString(file.string())});
  if (!p.waitForFinished(60000)) return {};
  QTextDocument html;
  html.setHtml(QString::fromUtf8(p.readAllStandardOutput()));
  return html.toPlainText();
}

std::string FileText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ChatRecordWindowTest : public ChatClientTest {
 protected:
  std::filesystem::path RecordFile(std::uint32_t code) const {
    return chat::ChatRecordPath(app_.path() / "10001", code);
  }
  std::filesystem::path SystemFile() const { return app_.path() / "10001" / "ChatRecord" / "SystemMsg.dat"; }
  // Messages as pairs of records, heading and document, through the real record writer.
  void WriteMessages(std::uint32_t code, const std::vector<std::pair<QString, std::string>>& messages) const {
    for (const auto& [heading, document] : messages) {
      ASSERT_TRUE(chat::SaveChatRecord(RecordFile(code), 10001, RecordDocument(heading)));
      ASSERT_TRUE(chat::SaveChatRecord(RecordFile(code), 10001, document));
    }
  }
  // The system-message file as the main program keeps it: GBK lines, heading then text.
  void WriteSystemMessages(const std::vector<std::string>& lines) const {
    std::filesystem::create_directories(SystemFile().parent_path());
    std::ofstream out(SystemFile(), std::ios::binary);
    for (const std::string& line : lines) out << Utf8ToGbk(line) << "\r\n";
  }

  static QWidget* RecordWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == QLatin1String("ChatRecordForm") && w->isVisible()) return w;
    return nullptr;
  }
  static QWidget* OpenRecords(std::uint32_t message, std::uint32_t code) {
    PluginManager->DealMessage("KivChat", message, &code, sizeof code);
    QWidget* form = nullptr;
    RunUntil([&] { return (form = RecordWindow()) != nullptr; });
    return form;
  }
  static QLabel* PageLabel(QWidget* form) { return form->findChild<QLabel*>(QStringLiteral("PageLabel")); }
  static QTextBrowser* RecordView(QWidget* form) {
    return form->findChild<QTextBrowser*>(QStringLiteral("RecordView"));
  }
  static QTreeWidget* Tree(QWidget* form) {
    return form->findChild<QTreeWidget*>(QStringLiteral("RecordTree"));
  }
  static QPushButton* ButtonOf(QWidget* form, const char* name) {
    return form->findChild<QPushButton*>(QLatin1String(name));
  }
  // Which of first, previous, next and last are shown, as "1100" and the like.
  static std::string PageButtons(QWidget* form) {
    std::string shown;
    for (const char* name : {"FirstPageButton", "PrevPageButton", "NextPageButton", "LastPageButton"})
      shown += ButtonOf(form, name)->isVisibleTo(form) ? '1' : '0';
    return shown;
  }
  static QTreeWidgetItem* Node(QWidget* form, const QString& text) {
    const auto found = Tree(form)->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.first();
  }
  // The colour of the text at the start of paragraph `block` of the view.
  static QColor ColourOfBlock(QWidget* form, int block) {
    QTextCursor at(RecordView(form)->document()->findBlockByNumber(block));
    at.movePosition(QTextCursor::NextCharacter);
    return at.charFormat().foreground().color();
  }
  // Paragraph `block` is drawn as a heading: the colour of the first heading, which is not the
  // text's own.
  static bool IsHeading(QWidget* form, int block) {
    const QColor heading = ColourOfBlock(form, 0);
    return heading != QColor(Qt::black) && heading.isValid() && ColourOfBlock(form, block) == heading;
  }

  // Answers the next question window with Yes or No and keeps its text in `asked`.
  static void AnswerNext(bool yes, std::shared_ptr<QString> asked) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, yes, asked] {
      for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(window);
        if (!box || !box->isVisible()) continue;
        *asked = box->text();
        box->findChild<QAbstractButton*>(yes ? QStringLiteral("YesButton") : QStringLiteral("NoButton"))
            ->click();
        timer->deleteLater();
        return;
      }
    });
    timer->start(20);
  }
  // "导出记录" with `file` as the save dialog's answer (empty: cancelled).
  static void Export(QWidget* form, const QString& file) {
    form->setProperty("chosenFileName", file);
    ButtonOf(form, "ExportButton")->click();
  }
  static int MessagesSaying(const QString& text) {
    int n = 0;
    for (const QString& t : Messages()) n += t == text ? 1 : 0;
    return n;
  }
};

TEST_F(ChatRecordWindowTest, PagesFortyOneRecordsAsThreePagesOfTwenty) {
  for (int i = 1; i <= 41; ++i)
    ASSERT_TRUE(
        chat::SaveChatRecord(RecordFile(10002), 10001, RecordDocument(QStringLiteral("第%1条").arg(i))));
  // A torn record at the end is not read.
  std::ofstream(RecordFile(10002), std::ios::binary | std::ios::app) << "\xFF\xFF\x00\x00torn";
  ASSERT_NO_FATAL_FAILURE(SignInAs(10001));
  ASSERT_TRUE(RunUntil([] { return Friend(10002) != nullptr; }));

  // Opened without a selection: nothing shown, the page controls hidden, nothing to export.
  QWidget* form = OpenRecords(0x70008, 10002);
  ASSERT_TRUE(form);
  EXPECT_EQ(form->windowTitle(), QStringLiteral("查看聊天记录"));
  EXPECT_EQ(PageLabel(form)->text(), QStringLiteral("第1 of 100 页"));
  EXPECT_FALSE(PageLabel(form)->isVisibleTo(form));
  EXPECT_EQ(PageButtons(form), "0000");
  EXPECT_TRUE(RecordView(form)->toPlainText().isEmpty());
  EXPECT_FALSE(ButtonOf(form, "ExportButton")->isEnabled());
  QTreeWidget* tree = Tree(form);
  ASSERT_GE(tree->topLevelItemCount(), 2);
  EXPECT_EQ(tree->topLevelItem(0)->text(0), QStringLiteral("我的好友(2人)"));
  ASSERT_TRUE(Node(form, QStringLiteral("小红[10002]")));
  EXPECT_FALSE(Node(form, QStringLiteral("小红[10002]"))->icon(0).isNull()) << "the friend's small face";
  EXPECT_EQ(tree->topLevelItem(tree->topLevelItemCount() - 1)->text(0), QStringLiteral("系统消息"));

  // Selecting the friend shows the last page.
  form = OpenRecords(0x70007, 10002);
  EXPECT_EQ(tree->currentItem()->text(0), QStringLiteral("小红[10002]"));
  EXPECT_EQ(PageLabel(form)->text(), QStringLiteral("第3of3页"));
  EXPECT_TRUE(PageLabel(form)->isVisibleTo(form));
  EXPECT_EQ(RecordView(form)->toPlainText(), QStringLiteral("第41条"));
  EXPECT_EQ(PageButtons(form), "1100");

  struct Step {
    const char* button;
    QString label, first, last;
    std::string buttons;
  };
  const std::vector<Step> steps = {
      {"FirstPageButton", QStringLiteral("第1of3页"), QStringLiteral("第1条"), QStringLiteral("第20条"),
       "0011"},
      {"NextPageButton", QStringLiteral("第2of3页"), QStringLiteral("第21条"), QStringLiteral("第40条"),
       "1111"},
      {"NextPageButton", QStringLiteral("第3of3页"), QStringLiteral("第41条"), QStringLiteral("第41条"),
       "1100"},
      {"PrevPageButton", QStringLiteral("第2of3页"), QStringLiteral("第21条"), QStringLiteral("第40条"),
       "1111"},
      {"LastPageButton", QStringLiteral("第3of3页"), QStringLiteral("第41条"), QStringLiteral("第41条"),
       "1100"},
  };
  for (const Step& s : steps) {
    ButtonOf(form, s.button)->click();
    const QStringList lines = RecordView(form)->toPlainText().split(u'\n');
    EXPECT_EQ(PageLabel(form)->text(), s.label) << s.button;
    EXPECT_EQ(lines.first(), s.first) << s.button;
    EXPECT_EQ(lines.last(), s.last) << s.button;
    EXPECT_EQ(PageButtons(form), s.buttons) << s.button;
  }
  // Odd records are the headings of the messages, in the heading colour; the others keep their own.
  ButtonOf(form, "FirstPageButton")->click();
  EXPECT_TRUE(IsHeading(form, 0));
  EXPECT_TRUE(IsHeading(form, 2));
  EXPECT_FALSE(IsHeading(form, 1));
  EXPECT_FALSE(IsHeading(form, 3));

  // Clicking the friend's node again: page 1, then the last page.
  tree->setCurrentItem(Node(form, QStringLiteral("系统消息")));
  tree->setCurrentItem(Node(form, QStringLiteral("小红[10002]")));
  EXPECT_EQ(PageLabel(form)->text(), QStringLiteral("第3of3页"));
  EXPECT_EQ(RecordView(form)->toPlainText(), QStringLiteral("第41条"));
}

TEST_F(ChatRecordWindowTest, DeletingAsksAboutTheSelectionAndAMissingFileShowsNothing) {
  WriteMessages(10002, {{QStringLiteral("小红 03/04 05:06:07"), RecordDocument(QStringLiteral("你好"))}});
  WriteSystemMessages({"系统消息  2026-01-01 10:00", "欢迎使用", "系统消息  2026-01-02 11:00", "今晚维护"});
  ASSERT_NO_FATAL_FAILURE(SignInAs(10001));
  ASSERT_TRUE(RunUntil([] { return Friend(10002) != nullptr; }));

  QWidget* form = OpenRecords(0x70008, 0);
  ASSERT_TRUE(form);
  EXPECT_EQ(Tree(form)->currentItem()->text(0), QStringLiteral("系统消息"));
  EXPECT_EQ(RecordView(form)->toPlainText(),
            QStringLiteral("系统消息  2026-01-01 10:00\n欢迎使用\n系统消息  2026-01-02 11:00\n今晚维护"));
  EXPECT_EQ(PageLabel(form)->text(), QStringLiteral("第1of1页"));
  EXPECT_FALSE(PageLabel(form)->isVisibleTo(form));
  EXPECT_TRUE(IsHeading(form, 2));
  EXPECT_FALSE(IsHeading(form, 1));

  // No keeps the file; yes deletes the system messages only.
  auto asked = std::make_shared<QString>();
  AnswerNext(false, asked);
  ButtonOf(form, "DeleteButton")->click();
  EXPECT_EQ(*asked, QStringLiteral("你确定清空系统消息记录？"));
  EXPECT_TRUE(std::filesystem::exists(SystemFile()));
  EXPECT_FALSE(RecordView(form)->toPlainText().isEmpty());
  AnswerNext(true, asked);
  ButtonOf(form, "DeleteButton")->click();
  EXPECT_FALSE(std::filesystem::exists(SystemFile()));
  EXPECT_TRUE(RecordView(form)->toPlainText().isEmpty());
  EXPECT_TRUE(std::filesystem::exists(RecordFile(10002)));
  EXPECT_FALSE(ButtonOf(form, "DeleteButton")->isEnabled());

  // A friend: the other question, the friend's file.
  form = OpenRecords(0x70007, 10002);
  EXPECT_EQ(RecordView(form)->toPlainText(), QStringLiteral("小红 03/04 05:06:07\n你好"));
  AnswerNext(true, asked);
  ButtonOf(form, "DeleteButton")->click();
  EXPECT_EQ(*asked, QStringLiteral("你确定清空选中用户的聊天记录？"));
  EXPECT_FALSE(std::filesystem::exists(RecordFile(10002)));
  EXPECT_TRUE(RecordView(form)->toPlainText().isEmpty());

  // Files that do not exist leave the view empty: the deleted one, a friend who never had one,
  // the system messages (a group heading shows them too).
  Tree(form)->setCurrentItem(Node(form, QStringLiteral("小刚[10003]")));
  EXPECT_TRUE(RecordView(form)->toPlainText().isEmpty());
  EXPECT_EQ(PageButtons(form), "0000");
  Tree(form)->setCurrentItem(Node(form, QStringLiteral("小红[10002]")));
  EXPECT_TRUE(RecordView(form)->toPlainText().isEmpty());
  Tree(form)->setCurrentItem(Tree(form)->topLevelItem(0));
  EXPECT_TRUE(RecordView(form)->toPlainText().isEmpty());
  EXPECT_FALSE(ButtonOf(form, "ExportButton")->isEnabled());
}

TEST_F(ChatRecordWindowTest, ExportsEveryRecordAsRtfOrTextAndSaysWhenItCannot) {
  QTextCharFormat red;
  red.setForeground(QColor(0xCC, 0, 0));
  red.setFontWeight(QFont::Bold);
  const QString first = QString::fromUtf8("你好，世界 {a\\b} \xF0\x9F\x98\x80");
  std::vector<std::pair<QString, std::string>> messages = {
      {QStringLiteral("小红 03/04 05:06:07"), RecordDocument(first, red)},
      {QStringLiteral("我 03/04 05:06:09"), RecordDocument(QStringLiteral("第二句 http://example.com/a"))}};
  // More than a page: the export takes every record, not the page shown.
  for (int i = 0; i < 10; ++i)
    messages.emplace_back(QStringLiteral("我 03/04 06:00:%1").arg(i, 2, 10, QLatin1Char('0')),
                          RecordDocument(QStringLiteral("消息%1").arg(i)));
  WriteMessages(10002, messages);
  WriteSystemMessages({"系统消息  2026-01-01 10:00", "欢迎使用"});
  ASSERT_NO_FATAL_FAILURE(SignInAs(10001));
  ASSERT_TRUE(RunUntil([] { return Friend(10002) != nullptr; }));
  // An emoticon, which the view shows as its picture: RTF gets the picture, text its hot key.
  const QStringList hot_keys = TEmoteTable::Current().HotKeys();
  ASSERT_FALSE(hot_keys.isEmpty()) << "the emoticon plug-in is not built";
  messages.emplace_back(QStringLiteral("小红 03/04 07:00:00"),
                        RecordDocument(QStringLiteral("表情") + hot_keys.first()));
  WriteMessages(10002, {messages.back()});
  QWidget* form = OpenRecords(0x70007, 10002);
  ASSERT_TRUE(form);
  ASSERT_EQ(PageLabel(form)->text(), QStringLiteral("第2of2页"));
  const QString shown = RecordView(form)->toPlainText();
  const TestDir out;
  const auto name = [&](const char* file) { return QString::fromStdString((out.path() / file).string()); };

  // A cancelled dialog changes nothing.
  Export(form, QString());
  Pause(200);
  EXPECT_TRUE(std::filesystem::is_empty(out.path()));
  EXPECT_TRUE(Messages().empty());

  QString expected;
  for (const auto& [heading, document] : messages) {
    QTextDocument body;
    body.setHtml(QString::fromStdString(document));
    expected += heading + u'\n' + body.toPlainText() + u'\n';
  }
  // ".txt": plain text, every record.
  Export(form, name("记录.txt"));
  ASSERT_TRUE(MessageShown(QStringLiteral("聊天记录导出成功。")));
  EXPECT_EQ(QString::fromStdString(FileText(out.path() / "记录.txt")), expected);

  // ".RTF" in capitals is RTF; read back, the text is all there.
  Export(form, name("记录.RTF"));
  ASSERT_TRUE(RunUntil([] { return MessagesSaying(QStringLiteral("聊天记录导出成功。")) == 2; }));
  const std::string rtf = FileText(out.path() / "记录.RTF");
  EXPECT_EQ(rtf.rfind("{\\rtf1", 0), 0u);
  EXPECT_NE(rtf.find("{\\pict\\pngblip"), std::string::npos);
  const QString back = UnrtfText(out.path() / "记录.RTF");
  for (const auto& [heading, document] : messages) EXPECT_TRUE(back.contains(heading)) << back.toStdString();
  EXPECT_TRUE(back.contains(first)) << back.toStdString();
  EXPECT_TRUE(back.contains(QStringLiteral("消息9"))) << back.toStdString();
  // The hidden view is emptied again, the one shown is as it was.
  EXPECT_TRUE(form->findChild<QTextBrowser*>(QStringLiteral("ExportView"))->document()->isEmpty());
  EXPECT_EQ(RecordView(form)->toPlainText(), shown);

  // A write that fails says so, and not that it worked.
  Export(form, name("no-such-folder/记录.rtf"));
  ASSERT_TRUE(RunUntil([] {
    for (const QString& t : Messages())
      if (t.startsWith(QStringLiteral("聊天记录导出失败"))) return true;
    return false;
  }));
  EXPECT_EQ(MessagesSaying(QStringLiteral("聊天记录导出成功。")), 2);

  // The system messages, every line.
  form = OpenRecords(0x70008, 0);
  Export(form, name("系统.txt"));
  ASSERT_TRUE(RunUntil([] { return MessagesSaying(QStringLiteral("聊天记录导出成功。")) == 3; }));
  EXPECT_EQ(FileText(out.path() / "系统.txt"), "系统消息  2026-01-01 10:00\n欢迎使用\n");
}

TEST_F(ChatRecordWindowTest, TheSaveDialogProposesRtfAndTheTextFilterGivesTxt) {
  WriteMessages(10002, {{QStringLiteral("小红 03/04 05:06:07"), RecordDocument(QStringLiteral("你好"))}});
  ASSERT_NO_FATAL_FAILURE(SignInAs(10001));
  ASSERT_TRUE(RunUntil([] { return Friend(10002) != nullptr; }));
  QWidget* form = OpenRecords(0x70007, 10002);
  ASSERT_TRUE(form);
  const TestDir out;
  // Answers the next save dialog with `name` (no extension) under the filter `filter`.
  auto answer = [&](const QString& filter, const QString& name, QString* title, QStringList* filters) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [=, dir = out.path()] {
      for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QFileDialog*>(window);
        if (!dialog || !dialog->isVisible()) continue;
        *title = dialog->windowTitle();
        *filters = dialog->nameFilters();
        dialog->selectNameFilter(filter);
        emit dialog->filterSelected(filter);  // as the filter box does when the user picks one
        dialog->selectFile(QString::fromStdString((dir / name.toStdString()).string()));
        static_cast<QDialog*>(dialog)->accept();  // the "保存" button
        timer->deleteLater();
        return;
      }
    });
    timer->start(20);
  };
  QString title;
  QStringList filters;
  answer(QStringLiteral("文本文件 (*.txt)"), QStringLiteral("纪录"), &title, &filters);
  ButtonOf(form, "ExportButton")->click();
  EXPECT_EQ(title, QStringLiteral("保存聊天纪录"));
  EXPECT_EQ(filters, QStringList({QStringLiteral("Word文档 (*.rtf)"), QStringLiteral("文本文件 (*.txt)")}));
  ASSERT_TRUE(MessageShown(QStringLiteral("聊天记录导出成功。")));
  EXPECT_EQ(FileText(out.path() / "纪录.txt"), "小红 03/04 05:06:07\n你好\n");
  answer(QStringLiteral("Word文档 (*.rtf)"), QStringLiteral("纪录"), &title, &filters);
  ButtonOf(form, "ExportButton")->click();
  ASSERT_TRUE(RunUntil([] { return MessagesSaying(QStringLiteral("聊天记录导出成功。")) == 2; }));
  EXPECT_EQ(FileText(out.path() / "纪录.rtf").rfind("{\\rtf1", 0), 0u);
}

// A picture of the record window for a person to look at: run under an X server with
// KIV_CHAT_SHOTS=<folder> (and QT_QPA_PLATFORM=xcb; QT_SCALE_FACTOR=2 for 200 %). Skipped otherwise.
TEST_F(ChatRecordWindowTest, Screenshot) {
  const char* folder = std::getenv("KIV_CHAT_SHOTS");
  if (!folder) GTEST_SKIP() << "KIV_CHAT_SHOTS is not set";
  QTextCharFormat blue;
  blue.setForeground(QColor(0, 0, 0xA0));
  blue.setFontPointSize(12);
  QTextCharFormat bold;
  bold.setFontWeight(QFont::Bold);
  bold.setFontFamilies({QStringLiteral("DejaVu Serif")});
  const std::vector<QString> lines = {
      QStringLiteral("晚上一起去吃火锅吗？"),
      QStringLiteral("好啊，几点？"),
      QStringLiteral("七点，老地方。顺便把上次借的书带来，我下周要用，里面还有我做的笔记，别弄丢了哦。"),
      QStringLiteral("没问题 http://example.com/map"),
      QStringLiteral("路上堵车，可能要晚十分钟到，你们先点菜吧，我要微辣的锅底和一份毛肚。"),
  };
  std::vector<std::pair<QString, std::string>> messages;
  for (int i = 0; i < 25; ++i) {
    const bool mine = i % 2 == 1;
    const QString heading = QStringLiteral("%1 03/%2 19:%3:05")
                                .arg(mine ? QStringLiteral("我") : QStringLiteral("小红"))
                                .arg(4 + i / 10, 2, 10, QLatin1Char('0'))
                                .arg(i * 2, 2, 10, QLatin1Char('0'));
    messages.emplace_back(heading, RecordDocument(lines[static_cast<std::size_t>(i) % lines.size()],
                                                  i % 3 == 0   ? blue
                                                  : i % 3 == 1 ? bold
                                                               : QTextCharFormat()));
  }
  WriteMessages(10002, messages);
  ASSERT_NO_FATAL_FAILURE(SignInAs(10001));
  ASSERT_TRUE(RunUntil([] { return Friend(10002) != nullptr; }));
  const QStringList hot_keys = TEmoteTable::Current().HotKeys();
  if (hot_keys.size() >= 2)
    WriteMessages(10002, {{QStringLiteral("小红 03/06 19:50:05"),
                           RecordDocument(QStringLiteral("好的，一会儿见") + hot_keys[0] + hot_keys[1])}});
  QWidget* form = OpenRecords(0x70007, 10002);
  ASSERT_TRUE(form);
  form->move(0, 0);
  Pause(800);
  const std::filesystem::path out = folder;
  std::filesystem::create_directories(out);
  ASSERT_TRUE(form->grab().save(QString::fromStdString((out / "record-window-last-page.png").string())));
  ButtonOf(form, "PrevPageButton")->click();
  Pause(300);
  ASSERT_TRUE(form->grab().save(QString::fromStdString((out / "record-window-middle-page.png").string())));
  form->resize(520, 360);
  Pause(300);
  ASSERT_TRUE(form->grab().save(QString::fromStdString((out / "record-window-small.png").string())));
}

// The second real client of TwoRealClientsChatAndEachRecordsBothMessages: the test runs this binary
// again with this test alone, pointed at its server. It signs in as 10002, waits for the first
// client's message, answers it through its own window and writes its records where it was told.
class SecondClient : public ClientTest {
 protected:
  void SetUp() override {
    if (!std::getenv("KIV_CHAT_PEER_LOGIN_PORT")) GTEST_SKIP() << "started by the two-client test";
    ClientTest::SetUp();
    const std::filesystem::path bin = KIV_BIN_DIR;
    for (const char* plugin : {"KivFriend.so", "KivChat.so"})
      std::filesystem::copy_file(bin / "Plugins" / plugin, app_.path() / "Plugins" / plugin);
    std::filesystem::create_directory_symlink(bin / "EmoteInfo", app_.path() / "EmoteInfo");
    const char* web_port = std::getenv("KIV_CHAT_PEER_WEB_PORT");
    WriteConfig(static_cast<std::uint16_t>(std::atoi(std::getenv("KIV_CHAT_PEER_LOGIN_PORT"))),
                static_cast<std::uint16_t>(web_port ? std::atoi(web_port) : 0));
  }
  // Signs the program in as 10002, the first client's friend.
  void SignInAsTheFriend() {
    StartClient();
    ASSERT_TRUE(LoginWindowShown());
    PressLogin(QStringLiteral("10002"), QStringLiteral("kivora"));
    ASSERT_TRUE(SignedIn());
  }
  // Opens the chat window with the first client (10001) as a double-click on the friend does; null
  // when none shows.
  static QWidget* OpenChatWithTheFirstClient() {
    std::uint32_t code = 10001;
    PluginManager->DealMessage("KivChat", 0x70005, &code, sizeof code);
    QWidget* form = nullptr;
    RunUntil([&] {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("ChatForm") && w->isVisible()) form = w;
      return form != nullptr;
    });
    return form;
  }
  std::vector<std::string> Records() const {
    auto records = chat::LoadChatRecords(chat::ChatRecordPath(app_.path() / "10002", 10001), 10002);
    return records ? *records : std::vector<std::string>{};
  }
};

TEST_F(SecondClient, DISABLED_AnswersTheFirstClient) {
  const std::filesystem::path out = std::getenv("KIV_CHAT_PEER_OUT");
  ASSERT_NO_FATAL_FAILURE(SignInAsTheFriend());
  ASSERT_TRUE(RunUntil([this] { return Records().size() == 2; }, 120000));
  QWidget* form = OpenChatWithTheFirstClient();
  ASSERT_TRUE(form);
  auto* input = form->findChild<QTextEdit*>(QStringLiteral("ChatInput"));
  QTextCursor cursor(input->document());
  QTextCharFormat font;
  font.setFontFamilies({QStringLiteral("DejaVu Sans Mono")});
  cursor.insertText(QStringLiteral("回复 https://example.org/r"), font);
  form->findChild<QPushButton*>(QStringLiteral("SendButton"))->click();
  ASSERT_TRUE(RunUntil([this] { return Records().size() == 4; }));
  std::ofstream result(out.string() + ".part", std::ios::binary);
  for (const std::string& r : Records()) result << r << "\n----\n";
  result.close();
  std::filesystem::rename(out.string() + ".part", out);
  // The answer is on its way; the first client ends this one by signing out.
  RunUntil([] { return false; }, 3000);
}

TEST_F(ChatClientTest, TwoRealClientsChatAndEachRecordsBothMessages) {
  TestDir out_dir;
  const std::filesystem::path out = out_dir.path() / "peer-records";
  QProcess peer;
  QProcessEnvironment env;
  env.insert(QStringLiteral("KIV_CHAT_PEER_OUT"), QString::fromStdString(out.string()));
  StartSecondClient(peer, QStringLiteral("SecondClient.DISABLED_AnswersTheFirstClient"), env,
                    QProcess::ForwardedChannels);
  ASSERT_TRUE(peer.waitForStarted(20000));
  // The other client signs in first, so that this one dials it.
  RunUntil([] { return false; }, 4000);
  ASSERT_NO_FATAL_FAILURE(SignInAs(10001));
  ASSERT_TRUE(
      RunUntil([] { return Friend(10002) && Friend(10002)->remote && Friend(10002)->state == 1; }, 60000));
  QWidget* form = OpenChat(10002);
  ASSERT_TRUE(form);
  const QString hot_key = ComposeRichMessage(form);
  Press(form, "SendButton");
  ASSERT_TRUE(RecordCountIs(10002, 2));
  ASSERT_TRUE(RunUntil(
      [&] { return View(form)->toPlainText().contains(QStringLiteral("回复 https://example.org/r")); },
      60000));
  ASSERT_TRUE(RecordCountIs(10002, 4));
  EXPECT_NE(Records(10002)[3].find("DejaVu Sans Mono"), std::string::npos);
  ASSERT_TRUE(RunUntil([&] { return std::filesystem::exists(out); }, 30000));
  std::ifstream in(out, std::ios::binary);
  const std::string theirs((std::istreambuf_iterator<char>(in)), {});
  // The other side recorded the message as sent (fonts, hot key, link) and its own answer.
  EXPECT_NE(theirs.find("DejaVu Serif"), std::string::npos) << theirs;
  EXPECT_NE(theirs.find("http://example.com/a"), std::string::npos);
  EXPECT_NE(theirs.find(hot_key.toHtmlEscaped().toStdString()), std::string::npos);
  EXPECT_NE(theirs.find("回复"), std::string::npos);
  EXPECT_NE(theirs.find("href=\"https://example.org/r\""), std::string::npos);
  EXPECT_TRUE(RunUntil([&] { return peer.state() == QProcess::NotRunning; }, 60000));
  EXPECT_EQ(peer.exitCode(), 0);
}

}  // namespace
}  // namespace kiv

namespace kiv {
namespace {

TEST_F(ChatClientTest, FilesGoBothWaysThroughTheWindowAndClosingItAbortsASend) {
  TProtocolClient b;
  TProtocolClient::SignIn sb;
  std::uint16_t to_a = 0;
  ASSERT_NO_FATAL_FAILURE(ConnectFriend(b, sb, to_a));
  QWidget* form = OpenChat(10002);
  ASSERT_TRUE(form);

  // The friend offers a file whose name climbs out of the folder; it lands inside the receive folder.
  Bytes content(20000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7);
  const std::uint32_t their_id = 10002 + 100000;
  ASSERT_TRUE(b.Send(to_a, FileOffer(their_id, kFileStepOffer, 20000, "../../x.bin")));
  ASSERT_TRUE(ViewShows(form, QStringLiteral("对方想要传送给你文件x.bin(20K)，是否同意？")));
  ASSERT_TRUE(ClickFileLink(form, their_id, "yes"));
  auto accept = Await(b, cw::kOperate);
  ASSERT_TRUE(accept);
  EXPECT_EQ(cw::ReadOperateMessage(*accept)->step, kFileStepAccept);
  EXPECT_EQ(cw::ReadOperateMessage(*accept)->value, 0u);
  for (std::uint32_t offset = 0; offset < 20000; offset += 6000) {
    const std::uint32_t n = std::min<std::uint32_t>(6000, 20000 - offset);
    Bytes block;
    EncodeFileBlock(block, 10001, 10002, their_id, offset, offset + n == 20000,
                    std::span(content).subspan(offset, n));
    ASSERT_TRUE(b.SendOn(to_a, block, kFirstFileChannel));
  }
  ASSERT_TRUE(ViewShows(form, QStringLiteral("文件x.bin已经接收完毕。")));
  const std::filesystem::path received = GlobalManager->ReceiveFolder() / "x.bin";
  {
    std::ifstream in(received, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), content);
  }

  // The user pastes a copied file into the input: it is offered, and sent once the friend accepts.
  const std::filesystem::path outgoing = data_.path() / "report.bin";
  {
    std::ofstream out(outgoing, std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()), 13000);
  }
  auto* mime = new QMimeData;
  mime->setUrls({QUrl::fromLocalFile(QString::fromStdString(outgoing.string()))});
  QApplication::clipboard()->setMimeData(mime);
  QKeyEvent paste(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier);
  QApplication::sendEvent(Input(form), &paste);
  auto offer = Await(b, cw::kOperate);
  ASSERT_TRUE(offer);
  auto op = cw::ReadOperateMessage(*offer);
  ASSERT_TRUE(op);
  EXPECT_EQ(op->kind, kOperateFile);
  EXPECT_EQ(op->step, kFileStepOffer);
  EXPECT_EQ(op->value, 13000u);
  EXPECT_EQ(op->file_name, "report.bin");
  ASSERT_TRUE(b.Send(to_a, FileOffer(op->id, kFileStepAccept, 0, op->file_name)));
  Bytes got;
  bool last = false;
  ASSERT_TRUE(RunUntil([&] {
    while (auto m = b.WaitFor(cw::kFileData, to_a, 0)) {
      auto block = DecodeFileBlock(*m);
      if (!block || block->offset != got.size()) return true;
      got.insert(got.end(), block->data.begin(), block->data.end());
      last = block->last;
    }
    return last;
  }));
  EXPECT_EQ(got, Bytes(content.begin(), content.begin() + 13000));
  EXPECT_TRUE(ViewShows(form, QStringLiteral("文件report.bin传送完毕。")));

  // A big send runs while the window closes: the friend is told step 5.
  const std::filesystem::path big = data_.path() / "big.bin";
  {
    std::ofstream out(big, std::ios::binary);
    out.write(std::string(8u << 20, 'b').data(), 8u << 20);
  }
  auto* big_mime = new QMimeData;
  big_mime->setUrls({QUrl::fromLocalFile(QString::fromStdString(big.string()))});
  QApplication::clipboard()->setMimeData(big_mime);
  QApplication::sendEvent(Input(form), &paste);
  offer = Await(b, cw::kOperate);
  ASSERT_TRUE(offer);
  op = cw::ReadOperateMessage(*offer);
  ASSERT_TRUE(b.Send(to_a, FileOffer(op->id, kFileStepAccept, 0, op->file_name)));
  ASSERT_TRUE(Await(b, cw::kFileData, to_a));
  form->close();
  std::optional<cw::TOperateMessage> end;
  ASSERT_TRUE(RunUntil([&] {
    while (auto m = b.WaitFor(cw::kOperate, 0, 0))
      if (auto o = cw::ReadOperateMessage(*m); o && o->id == op->id) end = o;
    while (b.WaitFor(cw::kFileData, to_a, 0)) {
    }
    return end.has_value();
  }));
  EXPECT_EQ(end->step, kFileStepAbort);
  EXPECT_TRUE(RunUntil([] { return ChatWindow(10002) == nullptr; }));
}

// ---- files between two real clients ------------------------------------------------------------

// The second real client of the two-client file tests (10002, the sender). It prints "peer: LINE"
// on stdout: "signed-in"; "ready" once its window on 10001 is open over a direct connection; "view
// TEXT" whenever its conversation changes (lines joined by " | "); "carried N" and "bye". It takes
// commands on stdin: "offer PATH" pastes the file into its input as a user would; "count" waits
// until nothing waits on the file channels (11 to 20) to 10001 and prints the bytes they carried,
// as the transport's diagnostics window "UDP信息" shows them; "quit".
class FileSender : public SecondClient {
 protected:
  static void Say(const std::string& line) { std::cout << "peer: " << line << std::endl; }

  // The bytes the file channels to `handle` carried; nothing while some still wait.
  static std::optional<std::uint64_t> FileChannelBytes(std::uint16_t handle) {
    UDPViewInfo();
    QWidget* info = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->windowTitle() == QStringLiteral("UDP信息")) info = w;
    if (!info) return std::nullopt;
    for (auto* button : info->findChildren<QPushButton*>())
      if (button->text() == QStringLiteral("刷新")) button->click();
    auto* table = info->findChild<QTreeWidget*>();
    bool ours = false;
    std::uint64_t queued = 0, carried = 0;
    for (int i = 0; i < table->topLevelItemCount(); ++i) {
      const QTreeWidgetItem* row = table->topLevelItem(i);
      if (!row->text(0).isEmpty()) {  // a peer row; its channel rows follow it
        ours = row->text(1).toUInt() == handle;
        continue;
      }
      const unsigned channel = row->text(7).toUInt();
      if (!ours || channel < kFirstFileChannel || channel > kLastFileChannel) continue;
      queued += row->text(9).section(QLatin1Char('/'), 1).toULongLong();
      carried += row->text(10).section(QLatin1Char('/'), 1).toULongLong();
    }
    if (queued != 0) return std::nullopt;
    return carried;
  }
};

TEST_F(FileSender, DISABLED_SendsFilesOnRequest) {
  ASSERT_NO_FATAL_FAILURE(SignInAsTheFriend());
  Say("signed-in");
  auto direct = [] {
    const TFriend* a = GlobalManager->GetFriendInfo(10001);
    return a && a->remote != 0 && a->state == 1;
  };
  ASSERT_TRUE(RunUntil(direct, 120000));
  QWidget* form = OpenChatWithTheFirstClient();
  ASSERT_TRUE(form);
  auto* view = form->findChild<QTextBrowser*>(QStringLiteral("ChatView"));
  auto* input = form->findChild<QTextEdit*>(QStringLiteral("ChatInput"));
  Say("ready");

  kiv::testing::TStdinLines commands;

  QString shown;
  for (bool quit = false; !quit;) {
    RunUntil([] { return false; }, 20);
    if (const QString now = view->toPlainText(); now != shown) {
      shown = now;
      Say("view " + QString(now).replace(QLatin1Char('\n'), QStringLiteral(" | ")).toStdString());
    }
    const std::string command = commands.Next();
    if (command.starts_with("offer ")) {
      auto* mime = new QMimeData;
      mime->setUrls({QUrl::fromLocalFile(QString::fromStdString(command.substr(6)))});
      QApplication::clipboard()->setMimeData(mime);
      QKeyEvent paste(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier);
      QApplication::sendEvent(input, &paste);
    } else if (command == "count") {
      const auto handle = static_cast<std::uint16_t>(GlobalManager->GetFriendInfo(10001)->remote & 0xFFFF);
      std::optional<std::uint64_t> carried;
      ASSERT_TRUE(RunUntil([&] { return (carried = FileChannelBytes(handle)).has_value(); }));
      Say("carried " + std::to_string(*carried));
    } else if (command == "quit") {
      quit = true;
    }
  }
  TearDown();
  RunUntil([] { return !GlobalManager; });
  Say("bye");
}

// The first client's side: 10001 receives what the second client, a real client in a process of
// its own, offers through its window.
class TwoClientFiles : public ChatClientTest {
 protected:
  void SetUp() override {
    ChatClientTest::SetUp();
    if (IsSkipped()) return;
    StartSecondClient(peer_, QStringLiteral("FileSender.DISABLED_SendsFilesOnRequest"), {},
                      QProcess::ForwardedErrorChannel);
    ASSERT_TRUE(peer_.waitForStarted(20000));
    // The other client signs in first, so that this one dials it.
    ASSERT_TRUE(Saw("signed-in"));
    ASSERT_NO_FATAL_FAILURE(SignInAs(10001));
    ASSERT_TRUE(
        RunUntil([] { return Friend(10002) && Friend(10002)->remote && Friend(10002)->state == 1; }, 60000));
    ASSERT_TRUE(Saw("ready"));
  }
  void TearDown() override {
    if (peer_.state() != QProcess::NotRunning) {
      Tell("quit");
      if (!Saw("bye") || !peer_.waitForFinished(20000)) peer_.kill();
      peer_.waitForFinished(10000);
    }
    ChatClientTest::TearDown();
  }

  void Tell(const std::string& command) {
    peer_.write((command + "\n").c_str());
    peer_.waitForBytesWritten(5000);
  }
  // Waits, with this client's event loop running, for a line of the other client that `match` takes.
  template <typename Match>
  bool SawLine(Match match, int limit_ms = 60000) {
    bool found = false;
    RunUntil(
        [&] {
          buffer_ += peer_.readAllStandardOutput().toStdString();
          for (std::size_t end; (end = buffer_.find('\n')) != std::string::npos; buffer_.erase(0, end + 1)) {
            const std::string line = buffer_.substr(0, end);
            if (line.starts_with("peer: "))
              lines_.push_back(line.substr(6));
            else
              std::cerr << line << "\n";  // the other client's own test output
          }
          while (!found && seen_ < lines_.size()) found = match(lines_[seen_++]);
          return found;
        },
        limit_ms);
    return found;
  }
  bool Saw(const std::string& line) {
    return SawLine([&](const std::string& l) { return l == line; });
  }
  // The other client's conversation shows `text`.
  bool PeerShows(const QString& text) {
    const std::string t = text.toStdString();
    return SawLine(
        [&](const std::string& l) { return l.starts_with("view ") && l.find(t) != std::string::npos; });
  }
  std::uint64_t Carried() {
    Tell("count");
    std::uint64_t n = 0;
    EXPECT_TRUE(SawLine([&](const std::string& l) {
      if (!l.starts_with("carried ")) return false;
      n = std::stoull(l.substr(8));
      return true;
    }));
    return n;
  }

  // The operation id of the last file hot link of `action` in the view; 0 when there is none.
  static std::uint32_t LastFileLink(QWidget* form, const char* action) {
    std::uint32_t id = 0;
    QTextDocument* doc = View(form)->document();
    for (QTextBlock block = doc->begin(); block.isValid(); block = block.next())
      for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QStringList parts = it.fragment().charFormat().anchorHref().split(QLatin1Char(':'));
        if (parts.size() == 3 && parts[0] == QLatin1String("file") && parts[2] == QLatin1String(action))
          id = parts[1].toUInt();
      }
    return id;
  }
  // Waits for the window on 10002 to show an offer, and returns it with its operation id.
  static std::pair<QWidget*, std::uint32_t> OfferShown(const QString& line) {
    QWidget* form = nullptr;
    std::uint32_t id = 0;
    RunUntil([&] {
      form = ChatWindow(10002);
      return form && View(form)->toPlainText().endsWith(line + QStringLiteral(" $Yes$ $No$ $Save$")) &&
             (id = LastFileLink(form, "yes")) != 0;
    });
    return {form, id};
  }
  // Answers the next "接收文件" save dialog with `path`.
  static void AnswerSaveDialog(const std::filesystem::path& path) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, path] {
      for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QFileDialog*>(window);
        if (!dialog || !dialog->isVisible()) continue;
        dialog->setDirectory(QString::fromStdString(path.parent_path().string()));
        dialog->selectFile(QString::fromStdString(path.filename().string()));
        static_cast<QDialog*>(dialog)->accept();  // as the dialog's own button does
        timer->deleteLater();
        return;
      }
    });
    timer->start(20);
  }
  // With KIV_CHAT_SHOTS=<folder> (run by hand under Xvfb): `window` saved as <folder>/<name>.png.
  static void Shot(QWidget* window, const char* name) {
    if (const char* folder = std::getenv("KIV_CHAT_SHOTS"))
      window->grab().save(QString::fromStdString((std::filesystem::path(folder) / name).string() + ".png"));
  }
  // With KIV_CHAT_SHOTS set: the next question window is saved before it is answered.
  static void ShotOfNextQuestion(const char* name) {
    if (!std::getenv("KIV_CHAT_SHOTS")) return;
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, name] {
      for (QWidget* window : QApplication::topLevelWidgets())
        if (qobject_cast<QMessageBox*>(window) && window->isVisible()) {
          Shot(window, name);
          timer->deleteLater();
          return;
        }
    });
    timer->start(2);
  }
  static Bytes Content(std::size_t size, std::uint32_t seed) {
    Bytes b(size);
    std::uint32_t x = seed;
    for (auto& c : b) c = static_cast<std::uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    return b;
  }
  static Bytes ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  std::filesystem::path Outgoing(const std::string& name, const Bytes& content) const {
    const std::filesystem::path path = data_.path() / "outgoing" / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    return path;
  }

  QProcess peer_;
  std::string buffer_;
  std::vector<std::string> lines_;
  std::size_t seen_ = 0;
};

TEST_F(TwoClientFiles, OffersAreAcceptedIntoTheReceiveFolderOrWhereTheUserSavesOrRefused) {
  const std::filesystem::path folder = GlobalManager->ReceiveFolder();
  EXPECT_EQ(folder, app_.path() / "10001" / "接受到的文件");

  // A name that is no bare file name here arrives through the safe-name reduction, into the
  // receive folder; the hidden window it opens raises a desktop notice.
  const Bytes minutes = Content(6001, 1);
  Tell("offer " + Outgoing("会议:纪要\t.txt", minutes).string());
  QWidget* form = nullptr;
  std::uint32_t id = 0;
  std::tie(form, id) = OfferShown(QStringLiteral("对方想要传送给你文件会议_纪要.txt(6K)，是否同意？"));
  ASSERT_TRUE(form);
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(RunUntil([] {
    return NoticeText() ==
           QStringLiteral("    好友小红(10002)向你发出了文件传输请求。文件是:会议_纪要.txt(6K)");
  }));
  ASSERT_TRUE(ClickFileLink(form, id, "yes"));
  ASSERT_TRUE(ViewShows(form, QStringLiteral("文件会议_纪要.txt已经接收完毕。")));
  EXPECT_TRUE(ViewShows(form, QStringLiteral("保存在") +
                                  QString::fromStdString((folder / "会议_纪要.txt").string()) +
                                  QStringLiteral(",是否打开？ $Open$ $OpenDir$")));
  EXPECT_EQ(ReadAll(folder / "会议_纪要.txt"), minutes);
  EXPECT_TRUE(PeerShows(QStringLiteral("传送完毕。")));

  // "$Save$": the user picks another folder and name; an empty file completes there.
  const std::filesystem::path chosen = data_.path() / "chosen" / "空白.txt";
  std::filesystem::create_directories(chosen.parent_path());
  Tell("offer " + Outgoing("empty.txt", {}).string());
  std::tie(form, id) = OfferShown(QStringLiteral("对方想要传送给你文件empty.txt(1K)，是否同意？"));
  ASSERT_TRUE(form);
  AnswerSaveDialog(chosen);
  ASSERT_TRUE(ClickFileLink(form, id, "save"));
  ASSERT_TRUE(ViewShows(form, QStringLiteral("文件empty.txt已经接收完毕。")));
  EXPECT_TRUE(std::filesystem::exists(chosen));
  EXPECT_EQ(std::filesystem::file_size(chosen), 0u);
  EXPECT_FALSE(std::filesystem::exists(folder / "empty.txt"));

  // A refused offer leaves no file, and the sender is told.
  Tell("offer " + Outgoing("refused.bin", Content(30000, 2)).string());
  std::tie(form, id) = OfferShown(QStringLiteral("对方想要传送给你文件refused.bin(29K)，是否同意？"));
  ASSERT_TRUE(form);
  ASSERT_TRUE(ClickFileLink(form, id, "refuse"));
  EXPECT_TRUE(ViewShows(form, QStringLiteral("你拒绝了文件refused.bin(29K)的传送请求。")));
  EXPECT_TRUE(PeerShows(QStringLiteral("文件refused.bin(29K)传送请求被拒绝了。")));
  EXPECT_FALSE(std::filesystem::exists(folder / "refused.bin"));
  EXPECT_FALSE(LastFileLink(form, "yes") == id);
  // Finished transfers leave no running line or figure behind.
  EXPECT_FALSE(View(form)->toPlainText().contains(QStringLiteral("正在传输")));
  EXPECT_FALSE(View(form)->toPlainText().contains(QStringLiteral("已经传送")));
  form->show();
  Shot(form, "file-received-saved-refused");
}

TEST_F(TwoClientFiles, AReceiverThatCancelledMidwayResumesAndOnlyTheRestIsSent) {
  const std::filesystem::path folder = GlobalManager->ReceiveFolder();
  const Bytes content = Content(32u << 20, 3);
  const std::filesystem::path outgoing = Outgoing("big.bin", content);
  const std::filesystem::path received = folder / "big.bin";
  Tell("offer " + outgoing.string());
  QWidget* form = nullptr;
  std::uint32_t id = 0;
  std::tie(form, id) = OfferShown(QStringLiteral("对方想要传送给你文件big.bin(32768K)，是否同意？"));
  ASSERT_TRUE(form);
  ASSERT_TRUE(ClickFileLink(form, id, "yes"));
  // Cancelled as soon as the first blocks are written (blocks are written between two looks).
  std::error_code ec;
  ASSERT_TRUE(RunUntil([&] { return std::filesystem::file_size(received, ec) >= 6000 && !ec; }, 60000));
  ASSERT_TRUE(ClickFileLink(form, id, "cancel"));
  EXPECT_TRUE(ViewShows(form, QStringLiteral("你中止了文件big.bin(32768K)的传送。")));
  const std::uint64_t kept = std::filesystem::file_size(received);
  ASSERT_GT(kept, 0u);
  ASSERT_LT(kept, content.size());
  EXPECT_EQ(ReadAll(received), Bytes(content.begin(), content.begin() + static_cast<std::ptrdiff_t>(kept)));
  // The sender stopped; what it had queued drains before the count is taken.
  ASSERT_TRUE(PeerShows(QStringLiteral("对方中止了文件big.bin(32768K)的传送。")));
  const std::uint64_t before = Carried();

  // The same file offered again: the user resumes it.
  Tell("offer " + outgoing.string());
  std::tie(form, id) = OfferShown(QStringLiteral("对方想要传送给你文件big.bin(32768K)，是否同意？"));
  ASSERT_TRUE(form);
  ShotOfNextQuestion("file-existing-question");
  AnswerQuestion(true);
  ASSERT_TRUE(ClickFileLink(form, id, "yes"));
  ASSERT_TRUE(RunUntil(
      [&] { return View(form)->toPlainText().contains(QStringLiteral("文件big.bin已经接收完毕。")); },
      300000));
  EXPECT_TRUE(ReadAll(received) == content);
  form->show();
  Shot(form, "file-resumed");
  ASSERT_TRUE(PeerShows(QStringLiteral("文件big.bin传送完毕。")));
  // Only the rest went: its bytes and one 25-byte header per block of at most 6000.
  const std::uint64_t rest = content.size() - kept;
  EXPECT_EQ(Carried() - before, rest + 25 * ((rest + 5999) / 6000));
}
}  // namespace
}  // namespace kiv

// ---- the chat window's own controls ------------------------------------------------------------

namespace kiv {
namespace {

QImage TestPicture() {
  QImage picture(24, 16, QImage::Format_RGB32);
  for (int y = 0; y < picture.height(); ++y)
    for (int x = 0; x < picture.width(); ++x)
      picture.setPixel(x, y, qRgb(x * 10, y * 15, (x + y) % 2 ? 200 : 40));
  return picture;
}

QString PngAddressOf(const QImage& picture) {
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  picture.save(&buffer, "PNG");
  return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64());
}

// The first embedded picture of a received document.
QImage FirstEmbeddedPicture(const QString& html) {
  const qsizetype at = html.indexOf(QStringLiteral("data:image/png;base64,"));
  if (at < 0) return {};
  const qsizetype start = at + 22;
  const qsizetype end = html.indexOf(QLatin1Char('"'), start);
  return QImage::fromData(QByteArray::fromBase64(html.mid(start, end - start).toLatin1()), "PNG");
}

QString Content(const Bytes& message) {
  auto m = chat::wire::ReadTextMessage(message);
  if (!m) return {};
  return QString::fromUtf8(reinterpret_cast<const char*>(m->content.data()),
                           static_cast<qsizetype>(m->content.size()));
}

// The text of the open message window (ShowMessage's notice); empty when none is open.
QString MessageText() {
  for (QWidget* window : QApplication::topLevelWidgets())
    if (window->isVisible())
      if (auto* text = window->findChild<QLabel*>(QStringLiteral("MessageText"))) return text->text();
  return {};
}

void CloseMessages() {
  for (QWidget* window : QApplication::topLevelWidgets())
    if (window->findChild<QLabel*>(QStringLiteral("MessageText"))) window->close();
}

// The document position of the first picture of the conversation; -1 when there is none.
int FirstPicture(QTextBrowser* view) {
  QTextDocument* doc = view->document();
  for (QTextBlock block = doc->begin(); block.isValid(); block = block.next())
    for (auto it = block.begin(); !it.atEnd(); ++it)
      if (it.fragment().charFormat().isImageFormat()) return it.fragment().position();
  return -1;
}

// Opens the conversation's context menu `dx` pixels right of document position `position` and
// returns it (hidden again: its items keep the visibility it was shown with).
QMenu* RightClick(QTextBrowser* view, int position, int dx) {
  auto* menu = view->window()->findChild<QMenu*>(QStringLiteral("ViewMenu"));
  QTextCursor c(view->document());
  c.setPosition(position);
  const QRect r = view->cursorRect(c);
  emit view->customContextMenuRequested(QPoint(r.left() + dx, r.bottom() - 3));
  menu->hide();
  return menu;
}

// Replaces the client's link to the shared emoticon folder by a copy, so that saving into it
// leaves the build alone.
void OwnEmoteFolder(const std::filesystem::path& app) {
  const std::filesystem::path emotes = app / "EmoteInfo";
  std::filesystem::remove(emotes);
  std::filesystem::copy(std::filesystem::path(KIV_BIN_DIR) / "EmoteInfo", emotes,
                        std::filesystem::copy_options::recursive);
}

// The newest custom emoticon file the user saved; empty when none.
std::filesystem::path SavedEmote(const std::filesystem::path& app) {
  std::filesystem::path saved;
  for (const auto& entry : std::filesystem::directory_iterator(app / "EmoteInfo")) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("Img") && name.ends_with(".bmp") &&
        (saved.empty() || name > saved.filename().string()))
      saved = entry.path();
  }
  return saved;
}

using ChatWindowTest = ChatClientTest;

TEST_F(ChatWindowTest, TheSendKeysFollowEnterSends) {
  TProtocolClient b;
  TProtocolClient::SignIn sb;
  std::uint16_t to_a = 0;
  ASSERT_NO_FATAL_FAILURE(ConnectFriend(b, sb, to_a));
  QWidget* form = OpenChat(10002);
  ASSERT_TRUE(form);
  auto* enter_sends = form->findChild<QCheckBox*>(QStringLiteral("EnterSendsBox"));
  ASSERT_TRUE(enter_sends);
  EXPECT_EQ(enter_sends->text(), QStringLiteral("回车发送"));
  const struct {
    bool enter_sends;
    int key;
    Qt::KeyboardModifiers modifiers;
    bool sends;  // otherwise a new line
  } kCases[] = {
      {true, Qt::Key_Return, Qt::NoModifier, true},       {true, Qt::Key_Enter, Qt::KeypadModifier, true},
      {true, Qt::Key_Return, Qt::ControlModifier, false}, {true, Qt::Key_S, Qt::AltModifier, true},
      {false, Qt::Key_Return, Qt::NoModifier, false},     {false, Qt::Key_Return, Qt::ControlModifier, true},
      {false, Qt::Key_S, Qt::AltModifier, true},
  };
  int n = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::Message()
                 << "case " << n << " enter_sends " << c.enter_sends << " key " << c.key);
    enter_sends->setChecked(c.enter_sends);
    EXPECT_EQ(GlobalManager->SetupInfo.EnterSend, c.enter_sends ? 1 : 0);
    const QString text = QStringLiteral("按键%1").arg(n++);
    Input(form)->setPlainText(text);
    Input(form)->moveCursor(QTextCursor::End);
    Pause(600);  // past the too-fast limit of the previous send
    QKeyEvent press(QEvent::KeyPress, c.key, c.modifiers);
    QApplication::sendEvent(Input(form), &press);
    if (c.sends) {
      EXPECT_TRUE(Input(form)->document()->isEmpty());
      auto sent = Await(b, cw::kChatMessage);
      ASSERT_TRUE(sent);
      EXPECT_TRUE(Content(*sent).contains(text));
    } else {
      EXPECT_EQ(Input(form)->document()->blockCount(), 2);
      EXPECT_TRUE(Input(form)->toPlainText().startsWith(text));
    }
  }
  EXPECT_TRUE(NothingArrives(b, cw::kChatMessage));
  // The choice is kept in the setup file.
  enter_sends->setChecked(true);
  std::ifstream setup(GlobalManager->SetupInfoPath(), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(setup)), {});
  ASSERT_GT(bytes.size(), 2113u);
  EXPECT_EQ(bytes[2113], 1);
}

TEST_F(ChatWindowTest, DroppedFilesAreOfferedInOrderAndPastedFilesToo) {
  TProtocolClient b;
  TProtocolClient::SignIn sb;
  std::uint16_t to_a = 0;
  ASSERT_NO_FATAL_FAILURE(ConnectFriend(b, sb, to_a));
  QWidget* form = OpenChat(10002);
  ASSERT_TRUE(form);
  QList<QUrl> urls;
  for (const char* name : {"第一.txt", "second.bin", "third.dat"}) {
    const std::filesystem::path file =
        data_.path() / std::filesystem::path(reinterpret_cast<const char8_t*>(name));
    std::ofstream(file, std::ios::binary) << name;
    urls << QUrl::fromLocalFile(QString::fromStdString(file.string()));
  }
  QMimeData dropped;
  dropped.setUrls(urls.mid(0, 2));
  // As a drag does it: the input takes the drag, then the drop.
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(Input(form)->viewport(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(Input(form)->viewport(), &drop);
  EXPECT_TRUE(drop.isAccepted());
  std::vector<std::string> offered;
  auto next_offer = [&] {
    auto m = Await(b, cw::kOperate);
    if (!m) return false;
    auto op = cw::ReadOperateMessage(*m);
    if (!op || op->kind != kOperateFile || op->step != kFileStepOffer) return false;
    offered.push_back(op->file_name);
    return true;
  };
  ASSERT_TRUE(next_offer());
  ASSERT_TRUE(next_offer());
  EXPECT_EQ(offered, (std::vector<std::string>{"第一.txt", "second.bin"}));

  // A copied file pasted into the input is offered; the input keeps no text of it.
  auto* copied = new QMimeData;
  copied->setUrls({urls[2]});
  QApplication::clipboard()->setMimeData(copied);
  QKeyEvent paste(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier);
  QApplication::sendEvent(Input(form), &paste);
  ASSERT_TRUE(next_offer());
  EXPECT_EQ(offered.back(), "third.dat");
  EXPECT_TRUE(Input(form)->document()->isEmpty());
}

TEST_F(ChatWindowTest, AReceivedPictureSavedAsEmoticonReachesThePeerAsThatPicture) {
  OwnEmoteFolder(app_.path());
  const std::filesystem::path emotes = app_.path() / "EmoteInfo";
  TProtocolClient b;
  TProtocolClient::SignIn sb;
  std::uint16_t to_a = 0;
  ASSERT_NO_FATAL_FAILURE(ConnectFriend(b, sb, to_a));
  QWidget* form = OpenChat(10002);
  ASSERT_TRUE(form);
  const QImage picture = TestPicture();
  ASSERT_TRUE(b.Send(
      to_a, Text(10001, 10002, QStringLiteral("<p>看图 <img src=\"%1\"/> 完</p>").arg(PngAddressOf(picture)),
                 Days(QDateTime::currentDateTime()))));
  ASSERT_TRUE(ViewShows(form, QStringLiteral("看图")));

  const int at = FirstPicture(View(form));
  ASSERT_GE(at, 0);
  QMenu* menu = form->findChild<QMenu*>(QStringLiteral("ViewMenu"));
  auto item = [&](const char* name) { return menu->findChild<QAction*>(QLatin1String(name)); };
  auto right_click = [&](int position, int dx) { RightClick(View(form), position, dx); };
  // On text the picture items are hidden, on the picture they show.
  right_click(at - 2, 0);
  EXPECT_FALSE(item("SaveEmoteItem")->isVisible());
  EXPECT_FALSE(item("SaveFileItem")->isVisible());
  right_click(at, 3);
  ASSERT_TRUE(item("SaveEmoteItem")->isVisible());
  EXPECT_TRUE(item("SaveFileItem")->isVisible());

  // "保存成文件" writes BMP whatever the extension, and says so when the write fails.
  auto save_as = [&](const std::filesystem::path& file) {
    QTimer::singleShot(0, [file] {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QFileDialog*>(w); dialog && dialog->isVisible()) {
          EXPECT_EQ(dialog->windowTitle(), QStringLiteral("保存图片"));
          dialog->selectFile(QString::fromStdString(file.string()));
          QMetaObject::invokeMethod(dialog, "accept");
        }
    });
    item("SaveFileItem")->trigger();
  };
  const std::filesystem::path as_gif = data_.path() / "copy.gif";
  save_as(as_gif);
  {
    QFile file(QString::fromStdString(as_gif.string()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    EXPECT_TRUE(bytes.startsWith("BM"));
    EXPECT_EQ(QImage::fromData(bytes, "BMP").convertToFormat(QImage::Format_RGB32), picture);
  }
  EXPECT_EQ(MessageText(), QString());
  const std::filesystem::path nowhere = data_.path() / "copy.gif" / "inside.bmp";  // under a file
  save_as(nowhere);
  EXPECT_TRUE(MessageText().startsWith(QStringLiteral("图片保存失败："))) << MessageText().toStdString();
  EXPECT_FALSE(std::filesystem::exists(nowhere));
  CloseMessages();

  // A folder that cannot be written is reported, and nothing is claimed.
  std::filesystem::rename(emotes, app_.path() / "EmoteInfo.kept");
  std::ofstream(emotes) << "not a folder";
  item("SaveEmoteItem")->trigger();
  EXPECT_EQ(MessageText(), QStringLiteral("自定义表情保存失败。"));
  CloseMessages();
  std::filesystem::remove(emotes);
  std::filesystem::rename(app_.path() / "EmoteInfo.kept", emotes);

  item("SaveEmoteItem")->trigger();
  EXPECT_EQ(MessageText(), QStringLiteral("自定义表情保存成功。"));
  CloseMessages();
  const std::filesystem::path saved = SavedEmote(app_.path());
  ASSERT_FALSE(saved.empty());
  QFile bmp(QString::fromStdString(saved.string()));
  ASSERT_TRUE(bmp.open(QIODevice::ReadOnly));
  EXPECT_TRUE(bmp.read(2) == "BM");
  EXPECT_EQ(QImage(QString::fromStdString(saved.string())).convertToFormat(QImage::Format_RGB32), picture);

  // Sent as a custom emoticon (a picture without an emoticon name), it arrives as the same picture.
  QTextCursor cursor(Input(form)->document());
  cursor.insertText(QStringLiteral("回你 "));
  ASSERT_TRUE(InsertEmotePicture(cursor, QString(), QString::fromStdString(saved.string())));
  Press(form, "SendButton");
  auto sent = Await(b, cw::kChatMessage);
  ASSERT_TRUE(sent);
  EXPECT_EQ(FirstEmbeddedPicture(Content(*sent)).convertToFormat(QImage::Format_RGB32), picture);
}

// The second real client of APictureSavedAsEmoticonGoesBackToARealClient: it signs in as 10002, sends
// the first client a picture through its window, and writes the record of the answer where it was
// told.
TEST_F(SecondClient, DISABLED_SendsAPictureAndKeepsTheAnswer) {
  const std::filesystem::path out = std::getenv("KIV_CHAT_PEER_OUT");
  ASSERT_NO_FATAL_FAILURE(SignInAsTheFriend());
  ASSERT_TRUE(RunUntil(
      [] {
        const TFriend* a = GlobalManager->GetFriendInfo(10001);
        return a && a->remote && a->state == 1;
      },
      120000));
  QWidget* form = OpenChatWithTheFirstClient();
  ASSERT_TRUE(form);
  const QString picture_file = QString::fromStdString((app_.path() / "photo.png").string());
  ASSERT_TRUE(TestPicture().save(picture_file, "PNG"));
  auto* input = form->findChild<QTextEdit*>(QStringLiteral("ChatInput"));
  QTextCursor cursor(input->document());
  cursor.insertText(QStringLiteral("给你一张图 "));
  ASSERT_TRUE(InsertEmotePicture(cursor, QString(), picture_file));
  form->findChild<QPushButton*>(QStringLiteral("SendButton"))->click();
  ASSERT_TRUE(RunUntil([this] { return Records().size() >= 4; }, 120000));
  std::ofstream result(out.string() + ".part", std::ios::binary);
  result << Records()[3];
  result.close();
  std::filesystem::rename(out.string() + ".part", out);
  RunUntil([] { return false; }, 3000);
}

TEST_F(ChatClientTest, APictureSavedAsEmoticonGoesBackToARealClient) {
  OwnEmoteFolder(app_.path());
  TestDir out_dir;
  const std::filesystem::path out = out_dir.path() / "peer-answer";
  QProcess peer;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("KIV_CHAT_PEER_LOGIN_PORT"), QString::number(server_.Login().port));
  env.insert(QStringLiteral("KIV_CHAT_PEER_OUT"), QString::fromStdString(out.string()));
  peer.setProcessEnvironment(env);
  peer.setProcessChannelMode(QProcess::ForwardedChannels);
  peer.start(QCoreApplication::applicationFilePath(),
             {QStringLiteral("--gtest_also_run_disabled_tests"),
              QStringLiteral("--gtest_filter=SecondClient.DISABLED_SendsAPictureAndKeepsTheAnswer")});
  ASSERT_TRUE(peer.waitForStarted(20000));
  // The other client signs in first, so that this one dials it.
  RunUntil([] { return false; }, 4000);
  ASSERT_NO_FATAL_FAILURE(SignInAs(10001));
  ASSERT_TRUE(
      RunUntil([] { return ChatWindow(10002) && FirstPicture(View(ChatWindow(10002))) >= 0; }, 60000));
  QWidget* form = OpenChat(10002);
  ASSERT_TRUE(form);
  QMenu* menu = RightClick(View(form), FirstPicture(View(form)), 3);
  auto* save = menu->findChild<QAction*>(QStringLiteral("SaveEmoteItem"));
  ASSERT_TRUE(save->isVisible());
  save->trigger();
  const std::filesystem::path saved = SavedEmote(app_.path());
  ASSERT_FALSE(saved.empty());
  QTextCursor cursor(Input(form)->document());
  ASSERT_TRUE(InsertEmotePicture(cursor, QString(), QString::fromStdString(saved.string())));
  Press(form, "SendButton");
  ASSERT_TRUE(RunUntil([&] { return std::filesystem::exists(out); }, 60000));
  std::ifstream in(out, std::ios::binary);
  const std::string answer((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(FirstEmbeddedPicture(QString::fromStdString(answer)).convertToFormat(QImage::Format_RGB32),
            TestPicture());
  EXPECT_TRUE(RunUntil([&] { return peer.state() == QProcess::NotRunning; }, 60000));
  EXPECT_EQ(peer.exitCode(), 0);
}

// Pictures of the window for a person to look at: KIV_CHAT_SHOTS=<folder> (and QT_QPA_PLATFORM=xcb
// under a display with a CJK font). Skipped otherwise.
TEST_F(ChatWindowTest, Screenshots) {
  const char* folder = std::getenv("KIV_CHAT_SHOTS");
  if (!folder) GTEST_SKIP() << "KIV_CHAT_SHOTS is not set";
  const std::filesystem::path out = folder;
  std::filesystem::create_directories(out);
  TPulseDaemon pulse;
  TProtocolClient b;
  TProtocolClient::SignIn sb;
  std::uint16_t to_a = 0;
  ASSERT_NO_FATAL_FAILURE(ConnectFriend(b, sb, to_a));
  QWidget* form = OpenChat(10002);
  ASSERT_TRUE(form);
  auto shoot = [&](const char* name) {
    Pause(300);
    EXPECT_TRUE(form->grab().save(QString::fromStdString((out / name).string())));
  };

  // A conversation: fonts, emoticons, a picture and links both ways, and a long line that wraps.
  ComposeRichMessage(form);
  Press(form, "SendButton");
  ASSERT_TRUE(Await(b, cw::kChatMessage));
  const TEmoteTable table = TEmoteTable::Current();
  const QString smile = table.empty() ? QString() : table.HotKeys().value(1);
  QImage photo(160, 100, QImage::Format_RGB32);
  for (int y = 0; y < photo.height(); ++y)
    for (int x = 0; x < photo.width(); ++x) photo.setPixel(x, y, qRgb(40 + x, 90 + y, 200 - x / 2));
  ASSERT_TRUE(
      b.Send(to_a, Text(10001, 10002,
                        QStringLiteral("<p><span style=\"font-family:'DejaVu Sans'; font-size:11pt; "
                                       "font-weight:700; color:#0055aa\">收到啦 %1 这是今天拍的照片：</span>"
                                       "<img src=\"%2\"/></p><p><span style=\"font-style:italic\">"
                                       "详情见 </span><a href=\"https://example.org/相册\">"
                                       "https://example.org/相册</a></p>")
                            .arg(smile.toHtmlEscaped(), PngAddressOf(photo)),
                        Days(QDateTime::currentDateTime()))));
  ASSERT_TRUE(ViewShows(form, QStringLiteral("收到啦")));
  Pause(600);
  QTextCursor cursor(Input(form)->document());
  QTextCharFormat song;
  song.setFontFamilies({QStringLiteral("Noto Sans CJK SC")});
  song.setFontPointSize(10);
  song.setForeground(QColor(0, 0x66, 0));
  cursor.insertText(
      QStringLiteral("这是一段很长的消息，用来看看会话窗口里的文字是不是能够正确地自动换行，而不会被裁掉或者"
                     "跑到窗口外面去。www.example.com 也应该变成链接。"),
      song);
  Press(form, "SendButton");
  ASSERT_TRUE(Await(b, cw::kChatMessage));
  Input(form)->setPlainText(QStringLiteral("正在输入的下一句……"));
  shoot("conversation.png");

  // A voice call with its controls.
  if (pulse.Available()) {
    Press(form, "VoiceButton");
    auto request = Await(b, cw::kOperate);
    ASSERT_TRUE(request);
    auto op = cw::ReadOperateMessage(*request);
    ASSERT_TRUE(b.Send(to_a, Operation(10001, 10002, op->id, kOperateVoice, cw::kStepAccept)));
    ASSERT_TRUE(
        RunUntil([&] { return form->findChild<QWidget*>(QStringLiteral("AudioControls"))->isVisible(); }));
    std::vector<std::int16_t> tone(48000 * 2);
    for (std::size_t i = 0; i < tone.size(); ++i)
      tone[i] = static_cast<std::int16_t>(12000 * std::sin(2 * M_PI * 440 * static_cast<double>(i) / 48000));
    std::jthread feeder([&] { pulse.Feed(tone); });
    auto* input = form->findChild<QProgressBar*>(QStringLiteral("InputGauge"));
    auto* output = form->findChild<QProgressBar*>(QStringLiteral("OutputGauge"));
    RunUntil([&] {
      if (auto more = b.WaitFor(cw::kAudioData, to_a, 0)) {
        auto v = cw::ReadAudioMessage(*more);
        b.Send(to_a, cw::AudioMessage(10001, 10002, v->quality, v->data));
      }
      return input->value() > 0 && output->value() > 0;
    });
    shoot("voice.png");
    feeder.join();
    Press(form, "StopAudioButton");
    ASSERT_TRUE(ViewShows(form, QStringLiteral("音频聊天已经结束。")));
  }

  // A video call on the test camera, the friend's side showing the frames sent back.
  std::unique_ptr<QStringList> devices(GetVideoDeviceList());
  ASSERT_TRUE(devices && devices->contains(QStringLiteral("测试摄像头")));
  GlobalManager->SystemInfo.VideoDevice =
      static_cast<std::int32_t>(devices->indexOf(QStringLiteral("测试摄像头")));
  GlobalManager->SetupInfo.VideoWidth = 176;
  GlobalManager->SetupInfo.VideoHeight = 144;
  Press(form, "VideoButton");
  std::optional<cw::TOperateMessage> video;
  ASSERT_TRUE(RunUntil([&] {
    if (auto m = b.WaitFor(cw::kOperate, 0, 0))
      if (auto o = cw::ReadOperateMessage(*m); o && o->kind == kOperateVideo) video = o;
    return video.has_value();
  }));
  ASSERT_TRUE(b.Send(to_a, Operation(10001, 10002, video->id, kOperateVideo, cw::kStepAccept)));
  auto* picture = form->findChild<QLabel*>(QStringLiteral("FriendPicture"));
  bool key_seen = false;
  ASSERT_TRUE(RunUntil([&] {
    if (auto frame = b.WaitFor(cw::kVideoData, to_a, 0)) {
      auto v = cw::ReadVideoMessage(*frame);
      key_seen = key_seen || (v && v->key_frame);
      if (v && key_seen)
        b.Send(to_a, cw::VideoMessage(10001, 10002, v->key_frame, v->width, v->height, v->frame));
    }
    return key_seen && !picture->pixmap().isNull();
  }));
  shoot("video.png");
  form->close();
}

}  // namespace
}  // namespace kiv
