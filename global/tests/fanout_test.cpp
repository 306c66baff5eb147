// The message fan-out over the real transport: this process starts it with StartUDP (mode 0, on a
// Qt event loop) and loads real test plug-ins; second engines on loopback play the servers.
#include "udp/global_udp.h"

#include <gtest/gtest.h>

#include "qt_wait.h"
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <chrono>
#include <deque>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "plugin/plugin_manager.h"
#include "plugin_fixture/test_plugin.h"
#include "test_dir.h"
#include "udp_interface.h"
#include "udp_kivudp.h"

namespace kiv {
namespace {

using namespace std::chrono_literals;
using Reports = std::vector<std::string>;

const std::filesystem::path kFixtures = KIV_PLUGIN_FIXTURE_DIR;

// What the main program's handlers and the plug-ins saw, in the order they saw it.
Reports* g_reports = nullptr;

// The main program's handlers: they report like the test plug-ins, and the data handler throws on
// a message that begins with "halt".
void MainOnData(std::uint16_t remote, const void* data, std::uint32_t size) {
  std::string text(static_cast<const char*>(data), size);
  g_reports->push_back("main:data:" + std::to_string(remote) + ":" + text);
  if (text.starts_with("halt")) throw std::runtime_error("the main program could not take the message");
}

void MainOnLost(std::uint16_t remote, std::uint8_t reason) {
  g_reports->push_back("main:lost:" + std::to_string(remote) + ":" + std::to_string(reason));
}

// A second engine in this process (mode 1, its own threads), standing in for a server.
struct TPeerEngine {
  TPeerEngine() {
    engine.SetCallbacks(
        [this](std::uint16_t h, const std::uint8_t* d, std::uint32_t n) {
          std::lock_guard lock(mutex);
          messages.push_back({h, {d, d + n}});
        },
        [](std::uint16_t, std::uint8_t) {});
    engine.Start(0, 1);
  }
  std::size_t Count() {
    std::lock_guard lock(mutex);
    return messages.size();
  }
  std::uint16_t FirstSender() {
    std::lock_guard lock(mutex);
    return messages.at(0).first;
  }
  std::mutex mutex;
  std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> messages;
  TKivUDP engine{TEngineOptions{}};  // last: stopped (and its last callbacks run) before the records go
};

// One peer connected to this process: `handle` names it here, `back` names this process there.
struct TLink {
  std::unique_ptr<TPeerEngine> peer = std::make_unique<TPeerEngine>();
  std::uint16_t handle = 0;
  std::uint16_t back = 0;

  void Send(const std::string& text) {
    ASSERT_TRUE(peer->engine.SendData(back, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()},
                                      3, 0, 0));
  }
};

class FanOutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_reports = &reports_;
    std::filesystem::create_directories(app_.path() / "Plugins");
  }
  void TearDown() override {
    UDPStop();  // while the peers are there to answer the disconnects
    links_.clear();
    ExeOnDataRecive = nullptr;
    ExeOnDisConnect = nullptr;
    host_.reset();
    PluginManager = nullptr;
    g_reports = nullptr;
  }

  // Installs the test plug-ins, creates the host over them and the main program's handlers (or
  // not), then starts the transport.
  void Start(std::initializer_list<const char*> fixtures, bool main_handlers) {
    for (const char* name : fixtures)
      std::filesystem::copy_file(kFixtures / (std::string(name) + ".so"),
                                 app_.path() / "Plugins" / (std::string(name) + ".so"));
    host_ = std::make_unique<TPluginManager>(app_.path());
    PluginManager = host_.get();
    host_->ExeDealMessage = [](std::uint32_t code, void* data, std::uint32_t size) {
      if (code == kFixtureReport) g_reports->emplace_back(static_cast<const char*>(data), size);
    };
    if (main_handlers) {
      ExeOnDataRecive = &MainOnData;
      ExeOnDisConnect = &MainOnLost;
    }
    ASSERT_TRUE(StartUDP(0));
  }

  // Connects a new peer; this process greets it so that it learns its handle for us.
  TLink& Connect() {
    TLink& link = links_.emplace_back();
    std::uint32_t handle = UDPConnect("127.0.0.1", link.peer->engine.LocalPort(), 5000);
    EXPECT_NE(handle, 0u);
    link.handle = static_cast<std::uint16_t>(handle);
    EXPECT_TRUE(UDPSendData(link.handle, "hi", 2, 3, 0, 0));
    EXPECT_TRUE(RunUntil([&] { return link.peer->Count() == 1; }));
    link.back = link.peer->FirstSender();
    return link;
  }

  // The peer sends the texts in order on one channel and then "end"; once something has seen
  // "end", every earlier message has gone round. The reports of "end" are left out.
  Reports Exchange(TLink& link, const std::vector<std::string>& texts) {
    for (const auto& text : texts) link.Send(text);
    link.Send("end");
    std::string end_report = ":data:" + std::to_string(link.handle) + ":end";
    EXPECT_TRUE(RunUntil([&] {
      for (const auto& report : reports_)
        if (report.ends_with(end_report)) return true;
      return false;
    }));
    Reports seen;
    for (auto& report : std::exchange(reports_, {}))
      if (!report.ends_with(end_report)) seen.push_back(std::move(report));
    return seen;
  }

  // The peer ends the association; waits until `last` has heard of it.
  Reports Disconnect(TLink& link, const std::string& last) {
    EXPECT_TRUE(link.peer->engine.Disconnect(link.back));
    std::string lost = last + ":lost:" + std::to_string(link.handle) + ":1";
    EXPECT_TRUE(RunUntil([&] { return !reports_.empty() && reports_.back() == lost; }));
    return std::exchange(reports_, {});
  }

  static std::string Data(const std::string& who, const TLink& link, const std::string& text) {
    return who + ":data:" + std::to_string(link.handle) + ":" + text;
  }
  static std::string Lost(const std::string& who, const TLink& link, int reason) {
    return who + ":lost:" + std::to_string(link.handle) + ":" + std::to_string(reason);
  }

  TestDir app_;
  std::unique_ptr<TPluginManager> host_;
  std::deque<TLink> links_;  // Connect hands out references that must stay valid
  Reports reports_;
};

TEST_F(FanOutTest, EveryMessageAndLostPeerReachesTheMainProgramThenThePluginsLastLoadedFirst) {
  // Load order Alpha, Beta, Omega; Beta reports no handlers. None of them is started.
  Start({"Alpha", "Beta", "Omega"}, true);
  TLink& link = Connect();
  const std::string code("\x01\x00\x03\x00", 4);  // a message code nobody here knows
  const std::string large(3000, 'x');             // three fragments, handed over whole
  EXPECT_EQ(
      Exchange(link, {code, large}),
      (Reports{Data("main", link, code), Data("KivOmega", link, code), Data("KivAlpha", link, code),
               Data("main", link, large), Data("KivOmega", link, large), Data("KivAlpha", link, large)}));

  EXPECT_EQ(Disconnect(link, "KivAlpha"),
            (Reports{Lost("main", link, 1), Lost("KivOmega", link, 1), Lost("KivAlpha", link, 1)}));
}

TEST_F(FanOutTest, AHandlerThatThrowsStopsOnlyThatMessage) {
  // Walk order Omega, Gamma, Alpha. Gamma throws on "boom" and on every lost peer, the main
  // program on "halt".
  Start({"Alpha", "Beta", "Gamma", "Omega"}, true);
  TLink& link = Connect();
  EXPECT_EQ(
      Exchange(link, {"boom", "halt", "after"}),
      (Reports{Data("main", link, "boom"), Data("KivOmega", link, "boom"), Data("KivGamma", link, "boom"),
               Data("main", link, "halt"), Data("main", link, "after"), Data("KivOmega", link, "after"),
               Data("KivGamma", link, "after"), Data("KivAlpha", link, "after")}));

  TLink& other = Connect();
  EXPECT_EQ(Disconnect(link, "KivGamma"),
            (Reports{Lost("main", link, 1), Lost("KivOmega", link, 1), Lost("KivGamma", link, 1)}));
  EXPECT_EQ(Exchange(other, {"next"}),
            (Reports{Data("main", other, "next"), Data("KivOmega", other, "next"),
                     Data("KivGamma", other, "next"), Data("KivAlpha", other, "next")}));
}

TEST_F(FanOutTest, WithoutPluginsOnlyTheMainProgramHears) {
  Start({}, true);
  TLink& link = Connect();
  EXPECT_EQ(Exchange(link, {"one", "two"}), (Reports{Data("main", link, "one"), Data("main", link, "two")}));

  // Nor does it matter when there is no plug-in host at all.
  host_.reset();
  PluginManager = nullptr;
  EXPECT_EQ(Exchange(link, {"three"}), (Reports{Data("main", link, "three")}));
  EXPECT_EQ(Disconnect(link, "main"), (Reports{Lost("main", link, 1)}));
}

TEST_F(FanOutTest, WithoutTheMainProgramsHandlersThePluginsStillHearEverything) {
  Start({"Alpha", "Omega"}, false);
  TLink& link = Connect();
  EXPECT_EQ(Exchange(link, {"hello"}),
            (Reports{Data("KivOmega", link, "hello"), Data("KivAlpha", link, "hello")}));
  EXPECT_EQ(Disconnect(link, "KivAlpha"), (Reports{Lost("KivOmega", link, 1), Lost("KivAlpha", link, 1)}));
}

TEST_F(FanOutTest, APluginFreedByAHandlerIsNotCalledForTheMessageGoingRound) {
  // Omega, first in the walk, frees Alpha, which was still to come: the walk passes it over.
  Start({"Alpha", "Omega"}, true);
  TLink& link = Connect();
  EXPECT_EQ(Exchange(link, {"free:KivAlpha", "later"}),
            (Reports{Data("main", link, "free:KivAlpha"), Data("KivOmega", link, "free:KivAlpha"),
                     "KivAlpha:stop", Data("main", link, "later"), Data("KivOmega", link, "later")}));
}

TEST(StartUDP, ReportsAPortItCannotOpenAndCanThenStartOnAnother) {
  int busy = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(busy, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ASSERT_EQ(::bind(busy, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(::getsockname(busy, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::uint16_t busy_port = ntohs(address.sin_port);

  EXPECT_FALSE(StartUDP(busy_port));
  EXPECT_FALSE(StartUDP(busy_port));
  ASSERT_TRUE(StartUDP(0));
  EXPECT_TRUE(StartUDP(busy_port));  // already running: no second start

  TPeerEngine peer;
  std::uint32_t handle = UDPConnect("127.0.0.1", peer.engine.LocalPort(), 5000);
  ASSERT_NE(handle, 0u);
  EXPECT_TRUE(UDPSendData(static_cast<std::uint16_t>(handle), "hi", 2, 3, 0, 0));
  EXPECT_TRUE(RunUntil([&] { return peer.Count() == 1; }));
  EXPECT_TRUE(UDPStop());
  ::close(busy);
}

}  // namespace
}  // namespace kiv

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
