// The global "show" hot key: a key grab on the X11 root window through xcb, reported as Pressed().
// Where no X server runs (Wayland without XWayland, the offscreen platform) registering is a logged
// no-op that reports failure.
//
// A shortcut is 16 bits: the low byte a virtual-key code ('A'..'Z', '0'..'9', 0x70.. for F1..F24,
// and the usual editing and navigation keys), 0x8000 Alt, 0x4000 Ctrl, 0x2000 Shift.
//
// Threads: main thread only.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <cstdint>

namespace kiv {

// X11 modifier masks.
inline constexpr std::uint16_t kX11ShiftMask = 0x0001;
inline constexpr std::uint16_t kX11LockMask = 0x0002;
inline constexpr std::uint16_t kX11ControlMask = 0x0004;
inline constexpr std::uint16_t kX11Mod1Mask = 0x0008;  // Alt
inline constexpr std::uint16_t kX11Mod2Mask = 0x0010;  // Num Lock

// The X11 modifier mask of a shortcut.
std::uint16_t HotKeyModifiers(std::uint16_t shortcut);
// The X11 key symbol of the shortcut's virtual-key code; 0 for none or an unknown code.
std::uint32_t HotKeyKeysym(std::uint16_t shortcut);

class THotKey : public QObject, public QAbstractNativeEventFilter {
  Q_OBJECT

 public:
  explicit THotKey(QObject* parent = nullptr);
  ~THotKey() override;

  // Grabs `shortcut` (0: none), replacing the key grabbed before. False when it cannot be grabbed
  // (no X server, no such key, or another program holds it).
  bool Register(std::uint16_t shortcut);
  void Unregister();
  std::uint16_t Shortcut() const { return shortcut_; }

  bool nativeEventFilter(const QByteArray& event_type, void* message, qintptr* result) override;

 signals:
  void Pressed();

 private:
  std::uint16_t shortcut_ = 0;
  std::uint8_t keycode_ = 0;
  std::uint16_t modifiers_ = 0;
  bool filtering_ = false;
};

}  // namespace kiv
