// The capture overlay: a frameless window over the whole desktop that shows the grabbed desktop
// dimmed. The user drags a region with the left button (a frame with the picture's size in pixels
// follows the mouse); releasing the button takes the region, a double-click takes the whole screen
// under the mouse, and Esc or the right button cancels. A press without a drag selects nothing and
// the overlay stays.
//
// The overlay deletes itself when it closes. Main thread only.
#pragma once

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QWidget>

#include "catch_grab.h"

namespace kiv::capture {

class TCatchOverlay : public QWidget {
  Q_OBJECT

 public:
  explicit TCatchOverlay(TDesktopShot shot);

  // Places the overlay over the shot's desktop, shows it on top and takes the keyboard focus.
  void Open();

  // The region being dragged, in the overlay's logical coordinates; empty when none.
  QRect Selection() const { return selection_; }
  // The text of the size label for the current selection ("320 × 200", in picture pixels).
  QString SizeText() const;

 signals:
  // The picture of the chosen region, sent once; the overlay closes right after.
  void Captured(const QImage& picture);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QSize Bounds() const { return shot_.geometry.size(); }
  void Finish(const QRect& selection);
  void PaintSizeLabel(QPainter& painter) const;
  void PaintHint(QPainter& painter) const;

  TDesktopShot shot_;
  QPoint anchor_;
  bool dragging_ = false;
  bool finished_ = false;
  QRect selection_;
};

}  // namespace kiv::capture
