#include <gtest/gtest.h>

#include "base/files.h"
#include "config.h"
#include "protocol.h"
#include "test_dir.h"

namespace kiv::server {
namespace {

TEST(ConfigTest, DefaultsFillTheParameterBlock) {
  TServerConfig c = DefaultConfig();
  ASSERT_EQ(c.parameters.size(), proto::params::kSize);
  RecordReader p(c.parameters);
  EXPECT_EQ(p.u32(0), proto::kServerParameters);
  EXPECT_EQ(p.u8(proto::params::kChatRelay), 1);
  EXPECT_EQ(p.u32(proto::params::kTransferFee), 10u);
  EXPECT_EQ(c.login_port, 9009);
  EXPECT_EQ(c.hash_cost, THashCost::kInteractive);
}

TEST(ConfigTest, FileOverridesAndReportsBadValues) {
  TestDir dir;
  auto ini = dir.path() / "s.ini";
  ASSERT_TRUE(WriteFileAtomic(ini, std::string_view("[server]\nannounce=10.0.0.5\nhash_cost=min\n"
                                                    "[home]\nport=0\noverflow=10.0.0.6:9010\n"
                                                    "[version]\nlatest=201200\nmode=2\n"
                                                    "[web]\ndemo_payments=1\n"
                                                    "[limits]\nsign_in_burst=5\nsign_in_per_second=0\n"
                                                    "[parameters]\ntransfer_fee=7\nchat_relay=0\n")));
  std::vector<std::string> errors;
  TServerConfig c = LoadConfig(ini, &errors);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(c.announce, "10.0.0.5");
  EXPECT_EQ(c.home_port, 0);
  EXPECT_EQ(c.home_overflow, (WireAddress{"10.0.0.6", 9010}));
  EXPECT_EQ(c.latest_version, 201200);
  EXPECT_EQ(c.update_mode, 2);
  EXPECT_EQ(c.Announced(c.lobby), (WireAddress{"10.0.0.5", 9011}));
  EXPECT_EQ(RecordReader(c.parameters).u32(proto::params::kTransferFee), 7u);
  EXPECT_EQ(RecordReader(c.parameters).u8(proto::params::kChatRelay), 0);
  EXPECT_TRUE(c.demo_payments);
  EXPECT_EQ(c.sign_in_burst, 5);
  EXPECT_EQ(c.sign_in_per_second, 0);

  ASSERT_TRUE(WriteFileAtomic(ini, std::string_view("[server]\nannounce=example.org\nhash_cost=cheap\n"
                                                    "[login]\nport=70000\n[version]\nmode=9\n"
                                                    "[limits]\nsign_in_burst=-1\n")));
  errors.clear();
  c = LoadConfig(ini, &errors);
  EXPECT_EQ(errors.size(), 5u);
  EXPECT_EQ(c.sign_in_burst, DefaultConfig().sign_in_burst);
  EXPECT_EQ(c.announce, "127.0.0.1");
  EXPECT_EQ(c.login_port, 9009);
}

// A home node cannot hold more users than its endpoint holds connections: larger values, and
// values below zero, end up within 0 .. 9000.
TEST(ConfigTest, MaxUsersStaysWithinWhatAHomeEndpointHolds) {
  TestDir dir;
  auto ini = dir.path() / "s.ini";
  const struct {
    const char* value;
    std::uint32_t expected;
  } cases[] = {{"10000", 9000}, {"70000", 9000}, {"9000", 9000}, {"5", 5}, {"0", 0}, {"-1", 0}};
  for (const auto& c : cases) {
    ASSERT_TRUE(WriteFileAtomic(ini, std::string_view("[server]\nmax_users=" + std::string(c.value) + "\n")));
    std::vector<std::string> errors;
    EXPECT_EQ(LoadConfig(ini, &errors).max_users, c.expected) << c.value;
    EXPECT_TRUE(errors.empty()) << c.value;
  }
  EXPECT_EQ(DefaultConfig().max_users, 9000u);
}

}  // namespace
}  // namespace kiv::server

namespace kiv::server {
namespace {

TEST(ConfigTest, ShippedExampleLoadsWithoutErrorsAndMatchesTheDefaults) {
  std::vector<std::string> errors;
  TServerConfig c =
      LoadConfig(std::filesystem::path(KIV_SOURCE_DIR) / "server/kivora-server.ini.example", &errors);
  EXPECT_TRUE(errors.empty()) << errors.front();
  TServerConfig d = DefaultConfig();
  EXPECT_EQ(c.parameters, d.parameters);
  EXPECT_EQ(c.announce, d.announce);
  EXPECT_EQ(c.home_port, d.home_port);
  EXPECT_EQ(c.hash_cost, d.hash_cost);
  // The shipped file credits no currency by itself; the rate it shows is the default.
  EXPECT_FALSE(c.demo_payments);
  EXPECT_EQ(c.sign_in_burst, d.sign_in_burst);
  EXPECT_EQ(c.sign_in_per_second, d.sign_in_per_second);
}

}  // namespace
}  // namespace kiv::server
