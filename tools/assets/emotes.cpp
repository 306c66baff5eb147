#include "emotes.h"

#include <gif_lib.h>

#include <QFile>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <numbers>
#include <string>

#include "base/files.h"
#include "emote/emote_record.h"
#include "paint.h"

namespace kiv::assets {
namespace {

// Emoticons are drawn on a 96-unit canvas and halved twice.
constexpr double kCanvas = 96;

enum class Eyes { kDot, kHappy, kClosed, kWide, kHeart, kWink, kAngry, kSad, kShades, kDizzy, kSide, kShiny };
enum class Mouth { kSmile, kLaugh, kTeeth, kO, kFlat, kFrown, kTongue, kKiss, kWavy, kSmirk, kZip, kCry };
enum class Extra {
  kNone,
  kBlush,
  kTears,
  kSweat,
  kZzz,
  kQuestion,
  kWave,
  kFist,
  kFinger,
  kVein,
  kGloom,
  kKissHeart,
  kStars,
  kArms,
  kHand
};
enum class Motion { kStill, kBounce, kShake, kBlink, kExtra };
enum class Thing {
  kHeart,
  kBroken,
  kRose,
  kGift,
  kCake,
  kCoffee,
  kBeer,
  kSun,
  kMoon,
  kStar,
  kThumbUp,
  kThumbDown,
  kShake,
  kVictory,
  kBomb,
  kBolt,
  kMusic,
  kMelon,
  kPig,
  kHug
};

struct FaceLook {
  Eyes eyes;
  Mouth mouth;
  Extra extra;
  Motion motion;
  QColor skin = QColor(0xFF, 0xD0, 0x3C);
};

struct Design {
  EmoteEntry entry;
  bool face;
  FaceLook look;
  Thing thing;
};

const QColor kInk(0x4A, 0x2C, 0x12);
const QColor kMouthRed(0xB8, 0x2E, 0x2E);
const QColor kTongue(0xFF, 0x7A, 0x8A);
const QColor kTear(0x4F, 0xB4, 0xFF);
const QColor kRed(0xE8, 0x3A, 0x4A);

Design Face(const char* name, const char* key, Eyes e, Mouth m, Extra x, Motion mo,
            QColor skin = QColor(0xFF, 0xD0, 0x3C)) {
  return {{1, QString::fromUtf8(name), QString::fromUtf8(key), {}}, true, {e, m, x, mo, skin}, Thing::kHeart};
}
Design Object(const char* name, const char* key, Thing t) {
  return {{2, QString::fromUtf8(name), QString::fromUtf8(key), {}}, false, {}, t};
}

const std::vector<Design>& Designs() {
  static const std::vector<Design> designs = [] {
    using E = Eyes;
    using M = Mouth;
    using X = Extra;
    using Mo = Motion;
    std::vector<Design> d = {
        Face("微笑", "/wx", E::kDot, M::kSmile, X::kNone, Mo::kBlink),
        Face("大笑", "/dx", E::kHappy, M::kLaugh, X::kNone, Mo::kBounce),
        Face("偷笑", "/tx", E::kHappy, M::kSmirk, X::kHand, Mo::kShake),
        Face("可爱", "/ka", E::kShiny, M::kSmile, X::kBlush, Mo::kBlink),
        Face("得意", "/dy", E::kClosed, M::kSmirk, X::kNone, Mo::kBounce),
        Face("害羞", "/hx", E::kHappy, M::kSmile, X::kBlush, Mo::kExtra),
        Face("色", "/se", E::kHeart, M::kLaugh, X::kNone, Mo::kExtra),
        Face("亲亲", "/qq", E::kClosed, M::kKiss, X::kKissHeart, Mo::kExtra),
        Face("眨眼", "/zy", E::kWink, M::kSmile, X::kNone, Mo::kExtra),
        Face("调皮", "/tp", E::kWink, M::kTongue, X::kNone, Mo::kShake),
        Face("酷", "/ku", E::kShades, M::kSmirk, X::kNone, Mo::kBounce),
        Face("大哭", "/dk", E::kClosed, M::kCry, X::kTears, Mo::kExtra),
        Face("流泪", "/ll", E::kSad, M::kFrown, X::kTears, Mo::kExtra),
        Face("难过", "/ng", E::kSad, M::kFrown, X::kNone, Mo::kBlink),
        Face("发怒", "/fn", E::kAngry, M::kFrown, X::kVein, Mo::kShake, QColor(0xFF, 0x8A, 0x4A)),
        Face("惊讶", "/jy", E::kWide, M::kO, X::kNone, Mo::kBounce),
        Face("惊恐", "/jk", E::kWide, M::kWavy, X::kGloom, Mo::kShake),
        Face("流汗", "/lh", E::kDot, M::kFlat, X::kSweat, Mo::kExtra),
        Face("睡觉", "/sj", E::kClosed, M::kO, X::kZzz, Mo::kExtra),
        Face("晕", "/yun", E::kDizzy, M::kWavy, X::kStars, Mo::kExtra),
        Face("疑问", "/yw", E::kDot, M::kFlat, X::kQuestion, Mo::kExtra),
        Face("嘘", "/xu", E::kDot, M::kO, X::kFinger, Mo::kBlink),
        Face("衰", "/shuai", E::kSad, M::kWavy, X::kGloom, Mo::kExtra),
        Face("再见", "/zj", E::kHappy, M::kSmile, X::kWave, Mo::kExtra),
        Face("抓狂", "/zk", E::kAngry, M::kTeeth, X::kVein, Mo::kShake, QColor(0xFF, 0x9A, 0x55)),
        Face("鄙视", "/bs", E::kSide, M::kFlat, X::kNone, Mo::kBlink),
        Face("委屈", "/wq", E::kShiny, M::kWavy, X::kNone, Mo::kShake),
        Face("奋斗", "/fd", E::kAngry, M::kTeeth, X::kFist, Mo::kExtra),
        Face("憨笑", "/hanx", E::kHappy, M::kTeeth, X::kBlush, Mo::kBounce),
        Face("撇嘴", "/pz", E::kDot, M::kWavy, X::kNone, Mo::kBlink),
        Face("发呆", "/dai", E::kWide, M::kFlat, X::kNone, Mo::kBlink),
        Face("闭嘴", "/bz", E::kClosed, M::kZip, X::kNone, Mo::kShake),
        Face("阴险", "/yx", E::kSide, M::kSmirk, X::kHand, Mo::kBounce, QColor(0xE8, 0xC4, 0x3C)),
        Face("呲牙", "/cy", E::kHappy, M::kTeeth, X::kNone, Mo::kBounce),
        Object("爱心", "/ax", Thing::kHeart),
        Object("心碎", "/xs", Thing::kBroken),
        Object("玫瑰", "/mg", Thing::kRose),
        Object("礼物", "/lw", Thing::kGift),
        Object("蛋糕", "/dg", Thing::kCake),
        Object("咖啡", "/kf", Thing::kCoffee),
        Object("啤酒", "/pj", Thing::kBeer),
        Object("太阳", "/ty", Thing::kSun),
        Object("月亮", "/yl", Thing::kMoon),
        Object("星星", "/xx", Thing::kStar),
        Object("强", "/qiang", Thing::kThumbUp),
        Object("弱", "/ruo", Thing::kThumbDown),
        Object("握手", "/ws", Thing::kShake),
        Object("胜利", "/sl", Thing::kVictory),
        Object("炸弹", "/zd", Thing::kBomb),
        Object("闪电", "/sd", Thing::kBolt),
        Object("音乐", "/yy", Thing::kMusic),
        Object("西瓜", "/xg", Thing::kMelon),
        Object("猪头", "/zt", Thing::kPig),
        Object("拥抱", "/yb", Thing::kHug),
    };
    for (std::size_t i = 0; i < d.size(); ++i) {
      char file[32];
      std::snprintf(file, sizeof file, "emote%02zu.gif", i + 1);
      d[i].entry.file = QString::fromLatin1(file);
    }
    return d;
  }();
  return designs;
}

QPen Stroke(QColor c, double width) { return QPen(c, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin); }

void Heart(QPainter& p, QPointF centre, double size, QColor colour) {
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  p.drawPath(HeartPath(centre, size));
}

void Drop(QPainter& p, QPointF tip, double size, QColor colour) {
  QPainterPath path;
  path.moveTo(tip);
  path.cubicTo(tip + QPointF(size * 0.9, size * 1.1), tip + QPointF(size * 0.7, size * 2),
               tip + QPointF(0, size * 2));
  path.cubicTo(tip + QPointF(-size * 0.7, size * 2), tip + QPointF(-size * 0.9, size * 1.1), tip);
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  p.drawPath(path);
}

void FaceDisc(QPainter& p, QColor skin) {
  QRadialGradient g(QPointF(38, 34), 52);
  g.setColorAt(0, skin.lighter(125));
  g.setColorAt(0.7, skin);
  g.setColorAt(1, skin.darker(118));
  p.setBrush(g);
  p.setPen(Stroke(skin.darker(170), 3));
  p.drawEllipse(QPointF(48, 50), 40, 40);
}

void DrawEyes(QPainter& p, Eyes eyes, bool blink) {
  const QPointF left(34, 42), right(62, 42);
  p.setBrush(kInk);
  p.setPen(Qt::NoPen);
  auto closed = [&](QPointF c) {
    p.setPen(Stroke(kInk, 4.5));
    p.drawLine(c + QPointF(-7, 1), c + QPointF(7, 1));
  };
  auto arc = [&](QPointF c) {
    p.setPen(Stroke(kInk, 4.5));
    p.setBrush(Qt::NoBrush);
    QPainterPath path;
    path.moveTo(c + QPointF(-8, 4));
    path.quadTo(c + QPointF(0, -8), c + QPointF(8, 4));
    p.drawPath(path);
  };
  auto dot = [&](QPointF c) {
    p.setPen(Qt::NoPen);
    p.setBrush(kInk);
    p.drawEllipse(c, 5, 7);
  };
  if (blink && eyes != Eyes::kShades) {
    closed(left);
    closed(right);
    return;
  }
  switch (eyes) {
    case Eyes::kDot:
      dot(left), dot(right);
      break;
    case Eyes::kHappy:
      arc(left), arc(right);
      break;
    case Eyes::kClosed:
      closed(left), closed(right);
      break;
    case Eyes::kWink:
      dot(left), arc(right);
      break;
    case Eyes::kWide:
      for (QPointF c : {left, right}) {
        p.setPen(Stroke(kInk, 2.5));
        p.setBrush(Qt::white);
        p.drawEllipse(c, 10, 11);
        p.setPen(Qt::NoPen);
        p.setBrush(kInk);
        p.drawEllipse(c, 4, 4);
      }
      break;
    case Eyes::kShiny:
      for (QPointF c : {left, right}) {
        p.setPen(Qt::NoPen);
        p.setBrush(kInk);
        p.drawEllipse(c + QPointF(0, 2), 9, 10);
        p.setBrush(Qt::white);
        p.drawEllipse(c + QPointF(-3, -2), 3.5, 3.5);
        p.drawEllipse(c + QPointF(3, 5), 1.8, 1.8);
      }
      break;
    case Eyes::kHeart:
      Heart(p, left + QPointF(0, -2), 18, kRed);
      Heart(p, right + QPointF(0, -2), 18, kRed);
      break;
    case Eyes::kAngry:
    case Eyes::kSad: {
      dot(left + QPointF(0, 3));
      dot(right + QPointF(0, 3));
      const bool angry = eyes == Eyes::kAngry;
      p.setPen(Stroke(kInk, 4));
      p.drawLine(QPointF(24, angry ? 28 : 35), QPointF(42, angry ? 35 : 28));
      p.drawLine(QPointF(72, angry ? 28 : 35), QPointF(54, angry ? 35 : 28));
      break;
    }
    case Eyes::kShades: {
      p.setPen(Stroke(QColor(0x20, 0x20, 0x28), 3));
      p.drawLine(QPointF(22, 40), QPointF(74, 40));
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0x20, 0x20, 0x28));
      p.drawPath(RoundedRect(QRectF(22, 36, 23, 15), 6));
      p.drawPath(RoundedRect(QRectF(51, 36, 23, 15), 6));
      p.setBrush(QColor(255, 255, 255, 150));
      p.drawEllipse(QPointF(29, 41), 3, 2);
      p.drawEllipse(QPointF(58, 41), 3, 2);
      break;
    }
    case Eyes::kDizzy:
      p.setPen(Stroke(kInk, 4));
      for (QPointF c : {left, right}) {
        p.drawLine(c + QPointF(-6, -6), c + QPointF(6, 6));
        p.drawLine(c + QPointF(-6, 6), c + QPointF(6, -6));
      }
      break;
    case Eyes::kSide:
      for (QPointF c : {left, right}) {
        p.setPen(Stroke(kInk, 2.5));
        p.setBrush(Qt::white);
        p.drawChord(QRectF(c.x() - 10, c.y() - 8, 20, 16), 180 * 16, 180 * 16);
        p.setPen(Qt::NoPen);
        p.setBrush(kInk);
        p.drawEllipse(c + QPointF(5, 3), 4, 4);
        p.setPen(Stroke(kInk, 4));
        p.drawLine(c + QPointF(-11, 0), c + QPointF(11, 0));
      }
      break;
  }
}

void DrawMouth(QPainter& p, Mouth mouth) {
  p.setBrush(Qt::NoBrush);
  p.setPen(Stroke(kInk, 4.5));
  QPainterPath path;
  switch (mouth) {
    case Mouth::kSmile:
      path.moveTo(32, 62);
      path.quadTo(48, 78, 64, 62);
      p.drawPath(path);
      break;
    case Mouth::kLaugh:
    case Mouth::kCry: {
      const bool cry = mouth == Mouth::kCry;
      if (cry) {
        path.moveTo(30, 80);
        path.quadTo(48, 52, 66, 80);
        path.closeSubpath();
      } else {
        path.moveTo(28, 60);
        path.lineTo(68, 60);
        path.quadTo(66, 86, 48, 86);
        path.quadTo(30, 86, 28, 60);
      }
      p.setPen(Stroke(kInk, 3));
      p.setBrush(kMouthRed);
      p.drawPath(path);
      p.setPen(Qt::NoPen);
      p.setBrush(kTongue);
      p.drawEllipse(QPointF(48, cry ? 76 : 79), 9, 5);
      break;
    }
    case Mouth::kTeeth:
      p.setPen(Stroke(kInk, 3));
      p.setBrush(Qt::white);
      p.drawPath(RoundedRect(QRectF(30, 60, 36, 16), 7));
      p.drawLine(QPointF(31, 68), QPointF(65, 68));
      for (double x : {39.0, 48.0, 57.0}) p.drawLine(QPointF(x, 61), QPointF(x, 75));
      break;
    case Mouth::kO:
      p.setPen(Stroke(kInk, 3));
      p.setBrush(kMouthRed);
      p.drawEllipse(QPointF(48, 70), 7, 9);
      break;
    case Mouth::kFlat:
      p.drawLine(QPointF(36, 68), QPointF(60, 68));
      break;
    case Mouth::kFrown:
      path.moveTo(34, 74);
      path.quadTo(48, 60, 62, 74);
      p.drawPath(path);
      break;
    case Mouth::kTongue:
      path.moveTo(32, 62);
      path.quadTo(48, 76, 64, 62);
      p.drawPath(path);
      p.setPen(Stroke(kMouthRed, 2));
      p.setBrush(kTongue);
      p.drawPath(RoundedRect(QRectF(44, 67, 14, 15), 7));
      break;
    case Mouth::kKiss:
      p.setPen(Stroke(kMouthRed, 4));
      path.moveTo(44, 62);
      path.quadTo(54, 66, 46, 70);
      path.quadTo(54, 74, 44, 78);
      p.drawPath(path);
      break;
    case Mouth::kWavy:
      path.moveTo(32, 70);
      path.quadTo(36, 64, 40, 70);
      path.quadTo(44, 76, 48, 70);
      path.quadTo(52, 64, 56, 70);
      path.quadTo(60, 76, 64, 70);
      p.drawPath(path);
      break;
    case Mouth::kSmirk:
      path.moveTo(34, 68);
      path.quadTo(52, 74, 64, 60);
      p.drawPath(path);
      break;
    case Mouth::kZip:
      p.drawLine(QPointF(32, 68), QPointF(64, 68));
      p.setPen(Stroke(kInk, 2.5));
      for (double x : {38.0, 46.0, 54.0, 60.0}) p.drawLine(QPointF(x, 63), QPointF(x, 73));
      break;
  }
}

void DrawExtra(QPainter& p, Extra extra, int frame) {
  const double t = frame / static_cast<double>(kEmoteFrames);
  switch (extra) {
    case Extra::kNone:
      break;
    case Extra::kBlush: {
      const int alpha = 110 + (frame % 2) * 70;
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0xFF, 0x6E, 0x8C, alpha));
      p.drawEllipse(QPointF(24, 58), 8, 5);
      p.drawEllipse(QPointF(72, 58), 8, 5);
      break;
    }
    case Extra::kTears:
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(kTear.red(), kTear.green(), kTear.blue(), 200));
      p.drawRect(QRectF(28, 46, 6, 30));
      p.drawRect(QRectF(62, 46, 6, 30));
      Drop(p, QPointF(31, 50 + 28 * t), 5, kTear);
      Drop(p, QPointF(65, 50 + 28 * std::fmod(t + 0.5, 1.0)), 5, kTear);
      break;
    case Extra::kSweat:
      Drop(p, QPointF(76, 16 + 14 * t), 7, kTear);
      break;
    case Extra::kZzz: {
      p.setPen(QColor(0x3B, 0x6F, 0xD8));
      for (int i = 0; i < 2; ++i) {
        const double rise = std::fmod(t + i * 0.5, 1.0);
        QFont font = TextFont(18 + 8 * rise, true);
        p.setFont(font);
        p.drawText(QPointF(64 + 16 * rise, 30 - 22 * rise), QStringLiteral("z"));
      }
      break;
    }
    case Extra::kQuestion: {
      p.setPen(QColor(0x3B, 0x6F, 0xD8));
      p.setFont(TextFont(frame % 2 ? 38 : 32, true));
      p.drawText(QRectF(58, -4, 40, 44), Qt::AlignCenter, QStringLiteral("?"));
      break;
    }
    case Extra::kWave: {
      p.save();
      p.translate(80, 62);
      p.rotate(-25 + 25 * (frame % 2 ? 1 : -1));
      p.setPen(Stroke(QColor(0xC8, 0x8A, 0x1E), 2.5));
      p.setBrush(QColor(0xFF, 0xD8, 0x5A));
      p.drawEllipse(QPointF(0, -8), 10, 11);
      for (int i = 0; i < 4; ++i) p.drawPath(RoundedRect(QRectF(-9 + i * 5, -30, 4.5, 16), 2));
      p.restore();
      break;
    }
    case Extra::kFist: {
      const double lift = (frame % 2) * -8;
      p.setPen(Stroke(QColor(0xC8, 0x8A, 0x1E), 2.5));
      p.setBrush(QColor(0xFF, 0xD8, 0x5A));
      p.drawPath(RoundedRect(QRectF(68, 56 + lift, 22, 22), 7));
      p.drawLine(QPointF(70, 64 + lift), QPointF(88, 64 + lift));
      break;
    }
    case Extra::kFinger:
      p.setPen(Stroke(QColor(0xC8, 0x8A, 0x1E), 2.5));
      p.setBrush(QColor(0xFF, 0xE2, 0x7A));
      p.drawPath(RoundedRect(QRectF(44, 52, 8, 30), 4));
      break;
    case Extra::kHand:
      p.setPen(Stroke(QColor(0xC8, 0x8A, 0x1E), 2.5));
      p.setBrush(QColor(0xFF, 0xE2, 0x7A));
      p.drawEllipse(QPointF(40 + (frame % 2) * 3, 72), 13, 10);
      break;
    case Extra::kVein: {
      const double s = frame % 2 ? 1.25 : 1.0;
      p.setPen(Stroke(QColor(0xD0, 0x10, 0x20), 4));
      const QPointF c(72, 22);
      for (int i = 0; i < 4; ++i) {
        const double a = (45 + 90 * i) * std::numbers::pi / 180;
        const QPointF d(std::cos(a), std::sin(a));
        p.drawLine(c + d * 3 * s, c + d * 9 * s);
      }
      break;
    }
    case Extra::kGloom: {
      p.setPen(Stroke(QColor(0x55, 0x44, 0x99, 200), 3));
      const double drop = 3 * (frame % 2);
      for (double x : {36.0, 46.0, 56.0}) p.drawLine(QPointF(x, 14 + drop), QPointF(x, 26 + drop));
      break;
    }
    case Extra::kKissHeart: {
      const double rise = 30 * t;
      Heart(p, QPointF(72 + 6 * t, 66 - rise), 14 + 6 * t, kRed);
      break;
    }
    case Extra::kStars: {
      for (int i = 0; i < 3; ++i) {
        const double a = 2 * std::numbers::pi * (i / 3.0 + t / 3.0);
        const QPointF c(48 + 34 * std::cos(a), 14 + 8 * std::sin(a));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xFF, 0xB0, 0x20));
        p.drawPath(StarPath(c, 8, 3.5));
      }
      break;
    }
    case Extra::kArms:
      break;
  }
}

void DrawFaceEmote(QPainter& p, const FaceLook& look, int frame) {
  static constexpr std::array<double, kEmoteFrames> kBounce = {0, -4, 0, 3};
  static constexpr std::array<double, kEmoteFrames> kShake = {0, -4, 0, 4};
  if (look.motion == Motion::kBounce) p.translate(0, kBounce[static_cast<std::size_t>(frame)]);
  if (look.motion == Motion::kShake) p.translate(kShake[static_cast<std::size_t>(frame)], 0);
  FaceDisc(p, look.skin);
  if (look.extra == Extra::kGloom) {
    QLinearGradient g(QPointF(0, 10), QPointF(0, 50));
    g.setColorAt(0, QColor(0x60, 0x40, 0xA0, 150));
    g.setColorAt(1, QColor(0x60, 0x40, 0xA0, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawChord(QRectF(8, 10, 80, 80), 20 * 16, 140 * 16);
  }
  DrawEyes(p, look.eyes, look.motion == Motion::kBlink && frame == 3);
  DrawMouth(p, look.mouth);
  DrawExtra(p, look.extra, frame);
}

void Thumb(QPainter& p, bool up, double lift) {
  p.save();
  p.translate(48, 50 + lift);
  if (!up) p.rotate(180);
  p.setPen(Stroke(QColor(0xC8, 0x8A, 0x1E), 3));
  p.setBrush(QColor(0xFF, 0xD8, 0x5A));
  p.drawPath(RoundedRect(QRectF(-20, -8, 34, 34), 8));
  p.drawPath(RoundedRect(QRectF(-10, -36, 14, 32), 7));
  p.setBrush(QColor(0x3B, 0x8E, 0xF0));
  p.drawRect(QRectF(-30, -6, 10, 32));
  p.restore();
}

void DrawThing(QPainter& p, Thing thing, int frame) {
  const double t = frame / static_cast<double>(kEmoteFrames);
  const bool odd = frame % 2 != 0;
  switch (thing) {
    case Thing::kHeart:
      Heart(p, QPointF(48, 50), odd ? 84 : 72, kRed);
      break;
    case Thing::kBroken: {
      const double gap = odd ? 5 : 2;
      for (int side = 0; side < 2; ++side) {
        p.save();
        QPainterPath clip;
        if (side == 0) {
          clip.moveTo(0, 0), clip.lineTo(50, 0), clip.lineTo(42, 40), clip.lineTo(54, 56),
              clip.lineTo(46, 96), clip.lineTo(0, 96);
        } else {
          clip.moveTo(96, 0), clip.lineTo(50, 0), clip.lineTo(42, 40), clip.lineTo(54, 56),
              clip.lineTo(46, 96), clip.lineTo(96, 96);
        }
        p.translate(side == 0 ? -gap : gap, 0);
        p.setClipPath(clip);
        Heart(p, QPointF(48, 50), 74, QColor(0xB0, 0x30, 0x40));
        p.restore();
      }
      break;
    }
    case Thing::kRose: {
      p.save();
      p.translate(48, 92);
      p.rotate(odd ? 5 : -5);
      p.setPen(Stroke(QColor(0x2E, 0x8B, 0x3A), 5));
      p.drawLine(QPointF(0, 0), QPointF(0, -52));
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0x3C, 0xB9, 0x4A));
      p.drawEllipse(QPointF(-10, -26), 10, 5);
      p.setBrush(QColor(0xD6, 0x20, 0x40));
      p.drawEllipse(QPointF(0, -62), 20, 18);
      p.setPen(Stroke(QColor(0x90, 0x10, 0x28), 3));
      p.setBrush(Qt::NoBrush);
      p.drawArc(QRectF(-10, -72, 20, 18), 0, 270 * 16);
      p.restore();
      break;
    }
    case Thing::kGift: {
      p.translate(0, odd ? -4 : 0);
      p.setPen(Stroke(QColor(0x90, 0x20, 0x30), 3));
      p.setBrush(QColor(0xE5, 0x4B, 0x4B));
      p.drawRect(QRectF(18, 40, 60, 46));
      p.setBrush(QColor(0xF2, 0x4E, 0x4E));
      p.drawRect(QRectF(14, 30, 68, 14));
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0xFF, 0xD0, 0x3C));
      p.drawRect(QRectF(42, 30, 12, 56));
      p.drawEllipse(QPointF(38, 24), 10, 7);
      p.drawEllipse(QPointF(58, 24), 10, 7);
      break;
    }
    case Thing::kCake: {
      p.setPen(Stroke(QColor(0x8B, 0x5A, 0x2B), 3));
      p.setBrush(QColor(0xFF, 0xE0, 0xF0));
      p.drawPath(RoundedRect(QRectF(16, 52, 64, 34), 6));
      p.setBrush(QColor(0xF0, 0x7A, 0xB0));
      p.drawPath(RoundedRect(QRectF(16, 52, 64, 12), 6));
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0x3B, 0x8E, 0xF0));
      p.drawRect(QRectF(45, 30, 6, 22));
      Drop(p, QPointF(48, odd ? 12 : 16), odd ? 7 : 6, QColor(0xFF, 0xA5, 0x1F));
      break;
    }
    case Thing::kCoffee: {
      p.setPen(Stroke(QColor(0x60, 0x3A, 0x20), 3));
      p.setBrush(Qt::white);
      p.drawPath(RoundedRect(QRectF(20, 44, 46, 42), 8));
      p.setBrush(Qt::NoBrush);
      p.drawEllipse(QPointF(70, 62), 9, 10);
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0x7A, 0x4A, 0x28));
      p.drawEllipse(QRectF(23, 42, 40, 8));
      p.setPen(Stroke(QColor(0xA0, 0xA0, 0xA8), 3.5));
      for (int i = 0; i < 2; ++i) {
        const double rise = std::fmod(t + i * 0.5, 1.0) * 14;
        QPainterPath s;
        s.moveTo(34 + i * 16, 38 - rise);
        s.quadTo(40 + i * 16, 30 - rise, 34 + i * 16, 22 - rise);
        p.drawPath(s);
      }
      break;
    }
    case Thing::kBeer: {
      p.setPen(Stroke(QColor(0xA0, 0x6A, 0x10), 3));
      p.setBrush(QColor(0xF5, 0xB0, 0x20));
      p.drawPath(RoundedRect(QRectF(22, 30, 42, 58), 6));
      p.setBrush(Qt::NoBrush);
      p.drawPath(RoundedRect(QRectF(60, 44, 16, 26), 7));
      p.setPen(Qt::NoPen);
      p.setBrush(Qt::white);
      for (double x : {28.0, 40.0, 52.0}) p.drawEllipse(QPointF(x + 2, 28), 10, 8);
      p.setBrush(QColor(255, 255, 255, 200));
      for (int i = 0; i < 3; ++i)
        p.drawEllipse(QPointF(32 + i * 10, 80 - std::fmod(t + i * 0.3, 1.0) * 36), 2.5, 2.5);
      break;
    }
    case Thing::kSun: {
      p.save();
      p.translate(48, 48);
      p.rotate(frame * 11.25);
      p.setPen(Stroke(QColor(0xFF, 0x9A, 0x10), 5));
      for (int i = 0; i < 8; ++i) {
        p.drawLine(QPointF(0, -30), QPointF(0, -42));
        p.rotate(45);
      }
      p.restore();
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0xFF, 0xC8, 0x20));
      p.drawEllipse(QPointF(48, 48), 24, 24);
      break;
    }
    case Thing::kMoon: {
      QPainterPath moon;
      moon.addEllipse(QPointF(44, 50), 32, 32);
      QPainterPath bite;
      bite.addEllipse(QPointF(62, 40), 28, 28);
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0xFF, 0xD8, 0x40));
      p.drawPath(moon.subtracted(bite));
      p.setBrush(QColor(0xFF, 0xE8, 0x80));
      p.drawPath(StarPath(QPointF(72, 20), odd ? 9 : 6, odd ? 4 : 2.5));
      p.drawPath(StarPath(QPointF(80, 60), odd ? 5 : 8, odd ? 2.2 : 3.5));
      break;
    }
    case Thing::kStar: {
      p.setPen(Stroke(QColor(0xD8, 0x8A, 0x00), 3));
      p.setBrush(QColor(0xFF, 0xC8, 0x20));
      p.drawPath(StarPath(QPointF(48, 52), odd ? 44 : 38, odd ? 19 : 16, 5, -90 + frame * 6));
      break;
    }
    case Thing::kThumbUp:
      Thumb(p, true, odd ? -4 : 0);
      break;
    case Thing::kThumbDown:
      Thumb(p, false, odd ? 4 : 0);
      break;
    case Thing::kShake: {
      const double dy = odd ? -5 : 5;
      p.setPen(Stroke(QColor(0xC8, 0x8A, 0x1E), 3));
      p.setBrush(QColor(0xFF, 0xD8, 0x5A));
      p.drawPath(RoundedRect(QRectF(10, 38 + dy, 44, 24), 10));
      p.setBrush(QColor(0xF0, 0xBE, 0x8C));
      p.drawPath(RoundedRect(QRectF(42, 42 + dy, 44, 24), 10));
      p.setPen(Stroke(QColor(0x3B, 0x8E, 0xF0), 8));
      p.drawLine(QPointF(6, 40 + dy), QPointF(6, 62 + dy));
      p.setPen(Stroke(QColor(0x46, 0x52, 0x66), 8));
      p.drawLine(QPointF(90, 44 + dy), QPointF(90, 66 + dy));
      break;
    }
    case Thing::kVictory: {
      p.save();
      p.translate(48, 56);
      p.rotate(odd ? 6 : -6);
      p.setPen(Stroke(QColor(0xC8, 0x8A, 0x1E), 3));
      p.setBrush(QColor(0xFF, 0xD8, 0x5A));
      p.save();
      p.rotate(-14);
      p.drawPath(RoundedRect(QRectF(-12, -46, 13, 40), 6));
      p.restore();
      p.save();
      p.rotate(14);
      p.drawPath(RoundedRect(QRectF(-1, -46, 13, 40), 6));
      p.restore();
      p.drawPath(RoundedRect(QRectF(-18, -10, 36, 34), 10));
      p.restore();
      break;
    }
    case Thing::kBomb: {
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0x30, 0x30, 0x3A));
      p.drawEllipse(QPointF(44, 58), 30, 30);
      p.setBrush(QColor(255, 255, 255, 90));
      p.drawEllipse(QPointF(34, 48), 8, 6);
      p.setPen(Stroke(QColor(0x8B, 0x5A, 0x2B), 4));
      p.setBrush(Qt::NoBrush);
      QPainterPath fuse;
      fuse.moveTo(62, 32);
      fuse.quadTo(70, 16, 80, 18);
      p.drawPath(fuse);
      p.setPen(Qt::NoPen);
      p.setBrush(frame % 2 ? QColor(0xFF, 0xE0, 0x40) : QColor(0xFF, 0x70, 0x20));
      p.drawPath(StarPath(QPointF(82, 16), odd ? 13 : 9, 4, 6, frame * 15));
      break;
    }
    case Thing::kBolt: {
      QPainterPath bolt;
      bolt.moveTo(56, 6), bolt.lineTo(24, 52), bolt.lineTo(46, 52), bolt.lineTo(36, 90), bolt.lineTo(72, 40),
          bolt.lineTo(50, 40), bolt.lineTo(62, 6), bolt.closeSubpath();
      p.setPen(Stroke(QColor(0xD8, 0x8A, 0x00), 3));
      p.setBrush(odd ? QColor(0xFF, 0xF0, 0x80) : QColor(0xFF, 0xC8, 0x20));
      p.drawPath(bolt);
      break;
    }
    case Thing::kMusic: {
      const double dy = odd ? -6 : 0;
      p.setPen(Stroke(QColor(0x8A, 0x5C, 0xE6), 5));
      p.drawLine(QPointF(38, 70 + dy), QPointF(38, 22 + dy));
      p.drawLine(QPointF(72, 62 - dy), QPointF(72, 16 - dy));
      p.setPen(Stroke(QColor(0x8A, 0x5C, 0xE6), 9));
      p.drawLine(QPointF(38, 24 + dy), QPointF(72, 18 - dy));
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0x8A, 0x5C, 0xE6));
      p.drawEllipse(QPointF(30, 72 + dy), 11, 8);
      p.drawEllipse(QPointF(64, 64 - dy), 11, 8);
      break;
    }
    case Thing::kMelon: {
      p.save();
      p.translate(48, 40);
      p.rotate(odd ? 8 : -8);
      p.setPen(Qt::NoPen);
      p.setBrush(QColor(0x2E, 0x9B, 0x3A));
      p.drawPie(QRectF(-42, -42, 84, 84), 180 * 16, 180 * 16);
      p.setBrush(QColor(0xF0, 0xF0, 0xC0));
      p.drawPie(QRectF(-37, -37, 74, 74), 180 * 16, 180 * 16);
      p.setBrush(QColor(0xF0, 0x3A, 0x4A));
      p.drawPie(QRectF(-33, -33, 66, 66), 180 * 16, 180 * 16);
      p.setBrush(QColor(0x30, 0x20, 0x20));
      for (double x : {-18.0, -6.0, 6.0, 18.0}) p.drawEllipse(QPointF(x, 12 + std::abs(x) / 3), 2.5, 4);
      p.restore();
      break;
    }
    case Thing::kPig: {
      const QColor pink(0xFF, 0xA8, 0xC0);
      p.translate(0, odd ? -3 : 0);
      p.setPen(Stroke(pink.darker(150), 3));
      p.setBrush(pink);
      p.drawEllipse(QPointF(22, 22), 12, 12);
      p.drawEllipse(QPointF(74, 22), 12, 12);
      p.drawEllipse(QPointF(48, 52), 38, 36);
      p.setBrush(pink.darker(115));
      p.drawEllipse(QPointF(48, 62), 16, 11);
      p.setPen(Qt::NoPen);
      p.setBrush(pink.darker(200));
      p.drawEllipse(QPointF(42, 62), 3, 4);
      p.drawEllipse(QPointF(54, 62), 3, 4);
      p.setBrush(kInk);
      p.drawEllipse(QPointF(34, 40), 4, 5);
      p.drawEllipse(QPointF(62, 40), 4, 5);
      break;
    }
    case Thing::kHug: {
      FaceLook look{Eyes::kHappy, Mouth::kSmile, Extra::kBlush, Motion::kStill};
      p.save();
      p.translate(48, 48);
      p.scale(0.86, 0.86);
      p.translate(-48, -48);
      DrawFaceEmote(p, look, frame);
      p.restore();
      const double squeeze = odd ? 4 : 0;
      p.setPen(Stroke(QColor(0xC8, 0x8A, 0x1E), 3));
      p.setBrush(QColor(0xFF, 0xD8, 0x5A));
      p.drawEllipse(QPointF(14 + squeeze, 70), 11, 10);
      p.drawEllipse(QPointF(82 - squeeze, 70), 11, 10);
      break;
    }
  }
}

QImage Shrink(const QImage& big) {
  QImage out = big;
  while (out.width() / 2 >= kEmoteSize) {
    out = out.scaled(out.width() / 2, out.height() / 2, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  }
  if (out.width() != kEmoteSize) {
    out = out.scaled(kEmoteSize, kEmoteSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  }
  return out.convertToFormat(QImage::Format_ARGB32);
}

// One palette for all frames: index 0 is transparent, the rest the most used colours (reduced to 5
// bits per channel), each pixel then taking the nearest of them.
struct Palette {
  std::vector<QRgb> colours;  // without the transparent entry
  std::uint8_t Nearest(QRgb c) const {
    int best = 0;
    int best_distance = 1 << 30;
    for (std::size_t i = 0; i < colours.size(); ++i) {
      const int dr = qRed(c) - qRed(colours[i]), dg = qGreen(c) - qGreen(colours[i]),
                db = qBlue(c) - qBlue(colours[i]);
      const int distance = 3 * dr * dr + 4 * dg * dg + 2 * db * db;
      if (distance < best_distance) best_distance = distance, best = static_cast<int>(i);
    }
    return static_cast<std::uint8_t>(best + 1);
  }
};

constexpr int kOpaqueAlpha = 110;

Palette MakePalette(const std::vector<QImage>& frames) {
  std::map<QRgb, std::pair<int, std::array<long, 3>>> bins;
  for (const QImage& frame : frames) {
    for (int y = 0; y < frame.height(); ++y) {
      const auto* line = reinterpret_cast<const QRgb*>(frame.constScanLine(y));
      for (int x = 0; x < frame.width(); ++x) {
        if (qAlpha(line[x]) < kOpaqueAlpha) continue;
        const QRgb key = qRgb(qRed(line[x]) & 0xF8, qGreen(line[x]) & 0xF8, qBlue(line[x]) & 0xF8);
        auto& [count, sum] = bins[key];
        ++count;
        sum[0] += qRed(line[x]), sum[1] += qGreen(line[x]), sum[2] += qBlue(line[x]);
      }
    }
  }
  std::vector<std::pair<int, QRgb>> ranked;
  for (const auto& [key, bin] : bins) {
    const auto& [count, sum] = bin;
    ranked.emplace_back(count, qRgb(static_cast<int>(sum[0] / count), static_cast<int>(sum[1] / count),
                                    static_cast<int>(sum[2] / count)));
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  Palette palette;
  for (std::size_t i = 0; i < ranked.size() && i < 255; ++i) palette.colours.push_back(ranked[i].second);
  if (palette.colours.empty()) palette.colours.push_back(qRgb(0, 0, 0));
  return palette;
}

int WriteToBytes(GifFileType* gif, const GifByteType* data, int size) {
  static_cast<QByteArray*>(gif->UserData)->append(reinterpret_cast<const char*>(data), size);
  return size;
}

}  // namespace

const std::vector<EmoteEntry>& BuiltInEmotes() {
  static const std::vector<EmoteEntry> entries = [] {
    std::vector<EmoteEntry> list;
    for (const Design& d : Designs()) list.push_back(d.entry);
    return list;
  }();
  return entries;
}

QImage DrawEmoteFrame(int index, int frame) {
  const Design& design = Designs()[static_cast<std::size_t>(index) % Designs().size()];
  QImage big = NewImage(static_cast<int>(kCanvas), static_cast<int>(kCanvas));
  {
    QPainter p(&big);
    Prepare(p);
    if (design.face) {
      DrawFaceEmote(p, design.look, frame % kEmoteFrames);
    } else {
      DrawThing(p, design.thing, frame % kEmoteFrames);
    }
  }
  return Shrink(big);
}

QByteArray EncodeAnimatedGif(const std::vector<QImage>& frames, int delay_cs) {
  QByteArray out;
  if (frames.empty()) return out;
  const Palette palette = MakePalette(frames);
  const int width = frames.front().width();
  const int height = frames.front().height();
  std::array<GifColorType, 256> colours{};
  for (std::size_t i = 0; i < palette.colours.size(); ++i) {
    const QRgb c = palette.colours[i];
    colours[i + 1] = {static_cast<GifByteType>(qRed(c)), static_cast<GifByteType>(qGreen(c)),
                      static_cast<GifByteType>(qBlue(c))};
  }
  colours[0] = {0xFF, 0xFF, 0xFF};
  int error = 0;
  GifFileType* gif = EGifOpen(&out, WriteToBytes, &error);
  if (!gif) return {};
  ColorMapObject* map = GifMakeMapObject(256, colours.data());
  bool ok = map && EGifPutScreenDesc(gif, width, height, 8, 0, map) == GIF_OK;
  EGifSetGifVersion(gif, true);
  if (ok && frames.size() > 1) {
    static const char kLoopName[] = "NETSCAPE2.0";
    const GifByteType loop[3] = {1, 0, 0};  // repeat forever
    ok = EGifPutExtensionLeader(gif, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
         EGifPutExtensionBlock(gif, 11, kLoopName) == GIF_OK &&
         EGifPutExtensionBlock(gif, 3, loop) == GIF_OK && EGifPutExtensionTrailer(gif) == GIF_OK;
  }
  std::vector<GifPixelType> row(static_cast<std::size_t>(width));
  for (const QImage& frame : frames) {
    if (!ok) break;
    GraphicsControlBlock control{};
    control.DisposalMode = DISPOSE_BACKGROUND;
    control.DelayTime = delay_cs;
    control.TransparentColor = 0;
    GifByteType extension[4];
    EGifGCBToExtension(&control, extension);
    ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, extension) == GIF_OK &&
         EGifPutImageDesc(gif, 0, 0, width, height, false, nullptr) == GIF_OK;
    for (int y = 0; ok && y < height; ++y) {
      const auto* line = reinterpret_cast<const QRgb*>(frame.constScanLine(y));
      for (int x = 0; x < width; ++x) {
        row[static_cast<std::size_t>(x)] = qAlpha(line[x]) < kOpaqueAlpha ? 0 : palette.Nearest(line[x]);
      }
      ok = EGifPutLine(gif, row.data(), width) == GIF_OK;
    }
  }
  if (EGifCloseFile(gif, &error) != GIF_OK) ok = false;
  GifFreeMapObject(map);
  return ok ? out : QByteArray();
}

bool WriteEmotes(const std::filesystem::path& folder) {
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  // No hot key may begin another: the conversion tries the list in order at each position, so the
  // shorter one would always win and the longer could never be typed.
  const auto& entries = BuiltInEmotes();
  for (const EmoteEntry& a : entries) {
    for (const EmoteEntry& b : entries) {
      if (&a != &b && b.hot_key.startsWith(a.hot_key)) {
        std::fprintf(stderr, "kiv_assets: hot key %s begins %s\n", a.hot_key.toUtf8().constData(),
                     b.hot_key.toUtf8().constData());
        return false;
      }
    }
  }
  std::vector<TEmoteInfo> list;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    std::vector<QImage> frames;
    for (int f = 0; f < kEmoteFrames; ++f) frames.push_back(DrawEmoteFrame(static_cast<int>(i), f));
    const QByteArray gif = EncodeAnimatedGif(frames, kEmoteFrameDelayCs);
    if (gif.isEmpty()) return false;
    const std::string file = entries[i].file.toStdString();
    if (!WriteFileAtomic(folder / file,
                         std::string_view(gif.constData(), static_cast<std::size_t>(gif.size())))) {
      return false;
    }
    TEmoteInfo info;
    info.category = static_cast<std::uint8_t>(entries[i].category);
    info.file = file;
    info.name = entries[i].name.toStdString();
    info.hot_key = entries[i].hot_key.toStdString();
    list.push_back(std::move(info));
  }
  return WriteFileAtomic(folder / "EmoteInfo.dat", EncodeEmoteRecords(list));
}

}  // namespace kiv::assets
