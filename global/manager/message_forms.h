// The global manager's two small windows.
//
// TMessageForm ("提示"): a 64 x 64 picture, the text and a "关闭" button; on top, centred on the
// desktop, a tool window; 7 pixels per GBK byte of the text plus 114 wide (at least 177). Each
// message opens its own window, which deletes itself when closed.
//
// THintForm ("系统提示"): the "Logo2" picture and one line of text in a frameless 275 x 75 window
// on top, centred; a click on it closes it. It deletes itself when closed.
//
// Threads: main thread only.
#pragma once

#include <QImage>
#include <QLabel>
#include <QWidget>

namespace kiv {

class TMessageForm : public QWidget {
  Q_OBJECT

 public:
  // `picture` may be null (the picture place then stays empty).
  TMessageForm(const QString& text, const QImage& picture);

  static int WidthForText(const QString& text);
  QLabel* TextLabel() const { return text_; }

 private:
  QLabel* text_ = nullptr;
};

class THintForm : public QWidget {
  Q_OBJECT

 public:
  explicit THintForm(const QImage& logo);

  void SetText(const QString& text);
  QString Text() const;

 protected:
  void mousePressEvent(QMouseEvent* event) override;

 private:
  QLabel* text_ = nullptr;
};

// Centres the window on the primary screen's work area.
void CentreOnDesktop(QWidget* window);

}  // namespace kiv
