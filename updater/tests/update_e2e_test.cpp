// The updater against the real server (in process, and as a process killed mid-file) and against
// a hostile server on loopback, with every timer shortened.
#include <gtest/gtest.h>
#include <signal.h>

#include <QApplication>
#include <fstream>
#include <random>

#include "base/gbk.h"
#include "base/socket.h"
#include "control_socket.h"
#include "declare/declare.h"
#include "main_unit.h"
#include "manager/qt_app.h"
#include "qt_wait.h"
#include "server.h"
#include "server_process.h"
#include "system/window_helpers.h"
#include "test_dir.h"
#include "udp_kivudp.h"
#include "update_installer.h"

namespace kiv::update {
namespace {

namespace fs = std::filesystem;

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

Bytes RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

Bytes TextBytes(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i)
    b[i] = static_cast<std::uint8_t>("kivora update "[i % 14] + (i / 977) % 3);
  return b;
}

void Write(const fs::path& path, const Bytes& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
}

Bytes Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TUpdateTimings FastTimings() {
  TUpdateTimings t;
  t.start_delay_ms = 10;
  t.connect_timeout_ms = 5000;  // generous: the machine may be loaded
  t.progress_ms = 20;
  t.close_delay_ms = 50;
  t.inactivity_ms = 1500;
  t.client_close_wait_ms = 50;
  t.settle_ms = 100;
  return t;
}

// Everything the window asked of the desktop.
struct TDesktop {
  std::vector<fs::path> started;
  std::vector<QString> questions;
  bool answer = false;
  TUpdaterHooks Hooks() {
    TUpdaterHooks h;
    h.ask_yes_no = [this](const QString& q) {
      questions.push_back(q);
      return answer;
    };
    h.ask_ok_cancel = h.ask_yes_no;
    h.start_program = [this](const fs::path& p) { started.push_back(p); };
    h.open_url = [](const QString&) {};
    return h;
  }
};

class UpdaterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    SetAppType(1);
    // Window mailboxes are local sockets in the temporary folder, per user: a private one keeps
    // the client windows of other programs of this user out of these tests (and these tests from
    // closing them).
    static std::string private_tmp = [] {
      std::string pattern = (fs::temp_directory_path() / "kivupdate-test.XXXXXX").string();
      return std::string(::mkdtemp(pattern.data()) ? pattern.c_str() : "");
    }();
    if (!private_tmp.empty()) ::setenv("TMPDIR", private_tmp.c_str(), 1);
  }

  void SetUp() override {
    client_ = dir_.path() / "client";
    // The installed client, version 201102.
    Write(client_ / "Kivora", Bytes(300, 'o'));
    Write(client_ / "Plugins" / "KivFriend.so", Bytes(500, 'p'));
    Write(client_ / "Datas" / "keep.txt", Bytes(10, 'k'));
  }

  void StartServer() {
    server::TServerOptions o;
    o.data_dir = dir_.path() / "data";
    o.login_port = 0;
    o.home_port = 0;
    o.update_port = 0;
    o.hash_cost = "min";
    o.log_to_stderr = false;
    server_ = std::make_unique<server::TServer>(o);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }

  std::string Admin(const std::vector<std::string>& args) { return server_->Admin(args); }

  std::unique_ptr<TForm1> Form(std::uint16_t port, bool restart, std::optional<TPublicKey> key = std::nullopt,
                               const std::string& version = "201102") {
    TUpdaterArguments a;
    a.version = version;
    a.address = "127.0.0.1";
    a.port = port;
    a.restart = restart;
    auto form = std::make_unique<TForm1>(a, client_, key, FastTimings(), desktop_.Hooks());
    QObject::connect(form.get(), &TForm1::Finished, [this] { finished_ = true; });
    form->show();
    return form;
  }

  // Waits for the window to reach success, failure or a status line of its own.
  static bool WaitForStatus(TForm1& form, const QString& text) {
    return RunUntil([&] { return form.StatusText() == text; });
  }
  static QString ErrorText() {
    return QStringLiteral("在自动更新过程中出现错误，请手动关闭Kivora重新进行自动更新。");
  }
  static QString SuccessText() { return QStringLiteral("自动更新成功。"); }

  void ExpectOldClient() {
    EXPECT_EQ(Read(client_ / "Kivora"), Bytes(300, 'o'));
    EXPECT_EQ(Read(client_ / "Plugins" / "KivFriend.so"), Bytes(500, 'p'));
    EXPECT_EQ(Read(client_ / "Datas" / "keep.txt"), Bytes(10, 'k'));
  }

  TestDir dir_;
  fs::path client_;
  std::unique_ptr<server::TServer> server_;
  TDesktop desktop_;
  bool finished_ = false;
};

// The files of version 201103: a packed file two folders down whose packed form is longer than its
// content, a file sent as it is, a compressible file and an incompressible one, both several pieces.
struct TRelease {
  Bytes magic_head = [] {
    Bytes b = RandomBytes(2000, 3);
    StoreU32(b.data(), kPackedMagic);
    return b;
  }();
  Bytes program = RandomBytes(1000, 4);
  Bytes plugin = TextBytes(200000);
  Bytes big = RandomBytes(40000, 5);
  void WriteTo(const fs::path& folder) const {
    Write(folder / "skins" / "水晶" / "head.dat", magic_head);
    Write(folder / "Kivora", program);
    Write(folder / "Plugins" / "KivFriend.so", plugin);
    Write(folder / "big.bin", big);
    Write(folder / "Datas" / "empty.txt", {});  // a whole size of 0
  }
  void Expect(const fs::path& client) const {
    EXPECT_EQ(Read(client / "skins" / "水晶" / "head.dat"), magic_head);
    EXPECT_EQ(Read(client / "Kivora"), program);
    EXPECT_EQ(Read(client / "Plugins" / "KivFriend.so"), plugin);
    EXPECT_EQ(Read(client / "big.bin"), big);
    EXPECT_TRUE(fs::exists(client / "Datas" / "empty.txt"));
    EXPECT_EQ(fs::file_size(client / "Datas" / "empty.txt"), 0u);
    EXPECT_EQ(Read(client / "Datas" / "keep.txt"), Bytes(10, 'k'));
  }
};

TEST_F(UpdaterTest, InstallsEveryFileByteExactAndClosesByItselfWhenLeftAlone) {
  StartServer();
  TRelease release;
  release.WriteTo(dir_.path() / "release");
  fs::permissions(client_ / "Kivora", fs::perms(0755));
  ASSERT_EQ(Admin({"publish-update", "201103", "1", (dir_.path() / "release").string(), "新版本说明"}),
            "published update 201103 mode 1 unsigned\n");
  EXPECT_EQ(server_->Context().latest_version.load(), 201103);

  auto form = Form(server_->UpdatePort(), /*restart=*/false);
  EXPECT_EQ(form->windowTitle(), QStringLiteral("自动更新系统 "));
  EXPECT_EQ(form->StatusText(), QStringLiteral("正在连接服务器......"));
  ASSERT_TRUE(RunUntil([&] { return finished_; })) << form->StatusText().toStdString();
  EXPECT_TRUE(form->Succeeded());
  EXPECT_EQ(form->StatusText(), SuccessText());
  EXPECT_EQ(form->DescriptionText(), QStringLiteral("新版本说明"));
  EXPECT_FALSE(form->ProgressLineVisible());
  EXPECT_EQ(form->ProgressPercent(), 100);
  release.Expect(client_);
  EXPECT_EQ(fs::status(client_ / "Kivora").permissions() & fs::perms::all, fs::perms(0755));
  EXPECT_FALSE(fs::exists(client_ / "TempDownFile"));
  EXPECT_TRUE(desktop_.started.empty());
  EXPECT_TRUE(desktop_.questions.empty());
}

TEST_F(UpdaterTest, ClosesTheRunningClientFirstAndRestartsItWhenClosed) {
  StartServer();
  TRelease release;
  release.WriteTo(dir_.path() / "release");
  Admin({"publish-update", "201103", "1", (dir_.path() / "release").string()});
  auto* login = new QWidget;
  login->setWindowTitle(QStringLiteral("登录Kivora娱乐"));
  auto* mailbox = new TFormMailbox(login, QStringLiteral("TLoginForm"));
  // The client ends on "Close": its window, and with it the mailbox, goes away.
  QObject::connect(mailbox, &TFormMailbox::TextReceived, [login](const QString& text) {
    if (text == QStringLiteral("Close")) QTimer::singleShot(0, [login] { delete login; });
  });
  QPointer<QWidget> login_alive(login);
  login->show();
  desktop_.answer = true;  // should the client be slow to go, retry

  auto form = Form(server_->UpdatePort(), /*restart=*/true);
  ASSERT_TRUE(RunUntil([&] { return login_alive.isNull(); })) << form->StatusText().toStdString();
  ASSERT_TRUE(WaitForStatus(*form, SuccessText())) << form->StatusText().toStdString() << " questions "
                                                   << desktop_.questions.size() << " finished " << finished_;
  release.Expect(client_);
  // It stays until the user closes it; closing starts the client.
  QApplication::processEvents();
  EXPECT_FALSE(finished_);
  EXPECT_TRUE(desktop_.started.empty());
  form->close();
  ASSERT_EQ(desktop_.started.size(), 1u);
  EXPECT_EQ(desktop_.started[0], client_ / "Kivora");
}

TEST_F(UpdaterTest, PluginUpdateWithZeroFilesIsAFinishedUpdate) {
  StartServer();
  fs::create_directories(dir_.path() / "empty");
  ASSERT_EQ(Admin({"publish-plugin", "五子棋", (dir_.path() / "empty").string(), "无文件"}),
            "published plug-in 五子棋 unsigned\n");
  auto form = Form(server_->UpdatePort(), false, std::nullopt, "五子棋");
  ASSERT_TRUE(RunUntil([&] { return finished_; })) << form->StatusText().toStdString();
  EXPECT_TRUE(form->Succeeded());
  ExpectOldClient();
}

TEST_F(UpdaterTest, StatusTwoAndAnUnreachableServerSayWhereToGetTheSetup) {
  StartServer();
  {
    auto form = Form(server_->UpdatePort(), false);  // nothing published for 201102
    EXPECT_TRUE(WaitForStatus(*form, QStringLiteral("自动更新失败，点击下载安装文件。")));
  }
  const int closed_port = GetFreePort(20000, false);
  auto form = Form(static_cast<std::uint16_t>(closed_port), false);
  EXPECT_TRUE(WaitForStatus(*form, QStringLiteral("无法连接到自动更新服务端，点击下载安装文件。")));
  EXPECT_FALSE(form->Updating());
  ExpectOldClient();
}

TEST_F(UpdaterTest, SignedUpdateInstallsAndAnUnsignedOneIsRefusedWhenAKeyIsSet) {
  StartServer();
  TRelease release;
  release.WriteTo(dir_.path() / "release");
  ASSERT_EQ(
      Admin({"publish-update", "201103", "1", (dir_.path() / "release").string()}).rfind("published", 0), 0u);
  const std::string answer = Admin({"keygen"});
  ASSERT_EQ(answer.rfind("public key ", 0), 0u) << answer;
  std::optional<Bytes> key_bytes = FromHex(answer.substr(11), 32);
  ASSERT_TRUE(key_bytes);
  TPublicKey key{};
  std::copy(key_bytes->begin(), key_bytes->end(), key.begin());
  EXPECT_EQ(Admin({"keygen"}).rfind("error:", 0), 0u);  // never replaced by accident

  {  // published before the key existed: unsigned
    auto form = Form(server_->UpdatePort(), false, key);
    ASSERT_TRUE(WaitForStatus(*form, ErrorText()));
    EXPECT_NE(form->LastError().toStdString().find("not signed"), std::string::npos);
    ExpectOldClient();
  }
  {  // signed with another key
    Admin({"publish-update", "201104", "1", (dir_.path() / "release").string()});
    TPublicKey other = GenerateKeyPair().public_key;
    auto form = Form(server_->UpdatePort(), false, other);
    ASSERT_TRUE(WaitForStatus(*form, ErrorText()));
    EXPECT_NE(form->LastError().toStdString().find("bad signature"), std::string::npos);
    ExpectOldClient();
  }
  auto form = Form(server_->UpdatePort(), false, key);
  ASSERT_TRUE(RunUntil([&] { return finished_; })) << form->StatusText().toStdString();
  release.Expect(client_);
  EXPECT_FALSE(fs::exists(client_ / kManifestName));
}

// A server that answers the request with whatever a test scripts.
class THostileServer {
 public:
  explicit THostileServer(std::vector<Bytes> script) : script_(std::move(script)) {
    udp_.SetCallbacks(
        [this](std::uint16_t handle, const std::uint8_t* data, std::uint32_t length) {
          if (length >= 4 && LoadU32(data) == kCodeUpdate)
            for (const Bytes& m : script_) udp_.SendData(handle, m, 0, 0, 0);
        },
        nullptr);
    started_ = udp_.Start(static_cast<std::uint16_t>(GetFreePort(21000, false)), 1);
  }
  ~THostileServer() { udp_.Stop(); }
  bool Started() const { return started_; }
  std::uint16_t Port() const { return udp_.LocalPort(); }

 private:
  std::vector<Bytes> script_;
  TKivUDP udp_;
  bool started_ = false;
};

Bytes Announce(std::uint32_t files) { return BuildAnnouncement({kStatusUpdate, files, "恶意"}); }
Bytes Piece(const std::string& name, const Bytes& bytes, bool last = true, std::uint32_t whole = 0) {
  Bytes out;
  EXPECT_TRUE(Utf8ToGbk(name).size() <= kNameBytes) << name;
  BuildPiece({last, name, whole ? whole : static_cast<std::uint32_t>(bytes.size()), bytes}, out);
  return out;
}
Bytes Packed(std::uint32_t declared, const Bytes& content) {
  Bytes sent = PackForSending(content);
  if (!StartsWithPackedMagic(sent)) ADD_FAILURE() << "content must compress";
  StoreU32(sent.data() + 4, declared);
  return sent;
}

TEST_F(UpdaterTest, HostileServerWritesNothingOutsideAndReplacesNoTarget) {
  const std::string outside = (dir_.path() / "outside.txt").string();
  const std::string kAbsolute = "/tmp/kivupd-absolute.txt";  // fits the name field
  fs::create_directory_symlink(dir_.path(), client_ / "escape");
  Bytes bad_m = Piece("Kivora", Bytes(10, 'x'));
  StoreU32(bad_m.data() + 52, 5000);
  // A bomb: declares 100 bytes, inflates to 64 MiB; and one declaring more than the cap.
  Bytes bomb = Packed(100, Bytes(64 << 20, 0));
  Bytes huge = Packed(0xFFFFFFF0u, Bytes(1000, 0));
  Bytes short_content = Packed(5000, TextBytes(4000));
  struct Case {
    const char* what;
    std::vector<Bytes> script;
  } cases[] = {
      {"traversal", {Announce(2), Piece("Kivora", Bytes(5, 'n')), Piece("..\\outside.txt", Bytes(5, 'e'))}},
      {"absolute", {Announce(2), Piece("Kivora", Bytes(5, 'n')), Piece(kAbsolute, Bytes(5, 'e'))}},
      {"symbolic link",
       {Announce(2), Piece("Kivora", Bytes(5, 'n')), Piece("escape\\outside.txt", Bytes(5, 'e'))}},
      {"bad m", {Announce(1), bad_m}},
      {"size mismatch",
       {Announce(2), Piece("Kivora", Bytes(5, 'n')), Piece("Plugins\\KivFriend.so", short_content)}},
      {"zlib bomb", {Announce(2), Piece("Kivora", Bytes(5, 'n')), Piece("Plugins\\KivFriend.so", bomb)}},
      {"beyond the cap", {Announce(2), Piece("Kivora", Bytes(5, 'n')), Piece("Plugins\\KivFriend.so", huge)}},
      {"extra file",
       {Announce(1), Piece("Kivora", Bytes(5, 'n'), false), Piece("Kivora", Bytes(5, 'n')),
        Piece("Plugins\\KivFriend.so", Bytes(5, 'e'))}},
      {"piece of another file",
       {Announce(2), Piece("Kivora", Bytes(5, 'n'), false), Piece("Datas\\keep.txt", Bytes(5, 'e'))}},
      {"piece first", {Piece("Kivora", Bytes(5, 'n')), Announce(1)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    THostileServer hostile(c.script);
    ASSERT_TRUE(hostile.Started());
    auto form = Form(hostile.Port(), false);
    EXPECT_TRUE(WaitForStatus(*form, ErrorText())) << form->StatusText().toStdString();
    // Whatever else arrives, nothing is installed.
    RunUntil([] { return false; }, 100);
    EXPECT_FALSE(form->Succeeded());
    ExpectOldClient();
    EXPECT_FALSE(fs::exists(outside));
    EXPECT_FALSE(fs::exists(kAbsolute));
    EXPECT_FALSE(fs::exists(client_ / "TempDownFile"));
  }
}

TEST_F(UpdaterTest, ServerKilledMidFileLeavesTheOldFilesAndRestartsTheOldClient) {
  const fs::path data = dir_.path() / "data";
  const int update_port = GetFreePort(22000, false);
  testing::TServerProcess process;
  std::string error;
  ASSERT_TRUE(process.Start(testing::ServerBinary(),
                            {"--data", data.string(), "--login-port", "0", "--home-port", "0",
                             "--update-port", std::to_string(update_port), "--hash-cost", "min"},
                            20000, &error))
      << error;
  Write(dir_.path() / "release" / "Kivora", RandomBytes(4 << 20, 6));
  std::string answer;
  ASSERT_TRUE(server::ControlRequest(
      data / "control.sock", {"publish-update", "201103", "1", (dir_.path() / "release").string()}, answer));
  ASSERT_EQ(answer.rfind("published", 0), 0u) << answer;

  auto form = Form(static_cast<std::uint16_t>(update_port), /*restart=*/true);
  ASSERT_TRUE(RunUntil([&] { return form->Receiver() && form->Receiver()->CurrentReceived() > 0; }))
      << form->StatusText().toStdString() << " " << form->LastError().toStdString() << " state "
      << (form->Receiver() ? static_cast<int>(form->Receiver()->State()) : -1);
  process.Signal(SIGKILL);
  process.Wait();
  ASSERT_TRUE(WaitForStatus(*form, ErrorText())) << form->StatusText().toStdString();
  EXPECT_NE(form->LastError().toStdString().find("went away"), std::string::npos);
  ExpectOldClient();
  EXPECT_FALSE(fs::exists(client_ / "TempDownFile"));
  form->close();  // with the restart flag the old client comes back
  ASSERT_EQ(desktop_.started.size(), 1u);
}

TEST(UpdateInstall, AFailedRenameRollsEveryReplacedFileBack) {
  TestDir dir;
  const fs::path app = dir.path() / "app", staging = dir.path() / "app" / "TempDownFile";
  Write(app / "a", Bytes(3, 'a'));
  Write(app / "b", Bytes(3, 'b'));
  Write(staging / "a", Bytes(4, 'A'));
  Write(staging / "new", Bytes(4, 'N'));
  Write(staging / "b", Bytes(4, 'B'));
  // The last target is a folder: its rename fails after "a" and "new" were installed.
  fs::remove(app / "b");
  fs::create_directories(app / "b" / "inside");
  std::vector<TStagedFile> files = {{"a", staging / "a", app / "a"},
                                    {"new", staging / "new", app / "new"},
                                    {"b", staging / "b", app / "b"}};
  std::string error;
  EXPECT_FALSE(InstallStagedFiles(files, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(Read(app / "a"), Bytes(3, 'a'));
  EXPECT_FALSE(fs::exists(app / "new"));
  EXPECT_TRUE(fs::is_directory(app / "b" / "inside"));
  for (const auto& entry : fs::directory_iterator(app))
    EXPECT_EQ(entry.path().filename().string().find("kivupdate-old"), std::string::npos) << entry.path();
}

}  // namespace
}  // namespace kiv::update
