#include "catch_region.h"

#include <algorithm>
#include <cmath>

namespace kiv::capture {

QRect NormalisedSelection(QPoint from, QPoint to, QSize bounds) {
  const int width = std::max(0, bounds.width());
  const int height = std::max(0, bounds.height());
  const int left = std::clamp(std::min(from.x(), to.x()), 0, width);
  const int right = std::clamp(std::max(from.x(), to.x()), 0, width);
  const int top = std::clamp(std::min(from.y(), to.y()), 0, height);
  const int bottom = std::clamp(std::max(from.y(), to.y()), 0, height);
  return {left, top, right - left, bottom - top};
}

bool IsUsableSelection(const QRect& selection) {
  return selection.width() >= kMinCatchSide && selection.height() >= kMinCatchSide;
}

QRect SelectionPixels(const QRect& selection, qreal device_pixel_ratio, QSize pixel_size) {
  if (selection.isEmpty() || pixel_size.isEmpty()) return {};
  const qreal ratio = device_pixel_ratio > 0 ? device_pixel_ratio : 1.0;
  // QRect::right() is inclusive; the exclusive edges are x + width and y + height.
  const auto edge = [ratio](int logical, bool outwards) {
    const qreal scaled = logical * ratio;
    return static_cast<int>(outwards ? std::ceil(scaled - 1e-9) : std::floor(scaled + 1e-9));
  };
  const int left = std::clamp(edge(selection.x(), false), 0, pixel_size.width());
  const int top = std::clamp(edge(selection.y(), false), 0, pixel_size.height());
  const int right = std::clamp(edge(selection.x() + selection.width(), true), 0, pixel_size.width());
  const int bottom = std::clamp(edge(selection.y() + selection.height(), true), 0, pixel_size.height());
  if (right <= left || bottom <= top) return {};
  return {left, top, right - left, bottom - top};
}

}  // namespace kiv::capture
