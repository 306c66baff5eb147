// The shared controls on the offscreen platform; the web picture against an HTTP server on loopback.
#include <httplib.h>

#include <QBuffer>
#include <QImage>
#include <QMouseEvent>
#include <QThreadPool>
#include <thread>

#include "controls/frame_bar.h"
#include "manager/qt_app.h"
#include "qt_wait.h"
#include "test_dir.h"

namespace kiv {
namespace {

const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

QPixmap Glyph(QColor colour) {
  QPixmap p(16, 16);
  p.fill(colour);
  return p;
}

TEST(FrameBarTest, SectionsGrowByTheirRowsAndCollapseToTheCaption) {
  for (int row : {34, 26}) {
    TKivFrameBar bar;
    bar.resize(200, 400);
    bar.RowHeight = row;
    TKivFrameBarItem* friends = bar.AddItem(QStringLiteral("我的好友"), Glyph(Qt::blue), 7);
    TKivFrameBarItem* strangers = bar.AddItem(QStringLiteral("陌生人"), Glyph(Qt::blue), 8);
    for (int i = 0; i < 5; ++i) friends->AddButton(QStringLiteral("好友%1").arg(i), nullptr, 10, 100 + i);
    EXPECT_FALSE(friends->Expanded());
    EXPECT_EQ(friends->height(), 24);
    friends->SetExpanded(true);
    EXPECT_EQ(friends->height(), row * 5 + 24) << row;
    EXPECT_EQ(strangers->y(), row * 5 + 24);  // the next section moves down
    TKivButton* third = friends->GetItem(102);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->geometry(), QRect(10, row * 2 + 24, friends->width() - 10, row));
    EXPECT_EQ(friends->GetItem(999), nullptr);
    friends->Caption()->click();  // the caption toggles
    EXPECT_EQ(friends->height(), 24);
    EXPECT_EQ(bar.GetItem(8), strangers);
    bar.ClearItem();
    EXPECT_EQ(bar.GetItem(7), nullptr);
  }
}

TEST(FrameBarTest, CaptionShowsTheGlyphOfItsState) {
  TKivFrameBar bar;
  TKivFrameBarItem* item = bar.AddItem(QStringLiteral("分类"), Glyph(Qt::gray), 1);
  item->SetExpandedGlyph(Glyph(Qt::green));
  item->SetClosedGlyph(Glyph(Qt::red));
  item->SetExpanded(true);
  EXPECT_EQ(item->Caption()->icon().pixmap(16, 16).toImage().pixelColor(8, 8), QColor(Qt::green));
  item->SetExpanded(false);
  EXPECT_EQ(item->Caption()->icon().pixmap(16, 16).toImage().pixelColor(8, 8), QColor(Qt::red));
}

TEST(FrameBarTest, LeavingAPressedDraggableButtonStartsADrag) {
  TKivFrameBar bar;
  bar.resize(200, 300);
  TKivFrameBarItem* item = bar.AddItem(QStringLiteral("我的好友"), QPixmap(), 1);
  TKivButton* row = item->AddButton(QStringLiteral("小明"), nullptr, 0, 10001);
  TKivButton* flag = item->AddFlag(row, Glyph(Qt::yellow), 10, 10, 2, 150, 5);
  flag->Draggable = false;
  int row_drags = 0, flag_drags = 0;
  QObject::connect(row, &TKivButton::DragStarted, [&] { ++row_drags; });
  QObject::connect(flag, &TKivButton::DragStarted, [&] { ++flag_drags; });
  int double_clicks = 0;
  row->OnDoubleClick = [&](TKivButton* b) { double_clicks += b == row; };
  for (TKivButton* b : {row, flag}) {
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2), b->mapToGlobal(QPointF(2, 2)), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(b, &press);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(b, &leave);
  }
  EXPECT_EQ(row_drags, 1);
  EXPECT_EQ(flag_drags, 0);
  EXPECT_FALSE(row->Pressed());
  QMouseEvent twice(QEvent::MouseButtonDblClick, QPointF(2, 2), row->mapToGlobal(QPointF(2, 2)),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(row, &twice);
  EXPECT_EQ(double_clicks, 1);
  EXPECT_EQ(flag->geometry(), QRect(150, row->y() + 2, 10, 10));
}

class WebImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QImage picture(12, 8, QImage::Format_RGB32);
    picture.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    picture.save(&buffer, "PNG");
    png_ = png.toStdString();
    http_.Get("/room/12.png", [this](const httplib::Request&, httplib::Response& res) {
      ++requests_;
      res.set_content(png_, "image/png");
    });
    port_ = http_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { http_.listen_after_bind(); });
  }
  void TearDown() override {
    QThreadPool::globalInstance()->waitForDone(10000);
    http_.stop();
    thread_.join();
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/room/12.png"; }

  TestDir dir_;
  httplib::Server http_;
  std::string png_;
  std::atomic<int> requests_{0};
  int port_ = 0;
  std::thread thread_;
};

TEST_F(WebImageTest, FillsItselfFromTheWebOnceAndDropsLateArrivals) {
  TWebImage image;
  image.Root = dir_.path().string();
  std::vector<bool> done;
  QObject::connect(&image, &TWebImage::UrlImageDone, [&](bool loaded) { done.push_back(loaded); });
  image.GetImageFromURL(Url());
  ASSERT_TRUE(RunUntil([&] { return done.size() == 1; }, 10000));
  EXPECT_TRUE(done[0]);
  EXPECT_EQ(image.pixmap().size(), QSize(12, 8));

  auto gone = std::make_unique<TWebImage>();
  gone->Root = dir_.path().string();
  gone->GetImageFromURL(Url());  // cached now: no second request
  gone.reset();
  QThreadPool::globalInstance()->waitForDone(10000);
  QCoreApplication::processEvents();
  EXPECT_EQ(requests_.load(), 1);
  EXPECT_FALSE(image.GetImageFromFile(QString::fromStdString((dir_.path() / "nothing.png").string())));
  EXPECT_EQ(image.pixmap().size(), QSize(12, 8));
}

}  // namespace
}  // namespace kiv
