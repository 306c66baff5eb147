#include "system/window_helpers.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QDir>
#include <QEvent>
#include <QGuiApplication>
#include <QHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/gbk.h"
#include "base/socket.h"

namespace kiv {
namespace {

constexpr std::size_t kShortTextMax = 255;
// A connected peer that sends no text is dropped after this many bytes without a terminating zero.
constexpr qsizetype kMaxMessageBytes = 1024;
// How long a sender waits for the window's answer; the window answers from its event loop.
constexpr int kDeliveryWaitMs = 5000;
constexpr char kAck = 1;

std::string ShortGbk(const QString& text) {
  const std::string gbk = Utf8ToGbk(text.toStdString());
  return std::string(GbkTruncate(gbk, kShortTextMax));
}

QString ShortText(const QString& text) { return QString::fromStdString(GbkToUtf8(ShortGbk(text))); }

// Mailboxes of this process by socket name: texts between windows of one process are handed over
// directly, as the receiving event loop is the sender's own.
QHash<QString, TFormMailbox*>& LocalMailboxes() {
  static QHash<QString, TFormMailbox*> mailboxes;
  return mailboxes;
}

void Deliver(TFormMailbox* mailbox, QWidget* window, const QString& text) {
  QPointer<QWidget> guard(window);
  emit mailbox->TextReceived(text);
  if (text == QLatin1String("Close") && guard) guard->close();
}

}  // namespace

bool BringToFont(QWidget* window) {
  if (!window) return false;
  if (window->isMinimized()) window->showNormal();
  if (window->isActiveWindow()) return true;
  window->raise();
  window->activateWindow();
  if (QWindow* handle = window->windowHandle()) handle->requestActivate();
  QCoreApplication::processEvents();
  return window->isActiveWindow();
}

bool SwitchToWindow(QWidget* window, bool restore) {
  if (!window || !window->isEnabled()) return false;
  window->raise();
  window->activateWindow();
  if (restore) {
    if (!window->isVisible()) return false;
    if (!window->isMaximized()) window->showNormal();
    window->setFocus(Qt::ActiveWindowFocusReason);
  }
  return true;
}

int GetTaskBarHeight() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return 0;
  return screen->geometry().height() - screen->availableGeometry().height();
}

QString FormMailboxFolder() {
  const char* runtime_dir = std::getenv("XDG_RUNTIME_DIR");
  const std::filesystem::path folder =
      PrivateSocketFolder(runtime_dir ? std::filesystem::path(runtime_dir) : std::filesystem::path(),
                          std::filesystem::path(QDir::tempPath().toStdString()));
  return QString::fromStdString(folder.string());
}

QString FormMailboxName(const QString& class_name, const QString& caption) {
  const QString folder = FormMailboxFolder();
  if (folder.isEmpty()) return {};
  QCryptographicHash hash(QCryptographicHash::Sha1);
  hash.addData(ShortText(class_name).toUtf8());
  hash.addData(QByteArrayView("\n", 1));
  hash.addData(ShortText(caption).toUtf8());
  return folder + QStringLiteral("/form-") + QString::fromLatin1(hash.result().toHex().left(32));
}

TFormHandle FindForm(const QString& class_name, const QString& caption) {
  const QString name = FormMailboxName(class_name, caption);
  if (name.isEmpty()) return {};
  if (LocalMailboxes().contains(name)) return TFormHandle{name};
  QLocalSocket probe;
  probe.connectToServer(name);
  if (!probe.waitForConnected(kDeliveryWaitMs) || !PeerIsSameUser(static_cast<int>(probe.socketDescriptor())))
    return {};
  probe.disconnectFromServer();
  return TFormHandle{name};
}

int SendMessageToForm(const TFormHandle& window, const QString& text) {
  if (!window) return 0;
  const std::string gbk = ShortGbk(text);
  if (TFormMailbox* local = LocalMailboxes().value(window.mailbox)) {
    Deliver(local, qobject_cast<QWidget*>(local->parent()), QString::fromStdString(GbkToUtf8(gbk)));
    return 1;
  }
  QLocalSocket socket;
  socket.connectToServer(window.mailbox);
  // Only a window of this user gets the text.
  if (!socket.waitForConnected(kDeliveryWaitMs) ||
      !PeerIsSameUser(static_cast<int>(socket.socketDescriptor())))
    return 0;
  QByteArray data(gbk.data(), static_cast<qsizetype>(gbk.size()));
  data.append('\0');
  socket.write(data);
  if (!socket.waitForBytesWritten(kDeliveryWaitMs)) return 0;
  while (socket.bytesAvailable() < 1) {
    if (!socket.waitForReadyRead(kDeliveryWaitMs)) return 0;
  }
  char answer = 0;
  return socket.getChar(&answer) && answer == kAck ? 1 : 0;
}

TFormMailbox::TFormMailbox(QWidget* window, QString class_name)
    : QObject(window), window_(window), class_name_(std::move(class_name)) {
  if (class_name_.isEmpty() && window) {
    // The class name without its namespace: "kiv::TMainForm" is found as "TMainForm".
    class_name_ = QString::fromLatin1(window->metaObject()->className()).section(QStringLiteral("::"), -1);
  }
  if (window) window->installEventFilter(this);
  Listen();
}

TFormMailbox::~TFormMailbox() {
  if (server_) LocalMailboxes().remove(server_->serverName());
}

QString TFormMailbox::Mailbox() const { return server_ ? server_->serverName() : QString(); }

void TFormMailbox::Listen() {
  if (server_) {
    LocalMailboxes().remove(server_->serverName());
    delete server_;
    server_ = nullptr;
  }
  if (!window_) return;
  const QString name = FormMailboxName(class_name_, window_->windowTitle());
  if (name.isEmpty()) return;                   // no folder that only this user can reach
  if (LocalMailboxes().contains(name)) return;  // another window of this process has the name
  auto* server = new QLocalServer(this);
  server->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server->listen(name)) {
    // A socket left by a program that ended without closing it is removed; a live one is not ours.
    QLocalSocket probe;
    probe.connectToServer(name);
    if (probe.waitForConnected(kDeliveryWaitMs)) {
      delete server;
      return;
    }
    QLocalServer::removeServer(name);
    if (!server->listen(name)) {
      delete server;
      return;
    }
  }
  connect(server, &QLocalServer::newConnection, this, &TFormMailbox::OnConnection);
  server_ = server;
  LocalMailboxes().insert(name, this);
}

void TFormMailbox::OnConnection() {
  while (QLocalSocket* socket = server_ ? server_->nextPendingConnection() : nullptr) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // Texts such as "Close" are taken from this user's programs only.
    if (!PeerIsSameUser(static_cast<int>(socket->socketDescriptor()))) {
      socket->abort();
      continue;
    }
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      QByteArray buffer = socket->property("kivPending").toByteArray() + socket->readAll();
      const qsizetype end = buffer.indexOf('\0');
      if (end < 0) {
        // A peer that never ends its text is cut off rather than buffered without bound.
        if (buffer.size() > kMaxMessageBytes) {
          socket->abort();
        } else {
          socket->setProperty("kivPending", buffer);
        }
        return;
      }
      socket->setProperty("kivPending", QVariant());
      const QByteArray bytes = buffer.left(std::min<qsizetype>(end, kShortTextMax));
      socket->write(&kAck, 1);
      socket->flush();
      const QString text =
          QString::fromStdString(GbkToUtf8(std::string_view(bytes.constData(), bytes.size())));
      // Handed over from the event loop: a receiver that closes or deletes the window must not pull
      // the socket out from under this handler.
      QTimer::singleShot(0, this, [this, text] { Deliver(this, window_, text); });
    });
  }
}

bool TFormMailbox::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window_ && event->type() == QEvent::WindowTitleChange) Listen();
  return QObject::eventFilter(watched, event);
}

}  // namespace kiv
