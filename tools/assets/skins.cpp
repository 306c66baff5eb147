#include "skins.h"

#include <QFile>
#include <QLinearGradient>
#include <QRadialGradient>
#include <cmath>
#include <functional>
#include <numbers>

#include "paint.h"

namespace kiv::assets {
namespace {

struct Theme {
  QString name;
  QString title;                     // a line for the style sheet's header comment
  QColor window_top, window_bottom;  // window background gradient
  QColor panel;                      // input fields and lists
  QColor text, muted;
  QColor accent, accent_dark, accent_light;
  QColor border;
  QColor selection;
  int radius;  // corner radius of buttons and fields
  int button_radius;
  QString font_weight;                                        // "normal" or "bold" for buttons
  std::function<void(QPainter&, double, double)> background;  // the window's background picture
};

QString Css(QColor c) {
  if (c.alpha() == 255) return c.name(QColor::HexRgb);
  return QStringLiteral("rgba(%1, %2, %3, %4)").arg(c.red()).arg(c.green()).arg(c.blue()).arg(c.alpha());
}

void Cloud(QPainter& p, double x, double y, double s, int alpha) {
  QPainterPath cloud;
  cloud.addEllipse(QPointF(x, y), 18 * s, 12 * s);
  cloud.addEllipse(QPointF(x + 16 * s, y - 6 * s), 15 * s, 13 * s);
  cloud.addEllipse(QPointF(x + 32 * s, y), 17 * s, 11 * s);
  cloud.addEllipse(QPointF(x + 14 * s, y + 5 * s), 24 * s, 9 * s);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255, alpha));
  p.drawPath(cloud.simplified());
}

std::vector<Theme> Themes() {
  std::vector<Theme> themes;
  // Sky: a bright blue day with soft clouds.
  themes.push_back(Theme{
      QStringLiteral("天空"), QStringLiteral("Sky: clear blue with soft clouds"), QColor(0xBF, 0xE3, 0xFF),
      QColor(0xEE, 0xF8, 0xFF), QColor(0xFF, 0xFF, 0xFF), QColor(0x1F, 0x3A, 0x5A), QColor(0x6C, 0x84, 0x9E),
      QColor(0x2F, 0x8C, 0xFF), QColor(0x17, 0x62, 0xC9), QColor(0x8F, 0xC8, 0xFF), QColor(0x8A, 0xB8, 0xE0),
      QColor(0xCC, 0xE6, 0xFF), 4, 4, QStringLiteral("normal"), [](QPainter& p, double w, double h) {
        QLinearGradient g(QPointF(0, 0), QPointF(0, h));
        g.setColorAt(0, QColor(0x7D, 0xC2, 0xFF));
        g.setColorAt(0.45, QColor(0xBF, 0xE3, 0xFF));
        g.setColorAt(1, QColor(0xEE, 0xF8, 0xFF));
        p.fillRect(QRectF(0, 0, w, h), g);
        QRadialGradient sun(QPointF(w * 0.85, h * 0.08), w * 0.35);
        sun.setColorAt(0, QColor(255, 250, 220, 200));
        sun.setColorAt(1, QColor(255, 250, 220, 0));
        p.fillRect(QRectF(0, 0, w, h), sun);
        Cloud(p, w * 0.08, h * 0.12, 1.2, 200);
        Cloud(p, w * 0.55, h * 0.22, 0.9, 170);
        Cloud(p, w * 0.25, h * 0.38, 0.7, 120);
        Cloud(p, w * 0.70, h * 0.52, 1.1, 90);
      }});
  // Crystal: cool glass, deep teal to violet, strong gloss.
  themes.push_back(
      Theme{QStringLiteral("水晶"), QStringLiteral("Crystal: cool glass from teal to violet"),
            QColor(0xD4, 0xF1, 0xF4), QColor(0xE6, 0xE2, 0xF8), QColor(255, 255, 255, 230),
            QColor(0x22, 0x2B, 0x45), QColor(0x6A, 0x70, 0x8C), QColor(0x18, 0xA7, 0xB5),
            QColor(0x4B, 0x3C, 0xA8), QColor(0x9D, 0xE6, 0xEE), QColor(0x9B, 0xA8, 0xD6),
            QColor(0xC9, 0xC2, 0xF5), 8, 12, QStringLiteral("bold"), [](QPainter& p, double w, double h) {
              QLinearGradient g(QPointF(0, 0), QPointF(w, h));
              g.setColorAt(0, QColor(0xC4, 0xF0, 0xF4));
              g.setColorAt(0.5, QColor(0xDD, 0xEC, 0xFA));
              g.setColorAt(1, QColor(0xE1, 0xD9, 0xF8));
              p.fillRect(QRectF(0, 0, w, h), g);
              // Facets of light.
              p.setPen(Qt::NoPen);
              const double facets[][6] = {{0, 0, 0.55, 0, 0, 0.35},     {0.35, 0, 1, 0, 1, 0.2},
                                          {0.6, 0.3, 1, 0.15, 1, 0.65}, {0, 0.55, 0.4, 0.75, 0, 1},
                                          {0.3, 1, 0.75, 0.7, 1, 1},    {0.15, 0.3, 0.5, 0.2, 0.35, 0.6}};
              for (int i = 0; i < 6; ++i) {
                const double* f = facets[i];
                QPainterPath tri;
                tri.moveTo(f[0] * w, f[1] * h);
                tri.lineTo(f[2] * w, f[3] * h);
                tri.lineTo(f[4] * w, f[5] * h);
                tri.closeSubpath();
                p.setBrush(QColor(255, 255, 255, 40 + (i % 3) * 20));
                p.drawPath(tri);
              }
            }});
  // Ice cream: strawberry, mint and vanilla with sprinkles.
  themes.push_back(Theme{QStringLiteral("冰激凌"), QStringLiteral("Ice cream: strawberry, mint and vanilla"),
                         QColor(0xFF, 0xE4, 0xEC), QColor(0xFF, 0xF8, 0xEA), QColor(0xFF, 0xFE, 0xFA),
                         QColor(0x5A, 0x34, 0x3E), QColor(0x9C, 0x7A, 0x84), QColor(0xF2, 0x6C, 0x9A),
                         QColor(0xC9, 0x44, 0x74), QColor(0xA8, 0xE6, 0xCF), QColor(0xF0, 0xB8, 0xCA),
                         QColor(0xC8, 0xF0, 0xDF), 12, 14, QStringLiteral("bold"),
                         [](QPainter& p, double w, double h) {
                           QLinearGradient g(QPointF(0, 0), QPointF(0, h));
                           g.setColorAt(0, QColor(0xFF, 0xDA, 0xE6));
                           g.setColorAt(0.5, QColor(0xFF, 0xF0, 0xF0));
                           g.setColorAt(1, QColor(0xFF, 0xF8, 0xEA));
                           p.fillRect(QRectF(0, 0, w, h), g);
                           // A dripping strawberry edge across the top.
                           QPainterPath drip;
                           drip.moveTo(0, 0);
                           drip.lineTo(w, 0);
                           drip.lineTo(w, h * 0.05);
                           const int drops = 7;
                           for (int i = drops; i >= 0; --i) {
                             double x = w * i / drops;
                             double depth = h * (0.05 + 0.05 * ((i * 37) % 5) / 4.0);
                             drip.quadTo(x + w / drops * 0.5, h * 0.09 + depth, x, h * 0.05);
                           }
                           drip.closeSubpath();
                           p.setPen(Qt::NoPen);
                           p.setBrush(QColor(0xF7, 0x9B, 0xBA, 170));
                           p.drawPath(drip);
                           // Sprinkles.
                           const QColor colours[] = {QColor(0xF2, 0x6C, 0x9A), QColor(0x6C, 0xCF, 0xA8),
                                                     QColor(0xFF, 0xC8, 0x4A), QColor(0x8A, 0xB8, 0xF5),
                                                     QColor(0xC4, 0x8A, 0xF0)};
                           std::uint32_t seed = 12345;
                           for (int i = 0; i < 70; ++i) {
                             seed = seed * 1103515245u + 12345u;
                             double x = (seed >> 8) % 1000 / 1000.0 * w;
                             seed = seed * 1103515245u + 12345u;
                             double y = h * 0.2 + (seed >> 8) % 1000 / 1000.0 * h * 0.8;
                             seed = seed * 1103515245u + 12345u;
                             double angle = (seed >> 8) % 180;
                             p.save();
                             p.translate(x, y);
                             p.rotate(angle);
                             QColor c = colours[i % 5];
                             c.setAlpha(110);
                             p.setBrush(c);
                             p.drawRoundedRect(QRectF(-4, -1.2, 8, 2.4), 1.2, 1.2);
                             p.restore();
                           }
                         }});
  return themes;
}

QImage Indicator(const Theme& t, bool radio, bool checked) {
  QImage image = NewImage(16, 16);
  QPainter p(&image);
  Prepare(p);
  QRectF box(1.5, 1.5, 13, 13);
  QPainterPath frame;
  if (radio) {
    frame.addEllipse(box);
  } else {
    frame.addRoundedRect(box, std::min(4, t.radius / 2 + 1), std::min(4, t.radius / 2 + 1));
  }
  p.setPen(QPen(checked ? t.accent_dark : t.border, 1.2));
  p.setBrush(checked ? QBrush(Vertical(box, t.accent.lighter(120), t.accent))
                     : QBrush(Vertical(box, Qt::white, t.panel.darker(104))));
  p.drawPath(frame);
  if (checked) {
    if (radio) {
      p.setPen(Qt::NoPen);
      p.setBrush(Qt::white);
      p.drawEllipse(QPointF(8, 8), 3, 3);
    } else {
      QPainterPath tick;
      tick.moveTo(4.5, 8.2);
      tick.lineTo(7, 10.7);
      tick.lineTo(11.6, 5.3);
      p.setBrush(Qt::NoBrush);
      p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
      p.drawPath(tick);
    }
  }
  return image;
}

QImage Chevron(QColor colour, int rotation_deg) {
  QImage image = NewImage(12, 12);
  QPainter p(&image);
  Prepare(p);
  p.translate(6, 6);
  p.rotate(rotation_deg);
  QPainterPath v;
  v.moveTo(-3.5, -1.5);
  v.lineTo(0, 2);
  v.lineTo(3.5, -1.5);
  p.setPen(QPen(colour, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPath(v);
  return image;
}

// A small mock window in the skin's look, for the appearance window's gallery (95 x 150).
QImage Preview(const Theme& t, const QImage& background) {
  QImage image = NewImage(95, 150);
  QPainter p(&image);
  Prepare(p);
  QPainterPath window = RoundedRect(QRectF(0.5, 0.5, 94, 149), 6);
  p.setClipPath(window);
  p.drawImage(QRectF(0, 0, 95, 150), background);
  // Title bar.
  p.fillRect(QRectF(0, 0, 95, 18), Vertical(QRectF(0, 0, 95, 18), t.accent.lighter(115), t.accent_dark));
  p.setPen(Qt::white);
  p.setFont(TextFont(9, true));
  p.drawText(QRectF(6, 0, 80, 18), Qt::AlignVCenter | Qt::AlignLeft, t.name);
  // A list of friends.
  for (int i = 0; i < 5; ++i) {
    QRectF row(6, 26 + i * 17, 83, 14);
    if (i == 1) {
      p.setPen(Qt::NoPen);
      p.setBrush(t.selection);
      p.drawRoundedRect(row.adjusted(-2, -1, 2, 1), 3, 3);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(i % 2 == 0 ? t.accent_light : t.accent);
    p.drawEllipse(QRectF(row.left(), row.top() + 1, 12, 12));
    p.setBrush(t.text.lighter(220));
    p.drawRoundedRect(QRectF(row.left() + 16, row.top() + 3, 40 + (i * 13) % 24, 3.5), 1.5, 1.5);
    p.setBrush(t.muted.lighter(150));
    p.drawRoundedRect(QRectF(row.left() + 16, row.top() + 8.5, 28 + (i * 7) % 20, 3), 1.5, 1.5);
  }
  // An input field and a button.
  QRectF field(6, 116, 83, 12);
  p.setPen(QPen(t.border, 1));
  p.setBrush(t.panel);
  p.drawRoundedRect(field, t.radius / 3.0, t.radius / 3.0);
  QRectF button(48, 132, 41, 13);
  p.setPen(QPen(t.accent_dark, 1));
  p.setBrush(Vertical(button, t.accent.lighter(125), t.accent));
  p.drawRoundedRect(button, t.button_radius / 2.0, t.button_radius / 2.0);
  p.setClipping(false);
  p.setPen(QPen(t.accent_dark, 1));
  p.setBrush(Qt::NoBrush);
  p.drawPath(window);
  return image;
}

QString StyleSheet(const Theme& t) {
  QString qss = QStringLiteral(R"(/* Kivora skin "@NAME@" - @TITLE@.
 * Pictures are named skin:<file>; the skin engine maps the "skin" search prefix to this folder.
 * Controls drawn with one of the skin's named sections carry the dynamic property skinSection:
 * "CHECKBOX" (frame-bar sections, room tiles), "PANEL" (a tile under the mouse or pressed) and
 * "TOOLBUTTON" (frame-bar buttons). */

QWidget {
  color: @TEXT@;
  font-size: 9pt;
  selection-background-color: @SELECTION@;
  selection-color: @TEXT@;
}

QMainWindow, QDialog, QWidget#SkinnedWindow {
  background-color: @WIN_BOTTOM@;
  border-image: url(skin:background.png) 0 0 0 0 stretch stretch;
}

QToolTip {
  color: @TEXT@;
  background-color: @PANEL@;
  border: 1px solid @BORDER@;
  border-radius: 3px;
  padding: 3px 5px;
}

QLabel { background: transparent; }
QLabel:disabled { color: @MUTED@; }

QPushButton {
  color: white;
  font-weight: @WEIGHT@;
  min-height: 20px;
  min-width: 56px;
  padding: 3px 12px;
  border: 1px solid @ACCENT_DARK@;
  border-radius: @BUTTON_RADIUS@px;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 @ACCENT_HI@, stop:0.5 @ACCENT@, stop:0.51 @ACCENT_MID@, stop:1 @ACCENT_LO@);
}
QPushButton:hover {
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 @ACCENT_HI2@, stop:0.5 @ACCENT_HOVER@, stop:0.51 @ACCENT@, stop:1 @ACCENT_MID@);
}
QPushButton:pressed, QPushButton:checked {
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 @ACCENT_LO@, stop:1 @ACCENT@);
  padding-top: 4px;
  padding-bottom: 2px;
}
QPushButton:default { border: 2px solid @ACCENT_DARK@; }
QPushButton:disabled {
  color: @MUTED@;
  border-color: @BORDER@;
  background: @DISABLED@;
}
QPushButton:flat { background: transparent; border: none; color: @ACCENT_DARK@; }

QToolButton {
  background: transparent;
  border: 1px solid transparent;
  border-radius: @RADIUS@px;
  padding: 2px;
}
QToolButton:hover { background-color: @HOVER_BG@; border-color: @BORDER@; }
QToolButton:pressed, QToolButton:checked { background-color: @SELECTION@; border-color: @ACCENT@; }

QLineEdit, QTextEdit, QPlainTextEdit, QSpinBox, QComboBox, QDateEdit {
  background-color: @PANEL@;
  border: 1px solid @BORDER@;
  border-radius: @RADIUS@px;
  padding: 2px 4px;
}
QLineEdit:focus, QTextEdit:focus, QPlainTextEdit:focus, QSpinBox:focus, QComboBox:focus {
  border: 1px solid @ACCENT@;
}
QLineEdit:disabled, QTextEdit:disabled, QSpinBox:disabled, QComboBox:disabled {
  color: @MUTED@;
  background-color: @DISABLED@;
}
QTextBrowser { background-color: @PANEL@; border: 1px solid @BORDER@; border-radius: @RADIUS@px; }

QComboBox { padding-right: 18px; }
QComboBox::drop-down {
  subcontrol-origin: padding;
  subcontrol-position: top right;
  width: 18px;
  border-left: 1px solid @BORDER@;
}
QComboBox::down-arrow { image: url(skin:arrow_down.png); width: 12px; height: 12px; }
QComboBox QAbstractItemView {
  background-color: @PANEL@;
  border: 1px solid @BORDER@;
  selection-background-color: @SELECTION@;
}

QSpinBox::up-button, QSpinBox::down-button { width: 14px; border: none; background: transparent; }
QSpinBox::up-arrow { image: url(skin:arrow_up.png); width: 10px; height: 10px; }
QSpinBox::down-arrow { image: url(skin:arrow_down.png); width: 10px; height: 10px; }

QCheckBox, QRadioButton { spacing: 5px; background: transparent; }
QCheckBox::indicator, QRadioButton::indicator { width: 16px; height: 16px; }
QCheckBox::indicator:unchecked { image: url(skin:check_off.png); }
QCheckBox::indicator:checked { image: url(skin:check_on.png); }
QRadioButton::indicator:unchecked { image: url(skin:radio_off.png); }
QRadioButton::indicator:checked { image: url(skin:radio_on.png); }
QCheckBox:disabled, QRadioButton:disabled { color: @MUTED@; }

QGroupBox {
  border: 1px solid @BORDER@;
  border-radius: @RADIUS@px;
  margin-top: 10px;
  padding-top: 6px;
  background-color: @GROUP_BG@;
}
QGroupBox::title {
  subcontrol-origin: margin;
  left: 10px;
  padding: 0 4px;
  color: @ACCENT_DARK@;
  font-weight: bold;
}

QTabWidget::pane {
  border: 1px solid @BORDER@;
  border-radius: @RADIUS@px;
  background-color: @GROUP_BG@;
  top: -1px;
}
QTabBar::tab {
  color: @MUTED@;
  background: @TAB_BG@;
  border: 1px solid @BORDER@;
  border-bottom: none;
  border-top-left-radius: @RADIUS@px;
  border-top-right-radius: @RADIUS@px;
  padding: 4px 12px;
  margin-right: 2px;
}
QTabBar::tab:selected {
  color: @TEXT@;
  font-weight: bold;
  background: @PANEL@;
  border-top: 2px solid @ACCENT@;
}
QTabBar::tab:hover:!selected { background: @HOVER_BG@; }

QListView, QTreeView, QTableView, QListWidget, QTreeWidget, QTableWidget {
  background-color: @PANEL@;
  alternate-background-color: @ALT_ROW@;
  border: 1px solid @BORDER@;
  border-radius: @RADIUS@px;
  outline: none;
}
QListView::item, QTreeView::item { padding: 2px; border-radius: 3px; }
QListView::item:hover, QTreeView::item:hover { background-color: @HOVER_BG@; }
QListView::item:selected, QTreeView::item:selected, QTableView::item:selected {
  background-color: @SELECTION@;
  color: @TEXT@;
}
QTreeView::branch:closed:has-children { image: url(skin:arrow_right.png); }
QTreeView::branch:open:has-children { image: url(skin:arrow_down.png); }
QHeaderView::section {
  color: @TEXT@;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 @PANEL@, stop:1 @TAB_BG@);
  border: none;
  border-right: 1px solid @BORDER@;
  border-bottom: 1px solid @BORDER@;
  padding: 3px 6px;
}

QScrollBar:vertical { background: transparent; width: 10px; margin: 0; }
QScrollBar:horizontal { background: transparent; height: 10px; margin: 0; }
QScrollBar::handle:vertical, QScrollBar::handle:horizontal {
  background: @SCROLL@;
  border-radius: 4px;
  min-height: 24px;
  min-width: 24px;
  margin: 1px;
}
QScrollBar::handle:hover { background: @ACCENT@; }
QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; border: none; }
QScrollBar::add-page, QScrollBar::sub-page { background: transparent; }

QSlider::groove:horizontal { height: 4px; border-radius: 2px; background: @TAB_BG@; }
QSlider::sub-page:horizontal { border-radius: 2px; background: @ACCENT@; }
QSlider::handle:horizontal {
  width: 12px;
  margin: -5px 0;
  border-radius: 6px;
  border: 1px solid @ACCENT_DARK@;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 white, stop:1 @ACCENT_LIGHT@);
}
QSlider::groove:vertical { width: 4px; border-radius: 2px; background: @TAB_BG@; }
QSlider::add-page:vertical { border-radius: 2px; background: @ACCENT@; }
QSlider::handle:vertical {
  height: 12px;
  margin: 0 -5px;
  border-radius: 6px;
  border: 1px solid @ACCENT_DARK@;
  background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 white, stop:1 @ACCENT_LIGHT@);
}

QProgressBar {
  border: 1px solid @BORDER@;
  border-radius: @RADIUS@px;
  background-color: @PANEL@;
  text-align: center;
  height: 12px;
}
QProgressBar::chunk {
  border-radius: @RADIUS@px;
  background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 @ACCENT_LIGHT@, stop:1 @ACCENT@);
}

QMenuBar { background: transparent; }
QMenuBar::item { padding: 3px 8px; background: transparent; border-radius: 3px; }
QMenuBar::item:selected { background: @HOVER_BG@; }
QMenu {
  background-color: @PANEL@;
  border: 1px solid @BORDER@;
  padding: 4px;
}
QMenu::item { padding: 4px 24px 4px 22px; border-radius: 3px; }
QMenu::item:selected { background-color: @SELECTION@; color: @TEXT@; }
QMenu::item:disabled { color: @MUTED@; }
QMenu::separator { height: 1px; background: @BORDER@; margin: 4px 6px; }
QMenu::indicator { width: 16px; height: 16px; }
QMenu::indicator:non-exclusive:checked { image: url(skin:check_on.png); }
QMenu::indicator:exclusive:checked { image: url(skin:radio_on.png); }

QWidget[skinSection="CHECKBOX"] {
  color: @TEXT@;
  font-weight: normal;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 @PANEL@, stop:1 @TAB_BG@);
  border: 1px solid @BORDER@;
  border-radius: @RADIUS@px;
  padding: 2px 6px;
  text-align: left;
}
QWidget[skinSection="PANEL"] {
  color: @TEXT@;
  font-weight: normal;
  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 @PANEL@, stop:1 @SELECTION@);
  border: 1px solid @ACCENT@;
  border-radius: @RADIUS@px;
  padding: 2px 6px;
  text-align: left;
}
QWidget[skinSection="TOOLBUTTON"] {
  color: @TEXT@;
  font-weight: normal;
  background: transparent;
  border: 1px solid transparent;
  border-radius: 3px;
  padding: 1px 4px;
  text-align: left;
}
QWidget[skinSection="TOOLBUTTON"]:hover { background-color: @HOVER_BG@; border-color: @BORDER@; }
QWidget[skinSection="TOOLBUTTON"]:pressed, QWidget[skinSection="TOOLBUTTON"]:checked {
  background-color: @SELECTION@;
  border-color: @ACCENT@;
}

QStatusBar { background: transparent; color: @MUTED@; }
QSplitter::handle { background: @BORDER@; }
QSplitter::handle:horizontal { width: 3px; }
QSplitter::handle:vertical { height: 3px; }
)");
  QColor accent = t.accent;
  const std::pair<const char*, QString> values[] = {
      {"@NAME@", t.name},
      {"@TITLE@", t.title},
      {"@TEXT@", Css(t.text)},
      {"@MUTED@", Css(t.muted)},
      {"@PANEL@", Css(t.panel)},
      {"@WIN_BOTTOM@", Css(t.window_bottom)},
      {"@BORDER@", Css(t.border)},
      {"@SELECTION@", Css(t.selection)},
      {"@ACCENT@", Css(accent)},
      {"@ACCENT_DARK@", Css(t.accent_dark)},
      {"@ACCENT_LIGHT@", Css(t.accent_light)},
      {"@ACCENT_HI@", Css(accent.lighter(135))},
      {"@ACCENT_HI2@", Css(accent.lighter(150))},
      {"@ACCENT_HOVER@", Css(accent.lighter(115))},
      {"@ACCENT_MID@", Css(accent.darker(108))},
      {"@ACCENT_LO@", Css(Mix(accent, t.accent_dark, 0.6))},
      {"@DISABLED@", Css(Mix(t.panel, t.border, 0.25))},
      {"@HOVER_BG@", Css(Mix(t.selection, Qt::white, 0.5))},
      {"@GROUP_BG@", Css(QColor(255, 255, 255, 110))},
      {"@TAB_BG@", Css(Mix(t.window_top, t.border, 0.25))},
      {"@ALT_ROW@", Css(Mix(t.panel, t.selection, 0.25))},
      {"@SCROLL@", Css(Mix(t.border, Qt::white, 0.2))},
      {"@RADIUS@", QString::number(t.radius)},
      {"@BUTTON_RADIUS@", QString::number(t.button_radius)},
      {"@WEIGHT@", t.font_weight},
  };
  for (const auto& [key, value] : values) qss.replace(QLatin1String(key), value);
  return qss;
}

bool SavePng(const QImage& image, const std::filesystem::path& path) {
  return image.save(QString::fromStdString(path.string()), "PNG");
}

}  // namespace

QStringList SkinNames() {
  QStringList names;
  for (const Theme& t : Themes()) names << t.name;
  return names;
}

bool WriteSkins(const std::filesystem::path& skins_folder) {
  bool ok = true;
  for (const Theme& t : Themes()) {
    const std::filesystem::path dir = skins_folder / std::filesystem::path(t.name.toStdU16String());
    std::filesystem::create_directories(dir);
    QImage background = NewImage(320, 480);
    {
      QPainter p(&background);
      Prepare(p);
      t.background(p, background.width(), background.height());
    }
    ok &= SavePng(background, dir / "background.png");
    ok &= SavePng(Indicator(t, false, false), dir / "check_off.png");
    ok &= SavePng(Indicator(t, false, true), dir / "check_on.png");
    ok &= SavePng(Indicator(t, true, false), dir / "radio_off.png");
    ok &= SavePng(Indicator(t, true, true), dir / "radio_on.png");
    ok &= SavePng(Chevron(t.accent_dark, 0), dir / "arrow_down.png");
    ok &= SavePng(Chevron(t.accent_dark, 180), dir / "arrow_up.png");
    ok &= SavePng(Chevron(t.accent_dark, -90), dir / "arrow_right.png");
    ok &= SavePng(Preview(t, background), dir / "preview.png");
    QFile qss(QString::fromStdString((dir / "skin.qss").string()));
    if (!qss.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
      ok = false;
      continue;
    }
    ok &= qss.write(StyleSheet(t).toUtf8()) >= 0;
  }
  return ok;
}

}  // namespace kiv::assets
