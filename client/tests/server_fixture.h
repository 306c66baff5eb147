// The client against the real reference server: kivora-server runs as a child process on loopback
// with a fresh store and the demo users (10001, 10002, 10003, password "kivora"); its admin command
// sends what an operator would.
#pragma once

#include <QProcess>

#include "protocol_client.h"
#include "server_process.h"
#include "session_fixture.h"

namespace kiv {

class RealServerTest : public ClientTest {
 protected:
  void SetUp() override {
    ClientTest::SetUp();
    if (!std::filesystem::exists(testing::ServerBinary())) GTEST_SKIP() << "kivora-server is not built";
    std::string error;
    ASSERT_TRUE(server_.Start(testing::ServerBinary(),
                              {"--data", data_.path().string(), "--seed-demo", "--login-port", "0",
                               "--home-port", "0", "--web-port", "0", "--hash-cost", "min", "--announce",
                               "127.0.0.1"},
                              20000, &error))
        << error;
    WriteConfig(server_.Login().port, server_.Web().port);
  }

  // Runs `kivora-server admin` against the running server; its output.
  QString Admin(const QStringList& arguments) {
    QProcess admin;
    admin.start(QString::fromStdString(testing::ServerBinary().string()),
                QStringList{QStringLiteral("admin"), QStringLiteral("--data"),
                            QString::fromStdString(data_.path().string())} +
                    arguments);
    EXPECT_TRUE(RunUntil([&] { return admin.state() == QProcess::NotRunning; }));
    return QString::fromUtf8(admin.readAllStandardOutput());
  }

  void SignInAs(const QString& code, const QString& password, bool invisible = false) {
    StartClient();
    ASSERT_TRUE(LoginWindowShown());
    PressLogin(code, password, invisible);
    ASSERT_TRUE(SignedIn());
  }

  // Changes an account's profile from a second connection, before the client signs in; the result
  // of 0x30015.
  int ChangeProfileAside(const testing::TProfileChangeFields& fields, const std::string& password) {
    testing::TProtocolClient other;
    testing::TLoginFields login;
    login.user = fields.user;
    login.password = password;
    const auto signed_in = other.SignInVia(server_.Login(), login);
    if (!signed_in.ok()) return -1;
    const auto reply =
        other.Ask(signed_in.home, testing::ProfileChangeRequest(fields), kMsgProfileChangeResult);
    return reply && reply->size() > 4 ? (*reply)[4] : -1;
  }

  TestDir data_;
  testing::TServerProcess server_;
};

}  // namespace kiv
