// KivCatch's manager: screen capture into a chat input.
//
// On 0x70009 (data: the chat window's input, a QWidget* that is a QTextEdit) the desktop is grabbed
// and the overlay opens over it; the region the user picks is inserted at the input's cursor as a
// picture of the message. Where the platform refuses the grab, the global manager's message window
// says so and nothing else happens. One overlay at a time: a request while one is open only brings
// it to the front. The overlay closes when its input goes away.
//
// Main thread only.
#pragma once

#include <QImage>
#include <QPointer>
#include <QTextEdit>
#include <cstdint>
#include <functional>

#include "catch_grab.h"
#include "catch_overlay.h"

namespace kiv::capture {

// The local message the chat windows send.
inline constexpr std::uint32_t kMsgCatchScreen = 0x70009;

// What the user is told where the platform refuses a grab.
inline const QString kGrabRefusedText = QStringLiteral("无法截取屏幕：当前桌面不允许程序截图。");

class TManager {
 public:
  using TGrabber = std::function<TDesktopShot()>;

  TManager() = default;
  ~TManager();
  TManager(const TManager&) = delete;
  TManager& operator=(const TManager&) = delete;

  // How the desktop is grabbed: GrabDesktop, or a picture of a test's own.
  static TGrabber& Grabber();

  // Local message 0x70009; others are ignored.
  void DealMessage(std::uint32_t code, void* data, std::uint32_t size);
  // Grabs the desktop and opens the overlay for `input`.
  void CatchScreen(QTextEdit* input);
  // Closes and frees the overlay at once (before the plug-in is unloaded).
  void Stop();

  TCatchOverlay* Overlay() const { return overlay_; }

 private:
  void Insert(const QImage& picture);

  QPointer<QTextEdit> input_;
  QPointer<TCatchOverlay> overlay_;
};

// The plug-in's manager, made at first use.
TManager& Manager();

// Inserts `picture` at `input`'s cursor as a document resource of a name of its own, so the chat
// document encoder embeds it, scaled down first where the message could not carry it. The picture
// shows at its logical size (pixels over its device pixel ratio). False when nothing was inserted.
bool InsertPicture(QTextEdit& input, const QImage& picture);

}  // namespace kiv::capture
