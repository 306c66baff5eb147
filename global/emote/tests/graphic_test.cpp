// The bitmap helpers, and the manager's picture fitting that uses them.
#include <gtest/gtest.h>

#include <QImage>

#include "emote/graphic.h"
#include "manager/global_manager.h"

namespace kiv {
namespace {

QImage Filled(int width, int height, QColor colour) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(colour);
  return image;
}

// The bounding box of the pixels that are not white.
QRect Content(const QImage& image) {
  QRect box;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (image.pixelColor(x, y) != QColor(Qt::white)) box |= QRect(x, y, 1, 1);
    }
  }
  return box;
}

TEST(Graphic, FitImageSizeShowsTheWholePicture) {
  struct Case {
    QSize picture, box;
    QSize fitted;
  } cases[] = {
      {{20, 30}, {60, 60}, {37, 57}},  // taller than wide: the height decides
      {{30, 20}, {60, 60}, {57, 37}},  // wider than tall: the width decides
      {{40, 20}, {60, 60}, {57, 27}}, {{200, 100}, {60, 60}, {57, 27}},  // larger than the box: shrunk
      {{60, 60}, {60, 60}, {57, 57}},
  };
  for (const Case& c : cases) {
    QImage picture = Filled(c.picture.width(), c.picture.height(), Qt::red);
    FitImageSize(picture, c.box.width(), c.box.height(), false);
    ASSERT_EQ(picture.size(), c.box);
    const QRect content = Content(picture);
    EXPECT_EQ(content.size(), c.fitted) << c.picture.width() << "x" << c.picture.height();
    EXPECT_EQ(content.center(), QRect(QPoint(0, 0), c.box).center());
    // The manager's fitting is the same function.
    EXPECT_EQ(
        FitPictureSize(Filled(c.picture.width(), c.picture.height(), Qt::red), c.box.width(), c.box.height()),
        picture);
  }
}

TEST(Graphic, FitImageSizeFramesTheBox) {
  QImage picture = Filled(10, 10, Qt::blue);
  FitImageSize(picture, 40, 30, true);
  const QColor grey(0x99, 0x99, 0x99);
  EXPECT_EQ(picture.pixelColor(39, 10), grey);
  EXPECT_EQ(picture.pixelColor(10, 29), grey);
  EXPECT_EQ(picture.pixelColor(0, 10), QColor(Qt::white));
  EXPECT_EQ(picture.pixelColor(20, 15), QColor(Qt::blue));
}

TEST(Graphic, HelpersKeepWhatTheyCannotChange) {
  QImage null;
  for (auto helper : {+[](QImage& i) { FitImageSize(i, 10, 10, false); },
                      +[](QImage& i) { ScalBmp(10, 10, i); }, +[](QImage& i) { ScalBmpCenter(10, 10, i); },
                      +[](QImage& i) { PointBmp(i); }, +[](QImage& i) { MakeGray(i); }}) {
    helper(null);
    EXPECT_TRUE(null.isNull());
  }
  QImage picture = Filled(5, 5, Qt::red);
  const QImage before = picture;
  FitImageSize(picture, 0, 10, false);
  ScalBmp(10, -1, picture);
  ScalBmpCenter(0, 0, picture);
  EXPECT_EQ(picture, before);
}

TEST(Graphic, BitmapHelpers) {
  QImage stretched = Filled(4, 2, Qt::green);
  ScalBmp(8, 8, stretched);
  EXPECT_EQ(stretched.size(), QSize(8, 8));
  EXPECT_EQ(stretched.format(), QImage::Format_RGB888);
  EXPECT_EQ(stretched.pixelColor(7, 7), QColor(Qt::green));

  QImage centred = Filled(4, 2, Qt::green);
  ScalBmpCenter(8, 6, centred);
  EXPECT_EQ(centred.size(), QSize(8, 6));
  EXPECT_EQ(Content(centred), QRect(2, 2, 4, 2));

  QImage source = Filled(10, 10, Qt::black);
  source.setPixelColor(3, 4, Qt::red);
  const QImage part = GetRectBmp(source, QRect(3, 4, 20, 2));
  EXPECT_EQ(part.size(), QSize(7, 2));
  EXPECT_EQ(part.pixelColor(0, 0), QColor(Qt::red));

  QImage marked = Filled(3, 3, Qt::white);
  PointBmp(marked);
  EXPECT_EQ(marked.format(), QImage::Format_RGB888);
  EXPECT_EQ(marked.pixelColor(0, 2), QColor(255, 0, 255));
  EXPECT_EQ(marked.pixelColor(0, 0), QColor(Qt::white));

  QImage grey = Filled(1, 1, QColor(200, 100, 50));
  MakeGray(grey);
  const int v = (50 * 28 + 100 * 151 + 200 * 77) >> 8;
  EXPECT_EQ(grey.pixelColor(0, 0), QColor(v, v, v));
}

}  // namespace
}  // namespace kiv
