#include "friend_faces.h"

#include "declare/declare.h"
#include "emote/graphic.h"
#include "manager/global_manager.h"

namespace kiv::friends {

TFaceImageList::TFaceImageList() {
  // One colour face per index up to MAXFACECOUNT (blank where the list has none), so that the grey
  // copy of face n is always at n + MAXFACECOUNT + 1.
  colour_count_ = static_cast<std::size_t>(std::max(0, MAXFACECOUNT) + 1);
  images_.resize(2 * colour_count_);
  for (std::size_t i = 0; i < colour_count_ && i < GlobalManager->FaceList32.size(); ++i) {
    QImage face = GlobalManager->FaceList32[i];
    if (face.isNull()) continue;
    images_[i] = QPixmap::fromImage(face);
    MakeGray(face);
    images_[colour_count_ + i] = QPixmap::fromImage(face);
  }
}

QPixmap TFaceImageList::Image(std::size_t index) const {
  return index < images_.size() ? images_[index] : QPixmap();
}

QPixmap TFaceImageList::Face(std::uint32_t face, bool online) const {
  if (face >= colour_count_) return {};
  return Image(online ? face : face + colour_count_);
}

}  // namespace kiv::friends
