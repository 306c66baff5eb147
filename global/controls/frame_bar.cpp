#include "controls/frame_bar.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QThreadPool>

#include "base/files.h"
#include "controls/download.h"
#include "manager/skin_engine.h"

namespace kiv {

TKivButton::TKivButton(QWidget* parent) : QToolButton(parent) {
  setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  setAutoRaise(true);
  setStyleSheet(QStringLiteral("text-align: left;"));
  SetSkinSection(this, kSectionToolButton);
}

void TKivButton::mousePressEvent(QMouseEvent* event) {
  if (Draggable && event->button() == Qt::LeftButton) pressed_ = true;
  QToolButton::mousePressEvent(event);
}

void TKivButton::mouseReleaseEvent(QMouseEvent* event) {
  pressed_ = false;
  QToolButton::mouseReleaseEvent(event);
}

void TKivButton::mouseDoubleClickEvent(QMouseEvent* event) {
  if (OnDoubleClick) OnDoubleClick(this);
  QToolButton::mouseDoubleClickEvent(event);
}

void TKivButton::leaveEvent(QEvent* event) {
  if (pressed_ && Draggable) {
    pressed_ = false;
    emit DragStarted(this);
  }
  QToolButton::leaveEvent(event);
}

TKivFrameBarItem::TKivFrameBarItem(TKivFrameBar* bar, const QString& caption, const QPixmap& glyph,
                                   std::int32_t tag)
    : QWidget(nullptr), bar_(bar), caption_(new QToolButton(this)), tag_(tag) {
  SetSkinSection(this, kSectionCheckBox);
  caption_->setText(caption);
  caption_->setIcon(QIcon(glyph));
  caption_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  caption_->setAutoRaise(true);
  caption_->setStyleSheet(QStringLiteral("text-align: left; padding-left: 5px;"));
  caption_->setGeometry(0, 0, width(), kCaptionHeight);
  connect(caption_, &QToolButton::clicked, this, [this] { SetExpanded(!expanded_); });
  setFixedHeight(kCaptionHeight);
}

TKivButton* TKivFrameBarItem::AddButton(const QString& caption, const QPixmap* picture, int left,
                                        std::int32_t tag) {
  auto* button = new TKivButton(this);
  button->setText(caption);
  if (picture) button->setIcon(QIcon(*picture));
  button->Tag = tag;
  button->Draggable = true;
  const int row = bar_->RowHeight;
  button->setIconSize(QSize(row - 4, row - 4));
  button->setGeometry(left, row * count_ + kCaptionHeight, std::max(0, width() - left), row);
  button->show();
  rows_.push_back({button, left});
  ++count_;
  if (expanded_) SetExpanded(true);
  return button;
}

TKivButton* TKivFrameBarItem::AddFlag(TKivButton* button, const QPixmap& picture, int height, int width,
                                      int top, int left, std::int32_t tag) {
  auto* flag = new TKivButton(this);
  flag->setIcon(QIcon(picture));
  flag->setIconSize(QSize(width, height));
  flag->Tag = tag;
  flag->setGeometry(left, (button ? button->y() : 0) + top, width, height);
  flag->show();
  flag->raise();
  flags_.push_back(flag);
  return flag;
}

TKivButton* TKivFrameBarItem::GetItem(std::int32_t tag) const {
  for (const Row& row : rows_)
    if (row.button->Tag == tag) return row.button;
  return nullptr;
}

void TKivFrameBarItem::SetExpanded(bool expanded) {
  expanded_ = expanded;
  if (expanded) {
    setFixedHeight(bar_->RowHeight * count_ + kCaptionHeight);
    if (!expanded_glyph_.isNull()) caption_->setIcon(QIcon(expanded_glyph_));
  } else {
    setFixedHeight(kCaptionHeight);
    if (!closed_glyph_.isNull()) caption_->setIcon(QIcon(closed_glyph_));
  }
  bar_->Relayout();
}

void TKivFrameBarItem::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  caption_->setGeometry(0, 0, width(), kCaptionHeight);
  for (const Row& row : rows_) row.button->resize(std::max(0, width() - row.left), row.button->height());
}

TKivFrameBar::TKivFrameBar(QWidget* parent) : QScrollArea(parent), content_(new QWidget) {
  SetSkinSection(this, kSectionPanel);
  setWidget(content_);
  setWidgetResizable(false);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFrameShape(QFrame::NoFrame);
}

TKivFrameBarItem* TKivFrameBar::AddItem(const QString& caption, const QPixmap& glyph, std::int32_t tag) {
  auto* item = new TKivFrameBarItem(this, caption, glyph, tag);
  item->setParent(content_);
  item->show();
  items_.push_back(item);
  Relayout();
  return item;
}

void TKivFrameBar::ClearItem() {
  for (TKivFrameBarItem* item : items_) delete item;
  items_.clear();
  Relayout();
}

TKivFrameBarItem* TKivFrameBar::GetItem(std::int32_t tag) const {
  for (TKivFrameBarItem* item : items_)
    if (item->Tag() == tag) return item;
  return nullptr;
}

void TKivFrameBar::Relayout() {
  const int width = viewport()->width();
  int top = 0;
  for (TKivFrameBarItem* item : items_) {
    item->setGeometry(0, top, width, item->height());
    top += item->height();
  }
  content_->resize(width, top);
}

void TKivFrameBar::resizeEvent(QResizeEvent* event) {
  QScrollArea::resizeEvent(event);
  Relayout();
}

TWebImage::TWebImage(QWidget* parent) : QLabel(parent) { setScaledContents(true); }

bool TWebImage::GetImageFromFile(const QString& path) {
  QPixmap picture;
  if (!picture.load(path)) return false;
  setPixmap(picture);
  return true;
}

void TWebImage::GetImageFromURL(const std::string& url) {
  if (url.empty()) return;
  QPointer<TWebImage> self(this);
  const std::string folder = DownloadFolder;
  const std::filesystem::path root = Root.empty() ? ApplicationFolder() : std::filesystem::path(Root);
  QThreadPool::globalInstance()->start([self, url, folder, root] {
    std::filesystem::path file = DownloadFile(url, folder, root, kPictureLimit);
    std::error_code ec;
    const bool exists = !file.empty() && std::filesystem::exists(file, ec);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [self, file, exists] {
          if (!self) return;  // the control is gone: the picture is dropped
          const bool loaded = exists && self->GetImageFromFile(QString::fromStdString(file.string()));
          emit self->UrlImageDone(loaded);
        },
        Qt::QueuedConnection);
  });
}

void TWebImage::enterEvent(QEnterEvent* event) {
  if (OnMouseEnter) OnMouseEnter();
  QLabel::enterEvent(event);
}

void TWebImage::leaveEvent(QEvent* event) {
  if (OnMouseLeave) OnMouseLeave();
  QLabel::leaveEvent(event);
}

}  // namespace kiv
