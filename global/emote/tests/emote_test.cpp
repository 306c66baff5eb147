// Global_Emote against the emoticon plug-in's real table: Plugins/KivEmote.so beside libGlobal.so,
// imported the way the client imports it, over a copy of the built-in emoticons in a test folder.
#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QLabel>
#include <QMessageBox>
#include <QTabWidget>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextFragment>
#include <memory>

#include "base/files.h"
#include "base/wire.h"
#include "emote/emote.h"
#include "manager/global_manager.h"
#include "plugin/plugin_manager.h"
#include "qt_app.h"
#include "test_dir.h"

namespace kiv {
namespace {

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);
const std::filesystem::path kApp = KIV_BIN_DIR;
const QChar kPicture(QChar::ObjectReplacementCharacter);

class EmoteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(TEmoteImport::Get().Complete()) << "Plugins/KivEmote.so beside libGlobal.so does not load";
    ASSERT_TRUE(CopyDir(kApp / "EmoteInfo", dir_.path() / "EmoteInfo"));
    manager_ = std::make_unique<TGlobalManager>(dir_.path());
    manager_->Me->SetUserCode(1000);
    GlobalManager = manager_.get();
    table_ = TEmoteTable::Current();
    ASSERT_FALSE(table_.empty());
    full_list_.reset(TEmoteImport::Get().GetHotKeyList());
  }
  void TearDown() override { GlobalManager = nullptr; }

  QString PicturePath(const char* file) const {
    return QString::fromStdString((dir_.path() / "EmoteInfo" / file).string());
  }
  // `count` built-in emoticons from the start of the table, as the picker inserts them.
  void InsertPictures(QTextDocument& document, int count) {
    QTextCursor cursor(&document);
    cursor.movePosition(QTextCursor::End);
    for (int i = 0; i < count; ++i) {
      const QString key = table_.HotKeys().at(i);
      ASSERT_TRUE(InsertEmotePicture(cursor, key, table_.Lookup(key)->path));
      cursor.insertText(QStringLiteral("·"));
    }
  }

  TestDir dir_;
  std::unique_ptr<TGlobalManager> manager_;
  TEmoteTable table_;
  std::unique_ptr<QStringList> full_list_;
};

TEST_F(EmoteTest, TableComesFromThePlugin) {
  // Every entry but the last six converts.
  ASSERT_GT(full_list_->size(), 6);
  EXPECT_EQ(table_.HotKeys().size(), full_list_->size() - 6);
  EXPECT_EQ(table_.HotKeys().front(), QStringLiteral("/wx"));
  const auto smile = table_.Lookup(QStringLiteral("/wx"));
  ASSERT_TRUE(smile);
  EXPECT_EQ(smile->path, PicturePath("emote01.gif"));
  EXPECT_FALSE(smile->custom);
  // Exact comparison: no other letter case, no prefix, no extra space.
  for (const char* other : {"/WX", "/w", "/wx ", " /wx", ""})
    EXPECT_FALSE(table_.Lookup(QString::fromUtf8(other))) << other;

  // Without the plug-in file nothing converts, and nothing fails.
  const TEmoteTable none = TEmoteTable::From(TEmoteImport::Load(dir_.path() / "Plugins" / "KivEmote.so"));
  EXPECT_TRUE(none.empty());
  QTextDocument document(QStringLiteral("/wx/dx"));
  EXPECT_EQ(CoverNameToPic(&document, 0, none), 0);
  EXPECT_EQ(document.toPlainText(), QStringLiteral("/wx/dx"));
  EXPECT_EQ(CoverNameToURL(QStringLiteral("/wx<"), none), QStringLiteral("/wx&lt;"));
}

TEST_F(EmoteTest, MoreThanFiveNamedPicturesStayPictures) {
  QTextDocument five;
  five.setPlainText(QStringLiteral("hi"));
  InsertPictures(five, 5);
  ASSERT_TRUE(CoverPicToName(&five));
  const QStringList keys = table_.HotKeys().mid(0, 5);
  EXPECT_EQ(five.toPlainText(), QStringLiteral("hi") + keys.join(QStringLiteral("·")) + QStringLiteral("·"));

  QTextDocument six;
  six.setPlainText(QStringLiteral("hi"));
  InsertPictures(six, 6);
  const QString before = six.toHtml();
  EXPECT_FALSE(CoverPicToName(&six));
  EXPECT_EQ(six.toHtml(), before);

  // A custom emoticon (empty name) travels as a picture and does not count.
  QTextDocument custom;
  InsertPictures(custom, 5);
  QTextCursor cursor(&custom);
  cursor.movePosition(QTextCursor::End);
  ASSERT_TRUE(InsertEmotePicture(cursor, QString(), PicturePath("emote02.gif")));
  ASSERT_TRUE(CoverPicToName(&custom));
  EXPECT_EQ(custom.toPlainText().count(kPicture), 1);
}

TEST_F(EmoteTest, AtMostSixHotKeysBecomePicturesInTextOrder) {
  // Seven hot keys written against the table's order: the first six of the text convert.
  const QStringList keys = table_.HotKeys();
  const QString text =
      keys[6] + keys[5] + QStringLiteral(" x ") + keys[4] + keys[3] + keys[2] + keys[1] + keys[0];
  QTextDocument document(text);
  EXPECT_EQ(CoverNameToPic(&document, 0, table_), 6);
  EXPECT_EQ(document.toPlainText(),
            QString(2, kPicture) + QStringLiteral(" x ") + QString(4, kPicture) + keys[0]);
  EXPECT_EQ(PictureNameAt(&document, 0), keys[6]);
  EXPECT_EQ(PictureNameAt(&document, 1), keys[5]);
  EXPECT_EQ(PictureNameAt(&document, 2), std::nullopt);

  // From a position on: what lies before it stays text.
  QTextDocument later(keys[0] + keys[1]);
  EXPECT_EQ(CoverNameToPic(&later, static_cast<int>(keys[0].size()), table_), 1);
  EXPECT_EQ(later.toPlainText(), keys[0] + kPicture);
}

TEST_F(EmoteTest, TheLastSixEntriesNeverConvert) {
  const QStringList tail = full_list_->mid(full_list_->size() - 6);
  QString text;
  for (const QString& key : tail) {
    EXPECT_FALSE(table_.HotKeys().contains(key)) << key.toStdString();
    text += key + QStringLiteral(" ");
  }
  QTextDocument document(text);
  EXPECT_EQ(CoverNameToPic(&document, 0, table_), 0);
  EXPECT_EQ(document.toPlainText(), text);
  EXPECT_EQ(CoverNameToURL(text, table_), text.toHtmlEscaped());
}

TEST_F(EmoteTest, TypedHotKeyBecomesAPictureAndTheCaretStays) {
  struct Case {
    QString text;
    int caret;
    QString after;
    int caret_after;
  } cases[] = {
      {QStringLiteral("ab/wx"), 5, QStringLiteral("ab") + kPicture, 3},
      {QStringLiteral("ab/wxcd"), 5, QStringLiteral("ab") + kPicture + QStringLiteral("cd"), 3},
      {QStringLiteral("/dx ab"), 6, kPicture + QStringLiteral(" ab"), 4},
      {QStringLiteral("plain"), 3, QStringLiteral("plain"), 3},
  };
  for (const Case& c : cases) {
    QTextEdit edit;
    edit.setPlainText(c.text);
    QTextCursor caret = edit.textCursor();
    caret.setPosition(c.caret);
    edit.setTextCursor(caret);
    CoverIM(&edit, table_);
    EXPECT_EQ(edit.toPlainText(), c.after) << c.text.toStdString();
    EXPECT_EQ(edit.textCursor().position(), c.caret_after) << c.text.toStdString();
  }
}

TEST_F(EmoteTest, PictureTagsEscapeTextAndPaths) {
  const QString html = CoverNameToURL(QStringLiteral("<b>&/wx\"/wx"), table_);
  const QString tag =
      QStringLiteral("<img src=\"file://") + PicturePath("emote01.gif") + QStringLiteral("\">");
  EXPECT_EQ(html, QStringLiteral("&lt;b&gt;&amp;") + tag + QStringLiteral("&quot;") + tag);

  // A custom picture whose file name holds markup characters stays inside its attribute.
  const std::string odd = "x\"><b>.gif";
  ASSERT_TRUE(
      std::filesystem::copy_file(dir_.path() / "EmoteInfo" / "emote01.gif", dir_.path() / "EmoteInfo" / odd));
  TPluginManager host(kApp);
  ASSERT_TRUE(host.GetPlug(kEmotePluginName));
  // Six more behind it: the last six entries of the list never convert.
  for (std::string name :
       {odd, std::string("emote02.gif"), std::string("emote03.gif"), std::string("emote04.gif"),
        std::string("emote05.gif"), std::string("emote06.gif"), std::string("emote07.gif")}) {
    ASSERT_TRUE(host.DealMessage(kEmotePluginName, kMsgAddCustomEmote, name.data(),
                                 static_cast<std::uint32_t>(name.size() + 1)));
  }
  const TEmoteTable table = TEmoteTable::Current();
  const QString custom = CoverNameToURL(QStringLiteral("/") + QString::fromStdString(odd), table);
  EXPECT_TRUE(custom.startsWith(QStringLiteral("<img src=\"file://"))) << custom.toStdString();
  EXPECT_EQ(custom.count(QLatin1Char('"')), 2) << custom.toStdString();
  EXPECT_FALSE(custom.contains(QStringLiteral("<b>"))) << custom.toStdString();
}

// The message box RunEmoFile left open, closed; its text.
QString TakePackageMessage() {
  QString text;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    auto* box = qobject_cast<QMessageBox*>(window);
    if (box && box->objectName() == QStringLiteral("EmotePackageMessage") && box->isVisible()) {
      text = box->text();
      box->close();
    }
  }
  QCoreApplication::processEvents();
  return text;
}

TEST_F(EmoteTest, PackagesInstallThroughTheExport) {
  QImage picture(8, 8, QImage::Format_RGB32);
  picture.fill(Qt::red);
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  picture.save(&buffer, "PNG");
  // Magic, then name, hot key and extension fields, the picture's size and the picture.
  RecordWriter entry(4 + 114);
  entry.u32(0, 37507)
      .text(4, 49, "红")
      .text(54, 49, "/hong")
      .text(104, 9, ".png")
      .u32(114, static_cast<std::uint32_t>(png.size()));
  std::vector<std::uint8_t> package(entry.view().begin(), entry.view().end());
  package.insert(package.end(), png.begin(), png.end());
  ASSERT_TRUE(WriteFileAtomic(dir_.path() / "red.eif", package));
  package.pop_back();  // the picture cut short
  ASSERT_TRUE(WriteFileAtomic(dir_.path() / "cut.eif", package));

  const qsizetype before = full_list_->size();
  TEmoteImport::Get().RunEmoFile((dir_.path() / "cut.eif").c_str());
  EXPECT_EQ(TakePackageMessage(), QStringLiteral("表情文件类型不正确。"));
  EXPECT_EQ(std::unique_ptr<QStringList>(TEmoteImport::Get().GetHotKeyList())->size(), before);

  TEmoteImport::Get().RunEmoFile((dir_.path() / "red.eif").c_str());
  EXPECT_EQ(TakePackageMessage(), QStringLiteral("表情文件安装成功。"));
  std::unique_ptr<QStringList> after(TEmoteImport::Get().GetHotKeyList());
  ASSERT_EQ(after->size(), before + 1);
  EXPECT_EQ(after->back(), QStringLiteral("/hong"));
  const auto red = TEmoteTable::Current().Lookup(QStringLiteral("/hong"));
  ASSERT_TRUE(red);
  EXPECT_TRUE(red->custom);
  EXPECT_EQ(QImage(red->path).pixelColor(0, 0), QColor(Qt::red));
}

// The links of a document: (text, target) of each link item.
std::vector<std::pair<QString, QString>> Links(const QTextDocument& document) {
  std::vector<std::pair<QString, QString>> links;
  for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      if (it.fragment().charFormat().isAnchor()) {
        links.emplace_back(it.fragment().text(), it.fragment().charFormat().anchorHref());
      }
    }
  }
  return links;
}

TEST_F(EmoteTest, WebAddressesBecomeLinks) {
  using Link = std::pair<QString, QString>;
  struct Case {
    const char* text;
    std::vector<Link> links;
  } cases[] = {
      {"see www.kivora.example now", {{"www.kivora.example", "www.kivora.example"}}},
      {"go https://x.example/p?q=1 ok", {{"https://x.example/p?q=1", "https://x.example/p?q=1"}}},
      // The earliest start wins: not "ftp.txt" inside the address, not "WWW." after "HTTP://".
      {"http://a.example/ftp.txt", {{"http://a.example/ftp.txt", "http://a.example/ftp.txt"}}},
      {"HTTP://WWW.A.EXAMPLE end", {{"HTTP://WWW.A.EXAMPLE", "HTTP://WWW.A.EXAMPLE"}}},
      {"ftp://files.example", {{"ftp://files.example", "ftp://files.example"}}},
      {"Ftp.files.example", {{"Ftp.files.example", "Ftp.files.example"}}},
      {"two www.a.example and www.b.example",
       {{"www.a.example", "www.a.example"}, {"www.b.example", "www.b.example"}}},
      {"nothing here, not even www. alone", {}},
      {"", {}},
  };
  for (const Case& c : cases) {
    QTextDocument document(QString::fromUtf8(c.text));
    CheckURL(&document);
    std::vector<Link> expected;
    for (const auto& [text, target] : c.links) expected.emplace_back(text, target);
    EXPECT_EQ(Links(document), expected) << c.text;
    EXPECT_EQ(document.toPlainText(), QString::fromUtf8(c.text)) << c.text;
    // A second pass finds the links made and changes nothing.
    const QString html = document.toHtml();
    CheckURL(&document);
    EXPECT_EQ(document.toHtml(), html) << c.text;
  }
}

TEST_F(EmoteTest, PickerInsertsIntoARichTextTargetAndTheDocumentConvertsBothWays) {
  TPluginManager host(kApp);
  const TPluginItem* plugin = host.GetPlug(kEmotePluginName);
  ASSERT_TRUE(plugin);
  EXPECT_EQ(plugin->info.caption.Text(), "表情插件");
  EXPECT_EQ(plugin->info.kind, kPluginKindOther);
  EXPECT_EQ(plugin->info.auto_start, 1);
  EXPECT_EQ(plugin->info.version, 1000);
  EXPECT_EQ(plugin->info.on_data, nullptr);
  EXPECT_EQ(plugin->info.on_disconnect, nullptr);
  ASSERT_TRUE(host.StartPlugin(kEmotePluginName));
  auto edit = std::make_unique<QTextEdit>();
  edit->setPlainText(QStringLiteral("你好"));
  edit->moveCursor(QTextCursor::End);
  edit->show();
  ASSERT_TRUE(host.DealMessage(kEmotePluginName, kMsgShowEmotePicker, static_cast<QWidget*>(edit.get()), 0));

  QWidget* picker = nullptr;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window->objectName() == QStringLiteral("TKivEmoteForm") && window->isVisible()) picker = window;
  }
  ASSERT_TRUE(picker);
  QLabel* smile = nullptr;
  for (QLabel* cell : picker->findChildren<QLabel*>()) {
    if (cell->toolTip() == QStringLiteral("微笑 /wx")) smile = cell;
  }
  ASSERT_TRUE(smile);
  QTest::mouseClick(smile, Qt::LeftButton);
  EXPECT_FALSE(picker->isVisible());

  QTextDocument* document = edit->document();
  EXPECT_EQ(document->toPlainText(), QStringLiteral("你好") + kPicture);
  EXPECT_EQ(PictureNameAt(document, 2), QStringLiteral("/wx"));
  ASSERT_TRUE(CoverPicToName(edit.get()));
  EXPECT_EQ(document->toPlainText(), QStringLiteral("你好/wx"));
  EXPECT_EQ(CoverNameToPic(edit.get(), 0), 1);
  EXPECT_EQ(PictureNameAt(document, 2), QStringLiteral("/wx"));

  // A target that closed before the choice is not touched.
  ASSERT_TRUE(host.DealMessage(kEmotePluginName, kMsgShowEmotePicker, static_cast<QWidget*>(edit.get()), 0));
  edit.reset();
  QTest::mouseClick(smile, Qt::LeftButton);
  EXPECT_FALSE(picker->isVisible());
}

}  // namespace
}  // namespace kiv
