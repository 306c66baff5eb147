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
    ASSERT_TRUE(server_.Start(testing::ServerBinary(),
                              {"--data", data_.path().string(), "--seed-demo", "--login-port", "0",
                               "--home-port", "0", "--hash-cost", "min", "--announce", "127.0.0.1"},
                              20000, &error))
        << error;
    WriteConfig(server_.Login().port);
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
    ASSERT_TRUE(b.Send(sb.home, Text(10001, 10002, QStringLiteral("<p>留言</p>"), Days(when))));
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

TEST_F(ChatClientTest, TheRecordViewerPagesByTwentyAndShowsTheSystemMessages) {
  const auto folder = app_.path() / "10001";
  for (int i = 1; i <= 41; ++i)
    ASSERT_TRUE(chat::SaveChatRecord(chat::ChatRecordPath(folder, 10002), 10001,
                                     "<p>第" + std::to_string(i) + "条</p>"));
  // A torn record at the end is not read.
  std::ofstream(chat::ChatRecordPath(folder, 10002), std::ios::binary | std::ios::app)
      << "\xFF\xFF\x00\x00torn";
  std::filesystem::create_directories(folder / "ChatRecord");
  std::ofstream(folder / "ChatRecord" / "SystemMsg.dat", std::ios::binary)
      << Utf8ToGbk("系统消息  2026-01-01") << "\r\n"
      << Utf8ToGbk("欢迎使用") << "\r\n";
  ASSERT_NO_FATAL_FAILURE(SignInAs(10001));
  ASSERT_TRUE(RunUntil([] { return Friend(10002) != nullptr; }));

  std::uint32_t code = 10002;
  PluginManager->DealMessage("KivChat", 0x70007, &code, sizeof code);
  QWidget* form = nullptr;
  ASSERT_TRUE(RunUntil([&] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == QLatin1String("ChatRecordForm") && w->isVisible()) form = w;
    return form != nullptr;
  }));
  auto* label = form->findChild<QLabel*>(QStringLiteral("PageLabel"));
  auto* view = form->findChild<QTextBrowser*>(QStringLiteral("RecordView"));
  auto button = [&](const char* name) { return form->findChild<QPushButton*>(QLatin1String(name)); };
  EXPECT_EQ(label->text(), QStringLiteral("第3of3页"));
  EXPECT_EQ(view->toPlainText(), QStringLiteral("第41条"));
  EXPECT_FALSE(button("NextPageButton")->isVisibleTo(form));
  EXPECT_TRUE(button("PrevPageButton")->isVisibleTo(form));
  button("FirstPageButton")->click();
  EXPECT_EQ(label->text(), QStringLiteral("第1of3页"));
  EXPECT_TRUE(view->toPlainText().startsWith(QStringLiteral("第1条\n第2条")));
  EXPECT_TRUE(view->toPlainText().endsWith(QStringLiteral("第20条")));
  EXPECT_FALSE(button("PrevPageButton")->isVisibleTo(form));
  EXPECT_TRUE(button("LastPageButton")->isVisibleTo(form));
  auto* tree = form->findChild<QTreeWidget*>(QStringLiteral("RecordTree"));
  ASSERT_GE(tree->topLevelItemCount(), 2);
  EXPECT_EQ(tree->topLevelItem(0)->text(0), QStringLiteral("我的好友(2人)"));
  EXPECT_EQ(tree->currentItem()->text(0), QStringLiteral("小红[10002]"));

  code = 0;
  PluginManager->DealMessage("KivChat", 0x70008, &code, sizeof code);
  EXPECT_EQ(tree->currentItem()->text(0), QStringLiteral("系统消息"));
  EXPECT_EQ(view->toPlainText(), QStringLiteral("系统消息  2026-01-01\n欢迎使用"));
  EXPECT_EQ(label->text(), QStringLiteral("第1of1页"));
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
    WriteConfig(static_cast<std::uint16_t>(std::atoi(std::getenv("KIV_CHAT_PEER_LOGIN_PORT"))));
  }
  std::vector<std::string> Records() const {
    auto records = chat::LoadChatRecords(chat::ChatRecordPath(app_.path() / "10002", 10001), 10002);
    return records ? *records : std::vector<std::string>{};
  }
};

TEST_F(SecondClient, DISABLED_AnswersTheFirstClient) {
  const std::filesystem::path out = std::getenv("KIV_CHAT_PEER_OUT");
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  PressLogin(QStringLiteral("10002"), QStringLiteral("kivora"));
  ASSERT_TRUE(SignedIn());
  ASSERT_TRUE(RunUntil([this] { return Records().size() == 2; }, 120000));
  std::uint32_t code = 10001;
  PluginManager->DealMessage("KivChat", 0x70005, &code, sizeof code);
  QWidget* form = nullptr;
  ASSERT_TRUE(RunUntil([&] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == QLatin1String("ChatForm") && w->isVisible()) form = w;
    return form != nullptr;
  }));
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
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("KIV_CHAT_PEER_LOGIN_PORT"), QString::number(server_.Login().port));
  env.insert(QStringLiteral("KIV_CHAT_PEER_OUT"), QString::fromStdString(out.string()));
  peer.setProcessEnvironment(env);
  peer.setProcessChannelMode(QProcess::ForwardedChannels);
  peer.start(QCoreApplication::applicationFilePath(),
             {QStringLiteral("--gtest_also_run_disabled_tests"),
              QStringLiteral("--gtest_filter=SecondClient.DISABLED_AnswersTheFirstClient")});
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
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  PressLogin(QStringLiteral("10002"), QStringLiteral("kivora"));
  ASSERT_TRUE(SignedIn());
  ASSERT_TRUE(RunUntil(
      [] {
        const TFriend* a = GlobalManager->GetFriendInfo(10001);
        return a && a->remote && a->state == 1;
      },
      120000));
  std::uint32_t code = 10001;
  PluginManager->DealMessage("KivChat", 0x70005, &code, sizeof code);
  QWidget* form = nullptr;
  ASSERT_TRUE(RunUntil([&] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == QLatin1String("ChatForm") && w->isVisible()) form = w;
    return form != nullptr;
  }));
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
