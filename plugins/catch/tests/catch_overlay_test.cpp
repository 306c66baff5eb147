// The overlay and the manager on the offscreen platform, with the desktop grab replaced by a
// picture whose every pixel tells where it came from.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QPointer>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextFragment>
#include <QTextImageFormat>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>

#include "catch_manager.h"
#include "chat_document.h"
#include "manager/global_manager.h"
#include "manager/message_forms.h"
#include "private_runtime.h"
#include "qt_app.h"
#include "qt_wait.h"
#include "test_dir.h"

namespace kiv::capture {
namespace {

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

// The colour of the logical point (x, y) of the test desktop.
QRgb Marker(int x, int y) { return qRgb(x % 256, y % 256, 64 * (x / 256 % 4) + 16 * (y / 256 % 4)); }

// A desktop of the primary screen's size at `ratio`, painted with Marker per logical point.
TDesktopShot MarkedShot(qreal ratio) {
  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  TDesktopShot shot;
  shot.geometry = screen;
  shot.screens = {QRect(QPoint(0, 0), screen.size())};
  shot.picture = QImage(screen.size() * ratio, QImage::Format_RGB32);
  for (int y = 0; y < shot.picture.height(); ++y) {
    for (int x = 0; x < shot.picture.width(); ++x)
      shot.picture.setPixel(x, y, Marker(static_cast<int>(x / ratio), static_cast<int>(y / ratio)));
  }
  shot.picture.setDevicePixelRatio(ratio);
  return shot;
}

// The pictures the input's document shows, as its resources hold them.
std::vector<QImage> Pictures(const QTextEdit& input) {
  std::vector<QImage> found;
  const QTextDocument* document = input.document();
  for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextCharFormat format = it.fragment().charFormat();
      if (!format.isImageFormat()) continue;
      const QVariant value =
          document->resource(QTextDocument::ImageResource, QUrl(format.toImageFormat().name()));
      found.push_back(value.value<QImage>());
    }
  }
  return found;
}

// The pictures an encoded chat document embeds.
std::vector<QImage> EmbeddedPictures(const QString& html) {
  std::vector<QImage> found;
  static const QRegularExpression kAddress(QStringLiteral("data:image/png;base64,([A-Za-z0-9+/=]+)"));
  for (auto it = kAddress.globalMatch(html); it.hasNext();) {
    found.push_back(QImage::fromData(QByteArray::fromBase64(it.next().captured(1).toLatin1()), "PNG"));
  }
  return found;
}

class CatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    global_ = std::make_unique<TGlobalManager>(dir_.path());
    GlobalManager = global_.get();
    grabs_ = 0;
    TManager::Grabber() = [this] {
      ++grabs_;
      return shot_;
    };
    shot_ = MarkedShot(1.0);
  }
  void TearDown() override {
    Manager().Stop();
    TManager::Grabber() = GrabDesktop;
    std::vector<QPointer<QWidget>> windows;
    for (QWidget* window : QApplication::topLevelWidgets()) windows.emplace_back(window);
    for (const auto& window : windows) delete window.data();
    GlobalManager = nullptr;
  }
  // Sends the chat window's request for `input` and waits for the overlay.
  TCatchOverlay* Open(QTextEdit& input) {
    Manager().DealMessage(kMsgCatchScreen, static_cast<QWidget*>(&input), sizeof(QWidget*));
    TCatchOverlay* overlay = Manager().Overlay();
    if (overlay) RunUntil([overlay] { return overlay->isVisible(); });
    return overlay;
  }
  static void Drag(QWidget* overlay, QPoint from, QPoint to) {
    QTest::mousePress(overlay, Qt::LeftButton, {}, from);
    QTest::mouseMove(overlay, (from + to) / 2);
    QTest::mouseMove(overlay, to);
  }
  static bool Closed(const QPointer<TCatchOverlay>& overlay) {
    return RunUntil([&overlay] { return overlay.isNull(); });
  }

  TestDir dir_;
  TPrivateRuntimeDir runtime_{dir_.path()};
  std::unique_ptr<TGlobalManager> global_;
  TDesktopShot shot_;
  int grabs_ = 0;
};

TEST_F(CatchTest, DraggedRegionBecomesAnEmbeddedPictureOfExactlyThatSize) {
  for (const qreal ratio : {1.0, 2.0}) {
    SCOPED_TRACE(ratio);
    shot_ = MarkedShot(ratio);
    QTextEdit input;
    input.setPlainText(QStringLiteral("看这里："));
    input.moveCursor(QTextCursor::End);
    const QPointer<TCatchOverlay> overlay = Open(input);
    ASSERT_TRUE(overlay);
    EXPECT_EQ(overlay->geometry(), shot_.geometry);

    Drag(overlay, {220, 130}, {20, 30});  // up and to the left
    EXPECT_EQ(overlay->Selection(), QRect(20, 30, 200, 100));
    EXPECT_EQ(overlay->SizeText(), ratio == 1.0 ? QStringLiteral("200 × 100") : QStringLiteral("400 × 200"));
    EXPECT_TRUE(Pictures(input).empty());
    QTest::mouseRelease(overlay, Qt::LeftButton, {}, {20, 30});
    EXPECT_TRUE(Closed(overlay));

    const std::vector<QImage> pictures = Pictures(input);
    ASSERT_EQ(pictures.size(), 1u);
    const QImage& picture = pictures[0];
    EXPECT_EQ(picture.size(), QSize(200, 100) * ratio);
    EXPECT_EQ(picture.deviceIndependentSize(), QSizeF(200, 100));
    EXPECT_EQ(picture.pixel(0, 0), Marker(20, 30));
    EXPECT_EQ(picture.pixel(picture.width() - 1, picture.height() - 1), Marker(219, 129));
    // After the text, where the cursor was; the cursor is now behind the picture.
    EXPECT_EQ(input.toPlainText(), QStringLiteral("看这里：") + QChar(QChar::ObjectReplacementCharacter));
    EXPECT_EQ(input.textCursor().position(), 5);

    const std::optional<QString> html = chat::EncodeChatDocument(*input.document());
    ASSERT_TRUE(html);
    const std::vector<QImage> embedded = EmbeddedPictures(*html);
    ASSERT_EQ(embedded.size(), 1u);
    EXPECT_EQ(embedded[0].size(), picture.size());
    EXPECT_EQ(embedded[0].pixel(0, 0), Marker(20, 30));
    EXPECT_EQ(embedded[0].pixel(embedded[0].width() - 1, embedded[0].height() - 1), Marker(219, 129));
  }
}

TEST_F(CatchTest, TwoCapturesGetPicturesOfTheirOwn) {
  QTextEdit input;
  for (const QPoint end : {QPoint(60, 50), QPoint(110, 90)}) {
    const QPointer<TCatchOverlay> overlay = Open(input);
    ASSERT_TRUE(overlay);
    Drag(overlay, {10, 10}, end);
    QTest::mouseRelease(overlay, Qt::LeftButton, {}, end);
    ASSERT_TRUE(Closed(overlay));
  }
  const std::vector<QImage> pictures = Pictures(input);
  ASSERT_EQ(pictures.size(), 2u);
  EXPECT_EQ(pictures[0].size(), QSize(50, 40));
  EXPECT_EQ(pictures[1].size(), QSize(100, 80));
  const std::optional<QString> html = chat::EncodeChatDocument(*input.document());
  ASSERT_TRUE(html);
  EXPECT_EQ(EmbeddedPictures(*html).size(), 2u);
}

TEST_F(CatchTest, DoubleClickTakesTheWholeScreenUnderTheMouse) {
  const QSize size = shot_.geometry.size();
  const QRect left(0, 0, size.width() / 2, size.height());
  const QRect right(size.width() / 2, 0, size.width() - size.width() / 2, size.height());
  struct {
    const char* what;
    QList<QRect> screens;
    QPoint at;
    QRect taken;
  } const cases[] = {
      {"one screen", {QRect(QPoint(0, 0), size)}, {300, 300}, QRect(QPoint(0, 0), size)},
      {"the right one of two", {left, right}, {right.left() + 10, 20}, right},
      {"the left one of two", {left, right}, {left.right() - 10, 20}, left},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    shot_.screens = c.screens;
    QTextEdit input;
    const QPointer<TCatchOverlay> overlay = Open(input);
    ASSERT_TRUE(overlay);
    QTest::mouseDClick(overlay, Qt::LeftButton, {}, c.at);
    ASSERT_TRUE(Closed(overlay));
    const std::vector<QImage> pictures = Pictures(input);
    ASSERT_EQ(pictures.size(), 1u);
    // A screen larger than a message's pictures arrives scaled to fit.
    QSize expected = c.taken.size();
    if (expected.width() > chat::kMaxPictureSide || expected.height() > chat::kMaxPictureSide)
      expected.scale(chat::kMaxPictureSide, chat::kMaxPictureSide, Qt::KeepAspectRatio);
    EXPECT_EQ(pictures[0].size(), expected);
    EXPECT_EQ(pictures[0].pixel(0, 0), Marker(c.taken.left(), c.taken.top()));
  }
}

TEST_F(CatchTest, CancelledOrTooSmallSelectionsInsertNothing) {
  QTextEdit input;
  input.setHtml(QStringLiteral("<p>原文</p>"));
  const QString before = input.toHtml();

  // A click and a drag below the minimum select nothing; the overlay stays for another try.
  QPointer<TCatchOverlay> overlay = Open(input);
  ASSERT_TRUE(overlay);
  QTest::mouseClick(overlay, Qt::LeftButton, {}, {40, 40});
  Drag(overlay, {40, 40}, {43, 200});
  QTest::mouseRelease(overlay, Qt::LeftButton, {}, {43, 200});
  QCoreApplication::processEvents();
  ASSERT_TRUE(overlay);
  EXPECT_TRUE(overlay->isVisible());
  EXPECT_TRUE(overlay->Selection().isEmpty());

  // Esc, even in the middle of a drag.
  Drag(overlay, {40, 40}, {200, 200});
  QTest::keyClick(overlay, Qt::Key_Escape);
  EXPECT_TRUE(Closed(overlay));

  // The right button.
  overlay = Open(input);
  ASSERT_TRUE(overlay);
  Drag(overlay, {40, 40}, {200, 200});
  QTest::mouseClick(overlay, Qt::RightButton, {}, {200, 200});
  EXPECT_TRUE(Closed(overlay));

  EXPECT_EQ(input.toHtml(), before);
  EXPECT_TRUE(Pictures(input).empty());
}

TEST_F(CatchTest, OneOverlayAtATime) {
  QTextEdit first;
  QTextEdit second;
  const QPointer<TCatchOverlay> overlay = Open(first);
  ASSERT_TRUE(overlay);
  EXPECT_EQ(Open(second), overlay.data());
  EXPECT_EQ(grabs_, 1);
  int overlays = 0;
  for (QWidget* window : QApplication::topLevelWidgets())
    overlays += qobject_cast<TCatchOverlay*>(window) ? 1 : 0;
  EXPECT_EQ(overlays, 1);
  // The picture goes to the input that asked first.
  Drag(overlay, {10, 10}, {50, 50});
  QTest::mouseRelease(overlay, Qt::LeftButton, {}, {50, 50});
  ASSERT_TRUE(Closed(overlay));
  EXPECT_EQ(Pictures(first).size(), 1u);
  EXPECT_TRUE(Pictures(second).empty());
}

TEST_F(CatchTest, InputDestroyedWhileTheOverlayIsOpen) {
  auto input = std::make_unique<QTextEdit>();
  const QPointer<TCatchOverlay> overlay = Open(*input);
  ASSERT_TRUE(overlay);
  Drag(overlay, {10, 10}, {100, 100});
  input.reset();
  // The overlay goes with its input, in the middle of the drag.
  EXPECT_TRUE(Closed(overlay));
  EXPECT_EQ(Manager().Overlay(), nullptr);

  // A new request works as before.
  QTextEdit next;
  const QPointer<TCatchOverlay> again = Open(next);
  ASSERT_TRUE(again);
  Drag(again, {10, 10}, {100, 100});
  QTest::mouseRelease(again, Qt::LeftButton, {}, {100, 100});
  ASSERT_TRUE(Closed(again));
  EXPECT_EQ(Pictures(next).size(), 1u);
}

TEST_F(CatchTest, RefusedGrabSaysSoAndOpensNothing) {
  shot_.picture = QImage();  // what a platform that refuses the grab leaves
  QTextEdit input;
  EXPECT_EQ(Open(input), nullptr);
  int messages = 0;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (auto* form = qobject_cast<TMessageForm*>(window); form && form->isVisible()) {
      ++messages;
      EXPECT_EQ(form->TextLabel()->text(), kGrabRefusedText);
    }
  }
  EXPECT_EQ(messages, 1);
  EXPECT_TRUE(input.toPlainText().isEmpty());
}

TEST_F(CatchTest, ALargeNoisyCaptureIsScaledSoTheMessageCarriesIt) {
  // Noise does not compress: at full size its PNG is far over what a message may embed.
  QImage noise(1500, 1000, QImage::Format_RGB32);
  std::mt19937 random(7);
  for (int y = 0; y < noise.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(noise.scanLine(y));
    for (int x = 0; x < noise.width(); ++x) line[x] = 0xff000000u | (random() & 0xffffffu);
  }
  QTextEdit input;
  ASSERT_TRUE(InsertPicture(input, noise));
  const std::vector<QImage> pictures = Pictures(input);
  ASSERT_EQ(pictures.size(), 1u);
  EXPECT_LE(std::max(pictures[0].width(), pictures[0].height()), chat::kMaxPictureSide);
  EXPECT_NEAR(static_cast<double>(pictures[0].width()) / pictures[0].height(), 1.5, 0.02);
  const std::optional<QString> html = chat::EncodeChatDocument(*input.document());
  ASSERT_TRUE(html);
  ASSERT_EQ(EmbeddedPictures(*html).size(), 1u);
  EXPECT_EQ(EmbeddedPictures(*html)[0].size(), pictures[0].size());
}

// Pictures for a person to look at, of the overlay over a real desktop mid-drag and of the input
// with the inserted picture: KIV_CATCH_SHOTS=<folder> with QT_QPA_PLATFORM=xcb.
TEST_F(CatchTest, Screenshots) {
  const char* folder = std::getenv("KIV_CATCH_SHOTS");
  if (!folder) GTEST_SKIP() << "KIV_CATCH_SHOTS is not set";
  TManager::Grabber() = GrabDesktop;
  QWidget window;
  window.setWindowTitle(QStringLiteral("与 小明 聊天中"));
  window.setGeometry(120, 100, 538, 482);
  auto* view = new QTextEdit(&window);
  view->setGeometry(8, 8, 522, 300);
  view->setReadOnly(true);
  view->setHtml(
      QStringLiteral("<p><b>小明</b> 20:31:05</p><p>你看一下这个窗口里的报错信息，截个图给我。</p>"
                     "<p><b>我</b> 20:31:40</p><p>好的，马上截图。</p>"));
  auto* input = new QTextEdit(&window);
  input->setGeometry(8, 316, 522, 158);
  input->setPlainText(QStringLiteral("报错在这里："));
  input->moveCursor(QTextCursor::End);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QTest::qWait(300);

  const QPointer<TCatchOverlay> overlay = Open(*input);
  ASSERT_TRUE(overlay) << "the platform refused the grab";
  ASSERT_TRUE(QTest::qWaitForWindowExposed(overlay));
  overlay->grab().save(QString::fromUtf8(folder) + QStringLiteral("/catch-overlay-start.png"));
  const QPoint from = window.geometry().topLeft() + QPoint(4, 4) - overlay->geometry().topLeft();
  const QPoint to = from + QPoint(300, 140);
  Drag(overlay, from, to);
  QTest::qWait(100);
  overlay->grab().save(QString::fromUtf8(folder) + QStringLiteral("/catch-overlay-drag.png"));
  QTest::mouseRelease(overlay, Qt::LeftButton, {}, to);
  ASSERT_TRUE(Closed(overlay));
  QTest::qWait(100);
  window.grab().save(QString::fromUtf8(folder) + QStringLiteral("/catch-inserted.png"));
  EXPECT_EQ(Pictures(*input).size(), 1u);
}

}  // namespace
}  // namespace kiv::capture
