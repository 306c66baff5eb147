#include "paint.h"

#include <QLinearGradient>
#include <QRadialGradient>
#include <cmath>
#include <numbers>

namespace kiv::assets {

const Brand& KivoraBrand() {
  static const Brand brand{QStringLiteral("Kivora"),        QStringLiteral("K"),
                           QStringLiteral("SkinImage.dat"), QColor(0x2F, 0x8C, 0xFF),
                           QColor(0x15, 0x55, 0xC0),        QColor(0x35, 0xC8, 0xF5),
                           QColor(0xFF, 0xA5, 0x1F)};
  return brand;
}

const Brand& PeloBrand() {
  static const Brand brand{
      QStringLiteral("Pelo"),   QStringLiteral("P"),      QStringLiteral("PeloSkinImage.dat"),
      QColor(0xF2, 0x5C, 0x8E), QColor(0xB8, 0x2A, 0x5E), QColor(0xFF, 0x9E, 0x5E),
      QColor(0x2E, 0xC4, 0xB6)};
  return brand;
}

QImage NewImage(int width, int height, QColor fill) {
  QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
  image.fill(fill);
  return image;
}

void Prepare(QPainter& p) {
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setRenderHint(QPainter::SmoothPixmapTransform, true);
  p.setRenderHint(QPainter::TextAntialiasing, true);
}

QFont TextFont(double pixel_size, bool bold) {
  QFont font(QStringLiteral("WenQuanYi Micro Hei"));
  font.setPixelSize(std::max(1, static_cast<int>(std::lround(pixel_size))));
  font.setBold(bold);
  font.setStyleStrategy(QFont::PreferAntialias);
  return font;
}

QLinearGradient Vertical(const QRectF& rect, QColor top, QColor bottom) {
  QLinearGradient g(rect.topLeft(), rect.bottomLeft());
  g.setColorAt(0, top);
  g.setColorAt(1, bottom);
  return g;
}

QColor Mix(QColor a, QColor b, double t) {
  auto lerp = [t](int x, int y) { return static_cast<int>(std::lround(x + (y - x) * t)); };
  return QColor(lerp(a.red(), b.red()), lerp(a.green(), b.green()), lerp(a.blue(), b.blue()),
                lerp(a.alpha(), b.alpha()));
}

QColor Greyed(QColor c) {
  int grey = qGray(c.rgb());
  return Mix(c, QColor(grey, grey, grey, c.alpha()), 0.85);
}

void Glossy(QPainter& p, const QPainterPath& path, QColor base, double outline_width) {
  QRectF r = path.boundingRect();
  p.save();
  p.setPen(Qt::NoPen);
  QLinearGradient g(r.topLeft(), r.bottomLeft());
  g.setColorAt(0, base.lighter(135));
  g.setColorAt(0.55, base);
  g.setColorAt(1, base.darker(125));
  p.setBrush(g);
  p.drawPath(path);
  // Soft highlight over the upper part.
  p.setClipPath(path);
  QPainterPath shine;
  shine.addEllipse(
      QRectF(r.left() - r.width() * 0.2, r.top() - r.height() * 0.55, r.width() * 1.4, r.height()));
  QLinearGradient sg(r.topLeft(), QPointF(r.left(), r.top() + r.height() * 0.45));
  sg.setColorAt(0, QColor(255, 255, 255, 150));
  sg.setColorAt(1, QColor(255, 255, 255, 20));
  p.setBrush(sg);
  p.drawPath(shine);
  p.setClipping(false);
  if (outline_width > 0) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(base.darker(150), outline_width));
    p.drawPath(path);
  }
  p.restore();
}

QPainterPath RoundedRect(const QRectF& rect, double radius) {
  QPainterPath path;
  path.addRoundedRect(rect, radius, radius);
  return path;
}

QPainterPath StarPath(QPointF centre, double outer, double inner, int points, double rotation_deg) {
  QPainterPath path;
  for (int i = 0; i < points * 2; ++i) {
    double r = (i % 2 == 0) ? outer : inner;
    double a = (rotation_deg + i * 180.0 / points) * std::numbers::pi / 180.0;
    QPointF pt(centre.x() + r * std::cos(a), centre.y() + r * std::sin(a));
    if (i == 0) {
      path.moveTo(pt);
    } else {
      path.lineTo(pt);
    }
  }
  path.closeSubpath();
  return path;
}

QPainterPath BubblePath(const QRectF& body, double radius, bool tail_left) {
  QPainterPath path;
  path.addRoundedRect(body, radius, radius);
  QPainterPath tail;
  double x = tail_left ? body.left() + body.width() * 0.22 : body.right() - body.width() * 0.22;
  double dir = tail_left ? -1 : 1;
  tail.moveTo(x - dir * body.width() * 0.02, body.bottom() - 1);
  tail.lineTo(x + dir * body.width() * 0.12, body.bottom() - 1);
  tail.lineTo(x - dir * body.width() * 0.10, body.bottom() + body.height() * 0.32);
  tail.closeSubpath();
  return path.united(tail);
}

QPainterPath PersonPath(QPointF head_centre, double head_radius) {
  QPainterPath path;
  path.addEllipse(head_centre, head_radius, head_radius);
  double r = head_radius;
  QRectF shoulders(head_centre.x() - r * 1.75, head_centre.y() + r * 1.15, r * 3.5, r * 3.0);
  QPainterPath body;
  body.moveTo(shoulders.left(), shoulders.top() + r * 1.9);
  body.cubicTo(shoulders.left(), shoulders.top() - r * 0.1, shoulders.right(), shoulders.top() - r * 0.1,
               shoulders.right(), shoulders.top() + r * 1.9);
  body.closeSubpath();
  return path.united(body);
}

QPainterPath GearPath(QPointF centre, double outer, double inner, int teeth) {
  QPainterPath path;
  const double step = 2 * std::numbers::pi / teeth;
  for (int i = 0; i < teeth; ++i) {
    double a0 = i * step;
    double pts[4] = {a0 - step * 0.20, a0 - step * 0.12, a0 + step * 0.12, a0 + step * 0.20};
    double rad[4] = {inner, outer, outer, inner};
    for (int k = 0; k < 4; ++k) {
      QPointF pt(centre.x() + rad[k] * std::cos(pts[k]), centre.y() + rad[k] * std::sin(pts[k]));
      if (i == 0 && k == 0) {
        path.moveTo(pt);
      } else {
        path.lineTo(pt);
      }
    }
    double mid = a0 + step * 0.5;
    path.lineTo(centre.x() + inner * std::cos(mid), centre.y() + inner * std::sin(mid));
  }
  path.closeSubpath();
  return path;
}

QPainterPath HeartPath(QPointF c, double s) {
  QPainterPath path;
  path.moveTo(c.x(), c.y() + s * 0.45);
  path.cubicTo(c.x() - s * 0.75, c.y() - s * 0.05, c.x() - s * 0.45, c.y() - s * 0.65, c.x(),
               c.y() - s * 0.25);
  path.cubicTo(c.x() + s * 0.45, c.y() - s * 0.65, c.x() + s * 0.75, c.y() - s * 0.05, c.x(),
               c.y() + s * 0.45);
  path.closeSubpath();
  return path;
}

void CentredText(QPainter& p, const QRectF& rect, const QString& text, const QFont& font, QColor colour,
                 QColor shadow) {
  p.save();
  p.setFont(font);
  if (shadow.alpha() > 0) {
    p.setPen(shadow);
    p.drawText(rect.translated(1, 1), Qt::AlignCenter, text);
  }
  p.setPen(colour);
  p.drawText(rect, Qt::AlignCenter, text);
  p.restore();
}

QImage GreyImage(const QImage& image, double fade) {
  QImage out = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < out.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < out.width(); ++x) {
      QRgb c = line[x];
      int g = qGray(c);
      g = 150 + (g - 150) * 6 / 10;  // flatter contrast, light grey
      line[x] = qRgba(g, g, g, static_cast<int>(qAlpha(c) * fade));
    }
  }
  return out.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

}  // namespace kiv::assets
