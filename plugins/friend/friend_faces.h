// The face image list of the friend windows: the built-in faces in colour (index 0 ..
// MAXFACECOUNT), then the same faces in grey (index + MAXFACECOUNT + 1) for users who are offline.
// Built from the global manager's 32x32 faces.
#pragma once

#include <QPixmap>
#include <cstdint>
#include <vector>

namespace kiv::friends {

class TFaceImageList {
 public:
  TFaceImageList();
  // The colour face of `face`, or its grey copy; a null picture for an index without a face.
  QPixmap Face(std::uint32_t face, bool online) const;
  // By image index: colour faces first, then the grey ones.
  QPixmap Image(std::size_t index) const;
  std::size_t Count() const { return images_.size(); }

 private:
  std::vector<QPixmap> images_;
  std::size_t colour_count_ = 0;
};

}  // namespace kiv::friends
