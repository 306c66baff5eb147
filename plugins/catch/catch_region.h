// The pure part of the capture overlay: what a drag on the overlay selects, in the overlay's
// logical coordinates and in the pixels of the grabbed picture. No widgets, so it is tested as a
// table.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

namespace kiv::capture {

// A selection narrower or lower than this (logical pixels) is a click, not a region.
inline constexpr int kMinCatchSide = 4;

// The rectangle a drag from `from` to `to` covers, whichever way it went, clamped to a picture of
// `bounds` logical size at the origin. The end point is exclusive: a drag from (10, 10) to (110, 60)
// selects 100 x 50.
QRect NormalisedSelection(QPoint from, QPoint to, QSize bounds);

// Whether a selection is large enough to capture.
bool IsUsableSelection(const QRect& selection);

// The pixels of a picture of `pixel_size` pixels at `device_pixel_ratio` that a logical
// `selection` covers: the edges are rounded outwards, so a fractional ratio never loses a row, and
// the result is clamped to the picture. Empty when nothing of the picture is covered.
QRect SelectionPixels(const QRect& selection, qreal device_pixel_ratio, QSize pixel_size);

}  // namespace kiv::capture
