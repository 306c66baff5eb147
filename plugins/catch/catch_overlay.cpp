#include "catch_overlay.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QRegion>
#include <algorithm>
#include <utility>

#include "catch_region.h"

namespace kiv::capture {

namespace {

const QColor kDimColour(0, 0, 0, 120);
const QColor kFrameColour(0x1e, 0x90, 0xff);
const QColor kLabelColour(0, 0, 0, 190);
constexpr int kLabelGap = 4;
constexpr int kLabelPadX = 6;
constexpr int kLabelPadY = 3;

}  // namespace

TCatchOverlay::TCatchOverlay(TDesktopShot shot)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      shot_(std::move(shot)) {
  setAttribute(Qt::WA_DeleteOnClose);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setObjectName(QStringLiteral("CatchOverlay"));
  setWindowTitle(QStringLiteral("截取屏幕"));
  setCursor(Qt::CrossCursor);
  setFocusPolicy(Qt::StrongFocus);
  setMouseTracking(true);
}

void TCatchOverlay::Open() {
  setGeometry(shot_.geometry);
  // One screen: full-screen, so that a window manager puts the overlay above its panels too.
  if (shot_.screens.size() == 1 && shot_.screens.front() == QRect(QPoint(0, 0), shot_.geometry.size()))
    showFullScreen();
  else
    show();
  raise();
  activateWindow();
  setFocus(Qt::OtherFocusReason);
}

QString TCatchOverlay::SizeText() const {
  const QRect pixels = SelectionPixels(selection_, shot_.picture.devicePixelRatio(), shot_.picture.size());
  return QStringLiteral("%1 × %2").arg(pixels.width()).arg(pixels.height());
}

void TCatchOverlay::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  painter.drawImage(QRect(QPoint(0, 0), Bounds()), shot_.picture);
  QRegion dim(rect());
  if (!selection_.isEmpty()) dim -= QRegion(selection_);
  painter.setClipRegion(dim);
  painter.fillRect(rect(), kDimColour);
  painter.setClipping(false);
  if (selection_.isEmpty()) {
    PaintHint(painter);
    return;
  }
  painter.setPen(QPen(kFrameColour, 1));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(selection_.adjusted(0, 0, -1, -1));
  PaintSizeLabel(painter);
}

void TCatchOverlay::PaintSizeLabel(QPainter& painter) const {
  const QString text = SizeText();
  const QFontMetrics metrics(font());
  const QSize size(metrics.horizontalAdvance(text) + 2 * kLabelPadX, metrics.height() + 2 * kLabelPadY);
  // Above the region's top-left corner, or inside it where the region touches the top edge.
  QPoint at(selection_.left(), selection_.top() - kLabelGap - size.height());
  if (at.y() < 0) at = selection_.topLeft() + QPoint(kLabelGap, kLabelGap);
  at.setX(std::clamp(at.x(), 0, std::max(0, width() - size.width())));
  const QRect box(at, size);
  QPainterPath path;
  path.addRoundedRect(box, 3, 3);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.fillPath(path, kFrameColour);
  painter.setPen(Qt::white);
  painter.drawText(box, Qt::AlignCenter, text);
  painter.setRenderHint(QPainter::Antialiasing, false);
}

void TCatchOverlay::PaintHint(QPainter& painter) const {
  const QString text =
      QStringLiteral("按住鼠标左键拖动选择截图区域，松开鼠标完成；双击截取整个屏幕，Esc 或右键取消");
  QFont hint_font = font();
  hint_font.setPointSizeF(hint_font.pointSizeF() * 1.2);
  const QFontMetrics metrics(hint_font);
  const QSize size(metrics.horizontalAdvance(text) + 4 * kLabelPadX, metrics.height() + 4 * kLabelPadY);
  // Centred near the top of the first screen (the primary one on X11).
  const QRect screen = shot_.screens.isEmpty() ? rect() : shot_.screens.front();
  const QRect box(QPoint(screen.center().x() - size.width() / 2, screen.top() + 48), size);
  QPainterPath path;
  path.addRoundedRect(box, 6, 6);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.fillPath(path, kLabelColour);
  painter.setFont(hint_font);
  painter.setPen(Qt::white);
  painter.drawText(box, Qt::AlignCenter, text);
  painter.setRenderHint(QPainter::Antialiasing, false);
}

void TCatchOverlay::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    close();
    return;
  }
  if (event->button() != Qt::LeftButton) return;
  anchor_ = event->position().toPoint();
  dragging_ = true;
  selection_ = QRect();
  update();
}

void TCatchOverlay::mouseMoveEvent(QMouseEvent* event) {
  if (!dragging_) return;
  selection_ = NormalisedSelection(anchor_, event->position().toPoint(), Bounds());
  update();
}

void TCatchOverlay::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !dragging_) return;
  dragging_ = false;
  const QRect selection = NormalisedSelection(anchor_, event->position().toPoint(), Bounds());
  if (IsUsableSelection(selection)) {
    Finish(selection);
    return;
  }
  selection_ = QRect();
  update();
}

void TCatchOverlay::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  dragging_ = false;
  const QPoint at = event->position().toPoint();
  for (const QRect& screen : shot_.screens) {
    if (screen.contains(at)) {
      Finish(screen.intersected(QRect(QPoint(0, 0), Bounds())));
      return;
    }
  }
}

void TCatchOverlay::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    close();
    return;
  }
  QWidget::keyPressEvent(event);
}

void TCatchOverlay::Finish(const QRect& selection) {
  if (finished_) return;
  finished_ = true;
  selection_ = selection;
  const QImage picture = CatchPicture(shot_, selection);
  hide();
  const QPointer<TCatchOverlay> self(this);
  if (!picture.isNull()) emit Captured(picture);
  if (self) close();
}

}  // namespace kiv::capture
