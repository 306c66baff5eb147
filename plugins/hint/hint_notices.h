// KivHint's notices: each THintInfo becomes a small skinned window that slides up at the bottom
// right of the screen, stays a few seconds and slides away, one notice after the other.
//
// A notice stays pending until the user clicks it (which runs its click action) or dismisses it;
// the number of pending notices is the global manager's pending-notice count, which the main
// window reads. A notice that goes by unclicked makes the tray icon flash; "show the pending
// notices" shows every pending one again.
//
// Ownership: the plug-in's one THintNotices owns the pending notices and the notice window.
// Threads: main thread only.
#pragma once

#include <QImage>
#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "plugin/plugin_api.h"

namespace kiv {

struct TPendingNotice {
  std::uint64_t id = 0;
  std::uint8_t kind = 0;
  QString title;
  QString text;
  QImage picture;
  std::uint32_t tag = 0;
  void (*click)(std::uint32_t tag) = nullptr;
};

// A one-line label whose text ends in "…" when it is wider than the label; the tooltip has it all.
class TElidedLabel : public QLabel {
 public:
  explicit TElidedLabel(QWidget* parent);
  void SetFullText(const QString& text);
  const QString& FullText() const { return full_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Elide();
  QString full_;
};

class TNoticeWindow : public QWidget {
  Q_OBJECT

 public:
  TNoticeWindow();
  void Present(const TPendingNotice& notice, int visible_ms);
  std::uint64_t NoticeId() const { return id_; }

 signals:
  void Clicked(std::uint64_t id);
  void Dismissed(std::uint64_t id);
  // The notice went by without the user touching it.
  void Expired(std::uint64_t id);

 protected:
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void SlideAway();

  std::uint64_t id_ = 0;
  QLabel* picture_ = nullptr;
  TElidedLabel* title_ = nullptr;
  QLabel* text_ = nullptr;
  QTimer stay_;
  QPropertyAnimation slide_;
};

class THintNotices : public QObject {
  Q_OBJECT

 public:
  THintNotices();
  ~THintNotices() override;

  // Takes a notice: copies it, plays its sound, counts it and shows it in turn. A picture in the
  // record becomes this object's (the caller gave it away).
  void Add(const THintInfo& info);
  // Shows every pending notice again.
  void ShowPending();
  std::size_t PendingCount() const { return pending_.size(); }
  TNoticeWindow* Window() const { return window_.data(); }

  // How long a notice stays up.
  static constexpr int kVisibleMs = 6000;

 private:
  void ShowNext();
  void Remove(std::uint64_t id);
  void PublishCount();
  const TPendingNotice* Find(std::uint64_t id) const;

  std::deque<TPendingNotice> pending_;
  std::deque<std::uint64_t> to_show_;
  std::uint64_t next_id_ = 1;
  QPointer<TNoticeWindow> window_;
};

}  // namespace kiv
