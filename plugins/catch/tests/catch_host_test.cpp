// The built KivCatch.so as the plug-in host finds and drives it, on the offscreen platform, which
// has no desktop to grab.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPointer>
#include <QTextEdit>
#include <filesystem>
#include <memory>

#include "manager/global_manager.h"
#include "manager/message_forms.h"
#include "plugin/plugin_manager.h"
#include "private_runtime.h"
#include "qt_app.h"
#include "qt_wait.h"
#include "test_dir.h"

namespace kiv {
namespace {

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

class CatchHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir_.path() / "Plugins");
    std::filesystem::copy_file(std::filesystem::path(KIV_BIN_DIR) / "Plugins" / "KivCatch.so",
                               dir_.path() / "Plugins" / "KivCatch.so");
    global_ = std::make_unique<TGlobalManager>(dir_.path());
    GlobalManager = global_.get();
    host_ = std::make_unique<TPluginManager>(dir_.path());
    PluginManager = host_.get();
  }
  void TearDown() override {
    std::vector<QPointer<QWidget>> windows;
    for (QWidget* window : QApplication::topLevelWidgets()) windows.emplace_back(window);
    for (const auto& window : windows) delete window.data();
    host_.reset();
    GlobalManager = nullptr;
  }
  static std::vector<QWidget*> VisibleWindows() {
    std::vector<QWidget*> shown;
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (window->isVisible()) shown.push_back(window);
    }
    return shown;
  }

  TestDir dir_;
  TPrivateRuntimeDir runtime_{dir_.path()};
  std::unique_ptr<TGlobalManager> global_;
  std::unique_ptr<TPluginManager> host_;
};

TEST_F(CatchHostTest, TheHostLoadsThePlugInFromItsFolder) {
  TPluginItem* item = host_->GetPlug("kivcatch");
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->info.name.Text(), "KivCatch");
  EXPECT_EQ(item->info.caption.Text(), "截屏插件");
  EXPECT_EQ(item->info.kind, kPluginKindOther);
  EXPECT_EQ(item->info.auto_start, 0);
  EXPECT_TRUE(host_->CheckPluginVersion("KivCatch", 1000));
  EXPECT_TRUE(host_->StartPlugin("KivCatch"));
  EXPECT_TRUE(host_->StopPlugin("KivCatch"));
}

TEST_F(CatchHostTest, RefusedGrabShowsTheMessageAndLeavesTheInputAlone) {
  QTextEdit input;
  input.setHtml(QStringLiteral("<p>还没写完的话</p>"));
  input.show();
  const QString before = input.toHtml();

  ASSERT_TRUE(host_->DealMessage("KivCatch", 0x70009, static_cast<QWidget*>(&input), sizeof(QWidget*)));
  QPointer<TMessageForm> message;
  ASSERT_TRUE(RunUntil([&message] {
    for (QWidget* window : VisibleWindows()) {
      if (auto* form = qobject_cast<TMessageForm*>(window)) message = form;
    }
    return !message.isNull();
  }));
  EXPECT_EQ(message->TextLabel()->text(), QStringLiteral("无法截取屏幕：当前桌面不允许程序截图。"));
  // No overlay: the message and the input are all there is.
  EXPECT_EQ(VisibleWindows().size(), 2u);
  EXPECT_EQ(input.toHtml(), before);

  // Other codes, no data and a widget that is no text editor are ignored.
  delete message.data();
  QWidget not_an_editor;
  host_->DealMessage("KivCatch", 0x70008, static_cast<QWidget*>(&input), sizeof(QWidget*));
  host_->DealMessage("KivCatch", 0x70009, nullptr, 0);
  host_->DealMessage("KivCatch", 0x70009, &not_an_editor, sizeof(QWidget*));
  QCoreApplication::processEvents();
  EXPECT_EQ(VisibleWindows().size(), 1u);
  EXPECT_EQ(input.toHtml(), before);
}

}  // namespace
}  // namespace kiv
