// A server in process on free loopback ports, with the demo users and the cheapest password hash,
// and the protocol client's helpers around it.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "protocol.h"
#include "protocol_client.h"
#include "schema.h"
#include "server.h"
#include "test_dir.h"

namespace kiv::server {

class ServerFixture : public ::testing::Test {
 protected:
  void SetUp() override { StartServer(); }
  void TearDown() override { server_.reset(); }

  void StartServer(TServerOptions extra = {}) {
    extra.data_dir = dir_.path() / "data";
    extra.seed_demo = true;
    extra.login_port = 0;
    extra.home_port = 0;
    extra.update_port = 0;
    extra.hash_cost = "min";
    // Never the shared default port: another test's clients would reach this server's web site.
    if (!extra.web_port) extra.web_port = 0;
    extra.log_to_stderr = false;
    server_ = std::make_unique<TServer>(extra);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
  }
  void RestartServer() {
    server_.reset();
    StartServer();
  }

  WireAddress Login() const { return {"127.0.0.1", server_->LoginPort()}; }
  WireAddress Home() const { return {"127.0.0.1", server_->HomePort()}; }

  // Signs `user` in with `password` through the login and home roles.
  kiv::testing::TProtocolClient::SignIn SignIn(kiv::testing::TProtocolClient& client, std::uint32_t user,
                                               const std::string& password = kDemoPassword,
                                               std::uint8_t state = 1) {
    kiv::testing::TLoginFields f;
    f.user = user;
    f.password = password;
    f.state = state;
    return client.SignInVia(Login(), f);
  }

  std::int64_t Balance(std::uint32_t user) {
    auto a = server_->Store().Find(user);
    return a ? a->money : -1;
  }

  TestDir dir_;
  std::unique_ptr<TServer> server_;
};

}  // namespace kiv::server
