#include "manager/message_forms.h"

#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

#include "base/gbk.h"

namespace kiv {
namespace {

constexpr int kPictureSize = 64;
constexpr int kHintWidth = 275;
constexpr int kHintHeight = 75;
constexpr int kHintLogoSize = 48;

QLabel* PictureLabel(const QImage& picture, int size, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setFixedSize(size, size);
  label->setAlignment(Qt::AlignCenter);
  if (!picture.isNull()) {
    label->setPixmap(
        QPixmap::fromImage(picture.size() == QSize(size, size)
                               ? picture
                               : picture.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
  }
  return label;
}

}  // namespace

void CentreOnDesktop(QWidget* window) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  const QSize size = window->size();
  window->move(area.x() + (area.width() - size.width()) / 2, area.y() + (area.height() - size.height()) / 2);
}

int TMessageForm::WidthForText(const QString& text) {
  const auto bytes = static_cast<int>(std::min<std::size_t>(Utf8ToGbk(text.toStdString()).size(), 10000));
  return std::max(7 * bytes + 114, 177);
}

TMessageForm::TMessageForm(const QString& text, const QImage& picture)
    : QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint) {
  setAttribute(Qt::WA_DeleteOnClose);
  setObjectName(QStringLiteral("SkinnedWindow"));
  setAttribute(Qt::WA_StyledBackground);
  setWindowTitle(QStringLiteral("提示"));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(14, 14, 14, 10);
  layout->setSpacing(10);
  auto* row = new QHBoxLayout;
  row->setSpacing(12);
  row->addWidget(PictureLabel(picture, kPictureSize, this), 0, Qt::AlignTop);
  text_ = new QLabel(text, this);
  text_->setObjectName(QStringLiteral("MessageText"));
  text_->setWordWrap(true);
  text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  text_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  text_->setMinimumHeight(kPictureSize);
  row->addWidget(text_, 1);
  layout->addLayout(row, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  auto* close_button = new QPushButton(QStringLiteral("关闭"), this);
  close_button->setObjectName(QStringLiteral("CloseButton"));
  close_button->setDefault(true);
  connect(close_button, &QPushButton::clicked, this, &QWidget::close);
  buttons->addWidget(close_button);
  layout->addLayout(buttons);

  // Long texts wrap rather than make the window wider than the screen.
  int width = WidthForText(text);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    width = std::min(width, std::max(177, screen->availableGeometry().width() - 40));
  }
  setFixedWidth(width);
  adjustSize();
  setFixedHeight(std::max(height(), sizeHint().height()));
  CentreOnDesktop(this);
}

THintForm::THintForm(const QImage& logo)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(QStringLiteral("系统提示"));
  setFixedSize(kHintWidth, kHintHeight);

  // The frame carries the skin's border (and its shadow with extended borders); the panel inside
  // carries the skin's window background.
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* frame = new QFrame(this);
  frame->setObjectName(QStringLiteral("HintFrame"));
  frame->setProperty("skinFrame", true);
  outer->addWidget(frame);
  auto* inner = new QVBoxLayout(frame);
  inner->setContentsMargins(0, 0, 0, 0);
  auto* panel = new QWidget(frame);
  panel->setObjectName(QStringLiteral("SkinnedWindow"));
  panel->setAttribute(Qt::WA_StyledBackground);
  inner->addWidget(panel);

  auto* row = new QHBoxLayout(panel);
  row->setContentsMargins(12, 6, 14, 6);
  row->setSpacing(12);
  row->addWidget(PictureLabel(logo, kHintLogoSize, panel), 0, Qt::AlignVCenter);
  text_ = new QLabel(panel);
  text_->setObjectName(QStringLiteral("HintText"));
  text_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  row->addWidget(text_, 1);
  CentreOnDesktop(this);
}

void THintForm::SetText(const QString& text) { text_->setText(text); }

QString THintForm::Text() const { return text_->text(); }

void THintForm::mousePressEvent(QMouseEvent* event) {
  event->accept();
  close();
}

}  // namespace kiv
