#include "ma_select_photo.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QScreen>

#include "manager/global_manager.h"

namespace kiv {
namespace {

constexpr int kFacesPerRow = 8;
constexpr int kFaceSize = 32;
constexpr int kFaceStep = 34;
constexpr int kFirstLeft = 5;
constexpr int kFirstTop = 23;

}  // namespace

TSelectPhotoForm::TSelectPhotoForm(QWidget* parent) : QFrame(parent, Qt::Popup | Qt::FramelessWindowHint) {
  setFrameShape(QFrame::Box);
  setObjectName(QStringLiteral("TSelectPhotoForm"));
  setAttribute(Qt::WA_DeleteOnClose);
  auto* title = new QLabel(QStringLiteral("选择头像"), this);
  title->move(kFirstLeft, 3);
  const std::size_t count = GlobalManager ? GlobalManager->FaceList32.size() / 2 : 0;
  for (std::size_t i = 0; i < count; ++i) {
    auto* button = new QToolButton(this);
    const int column = static_cast<int>(i) % kFacesPerRow;
    const int row = static_cast<int>(i) / kFacesPerRow;
    button->setGeometry(kFirstLeft + kFaceStep * column, kFirstTop + kFaceStep * row, kFaceSize, kFaceSize);
    button->setIcon(QPixmap::fromImage(GlobalManager->FaceList32[i]));
    button->setIconSize(QSize(kFaceSize - 4, kFaceSize - 4));
    button->setAutoRaise(true);
    const auto face = static_cast<std::uint8_t>(i);
    connect(button, &QToolButton::clicked, this, [this, face] {
      emit FaceChosen(face);
      close();
    });
    buttons_.push_back(button);
  }
  const int rows = (static_cast<int>(count) + kFacesPerRow - 1) / kFacesPerRow;
  setFixedSize(kFirstLeft * 2 + kFaceStep * kFacesPerRow - 2, kFirstTop + kFaceStep * std::max(rows, 1) + 3);
}

void TSelectPhotoForm::ShowAt(const QPoint& at) {
  QPoint place = at;
  const QScreen* screen = QGuiApplication::screenAt(at);
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (screen) {
    const QRect desk = screen->availableGeometry();
    if (place.x() + width() > desk.right()) place.setX(place.x() - width());
    if (place.y() + height() > desk.bottom()) place.setY(place.y() - height());
    place.setX(std::max(place.x(), desk.left()));
    place.setY(std::max(place.y(), desk.top()));
  }
  move(place);
  show();
  activateWindow();
}

void TSelectPhotoForm::mousePressEvent(QMouseEvent* event) {
  QFrame::mousePressEvent(event);
  close();
}

}  // namespace kiv
