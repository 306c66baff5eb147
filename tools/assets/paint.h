// Drawing helpers shared by the asset generator's picture, face and skin painters.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPointF>
#include <QRectF>
#include <QString>

namespace kiv::assets {

// The colours of one brand's pictures.
struct Brand {
  QString name;         // product name drawn on logos ("Kivora", "Pelo")
  QString letter;       // the emblem's letter
  QString archive;      // file name of the graphics archive under skins/
  QColor primary;       // main colour of emblems and buttons
  QColor primary_dark;  // its shade
  QColor secondary;     // second colour of gradients
  QColor accent;        // highlights (badges, stars)
};

const Brand& KivoraBrand();
const Brand& PeloBrand();

// A transparent ARGB picture of the given size.
QImage NewImage(int width, int height, QColor fill = Qt::transparent);

// A painter with antialiasing and smooth picture transforms on.
void Prepare(QPainter& p);

// The font used for Chinese and Latin text on pictures.
QFont TextFont(double pixel_size, bool bold = false);

// A vertical gradient from `top` to `bottom` over `rect`.
QLinearGradient Vertical(const QRectF& rect, QColor top, QColor bottom);

// Fills `path` with a glossy look: a vertical gradient of `base`, a soft highlight over its upper part
// and a darker outline of `outline_width` (0 for none).
void Glossy(QPainter& p, const QPainterPath& path, QColor base, double outline_width = 1.0);

// Small vector shapes in design units (the caller scales the painter).
QPainterPath RoundedRect(const QRectF& rect, double radius);
QPainterPath StarPath(QPointF centre, double outer, double inner, int points = 5, double rotation_deg = -90);
QPainterPath BubblePath(const QRectF& body, double radius, bool tail_left = true);
QPainterPath PersonPath(QPointF head_centre, double head_radius);
QPainterPath GearPath(QPointF centre, double outer, double inner, int teeth);
QPainterPath HeartPath(QPointF centre, double size);

// A mixture of two colours; t = 0 gives `a`, 1 gives `b`.
QColor Mix(QColor a, QColor b, double t);

// The colour with its HSV saturation and value scaled to grey-ish (for inactive pictures).
QColor Greyed(QColor c);

// Text centred in `rect` with an optional soft shadow.
void CentredText(QPainter& p, const QRectF& rect, const QString& text, const QFont& font, QColor colour,
                 QColor shadow = Qt::transparent);

// A picture made grey (inactive state) keeping its alpha.
QImage GreyImage(const QImage& image, double fade = 0.85);

}  // namespace kiv::assets
