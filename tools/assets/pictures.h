// The named pictures of a brand's graphics archive.
#pragma once

#include <QImage>
#include <QString>
#include <vector>

#include "paint.h"

namespace kiv::assets {

struct NamedPicture {
  QString name;  // lookup name; stored in the archive as name + ".png"
  QImage image;
};

// Every picture the client asks the graphics archive for, drawn for `brand`.
std::vector<NamedPicture> DrawArchivePictures(const Brand& brand);

// The brand's emblem (a speech bubble carrying the brand letter) filling `rect`.
void DrawEmblem(QPainter& p, const Brand& brand, const QRectF& rect, bool grey = false);

}  // namespace kiv::assets
