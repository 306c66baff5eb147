// The picker window on the offscreen platform, through the plug-in's manager as the host drives it.
#include <gtest/gtest.h>

#include <QEnterEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTextEdit>
#include <QTreeWidget>
#include <memory>

#include "base/files.h"
#include "emote/emote.h"
#include "emote_manager.h"
#include "manager/global_manager.h"
#include "manager/message_forms.h"
#include "test_dir.h"

namespace kiv::emote {
namespace {

const std::filesystem::path kApp = KIV_BIN_DIR;

class PickerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CopyDir(kApp / "EmoteInfo", dir_.path() / "EmoteInfo"));
    global_ = std::make_unique<TGlobalManager>(dir_.path());
    global_->Me->SetUserCode(1000);
    GlobalManager = global_.get();
    Manager().CreateForm();
    form_ = Manager().Form();
    ASSERT_TRUE(form_);
  }
  void TearDown() override {
    Manager().FreeForm();
    GlobalManager = nullptr;
  }
  // Adds `count` custom emoticons named c0, c1, ... through the stored-picture message.
  void AddCustom(int count) {
    for (int i = 0; i < count; ++i) {
      std::string name = "c" + std::to_string(i) + ".gif";
      std::filesystem::copy_file(dir_.path() / "EmoteInfo" / "emote01.gif", dir_.path() / "EmoteInfo" / name);
      Manager().DealMessage(kMsgAddCustomEmote, name.data(), static_cast<std::uint32_t>(name.size() + 1));
    }
  }
  TEmoteCell* CellWithHint(int tab, const QString& hint) {
    form_->DrawEmote(tab);
    for (TEmoteCell* cell : form_->Page(tab)->Cells()) {
      if (cell->toolTip() == hint) return cell;
    }
    return nullptr;
  }

  TestDir dir_;
  std::unique_ptr<TGlobalManager> global_;
  TKivEmoteForm* form_ = nullptr;
};

TEST_F(PickerTest, ShowRequestOfSizeOneHidesTheUsersTabs) {
  QTextEdit edit;
  Manager().DealMessage(kMsgShowEmotePicker, static_cast<QWidget*>(&edit), 1);
  ASSERT_TRUE(form_->isVisible());
  QTabWidget* tabs = form_->Tabs();
  EXPECT_TRUE(tabs->isTabVisible(kTabSet1));
  EXPECT_TRUE(tabs->isTabVisible(kTabSet2));
  EXPECT_FALSE(tabs->isTabVisible(kTabCustom1));
  EXPECT_FALSE(tabs->isTabVisible(kTabCustom2));
  EXPECT_FALSE(tabs->isTabVisible(kTabManage));
  form_->hide();

  Manager().DealMessage(kMsgShowEmotePicker, static_cast<QWidget*>(&edit), 0);
  for (int tab = kTabSet1; tab < kTabCount; ++tab) EXPECT_TRUE(tabs->isTabVisible(tab)) << tab;
  EXPECT_EQ(tabs->tabText(kTabCustom1), QStringLiteral("自定义1"));
  EXPECT_EQ(tabs->tabText(kTabManage), QStringLiteral("管理"));

  // The last picture tab shown opens again, unless it is hidden now.
  tabs->setCurrentIndex(kTabCustom1);
  form_->hide();
  Manager().DealMessage(kMsgShowEmotePicker, static_cast<QWidget*>(&edit), 0);
  EXPECT_EQ(tabs->currentIndex(), kTabCustom1);
  form_->hide();
  Manager().DealMessage(kMsgShowEmotePicker, static_cast<QWidget*>(&edit), 1);
  EXPECT_EQ(tabs->currentIndex(), kTabSet1);
}

TEST_F(PickerTest, BuiltInTabsLayTheirCellsOnTheGrid) {
  form_->DrawEmote(kTabSet1);
  const auto cells = form_->Page(kTabSet1)->Cells();
  ASSERT_EQ(cells.size(), Manager().Model().IndexesOf(kEmoteSet1).size());
  EXPECT_EQ(cells[0]->geometry(), QRect(2, 2, 25, 25));
  EXPECT_EQ(cells[9]->pos(), QPoint(2 + 9 * 28, 2));
  EXPECT_EQ(cells[10]->pos(), QPoint(2, 30));
  EXPECT_EQ(cells[0]->toolTip(), QStringLiteral("微笑 /wx"));
  // Still until the mouse is over it.
  ASSERT_TRUE(cells[0]->Animated());
  EXPECT_FALSE(cells[0]->Playing());
  QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
  QCoreApplication::sendEvent(cells[0], &enter);
  EXPECT_TRUE(cells[0]->Playing());
  QCoreApplication::sendEvent(cells[1], &enter);
  EXPECT_FALSE(cells[0]->Playing());
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(cells[1], &leave);
  EXPECT_FALSE(cells[1]->Playing());
}

TEST_F(PickerTest, TheSixtyFirstCustomEmoticonGoesOnTheSecondTab) {
  AddCustom(61);
  ASSERT_EQ(Manager().Model().IndexesOf(kEmoteCustom).size(), 61u);
  form_->DrawEmote(kTabCustom1);
  form_->DrawEmote(kTabCustom2);
  EXPECT_EQ(form_->Page(kTabCustom1)->Cells().size(), 60u);
  const auto second = form_->Page(kTabCustom2)->Cells();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0]->toolTip(), QStringLiteral("c60.gif /c60.gif"));
  EXPECT_EQ(second[0]->pos(), QPoint(2, 2));
  EXPECT_EQ(form_->ManageList()->topLevelItemCount(), 61);
}

TEST_F(PickerTest, ChoosingInsertsIntoTheTarget) {
  // A rich-text target gets the picture, named with the hot key; a custom one gets no name.
  AddCustom(1);
  QTextEdit edit;
  Manager().DealMessage(kMsgShowEmotePicker, static_cast<QWidget*>(&edit), 0);
  TEmoteCell* smile = CellWithHint(kTabSet1, QStringLiteral("微笑 /wx"));
  ASSERT_TRUE(smile);
  QTest::mouseClick(smile, Qt::LeftButton);
  EXPECT_FALSE(form_->isVisible());
  Manager().DealMessage(kMsgShowEmotePicker, static_cast<QWidget*>(&edit), 0);
  TEmoteCell* custom = CellWithHint(kTabCustom1, QStringLiteral("c0.gif /c0.gif"));
  ASSERT_TRUE(custom);
  QTest::mouseClick(custom, Qt::LeftButton);
  EXPECT_EQ(PictureNameAt(edit.document(), 0), QStringLiteral("/wx"));
  EXPECT_EQ(PictureNameAt(edit.document(), 1), QString());

  // A text target gets the hot key appended.
  QLineEdit line(QStringLiteral("hi "));
  Manager().DealMessage(kMsgShowEmotePickerForText, static_cast<QWidget*>(&line), 0);
  EXPECT_TRUE(form_->Tabs()->isTabVisible(kTabManage));
  QTest::mouseClick(CellWithHint(kTabSet1, QStringLiteral("微笑 /wx")), Qt::LeftButton);
  EXPECT_EQ(line.text(), QStringLiteral("hi /wx"));

  // A click on the background closes the picker and inserts nothing.
  Manager().DealMessage(kMsgShowEmotePickerForText, static_cast<QWidget*>(&line), 0);
  QTest::mouseClick(form_->Page(kTabSet1), Qt::LeftButton, {}, QPoint(270, 160));
  EXPECT_FALSE(form_->isVisible());
  EXPECT_EQ(line.text(), QStringLiteral("hi /wx"));
}

TEST_F(PickerTest, TheListFollowsTheSignedInUser) {
  AddCustom(2);
  EXPECT_EQ(form_->ManageList()->topLevelItemCount(), 2);
  const qsizetype first_user = Manager().HotKeys().size();
  global_->Me->SetUserCode(2000);
  EXPECT_EQ(Manager().HotKeys().size(), first_user - 2);
  EXPECT_EQ(form_->ManageList()->topLevelItemCount(), 0);
  std::string path;
  bool custom = false;
  EXPECT_FALSE(Manager().ImagePath("/c0.gif", path, custom));
  global_->Me->SetUserCode(1000);
  ASSERT_TRUE(Manager().ImagePath("/c0.gif", path, custom));
  EXPECT_TRUE(custom);
  EXPECT_EQ(path, (dir_.path() / "EmoteInfo" / "c0.gif").string());
  EXPECT_EQ(form_->ManageList()->topLevelItemCount(), 2);
}

TEST_F(PickerTest, ManagementTabEditsTheSelectedEmoticon) {
  AddCustom(2);
  Manager().DealMessage(kMsgShowEmotePickerForText, static_cast<QWidget*>(form_), 0);
  form_->Tabs()->setCurrentIndex(kTabManage);
  QTreeWidget* list = form_->ManageList();
  ASSERT_EQ(list->topLevelItemCount(), 2);
  const QList<QLineEdit*> fields = form_->Tabs()->widget(kTabManage)->findChildren<QLineEdit*>();
  ASSERT_EQ(fields.size(), 3);  // path, name, hot key
  auto button = [this](const char* caption) {
    return form_->Tabs()->widget(kTabManage)->findChild<QPushButton*>(QString::fromUtf8(caption));
  };

  // Nothing selected: refused with a message, nothing changes.
  QTest::mouseClick(button("删除"), Qt::LeftButton);
  EXPECT_EQ(Manager().Model().IndexesOf(kEmoteCustom).size(), 2u);
  std::unique_ptr<TMessageForm> message;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (auto* form = qobject_cast<TMessageForm*>(window); form && form->isVisible()) message.reset(form);
  }
  EXPECT_TRUE(message);
  message.reset();

  list->setCurrentItem(list->topLevelItem(1));
  EXPECT_EQ(fields[0]->text(), QString::fromStdString((dir_.path() / "EmoteInfo" / "c1.gif").string()));
  EXPECT_EQ(fields[1]->text(), QStringLiteral("c1.gif"));
  EXPECT_EQ(fields[2]->text(), QStringLiteral("/c1.gif"));
  fields[1]->setText(QStringLiteral("挥手"));
  fields[2]->setText(QStringLiteral("/hs"));
  QTest::mouseClick(button("修改"), Qt::LeftButton);
  const std::size_t second = Manager().Model().IndexesOf(kEmoteCustom)[1];
  EXPECT_EQ(Manager().Model().Items()[second].name.str(), "挥手");
  EXPECT_EQ(Manager().Model().Items()[second].hot_key.str(), "/hs");
  ASSERT_EQ(form_->ManageList()->topLevelItemCount(), 2);
  EXPECT_EQ(form_->ManageList()->topLevelItem(1)->text(2), QStringLiteral("/hs"));

  form_->ManageList()->setCurrentItem(form_->ManageList()->topLevelItem(0));
  QTest::mouseClick(button("删除"), Qt::LeftButton);
  ASSERT_EQ(Manager().Model().IndexesOf(kEmoteCustom).size(), 1u);
  EXPECT_EQ(form_->ManageList()->topLevelItem(0)->text(1), QStringLiteral("挥手"));
  EXPECT_TRUE(form_->isVisible());  // the management tab stays open while it works
}

}  // namespace
}  // namespace kiv::emote
