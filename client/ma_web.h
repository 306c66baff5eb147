// MA_Web: the vendor's web pages (transaction records, mall, customer service, pages the server
// broadcasts).
//
// Pages open in the system's browser. Each page still has its own small window here, named by its
// caption: it says which page is open, opens it again on request, and closing it ends the visit.
// A second page with a caption already open reuses that window. When a visit ends (its window
// closes) the session asks the server for the user's profile again, so that a balance changed by a
// purchase shows at once; so it does when the user comes back to the client from the browser.
//
// Threads: main thread only.
#pragma once

#include <QLabel>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <vector>

namespace kiv {

// Opens a URL in the system's browser; true when the desktop took it.
using TOpenUrl = std::function<bool(const QUrl&)>;
TOpenUrl SystemBrowser();

class TWebForm : public QWidget {
  Q_OBJECT

 public:
  TWebForm(const QString& caption, int width, int height, TOpenUrl open_url);

  // Shows the window and opens `url` in the browser.
  void Navigate(const QUrl& url);
  const QUrl& Url() const { return url_; }

 signals:
  void Closed(TWebForm* form);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  TOpenUrl open_url_;
  QUrl url_;
  QLabel* address_ = nullptr;
};

class TWebWindowList : public QObject {
  Q_OBJECT

 public:
  explicit TWebWindowList(TOpenUrl open_url, QObject* parent = nullptr);
  ~TWebWindowList() override;

  // The window of that caption (last opened first) navigated to `url`, or a new one of that size.
  TWebForm* OpenWebWindow(int width, int height, const QString& caption, const QUrl& url);
  // Closes and frees every window.
  void CloseAll();
  const std::vector<QPointer<TWebForm>>& Windows() const { return windows_; }

 signals:
  // A visit ended (its window closed) or the user came back to the client from the browser.
  void VisitEnded();

 private:
  void OnClosed(TWebForm* form);
  void OnApplicationState(Qt::ApplicationState state);

  TOpenUrl open_url_;
  std::vector<QPointer<TWebForm>> windows_;
  bool away_in_browser_ = false;
};

}  // namespace kiv
