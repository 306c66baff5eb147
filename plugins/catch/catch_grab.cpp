#include "catch_grab.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <algorithm>

#include "catch_region.h"

namespace kiv::capture {

TDesktopShot GrabDesktop() {
  // These platforms answer a grab with a picture of the program's own windows or of nothing; that is
  // not the desktop the user sees.
  const QString platform = QGuiApplication::platformName();
  if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) return {};
  const QList<QScreen*> screens = QGuiApplication::screens();
  if (screens.isEmpty()) return {};
  QRect geometry;
  qreal ratio = 1.0;
  for (const QScreen* screen : screens) {
    geometry |= screen->geometry();
    ratio = std::max(ratio, screen->devicePixelRatio());
  }
  if (geometry.isEmpty()) return {};
  TDesktopShot shot;
  shot.geometry = geometry;
  // Parts of the virtual desktop no screen shows stay black.
  shot.picture = QImage(geometry.size() * ratio, QImage::Format_RGB32);
  if (shot.picture.isNull()) return {};
  shot.picture.setDevicePixelRatio(ratio);
  shot.picture.fill(Qt::black);
  QPainter painter(&shot.picture);
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  for (QScreen* screen : screens) {
    const QPixmap grabbed = screen->grabWindow(0);
    if (grabbed.isNull() || grabbed.width() <= 0 || grabbed.height() <= 0) return {};
    const QRect place(screen->geometry().topLeft() - geometry.topLeft(), screen->geometry().size());
    painter.drawPixmap(place, grabbed);
    shot.screens.append(place);
  }
  return shot;
}

QImage CatchPicture(const TDesktopShot& shot, const QRect& selection) {
  const QRect pixels = SelectionPixels(selection, shot.picture.devicePixelRatio(), shot.picture.size());
  if (pixels.isEmpty()) return {};
  QImage picture = shot.picture.copy(pixels);
  picture.setDevicePixelRatio(shot.picture.devicePixelRatio());
  return picture;
}

}  // namespace kiv::capture
