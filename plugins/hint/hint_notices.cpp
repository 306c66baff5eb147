#include "hint_notices.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>

#include "manager/global_manager.h"
#include "manager/setup_records.h"
#include "plugin/plugin_manager.h"

namespace kiv {

namespace {

constexpr int kWidth = 260;
constexpr int kHeight = 120;
constexpr int kSlideMs = 300;

QRect WorkArea() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
}

}  // namespace

TElidedLabel::TElidedLabel(QWidget* parent) : QLabel(parent) {
  // The window has a fixed size: the label takes the width it is given, not its text's.
  setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  setMinimumWidth(1);
}

void TElidedLabel::SetFullText(const QString& text) {
  full_ = text;
  setToolTip(text);
  Elide();
}

void TElidedLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  Elide();
}

void TElidedLabel::Elide() {
  setText(fontMetrics().elidedText(full_, Qt::ElideRight, contentsRect().width()));
}

TNoticeWindow::TNoticeWindow() : slide_(this, "pos") {
  setObjectName(QStringLiteral("NoticeWindow"));
  setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                 Qt::WindowDoesNotAcceptFocus);
  setAttribute(Qt::WA_ShowWithoutActivating);
  setProperty("skinFrame", true);
  setFixedSize(kWidth, kHeight);
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout;
  title_ = new TElidedLabel(this);
  title_->setObjectName(QStringLiteral("NoticeTitle"));
  QFont bold = title_->font();
  bold.setBold(true);
  title_->setFont(bold);
  auto* close = new QPushButton(QStringLiteral("×"), this);
  close->setObjectName(QStringLiteral("NoticeClose"));
  close->setFlat(true);
  close->setFixedSize(18, 18);
  close->setToolTip(QStringLiteral("关闭"));
  top->addWidget(title_, 1);
  top->addWidget(close);
  layout->addLayout(top);
  auto* body = new QHBoxLayout;
  picture_ = new QLabel(this);
  picture_->setFixedSize(40, 40);
  text_ = new QLabel(this);
  text_->setObjectName(QStringLiteral("NoticeText"));
  text_->setWordWrap(true);
  text_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  body->addWidget(picture_);
  body->addWidget(text_, 1);
  layout->addLayout(body, 1);
  stay_.setSingleShot(true);
  connect(&stay_, &QTimer::timeout, this, &TNoticeWindow::SlideAway);
  connect(close, &QPushButton::clicked, this, [this] {
    stay_.stop();
    hide();
    emit Dismissed(id_);
  });
  slide_.setDuration(kSlideMs);
  if (GlobalManager) GlobalManager->UpdateFormSkin(this);
}

void TNoticeWindow::Present(const TPendingNotice& notice, int visible_ms) {
  id_ = notice.id;
  title_->SetFullText(notice.title);
  text_->setText(notice.text);
  setToolTip(notice.text);
  picture_->setVisible(!notice.picture.isNull());
  if (!notice.picture.isNull())
    picture_->setPixmap(
        QPixmap::fromImage(notice.picture.scaled(40, 40, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
  const QRect area = WorkArea();
  const QPoint below(area.right() - kWidth, area.bottom() + 1);
  const QPoint shown(area.right() - kWidth, area.bottom() - kHeight);
  slide_.stop();
  disconnect(&slide_, &QPropertyAnimation::finished, this, nullptr);
  move(below);
  show();
  slide_.setStartValue(below);
  slide_.setEndValue(shown);
  slide_.start();
  stay_.start(visible_ms);
}

void TNoticeWindow::SlideAway() {
  const QRect area = WorkArea();
  slide_.stop();
  slide_.setStartValue(pos());
  slide_.setEndValue(QPoint(x(), area.bottom() + 1));
  const std::uint64_t id = id_;
  connect(&slide_, &QPropertyAnimation::finished, this, [this, id] {
    disconnect(&slide_, &QPropertyAnimation::finished, this, nullptr);
    hide();
    emit Expired(id);
  });
  slide_.start();
}

void TNoticeWindow::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  stay_.stop();
  slide_.stop();
  hide();
  emit Clicked(id_);
}

THintNotices::THintNotices() = default;

THintNotices::~THintNotices() {
  if (window_) delete window_.data();
  pending_.clear();
  PublishCount();
}

void THintNotices::Add(const THintInfo& info) {
  TPendingNotice notice;
  notice.id = next_id_++;
  notice.kind = info.kind;
  notice.title = QString::fromStdString(info.title.Text());
  notice.text = QString::fromStdString(info.text.Text());
  if (info.picture) notice.picture = *info.picture;
  notice.tag = info.tag;
  notice.click = info.click;
  const std::string sound = info.sound.Text();
  // Setup sounds are stored relative to the application folder; absolute paths stay as they are.
  if (!sound.empty() && GlobalManager)
    GlobalManager->PlaySound(ResolveSetupPath(std::filesystem::path(GlobalManager->AppPath), sound));
  pending_.push_back(std::move(notice));
  to_show_.push_back(pending_.back().id);
  PublishCount();
  if (!window_ || !window_->isVisible()) ShowNext();
}

void THintNotices::ShowPending() {
  to_show_.clear();
  for (const TPendingNotice& notice : pending_) to_show_.push_back(notice.id);
  if (!window_ || !window_->isVisible()) ShowNext();
}

const TPendingNotice* THintNotices::Find(std::uint64_t id) const {
  for (const TPendingNotice& notice : pending_) {
    if (notice.id == id) return &notice;
  }
  return nullptr;
}

void THintNotices::ShowNext() {
  while (!to_show_.empty()) {
    const std::uint64_t id = to_show_.front();
    to_show_.pop_front();
    const TPendingNotice* notice = Find(id);
    if (!notice) continue;
    if (!window_) {
      window_ = new TNoticeWindow;
      connect(window_, &TNoticeWindow::Clicked, this, [this](std::uint64_t clicked) {
        const TPendingNotice* n = Find(clicked);
        void (*click)(std::uint32_t) = n ? n->click : nullptr;
        const std::uint32_t tag = n ? n->tag : 0;
        Remove(clicked);
        if (click) click(tag);
        ShowNext();
      });
      connect(window_, &TNoticeWindow::Dismissed, this, [this](std::uint64_t dismissed) {
        Remove(dismissed);
        ShowNext();
      });
      connect(window_, &TNoticeWindow::Expired, this, [this](std::uint64_t) {
        // Still pending: the tray shows that notices wait.
        if (PluginManager && !pending_.empty())
          PluginManager->ExeDealMessage(kMsgFlashNoticeIcon, nullptr, 0);
        ShowNext();
      });
    }
    window_->Present(*notice, kVisibleMs);
    return;
  }
}

void THintNotices::Remove(std::uint64_t id) {
  std::erase_if(pending_, [id](const TPendingNotice& n) { return n.id == id; });
  PublishCount();
  if (PluginManager) PluginManager->ExeDealMessage(kMsgRedrawTrayIcon, nullptr, 0);
}

void THintNotices::PublishCount() {
  if (GlobalManager) GlobalManager->HintCount = static_cast<std::int32_t>(pending_.size());
}

}  // namespace kiv
