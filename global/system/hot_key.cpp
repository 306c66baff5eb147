#include "system/hot_key.h"

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLoggingCategory>

namespace kiv {

namespace {

Q_LOGGING_CATEGORY(HotKeyLog, "kivora.hotkey")

// The lock modifiers a grab must ignore: the key works with Caps Lock and Num Lock on as well.
constexpr std::uint16_t kLockVariants[] = {0, kX11LockMask, kX11Mod2Mask, kX11LockMask | kX11Mod2Mask};

xcb_connection_t* X11Connection() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}

xcb_window_t RootWindow(xcb_connection_t* connection) {
  const xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  if (screens.rem <= 0) return XCB_WINDOW_NONE;
  return screens.data->root;
}

}  // namespace

std::uint16_t HotKeyModifiers(std::uint16_t shortcut) {
  std::uint16_t mask = 0;
  if (shortcut & 0x8000) mask |= kX11Mod1Mask;
  if (shortcut & 0x4000) mask |= kX11ControlMask;
  if (shortcut & 0x2000) mask |= kX11ShiftMask;
  return mask;
}

std::uint32_t HotKeyKeysym(std::uint16_t shortcut) {
  const unsigned vk = shortcut & 0xFF;
  if (vk >= 'A' && vk <= 'Z') return vk - 'A' + 'a';  // XK_a .. XK_z
  if (vk >= '0' && vk <= '9') return vk;              // XK_0 .. XK_9
  if (vk >= 0x70 && vk <= 0x87) return 0xFFBE + (vk - 0x70);  // XK_F1 .. XK_F24
  if (vk >= 0x60 && vk <= 0x69) return 0xFFB0 + (vk - 0x60);  // XK_KP_0 .. XK_KP_9
  switch (vk) {
    case 0x08: return 0xFF08;  // Backspace
    case 0x09: return 0xFF09;  // Tab
    case 0x0D: return 0xFF0D;  // Return
    case 0x1B: return 0xFF1B;  // Escape
    case 0x20: return 0x0020;  // space
    case 0x21: return 0xFF55;  // Prior
    case 0x22: return 0xFF56;  // Next
    case 0x23: return 0xFF57;  // End
    case 0x24: return 0xFF50;  // Home
    case 0x25: return 0xFF51;  // Left
    case 0x26: return 0xFF52;  // Up
    case 0x27: return 0xFF53;  // Right
    case 0x28: return 0xFF54;  // Down
    case 0x2D: return 0xFF63;  // Insert
    case 0x2E: return 0xFFFF;  // Delete
    case 0x13: return 0xFF13;  // Pause
    case 0x91: return 0xFF14;  // Scroll Lock
    default: return 0;
  }
}

THotKey::THotKey(QObject* parent) : QObject(parent) {}

THotKey::~THotKey() { Unregister(); }

bool THotKey::Register(std::uint16_t shortcut) {
  Unregister();
  const std::uint32_t keysym = HotKeyKeysym(shortcut);
  if (keysym == 0) return false;
  xcb_connection_t* connection = X11Connection();
  if (!connection) {
    qCInfo(HotKeyLog) << "no X server: the show hot key is not available";
    return false;
  }
  const xcb_window_t root = RootWindow(connection);
  xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(connection);
  if (!symbols || root == XCB_WINDOW_NONE) {
    if (symbols) xcb_key_symbols_free(symbols);
    return false;
  }
  xcb_keycode_t* codes = xcb_key_symbols_get_keycode(symbols, keysym);
  const xcb_keycode_t keycode = codes ? codes[0] : XCB_NO_SYMBOL;
  free(codes);  // NOLINT(cppcoreguidelines-no-malloc): xcb hands out malloc'd memory
  xcb_key_symbols_free(symbols);
  if (keycode == XCB_NO_SYMBOL) return false;

  const std::uint16_t modifiers = HotKeyModifiers(shortcut);
  bool taken = true;
  for (std::uint16_t variant : kLockVariants) {
    const xcb_void_cookie_t cookie = xcb_grab_key_checked(connection, 1, root, modifiers | variant, keycode,
                                                          XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    if (xcb_generic_error_t* error = xcb_request_check(connection, cookie)) {
      free(error);  // NOLINT(cppcoreguidelines-no-malloc)
      taken = false;
    }
  }
  if (!taken) {
    for (std::uint16_t variant : kLockVariants) xcb_ungrab_key(connection, keycode, root, modifiers | variant);
    xcb_flush(connection);
    qCInfo(HotKeyLog) << "the show hot key is held by another program";
    return false;
  }
  xcb_flush(connection);
  shortcut_ = shortcut;
  keycode_ = keycode;
  modifiers_ = modifiers;
  if (!filtering_) {
    QCoreApplication::instance()->installNativeEventFilter(this);
    filtering_ = true;
  }
  return true;
}

void THotKey::Unregister() {
  if (keycode_ != 0) {
    if (xcb_connection_t* connection = X11Connection()) {
      const xcb_window_t root = RootWindow(connection);
      for (std::uint16_t variant : kLockVariants) xcb_ungrab_key(connection, keycode_, root, modifiers_ | variant);
      xcb_flush(connection);
    }
  }
  if (filtering_ && QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
  filtering_ = false;
  keycode_ = 0;
  modifiers_ = 0;
  shortcut_ = 0;
}

bool THotKey::nativeEventFilter(const QByteArray& event_type, void* message, qintptr* /*result*/) {
  if (keycode_ == 0 || event_type != "xcb_generic_event_t") return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  if ((event->response_type & 0x7F) != XCB_KEY_PRESS) return false;
  const auto* press = static_cast<const xcb_key_press_event_t*>(message);
  const std::uint16_t held = press->state & (kX11ShiftMask | kX11ControlMask | kX11Mod1Mask);
  if (press->detail != keycode_ || held != modifiers_) return false;
  emit Pressed();
  return true;
}

}  // namespace kiv
