// MA_Selectphoto: the face picker `TSelectPhotoForm`, a small borderless window of face buttons.
//
// It opens at a point of the screen (moved up or left so that it stays on the screen) and offers the
// first half of the built-in faces (faces 0 to count div 2 - 1), eight to a row, 32 x 32 pixels each.
// Choosing a face reports it through `FaceChosen`; the picker is a pop-up, so it closes on any click
// (inside or outside it) and when it loses the focus, and frees itself.
//
// Threads: main thread only.
#pragma once

#include <QFrame>
#include <QPoint>
#include <QToolButton>
#include <QWidget>
#include <cstdint>
#include <vector>

namespace kiv {

class TSelectPhotoForm : public QFrame {
  Q_OBJECT

 public:
  explicit TSelectPhotoForm(QWidget* parent = nullptr);

  // Shows the picker with its top-left corner at `at` (screen coordinates), kept on the screen.
  void ShowAt(const QPoint& at);
  const std::vector<QToolButton*>& FaceButtons() const { return buttons_; }

 signals:
  void FaceChosen(std::uint8_t face);

 protected:
  void mousePressEvent(QMouseEvent* event) override;

 private:
  std::vector<QToolButton*> buttons_;
};

}  // namespace kiv
