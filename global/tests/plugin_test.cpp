#include "plugin/plugin_manager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "plugin_fixture/test_plugin.h"
#include "test_dir.h"

namespace kiv {
namespace {

using Reports = std::vector<std::string>;

const std::filesystem::path kFixtures = KIV_PLUGIN_FIXTURE_DIR;

// An application folder holding a chosen set of the test plug-ins, and the host over it. The host is
// also the process's PluginManager, so that the plug-ins can report back through ExeDealMessage.
class PluginHost : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(plugins()); }
  void TearDown() override {
    host_.reset();
    PluginManager = nullptr;
  }

  std::filesystem::path plugins() const { return app_.path() / "Plugins"; }

  void Install(const std::string& fixture, const std::string& as = {}) {
    std::filesystem::copy_file(kFixtures / (fixture + ".so"),
                               plugins() / (as.empty() ? fixture + ".so" : as));
  }

  // Installs the usual set and creates the host.
  void CreateHost() {
    for (const char* name : {"Alpha", "AlphaTwin", "Beta", "Thrower", "NoInfo", "KIVHORSE"}) Install(name);
    CreateEmptyHost();
  }
  void CreateEmptyHost() {
    host_ = std::make_unique<TPluginManager>(app_.path());
    PluginManager = host_.get();
    host_->ExeDealMessage = [this](std::uint32_t code, void* data, std::uint32_t size) {
      if (code == kFixtureReport) reports_.emplace_back(static_cast<const char*>(data), size);
    };
  }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& item : host_->Items()) names.push_back(item->info.name.Text());
    return names;
  }

  Reports TakeReports() { return std::exchange(reports_, {}); }

  TestDir app_;
  std::unique_ptr<TPluginManager> host_;
  Reports reports_;
};

TEST_F(PluginHost, ScanLoadsEveryPluginFileInNameOrderAndSkipsTheRest) {
  Install("Alpha", "kivHorse2.SO");  // on demand, whatever the case
  Install("Alpha", "KivZhuan.so");
  Install("Beta", "Gamma.dll");  // not a plug-in file name
  std::ofstream(plugins() / "Broken.so") << "not a shared library";
  std::filesystem::create_directory(plugins() / "Folder.so");
  CreateHost();

  // AlphaTwin reports the name of Alpha, loaded before it: refused. NoInfo lacks GetPluginInfo.
  EXPECT_EQ(Names(), (std::vector<std::string>{"KivAlpha", "KivBeta", "KivThrow"}));
  EXPECT_TRUE(host_->CheckPluginVersion("KivAlpha", 1000));
  EXPECT_EQ(host_->GetPlug("kivHorse"), nullptr);
  for (const auto& item : host_->Items()) EXPECT_EQ(item->working, 0);
  EXPECT_TRUE(TakeReports().empty());  // loading starts nothing

  // A second scan refuses every name it already has.
  host_->Start();
  EXPECT_EQ(Names(), (std::vector<std::string>{"KivAlpha", "KivBeta", "KivThrow"}));

  // The room lobby loads the skipped files itself.
  EXPECT_TRUE(host_->LoadPlugin(plugins() / "KIVHORSE.so"));
  EXPECT_NE(host_->GetPlug("KIVHORSE"), nullptr);
  EXPECT_FALSE(host_->LoadPlugin(plugins() / "KIVHORSE.so"));
  EXPECT_FALSE(host_->LoadPlugin(plugins() / "Missing.so"));
  EXPECT_FALSE(host_->LoadPlugin(plugins() / "NoInfo.so"));
  EXPECT_EQ(host_->Items().size(), 4u);
}

TEST_F(PluginHost, ScanOfAMissingFolderFindsNothing) {
  std::filesystem::remove(plugins());
  CreateEmptyHost();
  EXPECT_TRUE(host_->Items().empty());
  EXPECT_FALSE(host_->StartPlugin("KivAlpha"));
}

TEST(OnDemandPluginFiles, AreRecognisedInAnyCase) {
  for (const char* name :
       {"kivzhuan.so", "KIVZHUAN.SO", "kivHorse.so", "KivHorse.so", "kivhorse2.so", "KIVHORSE2.so"})
    EXPECT_TRUE(IsOnDemandPluginFile(name)) << name;
  for (const char* name : {"kivHorse3.so", "kivHorse.bpl", "xkivzhuan.so", "kivHorse", "KivFriend.so"})
    EXPECT_FALSE(IsOnDemandPluginFile(name)) << name;
}

TEST_F(PluginHost, NamesMatchWhateverTheCase) {
  CreateHost();
  TPluginItem* alpha = host_->GetPlug("KivAlpha");
  ASSERT_NE(alpha, nullptr);
  EXPECT_EQ(host_->GetPlug("KIVALPHA"), alpha);
  EXPECT_EQ(host_->GetPlug("kivalpha"), alpha);
  EXPECT_EQ(host_->GetPlug("KivAlph"), nullptr);
  EXPECT_TRUE(host_->CheckPluginVersion("KIVALPHA", 1000));
  EXPECT_FALSE(host_->CheckPluginVersion("KivAlpha", 2000));
  EXPECT_FALSE(host_->CheckPluginVersion("Nobody", 0));

  EXPECT_TRUE(host_->DealMessage("KIVALPHA", 0x70019, nullptr, 0));
  EXPECT_EQ(TakeReports(), (Reports{"KivAlpha:msg:70019:0"}));
}

TEST_F(PluginHost, StartAndStopByNameFollowTheWorkingFlag) {
  CreateHost();
  // Unknown names.
  EXPECT_FALSE(host_->StartPlugin("KivHint"));
  EXPECT_TRUE(host_->StopPlugin("KivHint"));
  EXPECT_FALSE(host_->GetPluginWorking("KivHint"));
  EXPECT_FALSE(host_->FreePlugin("KivHint"));
  char data[4] = {1, 2, 3, 4};
  EXPECT_FALSE(host_->DealMessage("KivHint", 0x70001, data, sizeof data));
  EXPECT_TRUE(TakeReports().empty());

  // Stopping an idle plug-in does not reach it.
  EXPECT_TRUE(host_->StopPlugin("KivAlpha"));
  EXPECT_TRUE(TakeReports().empty());

  // Starting a working plug-in starts it again (it brings its window to the front).
  EXPECT_TRUE(host_->StartPlugin("kivalpha"));
  EXPECT_TRUE(host_->GetPluginWorking("KivAlpha"));
  EXPECT_TRUE(host_->StartPlugin("KivAlpha"));
  EXPECT_EQ(TakeReports(), (Reports{"KivAlpha:start", "KivAlpha:start"}));

  EXPECT_TRUE(host_->StopPlugin("KIVALPHA"));
  EXPECT_FALSE(host_->GetPluginWorking("KivAlpha"));
  EXPECT_EQ(TakeReports(), (Reports{"KivAlpha:stop"}));

  // Beta answers 0 to both: the results say so, and the flag follows the host's calls anyway.
  EXPECT_FALSE(host_->StartPlugin("KivBeta"));
  EXPECT_TRUE(host_->GetPluginWorking("KivBeta"));
  EXPECT_FALSE(host_->StopPlugin("KivBeta"));
  EXPECT_FALSE(host_->GetPluginWorking("KivBeta"));
  EXPECT_EQ(TakeReports(), (Reports{"KivBeta:start", "KivBeta:stop"}));
}

TEST_F(PluginHost, StartAllStartsAutoStartPluginsWithoutMarkingThemWorking) {
  CreateHost();
  host_->StartAllPlugin();
  EXPECT_EQ(TakeReports(), (Reports{"KivAlpha:start", "KivThrow:start"}));
  for (const char* name : {"KivAlpha", "KivBeta", "KivThrow"})
    EXPECT_FALSE(host_->GetPluginWorking(name)) << name;

  // So a stop by name does not reach it, while freeing always does.
  EXPECT_TRUE(host_->StopPlugin("KivAlpha"));
  EXPECT_TRUE(TakeReports().empty());
  EXPECT_TRUE(host_->FreePlugin("KivAlpha"));
  EXPECT_EQ(TakeReports(), (Reports{"KivAlpha:stop"}));
  EXPECT_EQ(host_->GetPlug("KivAlpha"), nullptr);
  EXPECT_FALSE(host_->DealMessage("KivAlpha", 0x70019, nullptr, 0));
  EXPECT_FALSE(host_->FreePlugin("KivAlpha"));

  // Freed, the name can be loaded again, here from the other file that reports it.
  EXPECT_TRUE(host_->LoadPlugin(plugins() / "AlphaTwin.so"));
  EXPECT_TRUE(host_->CheckPluginVersion("KivAlpha", 2000));
}

TEST_F(PluginHost, AStopThatThrowsIsLoggedAndCountsAsDone) {
  CreateHost();
  ASSERT_TRUE(host_->StartPlugin("KivThrow"));
  EXPECT_TRUE(host_->StopPlugin("KivThrow"));
  EXPECT_FALSE(host_->GetPluginWorking("KivThrow"));
  EXPECT_EQ(TakeReports(), (Reports{"KivThrow:start", "KivThrow:stop"}));

  std::ifstream log(app_.path() / "1.txt", std::ios::binary);
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_TRUE(
      std::regex_match(text.str(), std::regex("\r\n\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d/KivThrow")))
      << text.str();

  // Freeing it fails the same way: the plug-in stays loaded, since its objects may still be alive.
  EXPECT_FALSE(host_->FreePlugin("KivThrow"));
  EXPECT_NE(host_->GetPlug("KivThrow"), nullptr);
  EXPECT_TRUE(host_->DealMessage("KivThrow", 0x70003, nullptr, 0));
}

TEST_F(PluginHost, LocalMessagesReachPluginsAndTheMainProgram) {
  CreateHost();
  std::uint32_t payload = 42;
  EXPECT_TRUE(host_->DealMessage("KivBeta", 0x70050, &payload, sizeof payload));
  host_->DealMessageToAll(0x100, nullptr, 0);
  EXPECT_EQ(TakeReports(), (Reports{"KivBeta:msg:70050:4", "KivAlpha:msg:100:0", "KivBeta:msg:100:0",
                                    "KivThrow:msg:100:0"}));

  // Before the main program assigns its handler, a plug-in's message to it goes nowhere.
  host_->ExeDealMessage = nullptr;
  EXPECT_FALSE(host_->ExeDealMessage);
  EXPECT_TRUE(host_->StartPlugin("KivAlpha"));
  EXPECT_TRUE(reports_.empty());
}

TEST_F(PluginHost, ReloadPicksUpWhatPluginsNowReport) {
  CreateHost();
  std::int32_t version = 1234;
  ASSERT_TRUE(host_->DealMessage("KivAlpha", kFixtureSetVersion, &version, sizeof version));
  EXPECT_TRUE(host_->CheckPluginVersion("KivAlpha", 1000));  // the stored copy until reloaded
  host_->ReloadPluginInfo();
  EXPECT_TRUE(host_->CheckPluginVersion("KivAlpha", 1234));
  EXPECT_TRUE(host_->CheckPluginVersion("KivBeta", 1001));
  host_->HideAllPlugin();
  EXPECT_EQ(host_->Items().size(), 3u);
}

TEST_F(PluginHost, StoredInfoKeepsTheRecordAndTheHandlers) {
  CreateHost();
  const TPluginInfo& alpha = host_->GetPlug("KivAlpha")->info;
  EXPECT_EQ(alpha.caption.Text(), "测试插件");
  EXPECT_EQ(alpha.kind, kPluginKindOther);
  EXPECT_EQ(alpha.auto_start, 1);
  EXPECT_EQ(alpha.active_graphic.Text(), "KivAlphaActive");
  EXPECT_EQ(alpha.inactive_graphic.Text(), "KivAlphaInActive");

  // The packed layout: name, caption, kind, auto-start, version, the two handlers, the graphics.
  std::uint8_t bytes[sizeof(TPluginInfo)];
  std::memcpy(bytes, &alpha, sizeof bytes);
  EXPECT_EQ(sizeof bytes, sizeof(void*) == 8 ? 106u : 98u);
  EXPECT_EQ(bytes[0], 8);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes + 1), 8), "KivAlpha");
  EXPECT_EQ(bytes[21], 8);  // "测试插件" is 8 GBK bytes
  EXPECT_EQ(bytes[42], 3);
  EXPECT_EQ(bytes[43], 1);
  EXPECT_EQ(bytes[44] | bytes[45] << 8 | bytes[46] << 16 | bytes[47] << 24, 1000);
  EXPECT_EQ(bytes[48 + 2 * sizeof(void*)], 14);  // "KivAlphaActive"

  ASSERT_NE(alpha.on_data, nullptr);
  ASSERT_NE(alpha.on_disconnect, nullptr);
  alpha.on_data(7, "hello", 5);
  alpha.on_disconnect(7, 2);
  EXPECT_EQ(TakeReports(), (Reports{"KivAlpha:data:7:hello", "KivAlpha:lost:7:2"}));
  EXPECT_EQ(host_->GetPlug("KivBeta")->info.on_data, nullptr);
}

TEST_F(PluginHost, DestroyStopsAndUnloadsLastLoadedFirst) {
  CreateHost();
  host_->StartPlugin("KivBeta");
  TakeReports();
  Reports seen;
  host_->ExeDealMessage = [&seen](std::uint32_t code, void* data, std::uint32_t size) {
    if (code == kFixtureReport) seen.emplace_back(static_cast<const char*>(data), size);
  };
  host_.reset();
  EXPECT_EQ(seen, (Reports{"KivThrow:stop", "KivBeta:stop", "KivAlpha:stop"}));
  // The process's host is gone, and so is the variable that named it.
  EXPECT_EQ(PluginManager, nullptr);
}

TEST_F(PluginHost, FilesThatAreNoPluginsAreLogged) {
  std::ofstream(plugins() / "Broken.so") << "not a shared library";
  CreateHost();
  std::ifstream in(app_.path() / std::string(kErrorLogName));
  const std::string log((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(log.find("Broken.so not loaded"), std::string::npos) << log;
  EXPECT_NE(log.find("NoInfo.so is not a plug-in"), std::string::npos) << log;
}

TEST_F(PluginHost, StopStopsWorkingPluginsLastLoadedFirst) {
  CreateHost();
  host_->StartPlugin("KivAlpha");
  host_->StartPlugin("KivThrow");
  TakeReports();
  host_->Stop();
  EXPECT_EQ(TakeReports(), (Reports{"KivThrow:stop", "KivAlpha:stop"}));
  EXPECT_TRUE(std::filesystem::exists(app_.path() / "1.txt"));
}

}  // namespace
}  // namespace kiv
