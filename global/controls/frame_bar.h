// TKivFrameBar: a vertical bar of collapsible sections full of buttons (the friends list and the
// room categories are built from it). TWebImage: a picture control filled from a web address in
// the background. Main thread only.
#pragma once

#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QScrollArea>
#include <QToolButton>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kiv {

// A skinned button with a picture and left-aligned text. A draggable button starts a drag as soon
// as the mouse leaves it while pressed; what is dropped where is the using plug-in's business.
// Texts that do not fit are cut with an ellipsis, never clipped. A second text (`SetDetail`, such as
// a friend's signature) is drawn dimmed under the caption when the row has room for two lines, else
// after it on the same line.
class TKivButton : public QToolButton {
  Q_OBJECT
 public:
  explicit TKivButton(QWidget* parent = nullptr);
  std::int32_t Tag = 0;
  bool Draggable = false;
  bool Pressed() const { return pressed_; }
  std::function<void(TKivButton*)> OnDoubleClick;

  void SetDetail(const QString& detail);
  const QString& Detail() const { return detail_; }
  // Pixels kept free at the right end of the text (for flag buttons drawn over the row).
  void SetTextRightMargin(int pixels);

 signals:
  // A drag left this button (the receiving side decides what it means).
  void DragStarted(TKivButton* button);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  bool pressed_ = false;
  QString detail_;
  int text_right_margin_ = 0;
};

class TKivFrameBar;

// One section: a caption button across the top that toggles it, then its rows of buttons.
class TKivFrameBarItem : public QWidget {
  Q_OBJECT
 public:
  TKivFrameBarItem(TKivFrameBar* bar, const QString& caption, const QPixmap& glyph, std::int32_t tag);

  TKivButton* AddButton(const QString& caption, const QPixmap* picture, int left, std::int32_t tag);
  // A negative `left` is measured from the section's right edge, and the flag follows that edge
  // when the section is resized.
  TKivButton* AddFlag(TKivButton* button, const QPixmap& picture, int height, int width, int top, int left,
                      std::int32_t tag);
  TKivButton* GetItem(std::int32_t tag) const;
  void SetExpanded(bool expanded);
  bool Expanded() const { return expanded_; }
  int Count() const { return count_; }
  std::int32_t Tag() const { return tag_; }
  QToolButton* Caption() const { return caption_; }
  // The whole caption; the caption button shows it cut with an ellipsis when it is too wide.
  const QString& CaptionText() const { return caption_text_; }
  void SetCaptionText(const QString& caption);

  void SetExpandedGlyph(const QPixmap& glyph) { expanded_glyph_ = glyph; }
  void SetClosedGlyph(const QPixmap& glyph) { closed_glyph_ = glyph; }
  const QPixmap& GetExpandedGlyph() const { return expanded_glyph_; }
  const QPixmap& GetClosedGlyph() const { return closed_glyph_; }

  static constexpr int kCaptionHeight = 24;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void ElideCaption();

  TKivFrameBar* bar_;
  QToolButton* caption_;
  QString caption_text_;
  bool expanded_ = false;
  int count_ = 0;
  std::int32_t tag_;
  QPixmap expanded_glyph_, closed_glyph_;
  struct Row {
    TKivButton* button;
    int left;
  };
  std::vector<Row> rows_;
  struct Flag {
    TKivButton* button;
    int right;  // distance of its left edge from the right edge; 0 for flags placed from the left
  };
  std::vector<Flag> flags_;
};

class TKivFrameBar : public QScrollArea {
  Q_OBJECT
 public:
  explicit TKivFrameBar(QWidget* parent = nullptr);

  TKivFrameBarItem* AddItem(const QString& caption, const QPixmap& glyph, std::int32_t tag);
  // Frees every section. The sections are hidden at once and deleted when control returns to the
  // event loop, so a button may clear the bar from its own click or drop handler.
  void ClearItem();
  TKivFrameBarItem* GetItem(std::int32_t tag) const;
  const std::vector<TKivFrameBarItem*>& Items() const { return items_; }

  // Height of a button row: 34, or 26 for small faces (set it before filling the bar).
  int RowHeight = 34;

  // Lays the sections out one under the other (after a section's height changed).
  void Relayout();

 protected:
  void resizeEvent(QResizeEvent* event) override;
  // The sections follow the viewport, which narrows when the scroll bar appears.
  bool viewportEvent(QEvent* event) override;

 private:
  QWidget* content_;
  std::vector<TKivFrameBarItem*> items_;
};

// A picture control that can fetch its picture from the web. The download runs on a worker thread
// into the application folder's `DownloadFolder` ("download" by default); the picture is set on the
// main thread, and dropped when the control is gone by then.
class TWebImage : public QLabel {
  Q_OBJECT
 public:
  explicit TWebImage(QWidget* parent = nullptr);
  std::string DownloadFolder = "download";
  // The folder the download folder lives in; empty: the application folder.
  std::string Root;

  // Loads a picture file; false (picture unchanged) when it cannot be read.
  bool GetImageFromFile(const QString& path);
  // Starts fetching `url`; the current picture stays until the new one is there.
  void GetImageFromURL(const std::string& url);

  std::function<void()> OnMouseEnter, OnMouseLeave;

 signals:
  // The picture from the last GetImageFromURL was set (true) or could not be fetched (false).
  void UrlImageDone(bool loaded);

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
};

}  // namespace kiv
