// The desktop as the capture overlay shows it: one picture of every screen side by side, at the
// highest device pixel ratio among them, with the screens' places in it.
//
// Main thread; a QGuiApplication must exist.
#pragma once

#include <QImage>
#include <QList>
#include <QRect>

namespace kiv::capture {

struct TDesktopShot {
  QImage picture;        // device pixels; its devicePixelRatio maps them to logical pixels
  QRect geometry;        // the virtual desktop in logical coordinates (the overlay's place)
  QList<QRect> screens;  // each screen in the picture's logical coordinates (origin = geometry's)

  bool IsValid() const { return !picture.isNull() && !geometry.isEmpty(); }
};

// Grabs every screen through the platform. Invalid when the platform has no desktop to show (the
// offscreen and minimal platforms) or refuses a grab (a null or empty picture, as on Wayland).
TDesktopShot GrabDesktop();

// The part of `shot` that a logical `selection` covers, at the shot's device pixel ratio. Null when
// the selection covers nothing of the picture.
QImage CatchPicture(const TDesktopShot& shot, const QRect& selection);

}  // namespace kiv::capture
