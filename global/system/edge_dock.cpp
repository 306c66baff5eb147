#include "system/edge_dock.h"

namespace kiv {

TDockEdge TouchedEdge(const QRect& window, int screen_width) {
  if (window.top() <= 0) return TDockEdge::Top;
  if (window.left() <= 0) return TDockEdge::Left;
  if (window.left() + window.width() >= screen_width) return TDockEdge::Right;
  return TDockEdge::None;
}

TDockEdge SlidEdge(const QRect& window, int screen_width) {
  if (window.top() == kDockVisible - window.height()) return TDockEdge::Top;
  if (window.left() == kDockVisible - window.width()) return TDockEdge::Left;
  if (window.left() + kDockVisible == screen_width) return TDockEdge::Right;
  return TDockEdge::None;
}

std::vector<QPoint> HideToEdgeSteps(const QRect& window, int screen_width) {
  std::vector<QPoint> steps;
  int left = window.left();
  int top = window.top();
  const int width = window.width();
  const int height = window.height();
  switch (TouchedEdge(window, screen_width)) {
    case TDockEdge::Top:
      // Off the side edges first, so the window counts as docked at the top only.
      if (left == 0) left = 1;
      if (left + width >= screen_width) left -= 1;
      if (left != window.left()) steps.emplace_back(left, top);
      while (top + height > kDockVisible) {
        top -= kDockStep;
        steps.emplace_back(left, top);
      }
      top = kDockVisible - height;
      break;
    case TDockEdge::Left:
      while (left + width > kDockVisible) {
        left -= kDockStep;
        steps.emplace_back(left, top);
      }
      left = kDockVisible - width;
      break;
    case TDockEdge::Right:
      while (left + kDockVisible < screen_width) {
        left += kDockStep;
        steps.emplace_back(left, top);
      }
      left = screen_width - kDockVisible;
      break;
    case TDockEdge::None:
      return steps;
  }
  if (steps.empty() || steps.back() != QPoint(left, top)) {
    if (!steps.empty()) steps.pop_back();  // the last step overshot: it ends at the final place
    steps.emplace_back(left, top);
  }
  return steps;
}

std::vector<QPoint> ShowFromEdgeSteps(const QRect& window, int screen_width) {
  std::vector<QPoint> steps;
  int left = window.left();
  int top = window.top();
  switch (SlidEdge(window, screen_width)) {
    case TDockEdge::Top:
      while (top < 0) {
        top += kDockStep;
        steps.emplace_back(left, top);
      }
      top = 0;
      break;
    case TDockEdge::Left:
      while (left < 0) {
        left += kDockStep;
        steps.emplace_back(left, top);
      }
      left = 0;
      break;
    case TDockEdge::Right:
      while (left > screen_width - window.width()) {
        left -= kDockStep;
        steps.emplace_back(left, top);
      }
      left = screen_width - window.width();
      break;
    case TDockEdge::None:
      return steps;
  }
  if (!steps.empty()) steps.pop_back();
  steps.emplace_back(left, top);
  return steps;
}

TDockAction DockTickAction(const TDockTick& tick) {
  if (tick.left_button_down || tick.window.width() >= tick.screen_width || !tick.edge_hiding_on)
    return TDockAction::None;
  // Edges included.
  const bool inside = tick.mouse.x() >= tick.window.left() && tick.mouse.x() <= tick.window.left() + tick.window.width() &&
                      tick.mouse.y() >= tick.window.top() && tick.mouse.y() <= tick.window.top() + tick.window.height();
  if (!inside) {
    if (TouchedEdge(tick.window, tick.screen_width) == TDockEdge::None) return TDockAction::None;
    return tick.shown && tick.normal_state ? TDockAction::Hide : TDockAction::None;
  }
  return !tick.shown && tick.normal_state ? TDockAction::Show : TDockAction::None;
}

}  // namespace kiv
