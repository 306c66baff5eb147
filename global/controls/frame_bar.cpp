#include "controls/frame_bar.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QStyleOptionToolButton>
#include <QStylePainter>
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

void TKivButton::SetDetail(const QString& detail) {
  detail_ = detail;
  update();
}

void TKivButton::SetTextRightMargin(int pixels) {
  text_right_margin_ = std::max(0, pixels);
  update();
}

void TKivButton::paintEvent(QPaintEvent*) {
  QStylePainter painter(this);
  QStyleOptionToolButton option;
  initStyleOption(&option);
  // The style draws the frame and background; picture and texts are laid out here so that long
  // texts end in an ellipsis instead of being cut off at the edge.
  option.text.clear();
  option.icon = QIcon();
  painter.drawComplexControl(QStyle::CC_ToolButton, option);

  constexpr int kMargin = 3, kGap = 5;
  int x = kMargin;
  if (!icon().isNull()) {
    const QSize size = iconSize();
    const QPixmap picture = icon().pixmap(size, isEnabled() ? QIcon::Normal : QIcon::Disabled);
    const QSize shown = picture.deviceIndependentSize().toSize();
    painter.drawPixmap(x, (height() - shown.height()) / 2, picture);
    x += size.width() + kGap;
  }
  const int right = width() - kMargin - text_right_margin_;
  if (right <= x) return;
  const QFontMetrics metrics(font());
  const QColor main = palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText);
  QColor dim = main;
  dim.setAlpha(140);
  const int line = metrics.height();
  if (detail_.isEmpty()) {
    painter.setPen(main);
    painter.drawText(QRect(x, 0, right - x, height()), Qt::AlignLeft | Qt::AlignVCenter,
                     metrics.elidedText(text(), Qt::ElideRight, right - x));
  } else if (height() >= 2 * line + 2) {
    const int top = (height() - 2 * line) / 2;
    painter.setPen(main);
    painter.drawText(QRect(x, top, right - x, line), Qt::AlignLeft | Qt::AlignVCenter,
                     metrics.elidedText(text(), Qt::ElideRight, right - x));
    painter.setPen(dim);
    painter.drawText(QRect(x, top + line, right - x, line), Qt::AlignLeft | Qt::AlignVCenter,
                     metrics.elidedText(detail_, Qt::ElideRight, right - x));
  } else {
    // One line: the caption first (it may take the whole width), the detail in what is left.
    const QString caption = metrics.elidedText(text(), Qt::ElideRight, right - x);
    painter.setPen(main);
    painter.drawText(QRect(x, 0, right - x, height()), Qt::AlignLeft | Qt::AlignVCenter, caption);
    const int after = x + metrics.horizontalAdvance(caption) + kGap;
    if (right - after > metrics.horizontalAdvance(QStringLiteral("……"))) {
      painter.setPen(dim);
      painter.drawText(QRect(after, 0, right - after, height()), Qt::AlignLeft | Qt::AlignVCenter,
                       metrics.elidedText(detail_, Qt::ElideRight, right - after));
    }
  }
}

TKivFrameBarItem::TKivFrameBarItem(TKivFrameBar* bar, const QString& caption, const QPixmap& glyph,
                                   std::int32_t tag)
    : QWidget(nullptr), bar_(bar), caption_(new QToolButton(this)), tag_(tag) {
  SetSkinSection(this, kSectionCheckBox);
  caption_text_ = caption;
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
  const int right = left < 0 ? -left : 0;
  flag->setGeometry(left < 0 ? this->width() + left : left, (button ? button->y() : 0) + top, width, height);
  flag->show();
  flag->raise();
  flags_.push_back({flag, right});
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
  for (const Flag& flag : flags_)
    if (flag.right > 0) flag.button->move(width() - flag.right, flag.button->y());
  ElideCaption();
}

void TKivFrameBarItem::SetCaptionText(const QString& caption) {
  caption_text_ = caption;
  ElideCaption();
}

void TKivFrameBarItem::ElideCaption() {
  // Room left of the text: the glyph, the spacing and the 5-pixel margin of the caption's style.
  const int glyph = caption_->icon().isNull() ? 0 : caption_->iconSize().width() + 6;
  const int room = width() - glyph - 14;
  if (room <= 0) return;  // not laid out yet
  const QString shown = caption_->fontMetrics().elidedText(caption_text_, Qt::ElideRight, room);
  if (caption_->text() != shown) caption_->setText(shown);
  caption_->setToolTip(shown == caption_text_ ? QString() : caption_text_);
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
  for (TKivFrameBarItem* item : items_) {
    item->hide();
    item->deleteLater();
  }
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

bool TKivFrameBar::viewportEvent(QEvent* event) {
  const bool handled = QScrollArea::viewportEvent(event);
  if (event->type() == QEvent::Resize && content_->width() != viewport()->width()) Relayout();
  return handled;
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
