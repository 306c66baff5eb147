#include "ma_web.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "manager/global_manager.h"
#include "manager/message_forms.h"

namespace kiv {

TOpenUrl SystemBrowser() {
  return [](const QUrl& url) { return QDesktopServices::openUrl(url); };
}

TWebForm::TWebForm(const QString& caption, int width, int height, TOpenUrl open_url)
    : open_url_(std::move(open_url)) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(caption);
  resize(width, height);
  auto* layout = new QVBoxLayout(this);
  auto* title = new QLabel(caption, this);
  title->setObjectName(QStringLiteral("CaptionLabel"));
  QFont big = title->font();
  big.setPointSize(big.pointSize() + 3);
  title->setFont(big);
  auto* note = new QLabel(QStringLiteral("页面已在浏览器中打开。"), this);
  address_ = new QLabel(this);
  address_->setObjectName(QStringLiteral("AddressLabel"));
  address_->setWordWrap(true);
  address_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* again = new QPushButton(QStringLiteral("重新打开"), this);
  again->setObjectName(QStringLiteral("ReopenButton"));
  auto* close_button = new QPushButton(QStringLiteral("关闭"), this);
  close_button->setObjectName(QStringLiteral("CloseButton"));
  layout->addWidget(title);
  layout->addWidget(note);
  layout->addWidget(address_, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(again);
  buttons->addWidget(close_button);
  layout->addLayout(buttons);
  connect(again, &QPushButton::clicked, this, [this] { Navigate(url_); });
  connect(close_button, &QPushButton::clicked, this, &QWidget::close);
  if (GlobalManager) GlobalManager->UpdateFormSkin(this);
  CentreOnDesktop(this);
}

void TWebForm::Navigate(const QUrl& url) {
  url_ = url;
  address_->setText(url.toString());
  show();
  raise();
  if (open_url_ && url.isValid()) open_url_(url);
}

void TWebForm::closeEvent(QCloseEvent* event) {
  emit Closed(this);
  QWidget::closeEvent(event);
}

TWebWindowList::TWebWindowList(TOpenUrl open_url, QObject* parent)
    : QObject(parent), open_url_(std::move(open_url)) {
  if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    connect(app, &QGuiApplication::applicationStateChanged, this, &TWebWindowList::OnApplicationState);
  }
}

TWebWindowList::~TWebWindowList() { CloseAll(); }

TWebForm* TWebWindowList::OpenWebWindow(int width, int height, const QString& caption, const QUrl& url) {
  std::erase_if(windows_, [](const QPointer<TWebForm>& w) { return w.isNull(); });
  for (auto it = windows_.rbegin(); it != windows_.rend(); ++it) {
    if ((*it)->windowTitle() == caption) {
      (*it)->Navigate(url);
      away_in_browser_ = true;
      return it->data();
    }
  }
  auto* form = new TWebForm(caption, width, height, open_url_);
  connect(form, &TWebForm::Closed, this, &TWebWindowList::OnClosed);
  windows_.emplace_back(form);
  form->Navigate(url);
  away_in_browser_ = true;
  return form;
}

void TWebWindowList::CloseAll() {
  const auto windows = windows_;
  windows_.clear();
  for (const auto& w : windows) {
    if (!w) continue;
    w->disconnect(this);
    delete w.data();
  }
}

void TWebWindowList::OnClosed(TWebForm* form) {
  std::erase_if(windows_, [form](const QPointer<TWebForm>& w) { return w.isNull() || w.data() == form; });
  emit VisitEnded();
}

void TWebWindowList::OnApplicationState(Qt::ApplicationState state) {
  if (state != Qt::ApplicationActive || !away_in_browser_) return;
  away_in_browser_ = false;
  if (!windows_.empty()) emit VisitEnded();
}

}  // namespace kiv
