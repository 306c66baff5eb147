// Sliding the main window into a screen edge, as pure geometry: which edge a window touches, the
// positions a slide passes through (steps of 50 pixels) and what one tick of the edge timer does.
// The window itself only moves along the positions; nothing here needs a window manager.
//
// A window slid in keeps 5 pixels on the screen. The top edge wins over the left edge, and the left
// edge over the right one.
#pragma once

#include <QPoint>
#include <QRect>
#include <vector>

namespace kiv {

inline constexpr int kDockVisible = 5;  // pixels that stay on the screen
inline constexpr int kDockStep = 50;    // pixels per slide step

enum class TDockEdge { None, Top, Left, Right };

// The edge the window touches (top <= 0, left <= 0, right >= screen width), else None.
TDockEdge TouchedEdge(const QRect& window, int screen_width);
// The edge the window is slid into (top = 5 - height, left = 5 - width, left + 5 = screen width).
TDockEdge SlidEdge(const QRect& window, int screen_width);

// The top-left corners of the slide into the touched edge, in order; the last one is the slid-in
// position. Empty when the window touches no edge.
std::vector<QPoint> HideToEdgeSteps(const QRect& window, int screen_width);
// The corners of the slide back out; the last one puts the window flush with the edge. Empty when
// the window is not slid in.
std::vector<QPoint> ShowFromEdgeSteps(const QRect& window, int screen_width);

enum class TDockAction { None, Hide, Show };

// What one tick of the edge timer does.
struct TDockTick {
  QRect window;
  QPoint mouse;
  int screen_width = 0;
  bool left_button_down = false;
  bool edge_hiding_on = false;  // the setup record's "主窗口自动隐藏"
  bool shown = true;            // fully on the screen (not slid in)
  bool normal_state = true;     // neither maximised nor minimised
};
TDockAction DockTickAction(const TDockTick& tick);

}  // namespace kiv
