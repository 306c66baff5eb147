// Lib_Graphic: bitmap helpers of the shared runtime.
//
// Bitmaps are QImages; "24-bit" results are QImage::Format_RGB888. A helper that cannot do its work
// (a null picture, an empty size) leaves the bitmap as it was. Any thread.
#pragma once

#include <QImage>
#include <QRect>

namespace kiv {

// Replaces the bitmap by a 24-bit width x height bitmap holding the old picture stretched to fill it.
void ScalBmp(int width, int height, QImage& bitmap);
// Replaces the bitmap by a 24-bit width x height bitmap, white, with the old picture drawn unscaled
// and centred (cut where it is larger).
void ScalBmpCenter(int width, int height, QImage& bitmap);
// A new bitmap holding the part of the bitmap inside `rect` (parts outside the bitmap are cut off).
QImage GetRectBmp(const QImage& bitmap, const QRect& rect);
// Makes the bitmap 24-bit and sets its bottom-left pixel to magenta (255, 0, 255), the pixel from
// which automatic transparency takes the transparent colour.
void PointBmp(QImage& bitmap);
// Fits a picture into a white width x height box: scaled by the smaller of the two ratios, so the
// whole picture shows, less three pixels each way, and centred. `framed` draws a 2-pixel white edge
// along the top and left and a 1-pixel grey (0x99) edge along the right and bottom.
void FitImageSize(QImage& graphic, int width, int height, bool framed);
// Makes the bitmap 24-bit grey: (blue * 28 + green * 151 + red * 77) >> 8 per pixel.
void MakeGray(QImage& bitmap);

}  // namespace kiv
