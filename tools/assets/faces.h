// The built-in face pictures: 184 cartoon faces, 32 x 32, each different.
#pragma once

#include <QImage>
#include <vector>

namespace kiv::assets {

constexpr int kFaceCount = 184;
constexpr int kFaceSize = 32;

// Face `index` (0 .. kFaceCount - 1) at `size` x `size` pixels.
QImage DrawFace(int index, int size = kFaceSize);

}  // namespace kiv::assets
