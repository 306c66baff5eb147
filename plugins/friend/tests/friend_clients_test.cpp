// Two real clients and the real server: the client in this process (A) and a second client in a
// process of its own (B), which is this test program run again on FriendPeerProcess.Run. B signs in
// with its own application folder, reports on stdout every change of its friends ("peer: friend
// CODE STATE DIRECT GROUP", "peer: gone CODE") and every friend request it is shown ("peer:
// request"), and takes commands on stdin ("agree", "quit").
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcessEnvironment>
#include <cstdlib>
#include <iostream>
#include <map>

#include "friend_fixture.h"
#include "pg_cluster.h"
#include "stdin_lines.h"

namespace kiv {
namespace {

constexpr int kLongWaitMs = 90000;  // a session killed without a word ages out on the server

// ---- B: the second client -------------------------------------------------------------------------

class FriendPeerProcess : public ClientTest {
 protected:
  static void Say(const std::string& line) {
    std::cout << "peer: " << line << std::endl;  // flushed: the test reads it at once
  }

  // The friend-request notice on screen, if any: the notice window that offers "同意".
  static QPushButton* AgreeButton() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (!w->isVisible() || w->objectName() != QLatin1String("AddFriendForm")) continue;
      auto* agree = w->findChild<QPushButton*>(QStringLiteral("AgreeButton"));
      if (agree && agree->isVisible()) return agree;
    }
    return nullptr;
  }

  static std::map<std::uint32_t, std::string> FriendLines() {
    std::map<std::uint32_t, std::string> lines;
    if (!GlobalManager) return lines;
    for (const auto& g : GlobalManager->FriendGroupList)
      for (const auto& m : g->members)
        lines[m->UserCode()] = std::to_string(m->UserCode()) + " " + std::to_string(m->state) + " " +
                               (m->remote != 0 ? "1" : "0") + " " + std::to_string(m->group_id);
    return lines;
  }
};

TEST_F(FriendPeerProcess, Run) {
  const char* code = std::getenv("KIV_FRIEND_PEER");
  const char* folder = std::getenv("KIV_FRIEND_PEER_APP");
  if (!code || !folder) GTEST_SKIP() << "runs only as the second client of the two-client tests";
  SetAppType(1, std::filesystem::path(folder) / "DBConfig.ini");
  TManagerOptions options = Options();
  options.app_folder = folder;
  form_ = std::make_unique<TMainForm>(options);
  ASSERT_TRUE(LoginWindowShown());
  PressLogin(QString::fromUtf8(code), QStringLiteral("kivora"));
  ASSERT_TRUE(SignedIn());
  Say("ready");

  kiv::testing::TStdinLines commands;

  std::map<std::uint32_t, std::string> reported;
  QPointer<QPushButton> notice_seen;
  for (bool quit = false; !quit;) {
    RunUntil([] { return false; }, 20);
    auto now = FriendLines();
    for (const auto& [who, line] : now)
      if (reported[who] != line) Say("friend " + line);
    for (const auto& [who, line] : reported)
      if (!line.empty() && !now.contains(who)) Say("gone " + std::to_string(who));
    std::erase_if(reported, [&](const auto& entry) { return !now.contains(entry.first); });
    for (const auto& [who, line] : now) reported[who] = line;
    if (QPushButton* n = AgreeButton(); n && n != notice_seen) {
      notice_seen = n;
      Say("request");
    }
    const std::string command = commands.Next();
    if (command == "agree" && notice_seen) {
      notice_seen->click();
    } else if (command == "quit") {
      quit = true;
    }
  }
  TearDown();
  RunUntil([] { return !GlobalManager; });
  Say("bye");
}

// ---- A: the test ----------------------------------------------------------------------------------

// B as seen from the test: its process and the lines it printed.
class TPeerClient {
 public:
  TPeerClient(const std::filesystem::path& app, std::uint16_t login_port) : app_(app) {
    // B's application folder: the built skins, faces and sounds, the two plug-ins, the servers.
    if (std::filesystem::exists(app_ / "DBConfig.ini")) return;
    const std::filesystem::path bin = KIV_BIN_DIR;
    for (const char* folder : {"skins", "faces", "Sounds"})
      std::filesystem::create_directory_symlink(bin / folder, app_ / folder);
    std::filesystem::create_directories(app_ / "Plugins");
    for (const char* plugin : {"KivHint.so", "KivFriend.so"})
      std::filesystem::copy_file(bin / "Plugins" / plugin, app_ / "Plugins" / plugin);
    std::ofstream(app_ / "DBConfig.ini") << "[Server]\nLoginServer=127.0.0.1\nLoginPort=" << login_port
                                         << "\nHomePage=http://127.0.0.1:8080\n";
  }
  ~TPeerClient() {
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished(10000);
    }
  }

  bool Start(std::uint32_t code) {
    lines_.clear();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KIV_FRIEND_PEER"), QString::number(code));
    env.insert(QStringLiteral("KIV_FRIEND_PEER_APP"), QString::fromStdString(app_.string()));
    process_.setProcessEnvironment(env);
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(QCoreApplication::applicationFilePath(),
                   {QStringLiteral("--gtest_filter=FriendPeerProcess.Run")});
    return process_.waitForStarted(20000) && Saw("ready");
  }
  // Waits, with this client's event loop running, until B printed `line`.
  bool Saw(const std::string& line, int limit_ms = kLongWaitMs) {
    return RunUntil(
        [&] {
          Read();
          return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
        },
        limit_ms);
  }
  void Tell(const std::string& command) {
    process_.write((command + "\n").c_str());
    process_.waitForBytesWritten(5000);
  }
  bool Quit() {
    Tell("quit");
    // Waited for with the event loop running, which may already have seen the exit (waitForFinished
    // would then say false).
    return Saw("bye") && RunUntil([this] { return process_.state() == QProcess::NotRunning; }, 20000);
  }
  void Kill() {
    process_.kill();
    process_.waitForFinished(10000);
  }
  std::filesystem::path UserFile(std::uint32_t code, const char* name) const {
    return app_ / std::to_string(code) / name;
  }

 private:
  void Read() {
    buffer_ += process_.readAllStandardOutput().toStdString();
    for (std::size_t end; (end = buffer_.find('\n')) != std::string::npos; buffer_.erase(0, end + 1)) {
      std::string line = buffer_.substr(0, end);
      if (line.starts_with("peer: ")) lines_.push_back(line.substr(6));
    }
  }

  std::filesystem::path app_;
  QProcess process_;
  std::string buffer_;
  std::vector<std::string> lines_;
};

class TwoClientsTest : public FriendClientTest {
 protected:
  TestDir peer_app_;
};

TEST_F(TwoClientsTest, TheyBecomeFriendsAndSeeEachOtherComeAndGo) {
  ASSERT_TRUE(AddUser(20001, QStringLiteral("新朋友"), 1));
  TPeerClient b(peer_app_.path(), server_.Login().port);
  ASSERT_TRUE(b.Start(20001));

  // A finds B and asks; B is shown the request and agrees.
  SignInAs(10001);
  QWidget* form = SearchFor(20001);
  ASSERT_TRUE(form);
  auto* results = form->findChild<QTreeWidget*>(QStringLiteral("SearchResults"));
  ClickItem(results, results->topLevelItem(0));
  auto* verify = form->findChild<QPlainTextEdit*>(QStringLiteral("VerifyEdit"));
  ASSERT_TRUE(RunUntil([&] { return verify->isVisible(); }));
  verify->setPlainText(QStringLiteral("我是小明"));
  form->findChild<QPushButton*>(QStringLiteral("AddButton"))->click();
  EXPECT_TRUE(RequestNoticeShown(QStringLiteral("你已经向新朋友[20001]提出了好友请求。")));
  ASSERT_TRUE(b.Saw("request"));
  b.Tell("agree");

  // Both lists, both cache files, and each sees the other online over a direct connection.
  EXPECT_TRUE(RequestNoticeShown(QStringLiteral("新朋友[20001]已经成为了你的朋友。")));
  ASSERT_TRUE(RunUntil(
      [] {
        TFriend* f = Friend(20001);
        return f && f->group_id == 1 && f->state == kStateOnline && f->remote != 0;
      },
      kLongWaitMs));
  EXPECT_TRUE(b.Saw("friend 10001 1 1 1"));
  EXPECT_TRUE(
      RunUntil([this] { return std::filesystem::file_size(UserFile("FriendInfo.dat")) == 8u + 3 * 500u; }));
  EXPECT_TRUE(RunUntil([&] {
    std::error_code ec;
    return std::filesystem::file_size(b.UserFile(20001, "FriendInfo.dat"), ec) == 8u + 500u;
  }));

  // B signs out: A sees it offline. B comes back with its cache warm: A sees it online again.
  ASSERT_TRUE(b.Quit());
  ASSERT_TRUE(RunUntil([] { return Friend(20001)->state == kStateOffline && Friend(20001)->remote == 0; }));
  ASSERT_TRUE(b.Start(20001));
  ASSERT_TRUE(RunUntil([] { return Friend(20001)->state == kStateOnline && Friend(20001)->remote != 0; },
                       kLongWaitMs));
  EXPECT_TRUE(b.Saw("friend 10001 1 1 1"));
  ASSERT_TRUE(b.Quit());
  ASSERT_NO_FATAL_FAILURE(SignOut());

  // The store holds the friendship both ways.
  for (auto [user, other] : {std::pair<std::uint32_t, std::uint32_t>{20001, 10001}, {10001, 20001}}) {
    TProtocolClient peer;
    auto s = SignInPeer(peer, user);
    ASSERT_TRUE(s.ok());
    auto list = peer.Ask(s.home, ListRequest(user), fw::kList);
    ASSERT_TRUE(list);
    RecordReader r(*list);
    bool found = false;
    for (std::size_t i = 0; i < r.u16(fw::list::kCount); ++i)
      found = found || r.u32(fw::list::kHeaderSize + i * fw::list::kEntrySize + fw::list::kUser) == other;
    EXPECT_TRUE(found) << user << " lists " << other;
  }
}

TEST_F(TwoClientsTest, AKilledClientGoesOfflineThroughTheServer) {
  // 10003 is reached only through the server: a protocol client that dials nobody.
  TProtocolClient c;
  auto sc = SignInPeer(c, 10003);
  ASSERT_TRUE(sc.ok());
  TPeerClient b(peer_app_.path(), server_.Login().port);
  ASSERT_TRUE(b.Start(10002));
  SignInAs(10001);
  ASSERT_TRUE(
      RunUntil([] { return Friend(10002) && Friend(10002)->state == kStateOnline && Friend(10002)->remote; },
               kLongWaitMs));
  EXPECT_TRUE(b.Saw("friend 10001 1 1 1"));

  b.Kill();
  // The server ends the silent session and tells the friends.
  bool told = false;
  QElapsedTimer since_sent;
  since_sent.start();
  RunUntil(
      [&] {
        // A protocol client sends no keep-alives of its own: a request now and then keeps it signed in.
        if (since_sent.elapsed() > 2000) {
          c.Send(sc.home, ListRequest(10003));
          since_sent.restart();
        }
        if (auto m = c.WaitFor(fw::kUserState, sc.home, 0)) {
          RecordReader r(*m);
          told = r.u32(fw::state::kSender) == 10002 && r.u8(fw::state::kState) == kStateOffline;
        }
        return told;
      },
      kLongWaitMs);
  EXPECT_TRUE(told);
  EXPECT_TRUE(RunUntil([] { return Friend(10002)->state == kStateOffline && Friend(10002)->remote == 0; },
                       kLongWaitMs));
  // 10003 is still signed in.
  EXPECT_TRUE(RunUntil([] { return GroupCaptions().contains(QStringLiteral("我的好友[1/2]")); }));
}

// Two home nodes sharing one PostgreSQL database: A signs in on node a, B on node b.
class TwoNodesTest : public ClientTest {
 protected:
  static void SetUpTestSuite() { cluster_ = new testing::TPgCluster(); }
  static void TearDownTestSuite() {
    delete cluster_;
    cluster_ = nullptr;
  }
  void SetUp() override {
    ClientTest::SetUp();
    if (!std::filesystem::exists(testing::ServerBinary())) GTEST_SKIP() << "kivora-server is not built";
    if (!cluster_->Available()) GTEST_SKIP() << "PostgreSQL cannot start here: " << cluster_->Reason();
    const std::string url = cluster_->CreateDatabase("kiv_friend_clients");
    ASSERT_FALSE(url.empty());
    const std::filesystem::path bin = KIV_BIN_DIR;
    std::filesystem::copy_file(bin / "Plugins" / "KivFriend.so", app_.path() / "Plugins" / "KivFriend.so");
    for (auto [node, name] : {std::pair{&node_a_, "a"}, std::pair{&node_b_, "b"}}) {
      std::string error;
      ASSERT_TRUE(node->Start(testing::ServerBinary(),
                              {"--data", (data_.path() / name).string(), "--store", url, "--node", name,
                               "--seed-demo", "--login-port", "0", "--home-port", "0", "--web-port", "0",
                               "--hash-cost", "min", "--announce", "127.0.0.1"},
                              20000, &error))
          << error;
    }
    WriteConfig(node_a_.Login().port);
  }

  static testing::TPgCluster* cluster_;
  TestDir data_, peer_app_;
  testing::TServerProcess node_a_, node_b_;
};
testing::TPgCluster* TwoNodesTest::cluster_ = nullptr;

TEST_F(TwoNodesTest, FriendsOnTwoNodesSeeEachOtherComeAndGo) {
  TPeerClient b(peer_app_.path(), node_b_.Login().port);
  ASSERT_TRUE(b.Start(10002));
  StartClient();
  ASSERT_TRUE(LoginWindowShown());
  PressLogin(QStringLiteral("10001"), QStringLiteral("kivora"));
  ASSERT_TRUE(SignedIn());
  auto friend_b = [] { return GlobalManager ? GlobalManager->GetFriendInfo(10002) : nullptr; };
  // B's node is B's server; A dials B's own address and each sees the other online.
  ASSERT_TRUE(RunUntil([&] { return friend_b() && friend_b()->state == kStateOnline && friend_b()->remote; },
                       kLongWaitMs));
  EXPECT_EQ(friend_b()->server_port, node_b_.Home().port);
  EXPECT_TRUE(b.Saw("friend 10001 1 1 1"));
  // B signs out on node b: A on node a sees it offline.
  ASSERT_TRUE(b.Quit());
  EXPECT_TRUE(RunUntil([&] { return friend_b()->state == kStateOffline && friend_b()->remote == 0; }));
}

}  // namespace
}  // namespace kiv
