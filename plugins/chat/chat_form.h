// TChatForm: one conversation with one friend. This is the small window the chat manager drives:
// the friend's name line and pictures, the conversation view, the input, and the buttons for
// sending, the nudge and the calls. It holds the conversation's state (pending operations, the
// call flags) and calls the manager for everything that leaves the window.
//
// Threads: main thread only.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <vector>

#include "declare/declare.h"

namespace kiv::chat {

class TManager;
class TFileWindow;

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
  QWidget* AudioControls() const { return audio_controls_; }
  QProgressBar* InputGauge() const { return input_gauge_; }
  QProgressBar* OutputGauge() const { return output_gauge_; }
  QComboBox* QualityBox() const { return quality_; }

  // Adds a line of the window's own (notices, call texts) to the conversation.
  void AddLine(const QString& text);
  // Adds a line that ends in hot links: "$Yes$" (when `yes`) and "$No$", tagged with the operation
  // and the side that made it (both sides number their operations alike).
  void AddHotLinks(const QString& text, std::uint32_t operation, std::uint8_t role, bool yes);
  // Removes the hot links of the operation.
  void RemoveHotLinks(std::uint32_t operation, std::uint8_t role);
  // Removes every hot link whose target starts with `prefix`.
  void RemoveLinks(const QString& prefix);
  void SetHint(const QString& text);
  void ScrollToEnd();
  // Moves the window 10 pixels left, up, right and down, twice, from a timer.
  void Shake();
  // Whether the window was shown at least once (a window created hidden waits to be read).
  bool Shown() const { return shown_; }

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

 private:
  void OnLink(const QUrl& link);

  TManager& manager_;
  std::uint32_t friend_code_;
  QLabel* name_line_;
  QLabel* friend_picture_;
  QLabel* my_picture_;
  QTextBrowser* view_;
  QTextEdit* input_;
  QLabel* hint_;
  QWidget* audio_controls_;
  QProgressBar* input_gauge_;
  QProgressBar* output_gauge_;
  QComboBox* quality_;
  QSlider* volume_;
  QTimer frame_timer_;
  QTimer shake_timer_;
  int shake_step_ = 0;
  QPoint shake_origin_;
  bool shown_ = false;
};

}  // namespace kiv::chat
