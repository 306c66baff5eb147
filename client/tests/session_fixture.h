// The session tests' fixture: an application folder of its own (the built skins, faces, sounds and
// the notice plug-in), a login server and a home server on loopback that answer like the service,
// and the real main window with its session manager on the offscreen platform.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QPointer>
#include <QUrl>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/text_checks.h"
#include "declare/declare.h"
#include "ma_main.h"
#include "ma_records.h"
#include "manager/global_manager.h"
#include "manager/message_forms.h"
#include "plugin/plugin_manager.h"
#include "qt_wait.h"
#include "scripted_server.h"
#include "test_dir.h"

namespace kiv {

inline constexpr std::uint32_t kGuestCode = 90001;

// Answers of the two servers; the test changes them before it starts the client.
struct TServerScript {
  std::int32_t latest_version = 0;  // 0: the running version
  std::uint8_t update_mode = 1;
  bool answer_version = true;
  std::uint32_t user = 10001;
  std::string password = "kivora";
  std::uint32_t balance = 1000;
  bool answer_home = true;
  std::vector<Bytes> before_redirect;  // sent by the login server just before its redirect
};

inline Bytes LoginReply(std::uint32_t code, std::uint8_t result) {
  RecordWriter w(kLoginReplySize);
  w.u32(0, kMsgLoginReply).u32(4, code).u8(8, result);
  return w.take();
}

inline Bytes Broadcast(std::uint8_t kind, const std::string& text) {
  RecordWriter w(265);
  w.u32(0, kMsgBroadcast).u8(8, kind).text(9, 255, text);
  return w.take();
}

inline Bytes CodeRecord(std::uint32_t code, std::uint32_t user, std::uint32_t value) {
  RecordWriter w(12);
  w.u32(0, code).u32(4, user).u32(8, value);
  return w.take();
}

inline Bytes KickOut(std::uint8_t kind, std::uint32_t user) {
  RecordWriter w(9);
  w.u32(0, kMsgKickOut).u8(4, kind).u32(5, user);
  return w.take();
}

// The client's side: the application folder and the main window with its session manager.
class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::filesystem::path bin = KIV_BIN_DIR;
    for (const char* folder : {"skins", "faces", "Sounds"})
      std::filesystem::create_directory_symlink(bin / folder, app_.path() / folder);
    std::filesystem::create_directories(app_.path() / "Plugins");
    std::filesystem::copy_file(bin / "Plugins" / "KivHint.so", app_.path() / "Plugins" / "KivHint.so");
  }

  void TearDown() override {
    form_.reset();
    std::vector<QPointer<QWidget>> windows;
    for (QWidget* window : QApplication::topLevelWidgets()) windows.emplace_back(window);
    for (const auto& window : windows) delete window.data();
    QCoreApplication::processEvents();
  }

  void WriteConfig(std::uint16_t login_port, std::uint16_t web_port = 8080) {
    const auto config = app_.path() / "DBConfig.ini";
    std::ofstream(config) << "[Server]\nLoginServer=127.0.0.1\nLoginPort=" << login_port
                          << "\nHomePage=http://127.0.0.1:" << web_port << "\n";
    SetAppType(1, config);
  }

  TManagerOptions Options() {
    TManagerOptions options;
    options.app_folder = app_.path();
    options.connect_timeout_ms = 2000;
    options.login_timeout_ms = login_timeout_ms_;
    options.reconnect_delay_ms = 300;
    options.drop_login_delay_ms = 300;
    options.exit_after_notice_ms = 200;
    options.run_program = [this](const std::string& program, const std::vector<std::string>& arguments) {
      std::string line = program;
      for (const std::string& a : arguments) line += " " + a;
      commands_.push_back(line);
    };
    options.open_url = [this](const QUrl& url) {
      opened_.push_back(url);
      return true;
    };
    options.play_sound = [this](const std::filesystem::path& file) { sounds_.push_back(file); };
    options.exit_program = [this] { ++exits_; };
    options.autostart_folder = app_.path() / "autostart";
    return options;
  }

  void StartClient() { form_ = std::make_unique<TMainForm>(Options()); }
  TManager& Manager() { return *form_->Manager(); }

  bool LoginWindowShown() {
    return RunUntil(
        [this] { return form_->Manager()->LoginForm() && form_->Manager()->LoginForm()->isVisible(); });
  }

  // Types the credentials into the login window and presses "登录" (or "游客登录").
  void PressLogin(const QString& code, const QString& password, bool invisible = false, bool guest = false) {
    TLoginForm* login = Manager().EnsureLoginForm();
    login->UserCodeBox()->setEditText(code);
    login->PasswordBox()->setText(password);
    login->InvisibleBox()->setChecked(invisible);
    (guest ? login->GuestButton() : login->LoginButton())->click();
  }

  bool SignedIn() {
    return RunUntil([] { return GlobalManager && GlobalManager->RunState == kRunSignedIn; });
  }

  // The texts of the message windows now open.
  static std::vector<QString> Messages() {
    std::vector<QString> texts;
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (auto* form = qobject_cast<TMessageForm*>(window); form && form->isVisible())
        texts.push_back(form->TextLabel()->text());
    }
    return texts;
  }
  static bool MessageShown(const QString& text) {
    return RunUntil([&] {
      for (const QString& t : Messages())
        if (t == text) return true;
      return false;
    });
  }

  // Answers the next question window with Yes or No.
  static void AnswerQuestion(bool yes) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, yes] {
      for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(window);
        if (!box || !box->isVisible()) continue;
        auto* button =
            box->findChild<QAbstractButton*>(yes ? QStringLiteral("YesButton") : QStringLiteral("NoButton"));
        if (!button) continue;
        button->click();
        timer->deleteLater();
        return;
      }
    });
    timer->start(20);
  }

  TestDir app_;
  int login_timeout_ms_ = 10000;
  std::unique_ptr<TMainForm> form_;
  std::vector<std::string> commands_;
  std::vector<QUrl> opened_;
  std::vector<std::filesystem::path> sounds_;
  int exits_ = 0;
};

// The client against two scripted servers.
class SessionTest : public ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    WriteConfig(login_.Port());
    InstallServers();
  }

  void SignIn() {
    StartClient();
    ASSERT_TRUE(LoginWindowShown());
    PressLogin(QStringLiteral("10001"), QStringLiteral("kivora"));
    ASSERT_TRUE(SignedIn());
    ASSERT_TRUE(RunUntil([this] { return home_handle_ != 0; }));
  }

  void InstallServers() {
    login_.SetHandler([this](TScriptedServer& server, std::uint16_t handle, const Bytes& m) {
      if (m.size() < 4 || LoadU32(m.data()) != kMsgLoginRequest) return;
      RecordReader r(m);
      const std::uint8_t state = r.u8(49);
      if (state == kLoginVersionCheck) {
        if (!script_.answer_version) return;
        RecordWriter w(kLoginReplySize);
        w.u32(0, kMsgLoginReply).u8(8, kLoginVersionInfo);
        w.i32(78, script_.latest_version != 0 ? script_.latest_version : CURRENTVERSION)
            .u8(82, script_.update_mode);
        w.address(142, {"127.0.0.1", 9012});
        server.Send(handle, w.take());
        return;
      }
      const bool guest = state == kLoginGuest;
      if (!guest && (r.u32(4) != script_.user || r.gbk(8, 40) != MD5(script_.password, 2))) {
        server.Send(handle, LoginReply(r.u32(4), kLoginWrongPassword));
        return;
      }
      for (const Bytes& early : script_.before_redirect) server.Send(handle, early);
      RecordWriter w(kLoginReplySize);
      w.u32(0, kMsgLoginReply).u32(4, guest ? kGuestCode : script_.user).u8(8, kLoginRedirect);
      w.address(88, {"127.0.0.1", home_.Port()})
          .address(106, {"127.0.0.1", 9011})
          .address(142, {"127.0.0.1", 9012});
      w.u8(196, 1);
      server.Send(handle, w.take());
    });
    home_.SetHandler([this](TScriptedServer& server, std::uint16_t handle, const Bytes& m) {
      if (m.size() < 4 || LoadU32(m.data()) != kMsgLoginRequest || !script_.answer_home) return;
      RecordReader r(m);
      home_handle_ = handle;
      RecordWriter w(kLoginReplySize);
      w.u32(0, kMsgLoginReply)
          .u32(4, r.u32(4))
          .u8(8, kLoginSignedIn)
          .text(9, 40, "小明")
          .u32(50, script_.balance);
      w.u8(54, 3).address(55, {"127.0.0.1", 4000}).u32(73, 12).u8(77, r.u32(4) == kGuestCode ? 20 : 1);
      server.Send(handle, w.take());
    });
  }

  TScriptedServer login_;
  TScriptedServer home_;
  TServerScript script_;
  std::atomic<std::uint16_t> home_handle_{0};
};

}  // namespace kiv
