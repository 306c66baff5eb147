// What a drag selects, as a table: the rectangle in overlay coordinates and the picture's pixels.
#include <gtest/gtest.h>

#include "catch_region.h"

namespace kiv::capture {
namespace {

struct SelectionCase {
  const char* what;
  QPoint from, to;
  QRect selected;
  bool usable;
};

TEST(CatchRegion, DragsBecomeClampedRectangles) {
  const QSize bounds(800, 600);
  const SelectionCase cases[] = {
      {"down and right", {10, 10}, {110, 60}, {10, 10, 100, 50}, true},
      {"up and left", {110, 60}, {10, 10}, {10, 10, 100, 50}, true},
      {"up and right", {10, 60}, {110, 10}, {10, 10, 100, 50}, true},
      {"past the top-left corner", {50, 50}, {-30, -5}, {0, 0, 50, 50}, true},
      {"past the bottom-right corner", {700, 500}, {900, 650}, {700, 500, 100, 100}, true},
      {"started outside", {-10, 700}, {20, 580}, {0, 580, 20, 20}, true},
      {"a click", {30, 30}, {30, 30}, {30, 30, 0, 0}, false},
      {"a line", {30, 30}, {300, 30}, {30, 30, 270, 0}, false},
      {"just too narrow", {30, 30}, {33, 90}, {30, 30, 3, 60}, false},
      {"the smallest region", {30, 30}, {34, 34}, {30, 30, 4, 4}, true},
      {"the whole picture", {0, 0}, {800, 600}, {0, 0, 800, 600}, true},
  };
  for (const auto& c : cases) {
    const QRect selected = NormalisedSelection(c.from, c.to, bounds);
    EXPECT_EQ(selected, c.selected) << c.what;
    EXPECT_EQ(IsUsableSelection(selected), c.usable) << c.what;
  }
  EXPECT_EQ(NormalisedSelection({5, 5}, {50, 50}, QSize(0, 0)), QRect(0, 0, 0, 0));
}

struct PixelCase {
  const char* what;
  QRect selection;
  qreal ratio;
  QSize pixels;
  QRect expected;
};

TEST(CatchRegion, SelectionsMapToPicturePixels) {
  const PixelCase cases[] = {
      {"100 %", {10, 20, 200, 100}, 1.0, {800, 600}, {10, 20, 200, 100}},
      {"200 %", {10, 20, 200, 100}, 2.0, {1600, 1200}, {20, 40, 400, 200}},
      {"200 % at the far corner", {700, 500, 100, 100}, 2.0, {1600, 1200}, {1400, 1000, 200, 200}},
      // 150 %: 11 * 1.5 = 16.5 and 14 * 1.5 = 21 -> from 16 (down) to 21; 3 * 1.5 = 4.5 -> 4 (down),
      // 8 * 1.5 = 12 -> 12.
      {"150 % rounds outwards", {11, 3, 3, 5}, 1.5, {1200, 900}, {16, 4, 5, 8}},
      {"clamped to a smaller picture", {700, 500, 200, 200}, 1.0, {750, 550}, {700, 500, 50, 50}},
      {"outside the picture", {900, 700, 10, 10}, 1.0, {800, 600}, {}},
      {"empty selection", {10, 10, 0, 40}, 2.0, {1600, 1200}, {}},
      {"no ratio counts as 100 %", {1, 2, 3, 4}, 0.0, {800, 600}, {1, 2, 3, 4}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(SelectionPixels(c.selection, c.ratio, c.pixels), c.expected) << c.what;
}

}  // namespace
}  // namespace kiv::capture
