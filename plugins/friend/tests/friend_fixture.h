// The friends tests' fixture: a real client (the session manager in this process, KivFriend and a
// stand-in KivChat loaded from its Plugins folder) against the real server on loopback, with
// helpers that find the friend panel's rows, captions and menus and drive the friend windows.
#pragma once

#include <QInputDialog>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTreeWidget>
#include <fstream>
#include <sstream>

#include "controls/frame_bar.h"
#include "declare/friend_wire.h"
#include "manager/qt_app.h"
#include "protocol_client.h"
#include "server_process.h"
#include "session_fixture.h"

namespace kiv {

namespace fw = friend_wire;
using testing::TProtocolClient;

class TrayApplicationEnvironment : public QtApplicationEnvironment {
 public:
  void SetUp() override {
    QtApplicationEnvironment::SetUp();
    QApplication::setQuitOnLastWindowClosed(false);
  }
};
inline const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new TrayApplicationEnvironment);

class FriendClientTest : public ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    if (!std::filesystem::exists(testing::ServerBinary())) GTEST_SKIP() << "kivora-server is not built";
    const std::filesystem::path bin = KIV_BIN_DIR;
    std::filesystem::copy_file(bin / "Plugins" / "KivFriend.so", app_.path() / "Plugins" / "KivFriend.so");
    std::filesystem::copy_file(std::filesystem::path(KIV_TEST_DIR) / "friend_fixtures" / "KivChatProbe.so",
                               app_.path() / "Plugins" / "KivChatProbe.so");
    std::string error;
    ASSERT_TRUE(server_.Start(testing::ServerBinary(),
                              {"--data", data_.path().string(), "--seed-demo", "--login-port", "0",
                               "--home-port", "0", "--web-port", "0", "--hash-cost", "min", "--announce", "127.0.0.1"},
                              20000, &error))
        << error;
    // The client is kept off its server's web site (the default address, where no test server
    // listens): these tests stop the server, and downloads from a stopped site hang, not fail.
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

  // Adds an account through the server's admin command; with `verify_mode` 1 it wants requests.
  bool AddUser(std::uint32_t code, const QString& nickname, std::uint8_t verify_mode = 0) {
    QProcess admin;
    admin.start(QString::fromStdString(testing::ServerBinary().string()),
                {QStringLiteral("admin"), QStringLiteral("--data"), QString::fromStdString(data_.path().string()),
                 QStringLiteral("add-user"), QString::number(code), QStringLiteral("kivora"), nickname});
    if (!admin.waitForFinished(20000) || !admin.readAllStandardOutput().startsWith("added")) return false;
    return verify_mode == 0 || SetVerifyMode(code, nickname, verify_mode);
  }
  // Sets how the account takes friend requests, as its own profile change does.
  bool SetVerifyMode(std::uint32_t code, const QString& nickname, std::uint8_t verify_mode) {
    TProtocolClient setup;
    auto s = SignInPeer(setup, code);
    if (!s.ok()) return false;
    testing::TProfileChangeFields f;
    f.user = code;
    f.nickname = nickname.toStdString();
    f.password = "kivora";
    f.verify_mode = verify_mode;
    return setup.Ask(s.home, testing::ProfileChangeRequest(f), 0x30015).has_value();
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

  // The text of the visible notice of the notice plug-in (friend online and the like).
  static QString NoticeText() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (window->objectName() == QLatin1String("NoticeWindow") && window->isVisible())
        return window->findChild<QLabel*>(QStringLiteral("NoticeText"))->text();
    }
    return {};
  }

  // The visible top-level window of that object name (the newest when there are several).
  static QWidget* Window(const char* name) {
    QWidget* found = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->objectName() == QLatin1String(name) && w->isVisible()) found = w;
    return found;
  }
  // The friend-request notices now open and their texts.
  static QWidget* RequestNotice(const QString& text) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (w->objectName() != QLatin1String("AddFriendForm") || !w->isVisible()) continue;
      if (w->findChild<QLabel*>(QStringLiteral("NoticeText"))->text() == text) return w;
    }
    return nullptr;
  }
  static bool RequestNoticeShown(const QString& text) {
    return RunUntil([&] { return RequestNotice(text) != nullptr; });
  }

  static QWidget* Panel() {
    for (QWidget* w : QApplication::allWidgets())
      if (w->objectName() == QLatin1String("FriendPanel")) return w;
    return nullptr;
  }
  static TKivFrameBar* Bar() {
    QWidget* panel = Panel();
    return panel ? panel->findChild<TKivFrameBar*>(QStringLiteral("FriendBar")) : nullptr;
  }
  // The sections of the bar now shown (the bar frees old ones later).
  static std::vector<TKivFrameBarItem*> Sections() {
    TKivFrameBar* bar = Bar();
    return bar ? bar->Items() : std::vector<TKivFrameBarItem*>{};
  }
  static QStringList GroupCaptions() {
    QStringList captions;
    for (TKivFrameBarItem* section : Sections()) captions << section->CaptionText();
    return captions;
  }
  static TKivFrameBarItem* Section(std::uint32_t group) {
    TKivFrameBar* bar = Bar();
    return bar ? bar->GetItem(static_cast<std::int32_t>(group)) : nullptr;
  }
  static TKivButton* Row(std::uint32_t code) {
    for (TKivFrameBarItem* section : Sections())
      if (TKivButton* row = section->GetItem(static_cast<std::int32_t>(code))) return row;
    return nullptr;
  }
  // The friend codes of a group's rows, top to bottom.
  static std::vector<std::uint32_t> RowsOf(std::uint32_t group) {
    std::vector<std::pair<int, std::uint32_t>> rows;
    if (TKivFrameBarItem* section = Section(group))
      for (TKivButton* b : section->findChildren<TKivButton*>(QStringLiteral("FriendRow")))
        rows.emplace_back(b->y(), static_cast<std::uint32_t>(b->Tag));
    std::sort(rows.begin(), rows.end());
    std::vector<std::uint32_t> codes;
    for (const auto& r : rows) codes.push_back(r.second);
    return codes;
  }
  static TFriend* Friend(std::uint32_t code) {
    return GlobalManager ? GlobalManager->GetFriendInfo(code) : nullptr;
  }
  static QAction* PanelAction(const char* name) {
    QWidget* panel = Panel();
    return panel ? panel->findChild<QAction*>(QLatin1String(name)) : nullptr;
  }
  static QMenu* PanelMenu(const char* name) {
    QWidget* panel = Panel();
    return panel ? panel->findChild<QMenu*>(QLatin1String(name)) : nullptr;
  }

  static void Click(QWidget* w, Qt::MouseButton button = Qt::LeftButton) {
    const QPointF at(w->width() / 2.0, w->height() / 2.0);
    QMouseEvent press(QEvent::MouseButtonPress, at, w->mapToGlobal(at), button, button, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, w->mapToGlobal(at), button, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(w, &release);
  }
  static void DoubleClick(QWidget* w) {
    Click(w);
    const QPointF at(w->width() / 2.0, w->height() / 2.0);
    QMouseEvent twice(QEvent::MouseButtonDblClick, at, w->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(w, &twice);
    QMouseEvent release(QEvent::MouseButtonRelease, at, w->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(w, &release);
  }
  static void RightClick(QWidget* w) {
    const QPoint at(w->width() / 2, w->height() / 2);
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), QPointF(w->mapToGlobal(at)), Qt::RightButton,
                      Qt::RightButton, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, at, w->mapToGlobal(at));
    QApplication::sendEvent(w, &menu);
  }

  // Selects a friend as a click on its row does, and waits for the friend menu that follows.
  static bool OpenFriendMenu(std::uint32_t code) {
    if (QMenu* menu = PanelMenu("FriendMenu")) menu->hide();
    if (!RunUntil([code] { return Row(code) != nullptr; })) return false;
    Click(Row(code));
    return RunUntil([] { return PanelMenu("FriendMenu") && PanelMenu("FriendMenu")->isVisible(); });
  }
  static void Select(std::uint32_t code) {
    ASSERT_TRUE(OpenFriendMenu(code));
    PanelMenu("FriendMenu")->hide();
  }
  // Chooses the group under "将好友移动到" for the friend.
  static void MoveBySubmenu(std::uint32_t code, std::uint32_t group) {
    ASSERT_TRUE(OpenFriendMenu(code));
    QAction* target = nullptr;
    for (QAction* a : PanelMenu("MoveFriendMenu")->actions())
      if (a->data().toUInt() == group) target = a;
    ASSERT_NE(target, nullptr);
    target->trigger();
    PanelMenu("FriendMenu")->hide();
  }
  // Drops the friend's drag data on a row or caption of the panel.
  static void DropFriend(std::uint32_t code, QWidget* target) {
    QMimeData mime;
    mime.setData(QStringLiteral("application/x-kivora-friend"), QByteArray::number(code));
    const QPoint at(target->width() / 2, target->height() / 2);
    QDragEnterEvent enter(at, Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDropEvent drop(QPointF(at), Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);
  }

  // Answers the next text question (QInputDialog) with `name`, or cancels it.
  static void AnswerText(const QString& text, bool accept = true) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, text, accept] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QInputDialog*>(w);
        if (!dialog || !dialog->isVisible()) continue;
        dialog->setTextValue(text);
        accept ? dialog->accept() : dialog->reject();
        timer->deleteLater();
        return;
      }
    });
    timer->start(20);
  }
  static void AnswerGroupName(const QString& name) { AnswerText(name); }

  // The local messages the stand-in chat plug-in got: "code user" lines.
  std::vector<std::string> ChatMessages() const {
    std::vector<std::string> lines;
    std::ifstream in(app_.path() / "chat_probe.txt");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  bool ChatGot(const std::string& line) const {
    const auto all = ChatMessages();
    return std::find(all.begin(), all.end(), line) != all.end();
  }

  // Opens the search window on `code` and waits for its one hit.
  static QWidget* SearchFor(std::uint32_t code) {
    PluginManager->DealMessage("KivFriend", 0x70002, &code, sizeof code);
    QWidget* form = nullptr;
    RunUntil([&] {
      form = Window("FriendSearchForm");
      return form && form->findChild<QTreeWidget*>(QStringLiteral("SearchResults"))->topLevelItemCount() == 1;
    });
    return form;
  }
  // A click on a row of a list, as the mouse gives it.
  static void ClickItem(QTreeWidget* list, QTreeWidgetItem* item) {
    const QPoint at = list->visualItemRect(item).center();
    for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
      QMouseEvent e(type, QPointF(at), QPointF(list->viewport()->mapToGlobal(at)), Qt::LeftButton,
                    type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
      QApplication::sendEvent(list->viewport(), &e);
    }
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

}  // namespace kiv
