#include "emote/graphic.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

namespace kiv {

namespace {

constexpr QImage::Format kBitmap24 = QImage::Format_RGB888;
constexpr int kFitMargin = 3;

}  // namespace

void ScalBmp(int width, int height, QImage& bitmap) {
  if (bitmap.isNull() || width <= 0 || height <= 0) return;
  QImage result = bitmap.convertToFormat(QImage::Format_RGB32)
                      .scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                      .convertToFormat(kBitmap24);
  if (!result.isNull()) bitmap = std::move(result);
}

void ScalBmpCenter(int width, int height, QImage& bitmap) {
  if (bitmap.isNull() || width <= 0 || height <= 0) return;
  QImage result(width, height, kBitmap24);
  if (result.isNull()) return;
  result.fill(Qt::white);
  QPainter painter(&result);
  painter.drawImage(QPoint((width - bitmap.width()) / 2, (height - bitmap.height()) / 2), bitmap);
  painter.end();
  bitmap = std::move(result);
}

QImage GetRectBmp(const QImage& bitmap, const QRect& rect) { return bitmap.copy(rect & bitmap.rect()); }

void PointBmp(QImage& bitmap) {
  if (bitmap.isNull()) return;
  bitmap = bitmap.convertToFormat(kBitmap24);
  bitmap.setPixelColor(0, bitmap.height() - 1, QColor(255, 0, 255));
}

void FitImageSize(QImage& graphic, int width, int height, bool framed) {
  if (graphic.isNull() || width <= 0 || height <= 0) return;
  const double scale =
      std::min(static_cast<double>(width) / graphic.width(), static_cast<double>(height) / graphic.height());
  const int fitted_width = std::max(1, static_cast<int>(std::lround(graphic.width() * scale)) - kFitMargin);
  const int fitted_height = std::max(1, static_cast<int>(std::lround(graphic.height() * scale)) - kFitMargin);
  QImage fitted = graphic;
  ScalBmp(fitted_width, fitted_height, fitted);
  QImage box(width, height, kBitmap24);
  if (box.isNull()) return;
  box.fill(Qt::white);
  QPainter painter(&box);
  if (framed) {
    const QColor grey(0x99, 0x99, 0x99);
    painter.fillRect(0, 0, width, 2, Qt::white);
    painter.fillRect(0, 0, 2, height, Qt::white);
    painter.fillRect(width - 1, 0, 1, height, grey);
    painter.fillRect(0, height - 1, width, 1, grey);
  }
  painter.drawImage(QPoint((width - fitted.width()) / 2, (height - fitted.height()) / 2), fitted);
  painter.end();
  graphic = std::move(box);
}

void MakeGray(QImage& bitmap) {
  if (bitmap.isNull()) return;
  QImage grey = bitmap.convertToFormat(kBitmap24);
  for (int y = 0; y < grey.height(); ++y) {
    std::uint8_t* pixel = grey.scanLine(y);
    for (int x = 0; x < grey.width(); ++x, pixel += 3) {
      const auto v = static_cast<std::uint8_t>((pixel[2] * 28 + pixel[1] * 151 + pixel[0] * 77) >> 8);
      pixel[0] = pixel[1] = pixel[2] = v;
    }
  }
  bitmap = std::move(grey);
}

}  // namespace kiv
