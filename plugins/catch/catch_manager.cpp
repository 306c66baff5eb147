#include "catch_manager.h"

#include <QBuffer>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextImageFormat>
#include <QUrl>
#include <QUuid>
#include <algorithm>
#include <cmath>

#include "chat_document.h"
#include "manager/global_manager.h"

namespace kiv::capture {

namespace {}  // namespace

TManager& Manager() {
  static TManager manager;
  return manager;
}

TManager::~TManager() { Stop(); }

TManager::TGrabber& TManager::Grabber() {
  static TGrabber grabber = GrabDesktop;
  return grabber;
}

void TManager::DealMessage(std::uint32_t code, void* data, std::uint32_t) {
  if (code != kMsgCatchScreen || data == nullptr) return;
  auto* input = qobject_cast<QTextEdit*>(static_cast<QWidget*>(data));
  if (input == nullptr || input->isReadOnly()) return;
  CatchScreen(input);
}

void TManager::CatchScreen(QTextEdit* input) {
  if (overlay_) {
    overlay_->raise();
    overlay_->activateWindow();
    return;
  }
  const TGrabber& grab = Grabber();
  TDesktopShot shot = grab ? grab() : TDesktopShot{};
  if (!shot.IsValid()) {
    if (GlobalManager) GlobalManager->ShowMessage(kGrabRefusedText);
    return;
  }
  input_ = input;
  overlay_ = new TCatchOverlay(std::move(shot));
  // The overlay is the context of both connections, so neither outlives it (nor the plug-in).
  QObject::connect(input, &QObject::destroyed, overlay_, &QWidget::close);
  QObject::connect(overlay_, &TCatchOverlay::Captured, overlay_,
                   [this](const QImage& picture) { Insert(picture); });
  overlay_->Open();
}

void TManager::Stop() {
  delete overlay_.data();
  input_.clear();
}

void TManager::Insert(const QImage& picture) {
  QTextEdit* input = input_.data();
  input_.clear();
  if (input == nullptr) return;
  if (!InsertPicture(*input, picture)) return;
  QWidget* window = input->window();
  window->raise();
  window->activateWindow();
  input->setFocus(Qt::OtherFocusReason);
}

bool InsertPicture(QTextEdit& input, const QImage& picture) {
  const QImage fitted = chat::FitPictureForChat(picture);
  if (fitted.isNull()) {
    if (GlobalManager) GlobalManager->ShowMessage(QStringLiteral("截图太大，无法插入消息。"));
    return false;
  }
  QTextDocument* document = input.document();
  // A name no picture of this document has, in a scheme nothing else loads from.
  QUrl name;
  do {
    name = QUrl(QStringLiteral("kivcatch:") + QUuid::createUuid().toString(QUuid::WithoutBraces));
  } while (document->resource(QTextDocument::ImageResource, name).isValid());
  document->addResource(QTextDocument::ImageResource, name, fitted);
  QTextImageFormat format;
  format.setName(name.toString());
  const QSizeF shown = fitted.deviceIndependentSize();
  format.setWidth(shown.width());
  format.setHeight(shown.height());
  QTextCursor cursor = input.textCursor();
  cursor.insertImage(format);
  input.setTextCursor(cursor);
  return true;
}

}  // namespace kiv::capture
