// TChatForm: one conversation with one friend. The chat manager drives it: the friend's face
// button, name line and status line at the top; the conversation view and the input with the
// toolbar between them; the friend's and the user's pictures in the right column (video frames are
// drawn there during a video call) with their option menus; the audio controls while a voice call
// runs. The window holds the conversation's state (pending operations, the call flags) and calls
// the manager for everything that leaves it.
//
// Threads: main thread only.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTextBrowser>
#include <QTextCharFormat>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "declare/declare.h"

namespace kiv::chat {

class TManager;
class TFileWindow;

// The text styles of the conversation: 0 normal text (SimSun 9 points), 1 message headings (the
// caption colour), 2 request and error texts (RGB 255, 83, 0), 3 green.
enum TTextStyle : int { kStyleNormal = 0, kStyleHeadInfo = 1, kStyleRequestInfo = 2, kStyleGreen = 3 };
QTextCharFormat TextStyle(int style);

// A picture of the right column: a photo or a video frame, shown whole inside the control (scaled
// down keeping its proportions when it is larger), while pixmap() keeps it at its own size.
class TChatPicture : public QLabel {
  Q_OBJECT

 public:
  explicit TChatPicture(QWidget* parent);

 signals:
  void doubleClicked();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
};

class TChatForm : public QWidget {
  Q_OBJECT

 public:
  TChatForm(TManager& manager, std::uint32_t friend_code);
  ~TChatForm() override;

  std::uint32_t FriendCode() const { return friend_code_; }
  QTextBrowser* View() const { return view_; }
  QTextEdit* Input() const { return input_; }
  QLabel* FriendPicture() const { return friend_picture_; }
  QLabel* MyPicture() const { return my_picture_; }
  QLabel* NameLine() const { return name_line_; }
  QLabel* HintLine() const { return hint_; }
  QToolButton* FaceButton() const { return face_; }
  QWidget* AudioControls() const { return audio_controls_; }
  QProgressBar* InputGauge() const { return input_gauge_; }
  QProgressBar* OutputGauge() const { return output_gauge_; }

  // Adds a line of the window's own (notices, call texts) to the conversation, centred in the
  // request style.
  void AddLine(const QString& text);
  // Adds a line that ends in hot links: "$Yes$" (when `yes`) and "$No$", tagged with the operation
  // and the side that made it (both sides number their operations alike).
  void AddHotLinks(const QString& text, std::uint32_t operation, std::uint8_t role, bool yes);
  // Removes the hot links of the operation.
  void RemoveHotLinks(std::uint32_t operation, std::uint8_t role);
  // Removes every hot link whose target starts with `prefix`.
  void RemoveLinks(const QString& prefix);
  // Writes the status line.
  void SetHint(const QString& text);
  void ScrollToEnd();
  // Moves the window 10 pixels left, up, right and down, twice, from a timer.
  void Shake();
  // Whether the window was shown at least once (a window created hidden waits to be read).
  bool Shown() const { return shown_; }
  // The audio controls of a running call: the recording sources, the volumes and `quality`.
  void ShowAudioControls(std::uint8_t quality, int output_volume);
  void HideAudioControls();
  // Gives the input the setup record's message font (the size capped at 20) and colour, for what
  // is typed next.
  void ApplyInputFont();

  // The hot-link address of an operation's answer ("yes" or "no"), in the window's private scheme.
  static QString HotLink(std::uint32_t operation, std::uint8_t role, const char* answer);

  // The window's file transfers (owned by the window, freed before the rest of it).
  TFileWindow* files = nullptr;

  // --- conversation state the manager and the call logic use ---
  std::vector<TOperateInfo> operations;
  std::uint32_t next_operation_id = 0;
  bool voice_pending = false;
  bool audio_running = false;
  std::int32_t audio_out = -1;
  bool video_pending = false;
  bool video_active = false;
  bool video_receiving = false;
  bool video_picture_marked = false;  // the friend picture shows video, photos leave it alone
  bool send_next_frame = false;
  qint64 last_nudge_ms = -1000000;
  qint64 last_shake_ms = -1000000;
  // Closing without telling the peer again (the manager shuts down, or already did).
  bool closing_quietly = false;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildToolbar(QWidget* bar);
  QWidget* BuildRightColumn();
  QWidget* BuildAudioControls();
  void BuildMenus();
  void OnLink(const QUrl& link);
  bool InputKey(QKeyEvent* event);
  void InsertPicture();
  void PrepareOptionMenus();
  void ShowViewMenu(const QPoint& position);
  void SavePictureAsFile();
  void SavePictureAsEmote();
  void TakePhoto(bool own);
  void ChooseRecordingSource(int index);
  void SetInputVolume(int value);

  TManager& manager_;
  std::uint32_t friend_code_;
  QToolButton* face_;
  QLabel* name_line_;
  QLabel* hint_;
  TChatPicture* friend_picture_;
  TChatPicture* my_picture_;
  QTextBrowser* view_;
  QTextEdit* input_;
  QCheckBox* enter_sends_;
  QWidget* audio_controls_;
  QComboBox* source_;
  QSlider* input_volume_;
  QSlider* output_volume_;
  QProgressBar* input_gauge_;
  QProgressBar* output_gauge_;
  QCheckBox* normal_quality_;
  QCheckBox* high_quality_;
  QMenu* friend_menu_;
  QMenu* own_menu_;
  QMenu* input_menu_;
  QMenu* view_menu_;
  QAction* save_file_action_ = nullptr;
  QAction* save_emote_action_ = nullptr;
  QImage clicked_picture_;  // the picture last right-clicked in the conversation
  QTimer frame_timer_;
  QTimer shake_timer_;
  int shake_step_ = 0;
  QPoint shake_origin_;
  bool shown_ = false;
  bool view_at_end_ = true;
};

}  // namespace kiv::chat
