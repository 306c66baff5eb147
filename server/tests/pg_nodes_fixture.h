// Home nodes of the server sharing one database of a private PostgreSQL cluster: one cluster per
// test suite, a fresh database per test, nodes started in-process on free ports with the demo users.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "pg_cluster.h"
#include "protocol_client.h"
#include "server.h"
#include "test_dir.h"

namespace kiv::server {

class PgNodesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { cluster_ = new kiv::testing::TPgCluster(); }
  static void TearDownTestSuite() {
    delete cluster_;
    cluster_ = nullptr;
  }
  void SetUp() override {
    if (!cluster_->Available()) GTEST_SKIP() << "PostgreSQL cannot start here: " << cluster_->Reason();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    url_ = cluster_->CreateDatabase(std::string("kiv_") + info->name());
    ASSERT_FALSE(url_.empty());
  }

  std::unique_ptr<TServer> Node(const std::string& name) {
    TServerOptions o;
    o.data_dir = dir_.path() / name;
    o.store = url_;
    o.node = name;
    o.seed_demo = true;
    o.login_port = 0;  // tests run side by side: any free ports
    o.home_port = 0;
    o.update_port = 0;
    o.hash_cost = "min";
    o.log_to_stderr = false;
    auto s = std::make_unique<TServer>(o);
    std::string error;
    EXPECT_TRUE(s->Start(&error)) << error;
    return s;
  }

  static kiv::testing::TProtocolClient::SignIn SignIn(kiv::testing::TProtocolClient& c, TServer& node,
                                                      std::uint32_t user) {
    kiv::testing::TLoginFields f;
    f.user = user;
    f.password = kDemoPassword;
    return c.SignInVia({"127.0.0.1", node.LoginPort()}, f);
  }

  inline static kiv::testing::TPgCluster* cluster_ = nullptr;
  std::string url_;
  TestDir dir_;
};

}  // namespace kiv::server
