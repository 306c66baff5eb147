#include "pictures.h"

#include <QLinearGradient>
#include <QRadialGradient>
#include <cmath>
#include <functional>
#include <numbers>

namespace kiv::assets {
namespace {

using Painter = std::function<void(QPainter&)>;

// Colours shared by the icons of every brand.
const QColor kGreen(0x3C, 0xB9, 0x4A);
const QColor kRed(0xE5, 0x3B, 0x3B);
const QColor kGold(0xF6, 0xB4, 0x1E);
const QColor kInk(0x3A, 0x46, 0x58);
const QColor kSilver(0xA9, 0xB4, 0xC2);

// A picture of width x height; `draw` works on a square design grid of `grid` units centred in it.
QImage Icon(int width, int height, const Painter& draw, double grid = 24) {
  QImage image = NewImage(width, height);
  QPainter p(&image);
  Prepare(p);
  double scale = std::min(width, height) / grid;
  p.translate((width - grid * scale) / 2.0, (height - grid * scale) / 2.0);
  p.scale(scale, scale);
  draw(p);
  return image;
}

// A picture of width x height drawn in its own pixels.
QImage Plain(int width, int height, const std::function<void(QPainter&, double, double)>& draw) {
  QImage image = NewImage(width, height);
  QPainter p(&image);
  Prepare(p);
  draw(p, width, height);
  return image;
}

void Stroke(QPainter& p, const QPainterPath& path, QColor colour, double width) {
  p.save();
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPath(path);
  p.restore();
}

void Fill(QPainter& p, const QPainterPath& path, const QBrush& brush) {
  p.save();
  p.setPen(Qt::NoPen);
  p.setBrush(brush);
  p.drawPath(path);
  p.restore();
}

QPainterPath Circle(QPointF c, double r) {
  QPainterPath path;
  path.addEllipse(c, r, r);
  return path;
}

QPainterPath Line(QPointF a, QPointF b) {
  QPainterPath path;
  path.moveTo(a);
  path.lineTo(b);
  return path;
}

// --- Small glyphs on the 24-unit grid ----------------------------------------------------------

void Person(QPainter& p, QPointF head, double r, QColor colour) {
  Glossy(p, PersonPath(head, r), colour, 0.8);
}

void Badge(QPainter& p, QPointF c, double r, QColor colour) {
  Glossy(p, Circle(c, r), colour, 0.6);
  Stroke(p, Circle(c, r), Qt::white, 0.9);
}

void CrossMark(QPainter& p, QPointF c, double r, double width = 1.6) {
  QPainterPath x = Line({c.x() - r, c.y() - r}, {c.x() + r, c.y() + r});
  x.addPath(Line({c.x() + r, c.y() - r}, {c.x() - r, c.y() + r}));
  Stroke(p, x, Qt::white, width);
}

void RedCrossBadge(QPainter& p, QPointF c, double r) {
  Badge(p, c, r, kRed);
  CrossMark(p, c, r * 0.42);
}

void Slash(QPainter& p) {
  Stroke(p, Line({4, 20}, {20, 4}), Qt::white, 4.2);
  Stroke(p, Line({4, 20}, {20, 4}), kRed, 2.4);
}

void Camera(QPainter& p, QColor colour) {
  Glossy(p, RoundedRect(QRectF(2, 7, 14, 11), 2.5), colour, 0.8);
  QPainterPath lens;
  lens.moveTo(16, 10.5);
  lens.lineTo(22, 7.5);
  lens.lineTo(22, 17.5);
  lens.lineTo(16, 14.5);
  lens.closeSubpath();
  Glossy(p, lens, colour.darker(115), 0.8);
  Fill(p, Circle({6, 10.5}, 1.4), QColor(255, 255, 255, 200));
}

void Microphone(QPainter& p, QColor colour) {
  Glossy(p, RoundedRect(QRectF(8.5, 2, 7, 12), 3.5), colour, 0.8);
  QPainterPath stand;
  stand.moveTo(5.5, 10.5);
  stand.cubicTo(5.5, 18, 18.5, 18, 18.5, 10.5);
  stand.moveTo(12, 16.8);
  stand.lineTo(12, 20.5);
  stand.moveTo(8.5, 21);
  stand.lineTo(15.5, 21);
  Stroke(p, stand, colour.darker(130), 1.8);
}

void Waves(QPainter& p, QPointF c, QColor colour, int count, double start = 4) {
  for (int i = 0; i < count; ++i) {
    double r = start + i * 3.2;
    QPainterPath arc;
    arc.arcMoveTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), -40);
    arc.arcTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), -40, 80);
    Stroke(p, arc, colour, 1.6);
  }
}

void Speaker(QPainter& p, QColor colour) {
  QPainterPath body;
  body.moveTo(2.5, 9);
  body.lineTo(7, 9);
  body.lineTo(12.5, 4);
  body.lineTo(12.5, 20);
  body.lineTo(7, 15);
  body.lineTo(2.5, 15);
  body.closeSubpath();
  Glossy(p, body, colour, 0.8);
}

void Magnifier(QPainter& p, QPointF c, double r, QColor rim) {
  QPainterPath handle = Line({c.x() + r * 0.72, c.y() + r * 0.72}, {c.x() + r * 1.75, c.y() + r * 1.75});
  Stroke(p, handle, QColor(0x6B, 0x4A, 0x2B), r * 0.55);
  QRadialGradient glass(c, r);
  glass.setColorAt(0, QColor(235, 248, 255, 230));
  glass.setColorAt(1, QColor(170, 215, 245, 230));
  Fill(p, Circle(c, r), glass);
  Stroke(p, Circle(c, r), rim, r * 0.3);
  QPainterPath shine;
  shine.arcMoveTo(QRectF(c.x() - r * 0.6, c.y() - r * 0.6, r * 1.2, r * 1.2), 100);
  shine.arcTo(QRectF(c.x() - r * 0.6, c.y() - r * 0.6, r * 1.2, r * 1.2), 100, 70);
  Stroke(p, shine, QColor(255, 255, 255, 220), r * 0.18);
}

void Coin(QPainter& p, QPointF c, double rx, double ry, QColor colour) {
  QRectF face(c.x() - rx, c.y() - ry, 2 * rx, 2 * ry);
  QPainterPath edge;
  edge.addEllipse(face.translated(0, ry * 0.35));
  Fill(p, edge, colour.darker(140));
  QPainterPath top;
  top.addEllipse(face);
  Glossy(p, top, colour, 0.6);
  QPainterPath inner;
  inner.addEllipse(face.adjusted(rx * 0.3, ry * 0.3, -rx * 0.3, -ry * 0.3));
  Stroke(p, inner, colour.lighter(130), 0.7);
}

void Gear(QPainter& p, QPointF c, double r, QColor colour) {
  QPainterPath gear = GearPath(c, r, r * 0.74, 8).subtracted(Circle(c, r * 0.33));
  Glossy(p, gear, colour, 0.8);
}

void Bell(QPainter& p, QColor colour) {
  QPainterPath bell;
  bell.moveTo(12, 3);
  bell.cubicTo(6.5, 3, 6, 8, 6, 11.5);
  bell.cubicTo(6, 15, 4.5, 16.5, 3.5, 17.8);
  bell.lineTo(20.5, 17.8);
  bell.cubicTo(19.5, 16.5, 18, 15, 18, 11.5);
  bell.cubicTo(18, 8, 17.5, 3, 12, 3);
  bell.closeSubpath();
  Glossy(p, bell, colour, 0.8);
  Glossy(p, Circle({12, 19.8}, 2.2), colour.darker(120), 0.6);
}

void Envelope(QPainter& p, QRectF r, QColor colour) {
  Glossy(p, RoundedRect(r, 1.5), colour, 0.8);
  QPainterPath flap;
  flap.moveTo(r.left() + 0.8, r.top() + 1);
  flap.lineTo(r.center().x(), r.top() + r.height() * 0.58);
  flap.lineTo(r.right() - 0.8, r.top() + 1);
  Stroke(p, flap, colour.darker(150), 1.2);
}

void Triangle(QPainter& p, QPointF a, QPointF b, QPointF c, QColor colour) {
  QPainterPath t;
  t.moveTo(a);
  t.lineTo(b);
  t.lineTo(c);
  t.closeSubpath();
  Glossy(p, t, colour, 0.5);
}

void Crown(QPainter& p, QColor colour) {
  QPainterPath crown;
  crown.moveTo(3, 18.5);
  crown.lineTo(2, 7);
  crown.lineTo(7.5, 12);
  crown.lineTo(12, 4);
  crown.lineTo(16.5, 12);
  crown.lineTo(22, 7);
  crown.lineTo(21, 18.5);
  crown.closeSubpath();
  Glossy(p, crown, colour, 0.8);
  Glossy(p, RoundedRect(QRectF(3, 18, 18, 3.2), 1), colour.darker(115), 0.6);
  Fill(p, Circle({12, 14}, 1.7), kRed);
  Fill(p, Circle({7.3, 15.2}, 1.2), QColor(0x3B, 0x8E, 0xF0));
  Fill(p, Circle({16.7, 15.2}, 1.2), QColor(0x3B, 0x8E, 0xF0));
}

QPainterPath ShieldPath() {
  QPainterPath shield;
  shield.moveTo(12, 2);
  shield.lineTo(20.5, 5);
  shield.cubicTo(20.5, 13, 18, 18.5, 12, 22);
  shield.cubicTo(6, 18.5, 3.5, 13, 3.5, 5);
  shield.closeSubpath();
  return shield;
}

void Smiley(QPainter& p, QPointF c, double r) {
  QRadialGradient g(QPointF(c.x() - r * 0.3, c.y() - r * 0.4), r * 1.4);
  g.setColorAt(0, QColor(0xFF, 0xF1, 0x8C));
  g.setColorAt(1, QColor(0xF7, 0xB7, 0x1C));
  Fill(p, Circle(c, r), g);
  Stroke(p, Circle(c, r), QColor(0xC9, 0x85, 0x0A), r * 0.08);
  Fill(p, Circle({c.x() - r * 0.35, c.y() - r * 0.22}, r * 0.13), QColor(0x5A, 0x3A, 0x10));
  Fill(p, Circle({c.x() + r * 0.35, c.y() - r * 0.22}, r * 0.13), QColor(0x5A, 0x3A, 0x10));
  QPainterPath mouth;
  mouth.arcMoveTo(QRectF(c.x() - r * 0.55, c.y() - r * 0.45, r * 1.1, r * 1.0), 200);
  mouth.arcTo(QRectF(c.x() - r * 0.55, c.y() - r * 0.45, r * 1.1, r * 1.0), 200, 140);
  Stroke(p, mouth, QColor(0x5A, 0x3A, 0x10), r * 0.12);
}

void Arrow(QPainter& p, bool left, bool bar, QColor colour) {
  QPainterPath t;
  double dir = left ? -1 : 1;
  double tip = 12 + dir * 6.5;
  double back = 12 - dir * 4.5;
  t.moveTo(tip, 12);
  t.lineTo(back, 5);
  t.lineTo(back, 19);
  t.closeSubpath();
  if (bar) {
    double x = left ? 5 : 17.5;
    t.addRoundedRect(QRectF(x, 5, 2.5, 14), 0.8, 0.8);
    t.translate(-dir * 1.5, 0);
  }
  Glossy(p, t, colour, 0.6);
}

void Flame(QPainter& p) {
  QPainterPath outer;
  outer.moveTo(12, 1.5);
  outer.cubicTo(14, 6, 19.5, 8.5, 19.5, 14.5);
  outer.cubicTo(19.5, 19, 16, 22.5, 12, 22.5);
  outer.cubicTo(8, 22.5, 4.5, 19, 4.5, 14.5);
  outer.cubicTo(4.5, 11, 6.5, 9.5, 7.5, 7.5);
  outer.cubicTo(8.5, 10, 9.5, 11, 10.5, 11.5);
  outer.cubicTo(10.5, 8, 11, 4.5, 12, 1.5);
  QLinearGradient g(QPointF(12, 2), QPointF(12, 22));
  g.setColorAt(0, QColor(0xFF, 0x4E, 0x1F));
  g.setColorAt(1, QColor(0xE8, 0x1D, 0x1D));
  Fill(p, outer, g);
  QPainterPath inner;
  inner.moveTo(12, 10);
  inner.cubicTo(13.5, 13, 16, 14.5, 16, 17.5);
  inner.cubicTo(16, 20, 14.2, 21.5, 12, 21.5);
  inner.cubicTo(9.8, 21.5, 8, 20, 8, 17.5);
  inner.cubicTo(8, 15, 11, 13.5, 12, 10);
  QLinearGradient gi(QPointF(12, 10), QPointF(12, 21));
  gi.setColorAt(0, QColor(0xFF, 0xD8, 0x3A));
  gi.setColorAt(1, QColor(0xFF, 0x9A, 0x1A));
  Fill(p, inner, gi);
}

void Gamepad(QPainter& p, QColor colour) {
  QPainterPath pad;
  pad.moveTo(7, 7);
  pad.lineTo(17, 7);
  pad.cubicTo(21, 7, 23, 12, 22.5, 16);
  pad.cubicTo(22, 19.5, 19, 19.5, 17.5, 17);
  pad.lineTo(16, 15);
  pad.lineTo(8, 15);
  pad.lineTo(6.5, 17);
  pad.cubicTo(5, 19.5, 2, 19.5, 1.5, 16);
  pad.cubicTo(1, 12, 3, 7, 7, 7);
  Glossy(p, pad, colour, 0.8);
  QPainterPath dpad;
  dpad.addRect(QRectF(5, 10.3, 5, 1.6));
  dpad.addRect(QRectF(6.7, 8.6, 1.6, 5));
  Fill(p, dpad, Qt::white);
  Fill(p, Circle({16, 10}, 1.1), QColor(0xFF, 0xE0, 0x4A));
  Fill(p, Circle({18.4, 12.2}, 1.1), QColor(0x8D, 0xF0, 0x8D));
}

void House(QPainter& p, QColor roof, QColor wall) {
  QPainterPath body;
  body.addRect(QRectF(5, 11, 14, 10));
  Glossy(p, body, wall, 0.7);
  QPainterPath r;
  r.moveTo(2, 12);
  r.lineTo(12, 3);
  r.lineTo(22, 12);
  r.lineTo(19.5, 12);
  r.lineTo(12, 5.8);
  r.lineTo(4.5, 12);
  r.closeSubpath();
  Glossy(p, r, roof, 0.6);
  Glossy(p, RoundedRect(QRectF(10, 14.5, 4, 6.5), 0.8), roof.darker(110), 0.4);
}

void Trophy(QPainter& p) {
  QPainterPath cup;
  cup.moveTo(6.5, 3);
  cup.lineTo(17.5, 3);
  cup.cubicTo(17.5, 10, 15.5, 13.5, 12, 14);
  cup.cubicTo(8.5, 13.5, 6.5, 10, 6.5, 3);
  Glossy(p, cup, kGold, 0.7);
  QPainterPath handles;
  handles.addEllipse(QRectF(3, 4.5, 5, 5));
  handles.addEllipse(QRectF(16, 4.5, 5, 5));
  Stroke(p, handles, kGold.darker(120), 1.3);
  Glossy(p, RoundedRect(QRectF(10.8, 13.5, 2.4, 4), 0.4), kGold.darker(115), 0.4);
  Glossy(p, RoundedRect(QRectF(7, 17.5, 10, 4), 1), QColor(0x8A, 0x5A, 0x2B), 0.6);
}

void Bubbles(QPainter& p, QColor a, QColor b) {
  Glossy(p, BubblePath(QRectF(8.5, 3, 14, 10), 4, false), b, 0.7);
  Glossy(p, BubblePath(QRectF(1.5, 8, 14.5, 10.5), 4, true), a, 0.7);
  for (int i = 0; i < 3; ++i) Fill(p, Circle({5 + i * 3.7, 13.2}, 1.05), Qt::white);
}

void Padlock(QPainter& p) {
  QPainterPath shackle;
  shackle.moveTo(7.5, 11);
  shackle.lineTo(7.5, 7.5);
  shackle.cubicTo(7.5, 2.5, 16.5, 2.5, 16.5, 7.5);
  shackle.lineTo(16.5, 11);
  Stroke(p, shackle, kSilver.darker(120), 2.4);
  Glossy(p, RoundedRect(QRectF(4.5, 10.5, 15, 11.5), 2.2), kGold, 0.8);
  QPainterPath hole = Circle({12, 15}, 1.6);
  hole.addRect(QRectF(11.3, 15, 1.4, 3.5));
  Fill(p, hole, QColor(0x6B, 0x4A, 0x10));
}

void Scissors(QPainter& p, QColor colour) {
  Stroke(p, Line({6, 3}, {15.5, 15}), kSilver.darker(130), 2.2);
  Stroke(p, Line({18, 3}, {8.5, 15}), kSilver.darker(110), 2.2);
  Stroke(p, Circle({7, 18}, 3.2), colour, 2.2);
  Stroke(p, Circle({17, 18}, 3.2), colour, 2.2);
  Fill(p, Circle({12, 9.3}, 1.0), kInk);
}

void Folder(QPainter& p, QColor colour) {
  QPainterPath back;
  back.moveTo(2, 6);
  back.lineTo(9, 6);
  back.lineTo(11, 8);
  back.lineTo(22, 8);
  back.lineTo(22, 20);
  back.lineTo(2, 20);
  back.closeSubpath();
  Glossy(p, back, colour.darker(115), 0.7);
  QPainterPath front;
  front.moveTo(2, 20);
  front.lineTo(4.5, 11);
  front.lineTo(23.5, 11);
  front.lineTo(21.5, 20);
  front.closeSubpath();
  Glossy(p, front, colour, 0.7);
}

void ExpandArrows(QPainter& p, QColor colour) {
  QPainterPath a;
  auto corner = [&a](double x, double y, double dx, double dy) {
    a.moveTo(x + dx * 7, y);
    a.lineTo(x, y);
    a.lineTo(x, y + dy * 7);
    a.moveTo(x, y);
    a.lineTo(x + dx * 6, y + dy * 6);
  };
  corner(3, 3, 1, 1);
  corner(21, 3, -1, 1);
  corner(3, 21, 1, -1);
  corner(21, 21, -1, -1);
  Stroke(p, a, colour, 2.2);
}

void RefreshArrows(QPainter& p, QColor colour) {
  QPainterPath a;
  a.arcMoveTo(QRectF(4, 4, 16, 16), 60);
  a.arcTo(QRectF(4, 4, 16, 16), 60, 150);
  a.arcMoveTo(QRectF(4, 4, 16, 16), 240);
  a.arcTo(QRectF(4, 4, 16, 16), 240, 150);
  Stroke(p, a, colour, 2.4);
  Triangle(p, {15.5, 1.8}, {20.5, 7}, {13.5, 8.5}, colour);
  Triangle(p, {8.5, 22.2}, {3.5, 17}, {10.5, 15.5}, colour);
}

void Light(QPainter& p, QColor colour) {
  QRadialGradient g(QPointF(9.5, 8.5), 12);
  g.setColorAt(0, colour.lighter(170));
  g.setColorAt(0.45, colour);
  g.setColorAt(1, colour.darker(160));
  Fill(p, Circle({12, 12}, 9.5), g);
  Stroke(p, Circle({12, 12}, 9.5), colour.darker(190), 1.0);
  QPainterPath shine;
  shine.addEllipse(QRectF(7, 4.5, 8, 5));
  Fill(p, shine, QColor(255, 255, 255, 150));
}

QImage SilhouettePhoto(int width, int height, QColor top, QColor bottom, QColor figure) {
  return Plain(width, height, [&](QPainter& p, double w, double h) {
    p.fillRect(QRectF(0, 0, w, h), Vertical(QRectF(0, 0, w, h), top, bottom));
    double r = std::min(w, h) * 0.19;
    QPainterPath person = PersonPath(QPointF(w / 2, h * 0.40), r);
    QLinearGradient g(QPointF(0, h * 0.2), QPointF(0, h));
    g.setColorAt(0, figure.lighter(115));
    g.setColorAt(1, figure);
    p.setClipRect(QRectF(0, 0, w, h));
    Fill(p, person, g);
  });
}

// A frame picture: a rounded border of `border` pixels around a transparent window.
QImage Frame(int width, int height, QRectF window, double radius, const Brand& brand) {
  return Plain(width, height, [&](QPainter& p, double w, double h) {
    QPainterPath outer = RoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), radius);
    QPainterPath hole = RoundedRect(window, std::max(1.0, radius - 2));
    QPainterPath ring = outer.subtracted(hole);
    QLinearGradient g(QPointF(0, 0), QPointF(w, h));
    g.setColorAt(0, QColor(255, 255, 255));
    g.setColorAt(0.5, Mix(brand.secondary, Qt::white, 0.55));
    g.setColorAt(1, Mix(brand.primary, Qt::white, 0.25));
    Fill(p, ring, g);
    Stroke(p, outer, brand.primary_dark.lighter(120), 1.0);
    Stroke(p, hole, QColor(0, 0, 0, 70), 1.0);
  });
}

}  // namespace

void DrawEmblem(QPainter& p, const Brand& brand, const QRectF& rect, bool grey) {
  QColor a = grey ? Greyed(brand.primary) : brand.primary;
  QColor b = grey ? Greyed(brand.secondary) : brand.secondary;
  QRectF body(rect.left() + rect.width() * 0.04, rect.top() + rect.height() * 0.05, rect.width() * 0.92,
              rect.height() * 0.74);
  QPainterPath bubble = BubblePath(body, rect.width() * 0.26, true);
  p.save();
  QLinearGradient g(body.topLeft(), body.bottomRight());
  g.setColorAt(0, b);
  g.setColorAt(1, a);
  p.setPen(Qt::NoPen);
  p.setBrush(g);
  p.drawPath(bubble);
  p.setClipPath(bubble);
  QPainterPath shine;
  shine.addEllipse(QRectF(body.left() - body.width() * 0.3, body.top() - body.height() * 0.6,
                          body.width() * 1.6, body.height()));
  p.setBrush(QColor(255, 255, 255, 70));
  p.drawPath(shine);
  p.setClipping(false);
  p.setPen(QPen(a.darker(140), std::max(0.6, rect.width() / 40)));
  p.setBrush(Qt::NoBrush);
  p.drawPath(bubble);
  QFont font = TextFont(body.height() * 0.78, true);
  font.setFamily(QStringLiteral("DejaVu Sans"));
  CentredText(p, body.adjusted(0, -body.height() * 0.04, 0, 0), brand.letter, font, Qt::white,
              QColor(0, 0, 0, 60));
  p.restore();
}

std::vector<NamedPicture> DrawArchivePictures(const Brand& brand) {
  std::vector<NamedPicture> out;
  auto add = [&out](const char* name, QImage image) {
    out.push_back({QString::fromLatin1(name), std::move(image)});
  };
  const QColor primary = brand.primary;
  const QColor blue(0x3B, 0x8E, 0xF0);
  const QColor grey(0x9A, 0xA3, 0xAE);

  // Brand pictures: hint window logo, login banner, system menu button.
  add("Logo2", Plain(64, 64, [&](QPainter& p, double w, double h) {
        DrawEmblem(p, brand, QRectF(2, 4, w - 4, h - 4));
      }));
  add("LoginImage", Plain(340, 110, [&](QPainter& p, double w, double h) {
        QLinearGradient g(QPointF(0, 0), QPointF(w, h));
        g.setColorAt(0, brand.secondary.lighter(115));
        g.setColorAt(1, brand.primary_dark);
        p.fillRect(QRectF(0, 0, w, h), g);
        // Soft floating bubbles.
        const double dots[][3] = {{300, 20, 34}, {260, 95, 22}, {40, 100, 28}, {180, 10, 14}, {325, 80, 12}};
        for (const auto& d : dots) {
          Fill(p, Circle({d[0], d[1]}, d[2]), QColor(255, 255, 255, 38));
        }
        QPainterPath wave;
        wave.moveTo(0, h * 0.78);
        wave.cubicTo(w * 0.3, h * 0.62, w * 0.6, h * 0.98, w, h * 0.72);
        wave.lineTo(w, h);
        wave.lineTo(0, h);
        wave.closeSubpath();
        Fill(p, wave, QColor(255, 255, 255, 45));
        DrawEmblem(p, brand, QRectF(22, 20, 66, 66));
        QFont title = TextFont(34, true);
        p.setFont(title);
        p.setPen(QColor(0, 0, 0, 50));
        p.drawText(QPointF(103, 58), brand.name + QStringLiteral("娱乐"));
        p.setPen(Qt::white);
        p.drawText(QPointF(101, 56), brand.name + QStringLiteral("娱乐"));
        p.setFont(TextFont(13));
        p.setPen(QColor(255, 255, 255, 230));
        p.drawText(QPointF(104, 82), QStringLiteral("视频聊天 · 交友互动 · 快乐分享"));
      }));
  add("SysMenuButton", Plain(48, 48, [&](QPainter& p, double w, double h) {
        QRadialGradient g(QPointF(w * 0.4, h * 0.3), w * 0.7);
        g.setColorAt(0, Qt::white);
        g.setColorAt(1, Mix(brand.secondary, Qt::white, 0.5));
        Fill(p, Circle({w / 2, h / 2}, w / 2 - 1.5), g);
        Stroke(p, Circle({w / 2, h / 2}, w / 2 - 1.5), brand.primary_dark, 1.4);
        DrawEmblem(p, brand, QRectF(9, 10, w - 18, h - 18));
      }));

  // Login window button glyphs.
  add("ClearUser", Icon(20, 20, [&](QPainter& p) {
        Person(p, {10, 7.5}, 4.2, blue);
        RedCrossBadge(p, {17.5, 17.5}, 5.2);
      }));
  add("SoftKeyBoard", Icon(20, 20, [&](QPainter& p) {
        Glossy(p, RoundedRect(QRectF(1, 5, 22, 14), 2.5), QColor(0x4A, 0x55, 0x68), 0.8);
        QPainterPath keys;
        for (int row = 0; row < 3; ++row) {
          int count = row == 2 ? 1 : 6;
          for (int k = 0; k < count; ++k) {
            if (row == 2) {
              keys.addRoundedRect(QRectF(7, 15, 10, 2.2), 0.6, 0.6);
            } else {
              keys.addRoundedRect(QRectF(3 + k * 3.1 + row * 1.2, 7.5 + row * 3.6, 2.3, 2.4), 0.5, 0.5);
            }
          }
        }
        Fill(p, keys, QColor(0xF2, 0xF5, 0xFA));
      }));

  // Main window header and bottom bar.
  add("PhotoFrame", Frame(43, 42, QRectF(6, 5.5, 31, 31), 7, brand));
  add("Right", Icon(32, 32, [&](QPainter& p) {
        Glossy(p, Circle({12, 12}, 10), kGreen, 0.8);
        QPainterPath tick;
        tick.moveTo(7, 12.5);
        tick.lineTo(10.5, 16);
        tick.lineTo(17, 8.5);
        Stroke(p, tick, Qt::white, 2.6);
      }));
  add("Setup", Icon(30, 37, [&](QPainter& p) { Gear(p, {12, 12}, 9.5, QColor(0x7C, 0x8A, 0x9E)); }));
  add("Music", Icon(30, 37, [&](QPainter& p) {
        Glossy(p, BubblePath(QRectF(2, 2.5, 20, 15), 5, true), primary, 0.8);
        QPainterPath note;
        note.addEllipse(QRectF(8, 11, 3.6, 2.8));
        note.addRect(QRectF(10.6, 5, 1.2, 7.3));
        note.addRect(QRectF(10.6, 5, 5, 1.5));
        note.addEllipse(QRectF(13, 9.8, 3.6, 2.8));
        note.addRect(QRectF(15.6, 5, 1.2, 6.1));
        Fill(p, note, Qt::white);
      }));
  add("SearchUser", Icon(30, 37, [&](QPainter& p) {
        Person(p, {9, 6.5}, 4.2, blue);
        Magnifier(p, {14.5, 13.5}, 4.6, QColor(0x55, 0x62, 0x75));
      }));
  add("Money", Icon(30, 37, [&](QPainter& p) {
        Coin(p, {12, 17.5}, 8, 3.3, kGold);
        Coin(p, {12, 13}, 8, 3.3, kGold);
        Coin(p, {12, 8.5}, 8, 3.3, kGold);
        CentredText(p, QRectF(4, 5, 16, 7), QStringLiteral("¥"), TextFont(5.5, true),
                    QColor(0xA0, 0x60, 0x00));
      }));
  add("Skin", Icon(18, 18, [&](QPainter& p) {
        QPainterPath palette;
        palette.moveTo(12, 2);
        palette.cubicTo(19, 2, 22.5, 7, 22, 12);
        palette.cubicTo(21.5, 16, 17, 15, 15.5, 17);
        palette.cubicTo(14, 19, 16.5, 22, 12, 22);
        palette.cubicTo(5.5, 22, 2, 17.5, 2, 12);
        palette.cubicTo(2, 6.5, 6, 2, 12, 2);
        Glossy(p, palette, QColor(0xF3, 0xDB, 0xB0), 0.8);
        const QColor dots[] = {kRed, kGold, kGreen, blue};
        const QPointF at[] = {{7, 9}, {12, 6.5}, {17, 9}, {7.5, 15}};
        for (int i = 0; i < 4; ++i) Glossy(p, Circle(at[i], 2.1), dots[i], 0.4);
      }));

  // Tray pictures: states 0 offline, 1 online, 2 invisible; waiting notices; logging-in cycle.
  auto tray = [&](bool grey_emblem, const std::function<void(QPainter&)>& extra) {
    return Icon(32, 32, [&](QPainter& p) {
      DrawEmblem(p, brand, QRectF(1, 1, 22, 22), grey_emblem);
      extra(p);
    });
  };
  add("ico1", tray(true, [](QPainter&) {}));
  add("ico2", tray(false, [&](QPainter& p) { Badge(p, {19, 18.5}, 4.3, kGreen); }));
  add("ico3", tray(false, [&](QPainter& p) {
        Badge(p, {19, 18.5}, 4.3, QColor(0xB8, 0xC0, 0xCA));
        Stroke(p, Line({16.8, 18.5}, {21.2, 18.5}), Qt::white, 1.5);
      }));
  add("ico4",
      Icon(32, 32, [&](QPainter& p) { Envelope(p, QRectF(2, 5, 20, 14), QColor(0xFF, 0xD2, 0x5A)); }));
  add("ico5", Icon(32, 32, [&](QPainter& p) { Bell(p, kGold); }));
  add("ico6", Icon(32, 32, [&](QPainter& p) {
        Person(p, {10, 7}, 4.5, blue);
        Badge(p, {18, 17}, 5, kGreen);
        QPainterPath plus = Line({15.5, 17}, {20.5, 17});
        plus.addPath(Line({18, 14.5}, {18, 19.5}));
        Stroke(p, plus, Qt::white, 1.6);
      }));
  add("ico7", NewImage(32, 32));  // blank: the tray blinks between it and the waiting picture
  auto dots = [&](QPainter& p, int phase) {
    for (int i = 0; i < 3; ++i) {
      QColor c = (i == phase) ? brand.accent : QColor(255, 255, 255, 230);
      Glossy(p, Circle({13 + i * 4.0, 20}, 1.8), c, 0.4);
    }
  };
  add("loginico1", tray(false, [&](QPainter& p) { dots(p, 0); }));
  add("loginico2", tray(true, [&](QPainter& p) { dots(p, 2); }));

  // Plug-in buttons of the main window's left strip.
  QImage friends = Icon(32, 32, [&](QPainter& p) {
    Person(p, {15.5, 6.5}, 3.8, brand.secondary);
    Person(p, {9, 8.5}, 4.3, primary);
  });
  QImage rooms = Icon(32, 32, [&](QPainter& p) {
    Glossy(p, BubblePath(QRectF(2, 3, 20, 14), 4, true), primary, 0.8);
    Glossy(p, RoundedRect(QRectF(6, 6.5, 9, 7), 1.5), Qt::white, 0);
    QPainterPath lens;
    lens.moveTo(15, 8.5);
    lens.lineTo(18.5, 6.5);
    lens.lineTo(18.5, 13.5);
    lens.lineTo(15, 11.5);
    lens.closeSubpath();
    Fill(p, lens, Qt::white);
  });
  add("FriendActive", friends);
  add("FriendInActive", GreyImage(friends));
  add("ChatRoomActive", rooms);
  add("ChatRoomInActive", GreyImage(rooms));

  // Friend list.
  add("FriendGroupButton1", Icon(16, 16, [&](QPainter& p) {
        Triangle(p, {6, 8.5}, {18, 8.5}, {12, 16}, kInk);
      }));
  add("FriendGroupButton2", Icon(16, 16, [&](QPainter& p) {
        Triangle(p, {9, 6}, {9, 18}, {16.5, 12}, kInk);
      }));
  add("FriendVideo", Icon(16, 16, [&](QPainter& p) { Camera(p, kGreen); }));
  add("sun", Icon(18, 18, [&](QPainter& p) {
        QPainterPath rays = StarPath({12, 12}, 11.5, 7, 12, 0);
        Fill(p, rays, QColor(0xFF, 0x9A, 0x1A));
        Glossy(p, Circle({12, 12}, 6.5), QColor(0xFF, 0xC8, 0x2A), 0.6);
      }));
  add("moon", Icon(18, 18, [&](QPainter& p) {
        QPainterPath moon = Circle({12, 12}, 9.5).subtracted(Circle({17, 8}, 8));
        Glossy(p, moon, QColor(0xFF, 0xE0, 0x6A), 0.6);
      }));
  add("star", Icon(18, 18, [&](QPainter& p) { Glossy(p, StarPath({12, 12.8}, 10.5, 4.5), kGold, 0.7); }));

  // Chat window.
  add("ChatImage",
      SilhouettePhoto(169, 169, Mix(brand.secondary, Qt::white, 0.75), Mix(brand.primary, Qt::white, 0.45),
                      Mix(brand.primary_dark, Qt::white, 0.2)));
  add("ChatFrame", Frame(200, 210, QRectF(15, 20, 170, 170), 12, brand));
  add("ChatOption", Icon(16, 16, [&](QPainter& p) {
        Gear(p, {10, 10}, 8.5, QColor(0x6D, 0x7B, 0x90));
        Triangle(p, {15, 17}, {23, 17}, {19, 22.5}, kInk);
      }));
  add("ChatClose", Icon(16, 16, [&](QPainter& p) { RedCrossBadge(p, {12, 12}, 10); }));
  add("Chat_Font", Icon(20, 20, [&](QPainter& p) {
        CentredText(p, QRectF(0, -1, 24, 20), QStringLiteral("A"), TextFont(19, true), kInk);
        QLinearGradient g(QPointF(3, 0), QPointF(21, 0));
        g.setColorAt(0, kRed);
        g.setColorAt(0.5, kGold);
        g.setColorAt(1, blue);
        Fill(p, RoundedRect(QRectF(3, 19.5, 18, 3), 1), g);
      }));
  add("Chat_Emote", Icon(20, 20, [&](QPainter& p) { Smiley(p, {12, 12}, 10); }));
  add("Chat_Pic", Icon(20, 20, [&](QPainter& p) {
        Glossy(p, RoundedRect(QRectF(2, 4, 20, 16), 2), QColor(0xE9, 0xF4, 0xFF), 0.8);
        QPainterPath hills;
        hills.moveTo(3, 19);
        hills.lineTo(9, 11);
        hills.lineTo(13, 16);
        hills.lineTo(16, 13);
        hills.lineTo(21, 19);
        hills.closeSubpath();
        Fill(p, hills, kGreen);
        Fill(p, Circle({16.5, 8.5}, 2), kGold);
      }));
  add("Chat_Clip", Icon(20, 20, [&](QPainter& p) { Scissors(p, primary); }));
  add("Chat_File", Icon(20, 20, [&](QPainter& p) {
        Folder(p, kGold);
        QPainterPath arrow;
        arrow.moveTo(9, 15.5);
        arrow.lineTo(15, 15.5);
        arrow.moveTo(12.5, 13);
        arrow.lineTo(15.2, 15.5);
        arrow.lineTo(12.5, 18);
        Stroke(p, arrow, Qt::white, 1.7);
      }));
  add("Chat_Audio", Icon(20, 20, [&](QPainter& p) { Microphone(p, primary); }));
  add("Chat_Video", Icon(20, 20, [&](QPainter& p) { Camera(p, primary); }));
  add("Chat_Record", Icon(20, 20, [&](QPainter& p) {
        Glossy(p, RoundedRect(QRectF(3, 2, 15, 20), 2), QColor(0xF7, 0xF1, 0xE3), 0.8);
        QPainterPath lines;
        for (int i = 0; i < 3; ++i) lines.addPath(Line({6, 6.5 + i * 3.5}, {15, 6.5 + i * 3.5}));
        Stroke(p, lines, QColor(0x9A, 0x8C, 0x70), 1.1);
        Glossy(p, Circle({17, 17}, 5.5), primary, 0.6);
        QPainterPath hands = Line({17, 17}, {17, 13.8});
        hands.addPath(Line({17, 17}, {19.3, 18.2}));
        Stroke(p, hands, Qt::white, 1.3);
      }));
  add("Chat_Call", Icon(20, 20, [&](QPainter& p) {
        p.save();
        p.translate(12, 12);
        p.rotate(-14);
        p.translate(-12, -12);
        Bell(p, kGold);
        p.restore();
        QPainterPath shake;
        shake.arcMoveTo(QRectF(0.5, 2, 8, 10), 110);
        shake.arcTo(QRectF(0.5, 2, 8, 10), 110, 70);
        shake.arcMoveTo(QRectF(15.5, 2, 8, 10), -70);
        shake.arcTo(QRectF(15.5, 2, 8, 10), -70, 120);
        Stroke(p, shake, kRed, 1.4);
      }));

  // Room lobby.
  add("ChatRoom32", Icon(32, 32, [&](QPainter& p) { Bubbles(p, primary, brand.accent); }));
  add("ChatRoom60", Plain(60, 60, [&](QPainter& p, double w, double h) {
        QLinearGradient g(QPointF(0, 0), QPointF(w, h));
        g.setColorAt(0, Mix(brand.secondary, Qt::white, 0.5));
        g.setColorAt(1, brand.primary);
        Fill(p, RoundedRect(QRectF(0, 0, w, h), 8), g);
        p.translate(8, 8);
        p.scale(44 / 24.0, 44 / 24.0);
        Microphone(p, QColor(0xF8, 0xF9, 0xFB));
      }));
  add("RoomFrame", Frame(70, 70, QRectF(5, 5, 60, 60), 10, brand));
  add("RoomLock", Icon(23, 28, [&](QPainter& p) { Padlock(p); }));
  add("RoomClose", Icon(23, 28, [&](QPainter& p) {
        Glossy(p, Circle({12, 12}, 10), kRed, 0.8);
        Fill(p, RoundedRect(QRectF(5.5, 10.2, 13, 3.6), 1), Qt::white);
      }));
  add("RoomType1", Icon(16, 16, [&](QPainter& p) { Folder(p, QColor(0xF5, 0xB9, 0x3A)); }));
  add("RoomType2", Icon(16, 16, [&](QPainter& p) {
        Glossy(p, BubblePath(QRectF(2.5, 4, 19, 13), 4, true), primary, 0.8);
      }));
  add("hot", Icon(16, 16, [&](QPainter& p) { Flame(p); }));
  add("GameType", Icon(16, 16, [&](QPainter& p) { Gamepad(p, QColor(0x8A, 0x5C, 0xE6)); }));
  add("RoomSearch", Icon(32, 32, [&](QPainter& p) {
        House(p, primary, QColor(0xF6, 0xF8, 0xFB));
        Magnifier(p, {15.5, 15}, 4.2, QColor(0x55, 0x62, 0x75));
      }));
  add("HomePage", Icon(16, 16, [&](QPainter& p) { House(p, kRed, QColor(0xFB, 0xF3, 0xE4)); }));
  add("Top10", Icon(16, 16, [&](QPainter& p) { Trophy(p); }));
  add("ChatRoomLobby", Icon(16, 16, [&](QPainter& p) { Bubbles(p, primary, brand.secondary); }));
  add("Game", Icon(16, 16, [&](QPainter& p) { Gamepad(p, kGreen); }));
  add("ChatRoom_Pay", Icon(20, 20, [&](QPainter& p) {
        Coin(p, {10.5, 13}, 8.5, 6.5, kGold);
        CentredText(p, QRectF(2, 6, 17, 13), QStringLiteral("¥"), TextFont(10, true),
                    QColor(0xA0, 0x60, 0x00));
        Badge(p, {19, 6}, 4.5, kGreen);
        QPainterPath plus = Line({16.6, 6}, {21.4, 6});
        plus.addPath(Line({19, 3.6}, {19, 8.4}));
        Stroke(p, plus, Qt::white, 1.5);
      }));
  add("ChatRoom_Mall", Icon(20, 20, [&](QPainter& p) {
        QPainterPath handle;
        handle.moveTo(8, 9);
        handle.lineTo(8, 6.5);
        handle.cubicTo(8, 2, 16, 2, 16, 6.5);
        handle.lineTo(16, 9);
        Stroke(p, handle, kInk, 1.6);
        QPainterPath bag;
        bag.moveTo(4.5, 7.5);
        bag.lineTo(19.5, 7.5);
        bag.lineTo(21, 22);
        bag.lineTo(3, 22);
        bag.closeSubpath();
        Glossy(p, bag, QColor(0xF2, 0x5C, 0x8E), 0.8);
        Glossy(p, HeartPath({12, 15}, 7), Qt::white, 0);
      }));
  add("SearchRoom", Icon(20, 20, [&](QPainter& p) {
        Magnifier(p, {10, 10}, 6.5, QColor(0x55, 0x62, 0x75));
      }));
  add("enterRoom", Icon(20, 20, [&](QPainter& p) {
        Glossy(p, RoundedRect(QRectF(10, 2, 11, 20), 1.5), QColor(0xA8, 0x6B, 0x3C), 0.8);
        Fill(p, Circle({18.2, 12}, 1), kGold);
        QPainterPath arrow;
        arrow.moveTo(2, 12);
        arrow.lineTo(13, 12);
        arrow.moveTo(9.5, 8);
        arrow.lineTo(13.5, 12);
        arrow.lineTo(9.5, 16);
        Stroke(p, arrow, kGreen.darker(110), 2.6);
      }));
  add("CollectionRoom", Icon(20, 20, [&](QPainter& p) {
        Glossy(p, StarPath({11, 12.5}, 10, 4.3), kGold, 0.8);
        Badge(p, {19, 18.5}, 4.3, kRed);
        QPainterPath plus = Line({16.8, 18.5}, {21.2, 18.5});
        plus.addPath(Line({19, 16.3}, {19, 20.7}));
        Stroke(p, plus, Qt::white, 1.4);
      }));
  add("RefreshRoom", Icon(20, 20, [&](QPainter& p) { RefreshArrows(p, kGreen); }));
  add("top", Icon(16, 16, [&](QPainter& p) { Arrow(p, true, true, primary); }));
  add("forward", Icon(16, 16, [&](QPainter& p) { Arrow(p, true, false, primary); }));
  add("next", Icon(16, 16, [&](QPainter& p) { Arrow(p, false, false, primary); }));
  add("end", Icon(16, 16, [&](QPainter& p) { Arrow(p, false, true, primary); }));
  add("ChatRoomInfo", Plain(220, 80, [&](QPainter& p, double w, double h) {
        QLinearGradient g(QPointF(0, 0), QPointF(0, h));
        g.setColorAt(0, Mix(brand.secondary, Qt::white, 0.78));
        g.setColorAt(1, Mix(brand.primary, Qt::white, 0.6));
        Fill(p, RoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), 6), g);
        for (int i = 0; i < 6; ++i) {
          Fill(p, Circle({w - 20 - i * 27.0, h * (0.25 + 0.1 * (i % 3))}, 9 + (i % 3) * 4),
               QColor(255, 255, 255, 60));
        }
        Stroke(p, RoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), 6), Mix(brand.primary, Qt::white, 0.3), 1);
      }));

  // Room: member roles, speaker display buttons, control switches, warning lights.
  add("AudioWorking", Icon(16, 16, [&](QPainter& p) { Microphone(p, kGreen); }));
  add("AudioStoping", Icon(16, 16, [&](QPainter& p) { Microphone(p, grey); }));
  add("AudioDisabled", Icon(16, 16, [&](QPainter& p) {
        Microphone(p, grey);
        Slash(p);
      }));
  add("VideoWorking", Icon(16, 16, [&](QPainter& p) { Camera(p, kGreen); }));
  add("VideoStoping", Icon(16, 16, [&](QPainter& p) { Camera(p, grey); }));
  add("VideoDisabled", Icon(16, 16, [&](QPainter& p) {
        Camera(p, grey);
        Slash(p);
      }));
  add("SoundWorking", Icon(16, 16, [&](QPainter& p) {
        Speaker(p, blue);
        Waves(p, {12.5, 12}, blue, 2, 3.5);
      }));
  add("SoundDisabled", Icon(16, 16, [&](QPainter& p) {
        Speaker(p, grey);
        QPainterPath x = Line({15.5, 9}, {21.5, 15});
        x.addPath(Line({21.5, 9}, {15.5, 15}));
        Stroke(p, x, kRed, 2.2);
      }));
  add("ChatScale", Icon(16, 16, [&](QPainter& p) { ExpandArrows(p, kInk); }));
  add("ChatRoomI_Roomer", Icon(16, 16, [&](QPainter& p) { Crown(p, kGold); }));
  add("ChatRoomI_NextRoomer", Icon(16, 16, [&](QPainter& p) { Crown(p, kSilver); }));
  add("ChatRoomI_Manager", Icon(16, 16, [&](QPainter& p) {
        Glossy(p, ShieldPath(), blue, 0.8);
        Fill(p, StarPath({12, 11}, 5.5, 2.3), Qt::white);
      }));
  add("ChatRoomI_TempManage", Icon(16, 16, [&](QPainter& p) {
        Glossy(p, ShieldPath(), kGreen, 0.8);
        Stroke(p, Circle({12, 10.5}, 4.6), Qt::white, 1.4);
        QPainterPath hands = Line({12, 10.5}, {12, 7.5});
        hands.addPath(Line({12, 10.5}, {14.3, 11.8}));
        Stroke(p, hands, Qt::white, 1.3);
      }));
  add("ChatRoomI_Green", Icon(16, 16, [&](QPainter& p) { Light(p, QColor(0x2E, 0xC4, 0x4A)); }));
  add("ChatRoomI_Yello", Icon(16, 16, [&](QPainter& p) { Light(p, QColor(0xF5, 0xC2, 0x1B)); }));
  add("ChatRoomI_Red", Icon(16, 16, [&](QPainter& p) { Light(p, QColor(0xE5, 0x2F, 0x2F)); }));
  add("DisplayMember", SilhouettePhoto(176, 144, QColor(0x3A, 0x44, 0x55), QColor(0x1C, 0x22, 0x2D),
                                       QColor(0x7D, 0x8B, 0xA0)));
  add("DisplayImage", Plain(176, 144, [&](QPainter& p, double w, double h) {
        QRadialGradient g(QPointF(w / 2, h * 0.42), w * 0.7);
        g.setColorAt(0, QColor(0x3F, 0x4A, 0x60));
        g.setColorAt(1, QColor(0x15, 0x1A, 0x24));
        p.fillRect(QRectF(0, 0, w, h), g);
        p.save();
        p.translate(w / 2 - 22, h * 0.16);
        p.scale(44 / 24.0, 44 / 24.0);
        Microphone(p, Mix(brand.primary, Qt::white, 0.35));
        p.restore();
        CentredText(p, QRectF(0, h * 0.62, w, 24), QStringLiteral("虚位以待"), TextFont(15, true),
                    QColor(0xE6, 0xEC, 0xF5), QColor(0, 0, 0, 120));
      }));
  // The network indicator's lit and dim bars, and the message window's picture.
  add("NetBarOn", Plain(6, 16, [&](QPainter& p, double w, double h) {
        Glossy(p, RoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), 1.5), kGreen, 0.6);
      }));
  add("NetBarOff", Plain(6, 16, [&](QPainter& p, double w, double h) {
        Glossy(p, RoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), 1.5), QColor(0xC9, 0xCF, 0xD6), 0.6);
      }));
  add("MessageIcon", Plain(64, 64, [&](QPainter& p, double, double) {
        p.scale(64 / 24.0, 64 / 24.0);
        Glossy(p, BubblePath(QRectF(1.5, 1.5, 21, 16.5), 6, true), blue, 0.5);
        CentredText(p, QRectF(1.5, 1.0, 21, 16.5), QStringLiteral("i"), TextFont(12, true), Qt::white);
      }));
  return out;
}

}  // namespace kiv::assets
