// Applies each default skin's style sheet to a window of common controls on the offscreen platform.
// Set KIV_SKIN_SHOTS to a folder to keep a picture of each skinned window there for a visual check.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSlider>
#include <QTabWidget>
#include <QVBoxLayout>
#include <filesystem>
#include <memory>
#include <set>

namespace kiv {
namespace {

const QString kSkins = QStringLiteral(KIV_BIN_DIR "/skins");
const QStringList kDefaultSkins = {QStringLiteral("天空"), QStringLiteral("水晶"), QStringLiteral("冰激凌")};

QStringList g_warnings;

// Keeps warnings about style sheets and pictures; the offscreen platform's notes on window
// features it lacks are not about the skin.
void CollectWarnings(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtDebugMsg || type == QtInfoMsg) return;
  if (message.contains(QStringLiteral("propagateSizeHints"))) return;
  g_warnings << message;
}

class Skins : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "skins_test";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
  }
  static void TearDownTestSuite() {
    delete app_;
    app_ = nullptr;
  }
  static QApplication* app_;
};
QApplication* Skins::app_ = nullptr;

// A dialog with the controls the client's windows use.
std::unique_ptr<QDialog> SampleWindow(QPushButton** button_out) {
  auto window = std::make_unique<QDialog>();
  window->resize(300, 520);
  auto* layout = new QVBoxLayout(window.get());
  layout->addWidget(new QLabel(QStringLiteral("登录Kivora娱乐")));
  auto* edit = new QLineEdit(QStringLiteral("10001"));
  layout->addWidget(edit);
  auto* combo = new QComboBox;
  combo->addItems({QStringLiteral("按聊天室号码搜索"), QStringLiteral("按聊天室名称搜索")});
  layout->addWidget(combo);
  auto* group = new QGroupBox(QStringLiteral("声音"));
  auto* group_layout = new QVBoxLayout(group);
  auto* check = new QCheckBox(QStringLiteral("记住密码"));
  check->setChecked(true);
  group_layout->addWidget(check);
  group_layout->addWidget(new QCheckBox(QStringLiteral("隐身登录")));
  auto* radio = new QRadioButton(QStringLiteral("高阶音质"));
  radio->setChecked(true);
  group_layout->addWidget(radio);
  layout->addWidget(group);
  auto* tabs = new QTabWidget;
  auto* list = new QListWidget;
  list->addItems(
      {QStringLiteral("我的好友[2/5]"), QStringLiteral("陌生人[0/1]"), QStringLiteral("黑名单[0/0]")});
  list->setCurrentRow(0);
  tabs->addTab(list, QStringLiteral("首页"));
  tabs->addTab(new QWidget, QStringLiteral("聊天大厅"));
  layout->addWidget(tabs);
  auto* slider = new QSlider(Qt::Horizontal);
  slider->setValue(60);
  layout->addWidget(slider);
  auto* progress = new QProgressBar;
  progress->setValue(40);
  layout->addWidget(progress);
  // The skin's named sections, as the frame bar and the room tiles use them.
  for (const char* section : {"CHECKBOX", "PANEL", "TOOLBUTTON"}) {
    auto* item = new QPushButton(QStringLiteral("我的好友[2/5]"));
    item->setProperty("skinSection", QString::fromLatin1(section));
    layout->addWidget(item);
  }
  auto* button = new QPushButton(QStringLiteral("登录"));
  layout->addWidget(button);
  auto* disabled = new QPushButton(QStringLiteral("退出"));
  disabled->setEnabled(false);
  layout->addWidget(disabled);
  *button_out = button;
  return window;
}

TEST_F(Skins, EachDefaultSkinParsesAndFindsItsPictures) {
  std::set<QRgb> button_colours;
  const QByteArray shots = qgetenv("KIV_SKIN_SHOTS");
  for (const QString& skin : kDefaultSkins) {
    SCOPED_TRACE(skin.toStdString());
    const QString folder = kSkins + QLatin1Char('/') + skin;
    QFile file(folder + QStringLiteral("/skin.qss"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString qss = QString::fromUtf8(file.readAll());
    ASSERT_FALSE(qss.isEmpty());

    // Every picture the sheet names is in the skin's folder and loads.
    QRegularExpression url(QStringLiteral("url\\(skin:([^)]+)\\)"));
    int pictures = 0;
    for (auto it = url.globalMatch(qss); it.hasNext();) {
      const QString name = it.next().captured(1);
      QImage image(folder + QLatin1Char('/') + name);
      EXPECT_FALSE(image.isNull()) << name.toStdString();
      ++pictures;
    }
    EXPECT_GT(pictures, 5);
    EXPECT_FALSE(QImage(folder + QStringLiteral("/preview.png")).isNull());

    // The engine maps the "skin" prefix to the skin's folder; Qt reports sheets it cannot parse.
    QDir::setSearchPaths(QStringLiteral("skin"), {folder});
    g_warnings.clear();
    QtMessageHandler previous = qInstallMessageHandler(CollectWarnings);
    qApp->setStyleSheet(qss);
    QPushButton* button = nullptr;
    auto window = SampleWindow(&button);
    window->show();
    QApplication::processEvents();
    QImage shot = window->grab().toImage();
    qInstallMessageHandler(previous);
    for (const QString& w : g_warnings) ADD_FAILURE() << w.toStdString();

    // The button is painted in the skin's colours, which differ from skin to skin.
    QPoint centre = button->mapTo(window.get(), QPoint(6, button->height() / 2));
    button_colours.insert(shot.pixel(centre));
    if (!shots.isEmpty())
      shot.save(QString::fromUtf8(shots) + QLatin1Char('/') + skin + QStringLiteral(".png"));
    qApp->setStyleSheet(QString());
  }
  EXPECT_EQ(button_colours.size(), static_cast<std::size_t>(kDefaultSkins.size()));
}

}  // namespace
}  // namespace kiv
