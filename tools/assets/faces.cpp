#include "faces.h"

#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <array>
#include <cmath>
#include <numbers>
#include <set>
#include <tuple>

#include "paint.h"

namespace kiv::assets {
namespace {

// Faces are drawn on a 128-unit canvas and scaled down.
constexpr double kCanvas = 128;

const std::array<QColor, 12> kBackgrounds = {
    QColor(0xFF, 0xE3, 0xE3), QColor(0xFF, 0xEE, 0xD6), QColor(0xFF, 0xF7, 0xCC), QColor(0xE3, 0xF7, 0xD9),
    QColor(0xD6, 0xF5, 0xEE), QColor(0xD9, 0xEE, 0xFF), QColor(0xE0, 0xE4, 0xFF), QColor(0xEF, 0xE0, 0xFF),
    QColor(0xFF, 0xE0, 0xF2), QColor(0xE8, 0xEC, 0xF1), QColor(0xCF, 0xE8, 0xFA), QColor(0xFA, 0xE6, 0xD0)};
const std::array<QColor, 6> kSkins = {QColor(0xFF, 0xE0, 0xC8), QColor(0xF9, 0xD2, 0xAE),
                                      QColor(0xEE, 0xC0, 0x94), QColor(0xD9, 0xA0, 0x72),
                                      QColor(0xB5, 0x7E, 0x55), QColor(0x8D, 0x5C, 0x3C)};
const std::array<QColor, 8> kHairs = {
    QColor(0x2B, 0x25, 0x22), QColor(0x5A, 0x3A, 0x22), QColor(0x8B, 0x5A, 0x2B), QColor(0xE8, 0xC1, 0x5A),
    QColor(0xC8, 0x5A, 0x28), QColor(0x9A, 0x9A, 0xA2), QColor(0x3B, 0x6F, 0xD8), QColor(0xF0, 0x7A, 0xB0)};
const std::array<QColor, 8> kShirts = {
    QColor(0x3B, 0x8E, 0xF0), QColor(0xE5, 0x4B, 0x4B), QColor(0x3C, 0xB9, 0x4A), QColor(0xF5, 0xA6, 0x23),
    QColor(0x8A, 0x5C, 0xE6), QColor(0x2E, 0xC4, 0xB6), QColor(0xF2, 0x5C, 0x8E), QColor(0x46, 0x52, 0x66)};
const QColor kInk(0x33, 0x26, 0x20);

enum HairStyle {
  kBuzz,
  kSidePart,
  kSpiky,
  kBob,
  kLong,
  kPonytail,
  kBuns,
  kAfro,
  kMohawk,
  kCap,
  kBeanie,
  kBangs,
  kHairStyles
};
enum Eyes { kDots, kHappy, kBig, kWink, kSleepy, kSurprised, kEyeKinds };
enum Mouth { kSmile, kGrin, kOh, kTongue, kSmirk, kFlat, kCatMouth, kMouthKinds };
enum Extra {
  kNone,
  kGlasses,
  kSunglasses,
  kBlush,
  kFreckles,
  kBow,
  kHeadphones,
  kMustache,
  kEarrings,
  kBeard,
  kExtraKinds
};
enum Species {
  kCat,
  kDog,
  kBear,
  kPanda,
  kRabbit,
  kFrog,
  kFox,
  kPig,
  kMouse,
  kMonkey,
  kChick,
  kTiger,
  kKoala,
  kPenguin,
  kOwl,
  kLion,
  kSpeciesCount
};

struct FaceParams {
  bool animal = false;
  int species = 0;
  int background = 0;
  int skin = 0;
  int shape = 0;
  int hair = 0;
  int hair_colour = 0;
  int shirt = 0;
  int eyes = 0;
  int mouth = 0;
  int extra = 0;
  auto key() const {
    return std::make_tuple(animal, species, background, skin, shape, hair, hair_colour, eyes, mouth, extra);
  }
};

// A small deterministic generator, so that the faces are the same at every build.
struct Rng {
  std::uint64_t state;
  int Next(int n) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<int>((state >> 11) % static_cast<std::uint64_t>(n));
  }
};

const std::vector<FaceParams>& AllFaces() {
  static const std::vector<FaceParams> faces = [] {
    std::vector<FaceParams> out;
    std::set<decltype(FaceParams{}.key())> seen;
    std::set<std::tuple<int, int, int>> animal_looks;  // species, eyes, mouth
    Rng rng{0x9E3779B97F4A7C15ull};
    int animals = 0;
    for (int i = 0; i < kFaceCount; ++i) {
      FaceParams f;
      for (;;) {
        f = FaceParams{};
        f.background = rng.Next(static_cast<int>(kBackgrounds.size()));
        f.shirt = rng.Next(static_cast<int>(kShirts.size()));
        if ((i + i / 8) % 4 == 3) {  // about one face in four is an animal, never in one column
          f.animal = true;
          f.species = animals % kSpeciesCount;
          f.eyes = rng.Next(kEyeKinds);
          f.mouth = rng.Next(kMouthKinds);
          f.extra = rng.Next(3) == 0 ? (rng.Next(2) == 0 ? kBow : kBlush) : kNone;
          if (f.species == kFrog && f.mouth == kOh) f.mouth = kGrin;  // a frog's "oh" is its grin
          if (!animal_looks.insert({f.species, f.eyes, f.mouth}).second) continue;
        } else {
          f.skin = rng.Next(static_cast<int>(kSkins.size()));
          f.shape = rng.Next(3);
          f.hair = rng.Next(kHairStyles);
          f.hair_colour = rng.Next(6) < 4 ? rng.Next(4) : 4 + rng.Next(4);
          f.eyes = rng.Next(kEyeKinds);
          f.mouth = rng.Next(kMouthKinds);
          f.extra = rng.Next(2) == 0 ? kNone : 1 + rng.Next(kExtraKinds - 1);
          // Beards and moustaches go with the shorter styles; bows with the longer ones.
          if ((f.extra == kBeard || f.extra == kMustache) && (f.hair == kLong || f.hair == kBuns))
            f.extra = kNone;
          if (f.extra == kBow && (f.hair == kCap || f.hair == kBeanie || f.hair == kMohawk)) f.extra = kBlush;
          // Settings that would not show: eyes behind sunglasses, hair colour under a hat without brows.
          if (f.extra == kSunglasses) f.eyes = kDots;
          if ((f.hair == kCap || f.hair == kBeanie) && (f.eyes == kHappy || f.eyes == kSleepy) &&
              f.extra != kMustache && f.extra != kBeard) {
            f.hair_colour = 0;
          }
        }
        if (seen.insert(f.key()).second) break;
      }
      if (f.animal) ++animals;
      out.push_back(f);
    }
    return out;
  }();
  return faces;
}

// Overlapping parts of one shape (curls, spikes) fill as one area.
void Fill(QPainter& p, QPainterPath path, const QBrush& brush) {
  path.setFillRule(Qt::WindingFill);
  p.setPen(Qt::NoPen);
  p.setBrush(brush);
  p.drawPath(path);
}

void Stroke(QPainter& p, const QPainterPath& path, QColor c, double w) {
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(c, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPath(path);
}

QPainterPath Ellipse(double cx, double cy, double rx, double ry) {
  QPainterPath path;
  path.addEllipse(QPointF(cx, cy), rx, ry);
  return path;
}

QPainterPath Arc(double cx, double cy, double rx, double ry, double start, double span) {
  QPainterPath path;
  QRectF r(cx - rx, cy - ry, 2 * rx, 2 * ry);
  path.arcMoveTo(r, start);
  path.arcTo(r, start, span);
  return path;
}

QPainterPath Poly(std::initializer_list<QPointF> pts) {
  QPainterPath path;
  bool first = true;
  for (QPointF pt : pts) {
    if (first) {
      path.moveTo(pt);
      first = false;
    } else {
      path.lineTo(pt);
    }
  }
  path.closeSubpath();
  return path;
}

// Shaded fill for round parts: lighter towards the upper left.
QBrush Shade(QColor c, double cx, double cy, double r) {
  QRadialGradient g(QPointF(cx - r * 0.35, cy - r * 0.45), r * 1.6);
  g.setColorAt(0, c.lighter(112));
  g.setColorAt(1, c.darker(108));
  return g;
}

void DrawEyes(QPainter& p, int kind, double cx, double y, double gap, QColor ink = kInk) {
  for (int side = -1; side <= 1; side += 2) {
    double x = cx + side * gap;
    switch (kind) {
      case kDots:
        Fill(p, Ellipse(x, y, 5, 6), ink);
        Fill(p, Ellipse(x + 1.6, y - 2, 1.6, 1.6), Qt::white);
        break;
      case kHappy:
        Stroke(p, Arc(x, y + 2, 6, 5, 20, 140), ink, 4);
        break;
      case kBig:
        Fill(p, Ellipse(x, y, 8, 9), Qt::white);
        Stroke(p, Ellipse(x, y, 8, 9), ink, 1.6);
        Fill(p, Ellipse(x + 1, y + 1, 5, 6), ink);
        Fill(p, Ellipse(x + 2.6, y - 1.8, 2, 2), Qt::white);
        break;
      case kWink:
        if (side < 0) {
          Fill(p, Ellipse(x, y, 5, 6), ink);
          Fill(p, Ellipse(x + 1.6, y - 2, 1.6, 1.6), Qt::white);
        } else {
          QPainterPath w;
          w.moveTo(x - 6, y - 3);
          w.lineTo(x + 5, y + 1);
          w.lineTo(x - 6, y + 4);
          Stroke(p, w, ink, 3.5);
        }
        break;
      case kSleepy:
        Stroke(p, Arc(x, y - 2, 6.5, 5, 200, 140), ink, 3.5);
        break;
      case kSurprised:
        Fill(p, Ellipse(x, y, 6.5, 7.5), Qt::white);
        Stroke(p, Ellipse(x, y, 6.5, 7.5), ink, 2);
        Fill(p, Ellipse(x, y, 2.6, 2.6), ink);
        break;
      default:
        break;
    }
  }
}

void DrawMouth(QPainter& p, int kind, double cx, double y, double scale = 1.0) {
  const QColor lips(0xB8, 0x3B, 0x3B);
  switch (kind) {
    case kSmile:
      Stroke(p, Arc(cx, y - 6 * scale, 10 * scale, 8 * scale, 200, 140), kInk, 3.5);
      break;
    case kGrin: {
      QPainterPath m;
      m.moveTo(cx - 12 * scale, y - 3 * scale);
      m.cubicTo(cx - 10 * scale, y + 11 * scale, cx + 10 * scale, y + 11 * scale, cx + 12 * scale,
                y - 3 * scale);
      m.closeSubpath();
      Fill(p, m, lips.darker(130));
      QPainterPath teeth;
      teeth.addRect(QRectF(cx - 10 * scale, y - 3.5 * scale, 20 * scale, 4 * scale));
      p.save();
      p.setClipPath(m);
      Fill(p, teeth, Qt::white);
      Fill(p, Ellipse(cx, y + 8 * scale, 6 * scale, 4 * scale), QColor(0xF0, 0x7A, 0x7A));
      p.restore();
      Stroke(p, m, kInk, 2.2);
      break;
    }
    case kOh:
      Fill(p, Ellipse(cx, y + 1, 4.5 * scale, 5.5 * scale), lips.darker(140));
      Stroke(p, Ellipse(cx, y + 1, 4.5 * scale, 5.5 * scale), kInk, 2);
      break;
    case kTongue:
      Stroke(p, Arc(cx, y - 5 * scale, 10 * scale, 7 * scale, 200, 140), kInk, 3.5);
      Fill(p, Ellipse(cx + 3 * scale, y + 4 * scale, 5 * scale, 5.5 * scale), QColor(0xF2, 0x6D, 0x7D));
      Stroke(p, Ellipse(cx + 3 * scale, y + 4 * scale, 5 * scale, 5.5 * scale), kInk, 1.6);
      break;
    case kSmirk: {
      QPainterPath m;
      m.moveTo(cx - 9 * scale, y + 1 * scale);
      m.cubicTo(cx - 2 * scale, y + 4 * scale, cx + 6 * scale, y + 2 * scale, cx + 10 * scale, y - 4 * scale);
      Stroke(p, m, kInk, 3.5);
      break;
    }
    case kFlat:
      Stroke(p, Arc(cx, y + 6 * scale, 8 * scale, 5 * scale, 45, 90), kInk, 3.5);
      break;
    case kCatMouth: {
      QPainterPath m = Arc(cx - 4 * scale, y - 1, 4 * scale, 4 * scale, 180, 180);
      m.addPath(Arc(cx + 4 * scale, y - 1, 4 * scale, 4 * scale, 180, 180));
      Stroke(p, m, kInk, 3);
      break;
    }
    default:
      break;
  }
}

void DrawShirt(QPainter& p, QColor shirt, double neck_width, QColor skin) {
  QPainterPath body;
  body.moveTo(14, 130);
  body.cubicTo(16, 104, 36, 96, 64, 96);
  body.cubicTo(92, 96, 112, 104, 114, 130);
  body.closeSubpath();
  Fill(p, body, Shade(shirt, 64, 112, 40));
  if (skin.alpha() > 0) {
    QPainterPath neck;
    neck.addRoundedRect(QRectF(64 - neck_width / 2, 84, neck_width, 16), 5, 5);
    Fill(p, neck, skin.darker(112));
    Fill(p, Ellipse(64, 97, neck_width / 2 + 1, 5), skin.darker(112));
  }
}

// ---------------------------------------------------------------------------------------------------
// People

void DrawPerson(QPainter& p, const FaceParams& f) {
  const QColor skin = kSkins[static_cast<std::size_t>(f.skin)];
  const QColor hair = kHairs[static_cast<std::size_t>(f.hair_colour)];
  const QColor shirt = kShirts[static_cast<std::size_t>(f.shirt)];
  const double cx = 64, cy = 60;
  const double rx = f.shape == 1 ? 29 : (f.shape == 2 ? 34 : 32);
  const double ry = f.shape == 2 ? 33 : 35;
  const double top = cy - ry;
  QPainterPath head = Ellipse(cx, cy, rx, ry);
  QPainterPath cap = Ellipse(cx, cy - 2, rx + 3, ry + 3);

  // Hair behind the head.
  if (f.hair == kLong) {
    QPainterPath back;
    back.addRoundedRect(QRectF(cx - rx - 6, top - 2, 2 * rx + 12, 102), 30, 30);
    Fill(p, back, hair.darker(110));
  } else if (f.hair == kBob) {
    QPainterPath back;
    back.addRoundedRect(QRectF(cx - rx - 6, top - 3, 2 * rx + 12, ry * 1.55), 26, 26);
    Fill(p, back, hair.darker(108));
  } else if (f.hair == kPonytail) {
    QPainterPath tail;
    tail.moveTo(cx + rx - 4, cy - 20);
    tail.cubicTo(cx + rx + 26, cy - 18, cx + rx + 18, cy + 22, cx + rx + 6, cy + 30);
    tail.cubicTo(cx + rx + 8, cy + 10, cx + rx + 2, cy - 4, cx + rx - 8, cy - 8);
    tail.closeSubpath();
    Fill(p, tail, hair.darker(105));
  } else if (f.hair == kAfro) {
    QPainterPath afro;
    for (int i = 0; i < 12; ++i) {
      double a = i * 2 * std::numbers::pi / 12;
      afro.addEllipse(QPointF(cx + std::cos(a) * (rx + 6), cy - 10 + std::sin(a) * (ry + 2)), 15, 15);
    }
    afro.addEllipse(QPointF(cx, cy - 10), rx + 10, ry + 6);
    Fill(p, afro, hair);
  } else if (f.hair == kBuns) {
    Fill(p, Ellipse(cx - rx + 2, top + 4, 12, 12), hair);
    Fill(p, Ellipse(cx + rx - 2, top + 4, 12, 12), hair);
  }

  DrawShirt(p, shirt, 22, skin);
  if (f.extra == kHeadphones) {
    Stroke(p, Arc(cx, cy - 2, rx + 7, ry + 7, 10, 160), QColor(0x44, 0x44, 0x4C), 6);
  }
  // Ears and head.
  Fill(p, Ellipse(cx - rx, cy + 4, 6, 8), skin.darker(106));
  Fill(p, Ellipse(cx + rx, cy + 4, 6, 8), skin.darker(106));
  Fill(p, head, Shade(skin, cx, cy, rx));

  // Hair on top of the head.
  QPainterPath above;  // everything above the hairline
  switch (f.hair) {
    case kBuzz: {
      QPainterPath line;
      line.addRect(QRectF(0, 0, 128, top + ry * 0.32));
      Fill(p, cap.intersected(line).intersected(Ellipse(cx, cy, rx + 1, ry + 1)),
           QColor(hair.red(), hair.green(), hair.blue(), 150));
      break;
    }
    case kSidePart:
    case kPonytail:
    case kLong:
    case kBob:
    case kBuns: {
      QPainterPath line;
      line.moveTo(0, 0);
      line.lineTo(128, 0);
      line.lineTo(128, cy - 6);
      if (f.hair == kSidePart) {
        line.lineTo(cx + rx, cy - 6);
        line.cubicTo(cx + 10, top + 26, cx - 6, top + 12, cx - 14, top + 14);
        line.cubicTo(cx - 22, top + 18, cx - rx + 2, top + 24, cx - rx - 2, cy - 2);
      } else if (f.hair == kBob) {
        line.lineTo(cx + rx, cy - 6);
        line.lineTo(cx + rx - 6, top + 24);
        line.lineTo(cx - rx + 6, top + 24);
        line.lineTo(cx - rx, cy - 6);
      } else {
        line.lineTo(cx + rx, cy - 6);
        line.cubicTo(cx + rx - 8, top + 18, cx + 6, top + 14, cx, top + 10);
        line.cubicTo(cx - 6, top + 14, cx - rx + 8, top + 18, cx - rx, cy - 6);
      }
      line.lineTo(0, cy - 6);
      line.closeSubpath();
      Fill(p, cap.intersected(line), Shade(hair, cx, top, rx));
      break;
    }
    case kSpiky: {
      QPainterPath spikes = cap.intersected(Poly({{0, 0}, {128, 0}, {128, top + 16}, {0, top + 16}}));
      for (int i = 0; i < 6; ++i) {
        double x = cx - rx + 6 + i * (2 * rx - 12) / 5.0;
        spikes.addPath(Poly(
            {{x - 9, top + 10}, {x + (i - 2.5) * 1.6, top - 12 + std::abs(i - 2.5) * 3}, {x + 9, top + 10}}));
      }
      Fill(p, spikes, Shade(hair, cx, top, rx));
      break;
    }
    case kAfro:
      Fill(p, cap.intersected(Poly({{0, 0}, {128, 0}, {128, top + 14}, {0, top + 14}})), hair.darker(105));
      break;
    case kMohawk: {
      QPainterPath m;
      m.addRoundedRect(QRectF(cx - 7, top - 14, 14, 40), 7, 7);
      Fill(p, m, Shade(hair, cx, top, 20));
      break;
    }
    case kBangs: {
      QPainterPath fringe;
      fringe.moveTo(0, 0);
      fringe.lineTo(128, 0);
      fringe.lineTo(128, top + 24);
      for (int i = 0; i <= 6; ++i) {
        double x = cx + rx - i * (2 * rx) / 6.0;
        fringe.lineTo(x, top + (i % 2 == 0 ? 22 : 30));
      }
      fringe.lineTo(0, top + 24);
      fringe.closeSubpath();
      QPainterPath sides;
      sides.addRoundedRect(QRectF(cx - rx - 4, top - 2, 2 * rx + 8, ry * 1.3), 24, 24);
      sides = sides.subtracted(Ellipse(cx, cy + 6, rx - 2, ry - 4));
      Fill(p, sides.united(cap.intersected(fringe)), Shade(hair, cx, top, rx));
      break;
    }
    default:
      break;
  }

  // Face.
  const double eye_y = cy + 2;
  DrawEyes(p, f.eyes, cx, eye_y, 12);
  if (f.eyes != kHappy && f.eyes != kSleepy) {
    QColor brow = f.hair == kBuzz ? hair : hair.darker(115);
    Stroke(p, Arc(cx - 12, eye_y - 8, 6, 3, 30, 120), brow, 2.6);
    Stroke(p, Arc(cx + 12, eye_y - 8, 6, 3, 30, 120), brow, 2.6);
  }
  Fill(p, Ellipse(cx, cy + 12, 2.4, 1.8), skin.darker(125));
  DrawMouth(p, f.mouth, cx, cy + 22);

  switch (f.extra) {
    case kGlasses: {
      QPainterPath g = Ellipse(cx - 12, eye_y, 9, 8);
      g.addPath(Ellipse(cx + 12, eye_y, 9, 8));
      g.moveTo(cx - 3, eye_y - 1);
      g.lineTo(cx + 3, eye_y - 1);
      Stroke(p, g, QColor(0x2D, 0x2D, 0x35), 2.6);
      break;
    }
    case kSunglasses: {
      QPainterPath g;
      g.addRoundedRect(QRectF(cx - 24, eye_y - 7, 20, 13), 5, 5);
      g.addRoundedRect(QRectF(cx + 4, eye_y - 7, 20, 13), 5, 5);
      Fill(p, g, QColor(0x1E, 0x22, 0x2A));
      Stroke(p, g, QColor(0x1E, 0x22, 0x2A), 1.5);
      Stroke(p, Arc(cx, eye_y - 2, 5, 3, 20, 140), QColor(0x1E, 0x22, 0x2A), 2.5);
      Fill(p, Ellipse(cx - 18, eye_y - 3, 3, 2), QColor(255, 255, 255, 120));
      Fill(p, Ellipse(cx + 10, eye_y - 3, 3, 2), QColor(255, 255, 255, 120));
      break;
    }
    case kBlush:
      Fill(p, Ellipse(cx - 20, cy + 14, 6, 3.5), QColor(0xFF, 0x6F, 0x8A, 120));
      Fill(p, Ellipse(cx + 20, cy + 14, 6, 3.5), QColor(0xFF, 0x6F, 0x8A, 120));
      break;
    case kFreckles:
      for (int side = -1; side <= 1; side += 2) {
        for (int k = 0; k < 3; ++k) {
          Fill(p, Ellipse(cx + side * (16 + k * 3.5), cy + 12 + (k % 2) * 3, 1.3, 1.3), skin.darker(150));
        }
      }
      break;
    case kBow: {
      double bx = cx + rx * 0.55, by = top + 8;
      QPainterPath bow = Poly({{bx, by}, {bx - 13, by - 8}, {bx - 13, by + 8}});
      bow.addPath(Poly({{bx, by}, {bx + 13, by - 8}, {bx + 13, by + 8}}));
      Fill(p, bow, QColor(0xF0, 0x3E, 0x6E));
      Fill(p, Ellipse(bx, by, 4, 4), QColor(0xC8, 0x20, 0x50));
      break;
    }
    case kHeadphones:
      Fill(p, Ellipse(cx - rx - 2, cy + 2, 7, 11), QColor(0x44, 0x44, 0x4C));
      Fill(p, Ellipse(cx + rx + 2, cy + 2, 7, 11), QColor(0x44, 0x44, 0x4C));
      Fill(p, Ellipse(cx - rx - 2, cy + 2, 3, 6), kShirts[static_cast<std::size_t>((f.shirt + 3) % 8)]);
      Fill(p, Ellipse(cx + rx + 2, cy + 2, 3, 6), kShirts[static_cast<std::size_t>((f.shirt + 3) % 8)]);
      break;
    case kMustache: {
      QPainterPath m;
      m.moveTo(cx, cy + 15);
      m.cubicTo(cx - 6, cy + 12, cx - 14, cy + 13, cx - 16, cy + 19);
      m.cubicTo(cx - 10, cy + 18, cx - 4, cy + 19, cx, cy + 17);
      m.cubicTo(cx + 4, cy + 19, cx + 10, cy + 18, cx + 16, cy + 19);
      m.cubicTo(cx + 14, cy + 13, cx + 6, cy + 12, cx, cy + 15);
      Fill(p, m, hair.darker(110));
      break;
    }
    case kEarrings:
      Fill(p, Ellipse(cx - rx, cy + 14, 3, 3), QColor(0xF6, 0xC3, 0x1E));
      Fill(p, Ellipse(cx + rx, cy + 14, 3, 3), QColor(0xF6, 0xC3, 0x1E));
      break;
    case kBeard: {
      QPainterPath beard = Ellipse(cx, cy, rx + 0.5, ry + 0.5)
                               .intersected(Poly({{0, cy + 10}, {128, cy + 10}, {128, 128}, {0, 128}}))
                               .subtracted(Ellipse(cx, cy + 22, 12, 7));
      Fill(p, beard, QColor(hair.red(), hair.green(), hair.blue(), 225));
      DrawMouth(p, f.mouth, cx, cy + 22);
      break;
    }
    default:
      break;
  }

  // Hats go over everything.
  if (f.hair == kCap) {
    const QColor c = kShirts[static_cast<std::size_t>((f.shirt + 2) % 8)];
    QPainterPath dome = Ellipse(cx, top + 16, rx + 3, 24)
                            .intersected(Poly({{0, 0}, {128, 0}, {128, top + 18}, {0, top + 18}}));
    Fill(p, dome, Shade(c, cx, top, rx));
    QPainterPath brim;
    brim.addRoundedRect(QRectF(cx - rx - 4, top + 14, rx + 30, 7), 3.5, 3.5);
    Fill(p, brim, c.darker(120));
    Fill(p, Ellipse(cx, top - 7, 3, 3), c.darker(115));
  } else if (f.hair == kBeanie) {
    const QColor c = kShirts[static_cast<std::size_t>((f.shirt + 5) % 8)];
    QPainterPath dome = Ellipse(cx, top + 18, rx + 3, 28)
                            .intersected(Poly({{0, 0}, {128, 0}, {128, top + 20}, {0, top + 20}}));
    Fill(p, dome, Shade(c, cx, top, rx));
    QPainterPath band;
    band.addRoundedRect(QRectF(cx - rx - 4, top + 12, 2 * rx + 8, 11), 5, 5);
    Fill(p, band, c.darker(115));
    Fill(p, Ellipse(cx, top - 10, 8, 8), Qt::white);
  }
}

// ---------------------------------------------------------------------------------------------------
// Animals

void Ears(QPainter& p, QPainterPath ear, QColor outer, QColor inner, double inner_scale) {
  Fill(p, ear, outer);
  QRectF b = ear.boundingRect();
  QTransform t;
  t.translate(b.center().x(), b.center().y() + b.height() * 0.1);
  t.scale(inner_scale, inner_scale);
  t.translate(-b.center().x(), -b.center().y());
  Fill(p, t.map(ear), inner);
}

void DrawAnimal(QPainter& p, const FaceParams& f) {
  const double cx = 64, cy = 62;
  const QColor shirt = kShirts[static_cast<std::size_t>(f.shirt)];
  DrawShirt(p, shirt, 0, Qt::transparent);
  QColor fur, light, ink = kInk;
  double rx = 36, ry = 33;
  double eye_gap = 13, eye_y = cy - 2, mouth_y = cy + 18;
  const QColor pink(0xF4, 0x9A, 0xB0);
  switch (f.species) {
    case kCat: {
      fur = QColor(0xF2, 0xA2, 0x4C);
      light = QColor(0xFF, 0xF1, 0xDF);
      for (int s = -1; s <= 1; s += 2) {
        Ears(p, Poly({{cx + s * 34, cy - 8}, {cx + s * 30, cy - 44}, {cx + s * 8, cy - 28}}), fur, pink,
             0.55);
      }
      Fill(p, Ellipse(cx, cy, rx, ry), Shade(fur, cx, cy, rx));
      for (int k = 0; k < 3; ++k) {
        QPainterPath stripe =
            Poly({{cx - 8 + k * 8, cy - 33}, {cx - 4 + k * 8, cy - 33}, {cx - 6 + k * 8, cy - 20}});
        Fill(p, stripe, fur.darker(125));
      }
      Fill(p, Ellipse(cx, cy + 14, 16, 11), light);
      break;
    }
    case kDog: {
      fur = QColor(0xE8, 0xD2, 0xB0);
      light = QColor(0xFF, 0xF8, 0xEE);
      Fill(p, Ellipse(cx, cy, rx - 2, ry + 1), Shade(fur, cx, cy, rx));
      for (int s = -1; s <= 1; s += 2) {
        QPainterPath ear = Ellipse(cx + s * 34, cy - 2, 11, 22);
        QTransform t;
        t.translate(cx + s * 34, cy - 2);
        t.rotate(s * -18);
        t.translate(-(cx + s * 34), -(cy - 2));
        Fill(p, t.map(ear), QColor(0x8B, 0x5A, 0x2B));
      }
      Fill(p, Ellipse(cx + 14, cy - 8, 11, 10), QColor(0xC8, 0x9A, 0x6A));  // patch
      Fill(p, Ellipse(cx, cy + 14, 17, 12), light);
      break;
    }
    case kBear:
    case kKoala: {
      bool koala = f.species == kKoala;
      fur = koala ? QColor(0xA4, 0xAA, 0xB4) : QColor(0x9C, 0x6B, 0x44);
      light = koala ? QColor(0xEC, 0xEE, 0xF2) : QColor(0xE8, 0xC9, 0xA4);
      double er = koala ? 17 : 12;
      for (int s = -1; s <= 1; s += 2) {
        Fill(p, Ellipse(cx + s * 28, cy - 26, er, er), fur);
        Fill(p, Ellipse(cx + s * 28, cy - 25, er * 0.55, er * 0.55), koala ? Qt::white : light);
      }
      Fill(p, Ellipse(cx, cy, rx, ry), Shade(fur, cx, cy, rx));
      if (!koala) Fill(p, Ellipse(cx, cy + 14, 15, 11), light);
      break;
    }
    case kPanda: {
      fur = QColor(0xFA, 0xFA, 0xFA);
      light = fur;
      for (int s = -1; s <= 1; s += 2)
        Fill(p, Ellipse(cx + s * 27, cy - 26, 12, 12), QColor(0x26, 0x26, 0x2C));
      Fill(p, Ellipse(cx, cy, rx, ry), Shade(fur, cx, cy, rx));
      for (int s = -1; s <= 1; s += 2) {
        QPainterPath patch = Ellipse(cx + s * 13, eye_y + 1, 9, 12);
        QTransform t;
        t.translate(cx + s * 13, eye_y + 1);
        t.rotate(s * 30);
        t.translate(-(cx + s * 13), -(eye_y + 1));
        Fill(p, t.map(patch), QColor(0x26, 0x26, 0x2C));
      }
      ink = Qt::white;
      break;
    }
    case kRabbit: {
      fur = QColor(0xF6, 0xF2, 0xF0);
      light = Qt::white;
      for (int s = -1; s <= 1; s += 2) {
        Ears(p, Ellipse(cx + s * 14, cy - 44, 9, 26), fur.darker(104), pink, 0.55);
      }
      Fill(p, Ellipse(cx, cy + 2, rx - 2, ry - 1), Shade(fur, cx, cy, rx));
      break;
    }
    case kFrog: {
      fur = QColor(0x6C, 0xC6, 0x4E);
      light = QColor(0xD8, 0xF2, 0xB8);
      for (int s = -1; s <= 1; s += 2) Fill(p, Ellipse(cx + s * 17, cy - 24, 13, 13), fur);
      Fill(p, Ellipse(cx, cy + 2, rx + 4, ry - 5), Shade(fur, cx, cy, rx));
      Fill(p, Ellipse(cx, cy + 16, 24, 10), light);
      eye_y = cy - 24;
      eye_gap = 17;
      for (int s = -1; s <= 1; s += 2) Fill(p, Ellipse(cx + s * 17, eye_y, 9, 9), Qt::white);
      break;
    }
    case kFox: {
      fur = QColor(0xF0, 0x7C, 0x2A);
      light = QColor(0xFF, 0xF6, 0xEC);
      for (int s = -1; s <= 1; s += 2) {
        Ears(p, Poly({{cx + s * 34, cy - 4}, {cx + s * 32, cy - 46}, {cx + s * 6, cy - 26}}), fur,
             QColor(0x5A, 0x32, 0x1C), 0.5);
      }
      QPainterPath head;
      head.moveTo(cx - 38, cy - 12);
      head.cubicTo(cx - 36, cy - 38, cx + 36, cy - 38, cx + 38, cy - 12);
      head.cubicTo(cx + 36, cy + 14, cx + 10, cy + 32, cx, cy + 34);
      head.cubicTo(cx - 10, cy + 32, cx - 36, cy + 14, cx - 38, cy - 12);
      Fill(p, head, Shade(fur, cx, cy, rx));
      QPainterPath cheeks;
      cheeks.moveTo(cx - 36, cy - 2);
      cheeks.cubicTo(cx - 24, cy + 4, cx - 10, cy + 6, cx, cy + 2);
      cheeks.cubicTo(cx + 10, cy + 6, cx + 24, cy + 4, cx + 36, cy - 2);
      cheeks.cubicTo(cx + 30, cy + 18, cx + 10, cy + 32, cx, cy + 34);
      cheeks.cubicTo(cx - 10, cy + 32, cx - 30, cy + 18, cx - 36, cy - 2);
      Fill(p, cheeks, light);
      eye_y = cy - 8;
      mouth_y = cy + 20;
      break;
    }
    case kPig: {
      fur = QColor(0xF8, 0xB4, 0xC0);
      light = QColor(0xF2, 0x8A, 0xA0);
      for (int s = -1; s <= 1; s += 2) {
        Fill(p, Poly({{cx + s * 32, cy - 12}, {cx + s * 30, cy - 40}, {cx + s * 10, cy - 28}}),
             fur.darker(110));
      }
      Fill(p, Ellipse(cx, cy, rx, ry), Shade(fur, cx, cy, rx));
      break;
    }
    case kMouse: {
      fur = QColor(0xB0, 0xB4, 0xBC);
      light = QColor(0xEE, 0xEE, 0xF2);
      for (int s = -1; s <= 1; s += 2) Ears(p, Ellipse(cx + s * 30, cy - 28, 18, 18), fur, pink, 0.6);
      Fill(p, Ellipse(cx, cy + 2, rx - 4, ry - 2), Shade(fur, cx, cy, rx));
      break;
    }
    case kMonkey: {
      fur = QColor(0x8A, 0x5A, 0x3A);
      light = QColor(0xF1, 0xD2, 0xB0);
      for (int s = -1; s <= 1; s += 2) Ears(p, Ellipse(cx + s * 36, cy + 2, 11, 12), fur, light, 0.6);
      Fill(p, Ellipse(cx, cy, rx - 2, ry), Shade(fur, cx, cy, rx));
      QPainterPath face = Ellipse(cx - 12, cy - 4, 14, 14);
      face.addEllipse(QPointF(cx + 12, cy - 4), 14, 14);
      face.addEllipse(QPointF(cx, cy + 14), 24, 16);
      Fill(p, face.simplified(), light);
      break;
    }
    case kChick: {
      fur = QColor(0xFF, 0xD8, 0x3A);
      light = fur;
      Fill(p,
           Poly({{cx - 2, cy - 32},
                 {cx - 8, cy - 44},
                 {cx + 2, cy - 36},
                 {cx + 8, cy - 46},
                 {cx + 6, cy - 30}}),
           fur.darker(110));
      Fill(p, Ellipse(cx, cy + 2, rx - 2, ry), Shade(fur, cx, cy, rx));
      break;
    }
    case kTiger: {
      fur = QColor(0xF5, 0x9A, 0x2E);
      light = QColor(0xFF, 0xF4, 0xE4);
      for (int s = -1; s <= 1; s += 2) Ears(p, Ellipse(cx + s * 27, cy - 28, 11, 11), fur, light, 0.55);
      Fill(p, Ellipse(cx, cy, rx, ry), Shade(fur, cx, cy, rx));
      QPainterPath stripes;
      for (int s = -1; s <= 1; s += 2) {
        stripes.addPath(Poly({{cx + s * 36, cy - 6}, {cx + s * 22, cy - 3}, {cx + s * 35, cy}}));
        stripes.addPath(Poly({{cx + s * 35, cy + 6}, {cx + s * 24, cy + 8}, {cx + s * 33, cy + 11}}));
      }
      stripes.addPath(Poly({{cx - 7, cy - 33}, {cx, cy - 20}, {cx + 7, cy - 33}}));
      Fill(p, stripes, QColor(0x3A, 0x26, 0x1A));
      Fill(p, Ellipse(cx, cy + 15, 16, 11), light);
      break;
    }
    case kPenguin: {
      fur = QColor(0x2E, 0x34, 0x44);
      light = QColor(0xFA, 0xFA, 0xFA);
      Fill(p, Ellipse(cx, cy, rx, ry), Shade(fur, cx, cy, rx));
      QPainterPath face = Ellipse(cx - 12, cy + 2, 15, 20);
      face.addEllipse(QPointF(cx + 12, cy + 2), 15, 20);
      Fill(p, face.simplified(), light);
      break;
    }
    case kOwl: {
      fur = QColor(0x9A, 0x74, 0x52);
      light = QColor(0xF2, 0xE2, 0xC8);
      for (int s = -1; s <= 1; s += 2)
        Fill(p, Poly({{cx + s * 34, cy - 14}, {cx + s * 32, cy - 42}, {cx + s * 14, cy - 30}}),
             fur.darker(115));
      Fill(p, Ellipse(cx, cy, rx, ry), Shade(fur, cx, cy, rx));
      for (int s = -1; s <= 1; s += 2) Fill(p, Ellipse(cx + s * 14, cy - 2, 14, 14), light);
      eye_gap = 14;
      break;
    }
    case kLion: {
      fur = QColor(0xF4, 0xC2, 0x5A);
      light = QColor(0xFF, 0xEB, 0xC4);
      QPainterPath mane;
      for (int i = 0; i < 14; ++i) {
        double a = i * 2 * std::numbers::pi / 14;
        mane.addEllipse(QPointF(cx + std::cos(a) * 40, cy + std::sin(a) * 38), 13, 13);
      }
      mane.addEllipse(QPointF(cx, cy), 42, 40);
      Fill(p, mane.simplified(), QColor(0xB8, 0x62, 0x24));
      Fill(p, Ellipse(cx, cy, rx - 6, ry - 4), Shade(fur, cx, cy, rx));
      Fill(p, Ellipse(cx, cy + 14, 14, 10), light);
      break;
    }
    default:
      break;
  }

  // Eyes, nose or beak, mouth.
  DrawEyes(p, f.eyes, cx, eye_y, eye_gap, ink == Qt::white ? kInk : ink);
  if (ink == Qt::white) {
    // Panda: eyes sit in the dark patches, so give them a light ring.
    for (int s = -1; s <= 1; s += 2) Fill(p, Ellipse(cx + s * eye_gap + 1.6, eye_y - 2, 1.8, 1.8), Qt::white);
  }
  switch (f.species) {
    case kChick:
    case kOwl:
    case kPenguin: {
      QPainterPath beak = Poly({{cx - 7, cy + 8}, {cx + 7, cy + 8}, {cx, cy + 18}});
      Fill(p, beak, QColor(0xF5, 0x8A, 0x1E));
      break;
    }
    case kPig: {
      Fill(p, Ellipse(cx, cy + 12, 13, 9), light);
      Fill(p, Ellipse(cx - 4.5, cy + 12, 2.4, 3.5), QColor(0x9A, 0x40, 0x55));
      Fill(p, Ellipse(cx + 4.5, cy + 12, 2.4, 3.5), QColor(0x9A, 0x40, 0x55));
      DrawMouth(p, f.mouth, cx, mouth_y + 8, 0.7);
      break;
    }
    case kFrog:
      DrawMouth(p, f.mouth == kOh ? kGrin : f.mouth, cx, cy + 8, 1.4);
      break;
    case kKoala:
      Fill(p, Ellipse(cx, cy + 8, 8, 11), QColor(0x3A, 0x36, 0x3C));
      DrawMouth(p, f.mouth, cx, mouth_y + 6, 0.7);
      break;
    case kRabbit:
      Fill(p, Poly({{cx - 4, cy + 8}, {cx + 4, cy + 8}, {cx, cy + 12}}), pink.darker(110));
      Fill(p, QPainterPath([&] {
             QPainterPath t;
             t.addRoundedRect(QRectF(cx - 5, cy + 17, 10, 8), 2, 2);
             return t;
           }()),
           Qt::white);
      DrawMouth(p, f.mouth, cx, mouth_y, 0.8);
      break;
    default: {
      QColor nose = (f.species == kMouse || f.species == kCat) ? pink.darker(115) : QColor(0x2B, 0x22, 0x22);
      Fill(p, Ellipse(cx, cy + 9, 5, 3.6), nose);
      DrawMouth(p, f.mouth, cx, mouth_y, 0.8);
      break;
    }
  }
  if (f.species == kCat || f.species == kMouse || f.species == kTiger) {
    QPainterPath whiskers;
    for (int s = -1; s <= 1; s += 2) {
      whiskers.moveTo(cx + s * 14, cy + 12);
      whiskers.lineTo(cx + s * 32, cy + 8);
      whiskers.moveTo(cx + s * 14, cy + 15);
      whiskers.lineTo(cx + s * 32, cy + 17);
    }
    Stroke(p, whiskers, QColor(0x55, 0x44, 0x3C, 170), 1.6);
  }
  if (f.extra == kBlush) {
    Fill(p, Ellipse(cx - 22, cy + 10, 6, 3.5), QColor(0xFF, 0x5F, 0x80, 130));
    Fill(p, Ellipse(cx + 22, cy + 10, 6, 3.5), QColor(0xFF, 0x5F, 0x80, 130));
  } else if (f.extra == kBow) {
    double bx = cx - 22, by = cy - 28;
    QPainterPath bow = Poly({{bx, by}, {bx - 12, by - 8}, {bx - 12, by + 8}});
    bow.addPath(Poly({{bx, by}, {bx + 12, by - 8}, {bx + 12, by + 8}}));
    Fill(p, bow, QColor(0xF0, 0x3E, 0x6E));
    Fill(p, Ellipse(bx, by, 4, 4), QColor(0xC8, 0x20, 0x50));
  }
}

}  // namespace

QImage DrawFace(int index, int size) {
  const FaceParams& f = AllFaces()[static_cast<std::size_t>(index % kFaceCount)];
  QImage big(static_cast<int>(kCanvas), static_cast<int>(kCanvas), QImage::Format_ARGB32_Premultiplied);
  const QColor bg = kBackgrounds[static_cast<std::size_t>(f.background)];
  {
    QPainter p(&big);
    Prepare(p);
    QRadialGradient g(QPointF(kCanvas * 0.35, kCanvas * 0.3), kCanvas);
    g.setColorAt(0, bg.lighter(106));
    g.setColorAt(1, bg.darker(108));
    p.fillRect(QRectF(0, 0, kCanvas, kCanvas), g);
    if (f.animal) {
      DrawAnimal(p, f);
    } else {
      DrawPerson(p, f);
    }
  }
  // Halve step by step: a smoother result than one large reduction.
  QImage out = big;
  while (out.width() / 2 >= size) {
    out = out.scaled(out.width() / 2, out.height() / 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  }
  if (out.width() != size) out = out.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  return out.convertToFormat(QImage::Format_RGB32);
}

}  // namespace kiv::assets
