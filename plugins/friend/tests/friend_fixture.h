// The fixture of the friends plug-in's end-to-end tests: a real client (the session manager in this
// process, KivFriend loaded from its Plugins folder) against the real server on loopback, and the
// helpers that look at its friend panel and drive its windows.
#pragma once

#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTreeWidget>

#include "declare/friend_wire.h"
#include "manager/qt_app.h"
#include "protocol_client.h"
#include "server_process.h"
#include "session_fixture.h"

namespace kiv {

namespace fw = friend_wire;
using testing::TProtocolClient;

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

  // Adds an account through the server's control socket; with `verify_mode` 1 it wants requests.
  void AddUser(std::uint32_t code, const std::string& nickname, std::uint8_t verify_mode) {
    QProcess admin;
    admin.start(QString::fromStdString(testing::ServerBinary().string()),
                {QStringLiteral("admin"), QStringLiteral("--data"),
                 QString::fromStdString(data_.path().string()), QStringLiteral("add-user"),
                 QString::number(code), QStringLiteral("kivora"), QString::fromStdString(nickname)});
    ASSERT_TRUE(admin.waitForFinished(20000));
    ASSERT_TRUE(admin.readAllStandardOutput().startsWith("added"));
    if (verify_mode == 0) return;
    TProtocolClient setup;
    auto s = SignInPeer(setup, code);
    ASSERT_TRUE(s.ok());
    testing::TProfileChangeFields f;
    f.user = code;
    f.nickname = nickname;
    f.password = "kivora";
    f.verify_mode = verify_mode;
    ASSERT_TRUE(setup.Ask(s.home, testing::ProfileChangeRequest(f), 0x30015));
  }

  // Opens the search window on `code` and waits for its one hit.
  static QWidget* SearchFor(std::uint32_t code) {
    PluginManager->DealMessage("KivFriend", 0x70002, &code, sizeof code);
    QWidget* form = nullptr;
    RunUntil([&] {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("FriendSearchForm")) form = w;
      return form && form->findChild<QTreeWidget*>(QStringLiteral("SearchResults"))->topLevelItemCount() == 1;
    });
    return form;
  }

  TestDir data_;
  testing::TServerProcess server_;
};

}  // namespace kiv
