// Window helpers shared by the main program, the plug-ins and the updater.
//
// Another program finds a window by its class name and caption (`FindForm`) and sends it a short
// text (`SendMessageToForm`), as the updater does with "Close". Each window that wants such texts
// opens a mailbox (`TFormMailbox`): a local socket named from the class name and the caption, in a
// folder only this user can reach ($XDG_RUNTIME_DIR/kivora, else a private folder in the temporary
// folder; see PrivateSocketFolder), and both ends check that the other runs as the same user, so
// another local account can neither take a window's name nor send it texts. The mailbox follows caption
// changes, closes the window on "Close" and reports every text it receives.
//
// Threads: main thread only (windows).
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

class QLocalServer;

namespace kiv {

// Brings the window to the foreground, restoring it when minimised. True when it is the active
// window afterwards.
bool BringToFont(QWidget* window);

// False when the window is disabled. Makes it the foreground window; with `restore`: false when it
// is not visible, restores it unless it is maximised, then gives it the keyboard focus.
bool SwitchToWindow(QWidget* window, bool restore);

// Screen height minus the height of the desktop's work area (the panels); 0 without a screen.
int GetTaskBarHeight();

// The folder of this user's mailboxes; empty when there is no safe one (no mailbox then opens).
QString FormMailboxFolder();
// The local socket path of the window with this class name and caption for the current user; empty
// when FormMailboxFolder is.
QString FormMailboxName(const QString& class_name, const QString& caption);

// A window found by FindForm: enough to send it texts, in this process or another.
struct TFormHandle {
  QString mailbox;  // local socket name; empty for none
  explicit operator bool() const { return !mailbox.isEmpty(); }
};

// The top-level window of this user with that class name and caption (texts cut to 255 bytes, as
// short texts are), or an empty handle when no such window listens.
TFormHandle FindForm(const QString& class_name, const QString& caption);

// Sends `text` (cut to 255 bytes) to the window with a terminating zero byte and waits until it
// is delivered. 1 when the window took it, 0 when it cannot be reached.
int SendMessageToForm(const TFormHandle& window, const QString& text);

// The mailbox of one top-level window. It is a child of the window and dies with it.
class TFormMailbox : public QObject {
  Q_OBJECT

 public:
  // Opens the mailbox for `window` under `class_name` (when empty, the window's class name without
  // its namespace).
  explicit TFormMailbox(QWidget* window, QString class_name = {});
  ~TFormMailbox() override;

  const QString& ClassName() const { return class_name_; }
  // The socket name in use; empty when another live window of this user already owns the name.
  QString Mailbox() const;

 signals:
  // Every text received, before "Close" closes the window.
  void TextReceived(const QString& text);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Listen();
  void OnConnection();

  QPointer<QWidget> window_;
  QString class_name_;
  QLocalServer* server_ = nullptr;
};

}  // namespace kiv
