// The flat interface over one process-wide engine.
#include "udp_interface.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMetaObject>
#include <cstring>
#include <memory>
#include <mutex>

#include "udp_info.h"
#include "udp_kivudp.h"
#include "udp_qt_main_thread.h"

namespace kiv {
namespace {

// The engine and what serves it. Created by UDPStart, destroyed by UDPStop; the pointer is read by
// every other function under `g_mutex`, and the engine itself is thread-safe.
struct TTransport {
  TQtMainThread main_thread;
  std::unique_ptr<TKivUDP> engine;
  std::unique_ptr<TInfoForm> info;
  TUDPDataCallback on_data = nullptr;
  TUDPDisconnectCallback on_disconnect = nullptr;
};

std::mutex g_mutex;
std::shared_ptr<TTransport> g_transport;
// Callbacks of the engine running on this thread, counted so that UDPStop called from one of
// them leaves the engine's frames on the stack intact.
thread_local int t_callback_depth = 0;

struct TCallbackScope {
  TCallbackScope() { ++t_callback_depth; }
  ~TCallbackScope() { --t_callback_depth; }
};

std::shared_ptr<TTransport> Current() {
  std::lock_guard lock(g_mutex);
  return g_transport;
}

std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

template <typename Result, typename Fn>
Result Guarded(Result failure, Fn&& fn) {
  try {
    return fn();
  } catch (...) {
    return failure;
  }
}

}  // namespace
}  // namespace kiv

using namespace kiv;

bool UDPStart(uint16_t port, uint8_t mode, TUDPDataCallback on_data, TUDPDisconnectCallback on_disconnect) {
  return Guarded(false, [&] {
    std::lock_guard lock(g_mutex);
    if (g_transport) return true;
    if (mode == 0 && !QCoreApplication::instance()) return false;  // mode 0 lives in a Qt event loop
    auto t = std::make_shared<TTransport>();
    TEngineOptions options;
    options.main_thread = &t->main_thread;
    t->engine = std::make_unique<TKivUDP>(options);
    t->main_thread.Attach(t->engine.get());
    t->on_data = on_data;
    t->on_disconnect = on_disconnect;
    t->engine->SetCallbacks(
        [on_data](std::uint16_t h, const std::uint8_t* d, std::uint32_t n) {
          TCallbackScope scope;
          if (on_data) on_data(h, d, n);
        },
        [on_disconnect](std::uint16_t h, std::uint8_t reason) {
          TCallbackScope scope;
          if (on_disconnect) on_disconnect(h, reason);
        });
    bool started = t->engine->Start(port, mode);
    // The diagnostics window needs a widget application; its timer also keeps the per-second figures.
    if (qobject_cast<QApplication*>(QCoreApplication::instance()))
      t->info = std::make_unique<TInfoForm>(*t->engine);
    g_transport = t;
    return started;
  });
}

bool UDPStop(void) {
  return Guarded(false, [] {
    std::shared_ptr<TTransport> t;
    {
      std::lock_guard lock(g_mutex);
      t.swap(g_transport);
    }
    if (!t) return true;
    t->info.reset();
    // Another thread may still hold `t` for a call in progress: the engine object stays until the
    // last holder lets go, and answers every call with failure once stopped.
    const bool stopped = t->engine->Stop();
    if (!stopped && t->engine->Started()) {
      // Refused (called on a thread of the engine's own): it keeps running, and stays current.
      std::lock_guard lock(g_mutex);
      if (!g_transport) g_transport = std::move(t);
      return false;
    }
    if (t_callback_depth > 0 && QCoreApplication::instance()) {
      // Called from a callback: the engine's frames are below us on the stack. It is freed from
      // the event loop once they have returned.
      QMetaObject::invokeMethod(
          QCoreApplication::instance(), [t = std::move(t)]() mutable { t.reset(); }, Qt::QueuedConnection);
    }
    return stopped;
  });
}

uint32_t UDPConnect(const char* address, uint16_t port, uint32_t timeout_ms) {
  return Guarded<uint32_t>(0, [&]() -> uint32_t {
    auto t = Current();
    if (!t || !address || !*address || port == 0) return 0;
    return t->engine->Connect(address, port, timeout_ms);
  });
}

bool UDPConnected(const char* address, uint16_t port) {
  return Guarded(false, [&] {
    auto t = Current();
    return t && address && *address && port != 0 && t->engine->HasPeer(address, port);
  });
}

bool UDPDisConnect(uint16_t handle) {
  return Guarded(false, [&] {
    auto t = Current();
    return t && t->engine->Disconnect(handle);
  });
}

bool UDPSendData(uint16_t handle, const void* data, uint32_t length, uint8_t channel, uint32_t threshold,
                 uint8_t mode) {
  return Guarded(false, [&] {
    auto t = Current();
    if (!t || handle == 0 || (!data && length)) return false;
    return t->engine->SendData(handle, {static_cast<const std::uint8_t*>(data), length}, channel, threshold,
                               mode);
  });
}

void UDPSendDataNow(uint16_t handle, const void* data, uint32_t length) {
  Guarded(0, [&] {
    if (auto t = Current(); t && handle != 0 && (data || !length))
      t->engine->SendDataNow(handle, {static_cast<const std::uint8_t*>(data), length}, kTypeUnreliable);
    return 0;
  });
}

void UDPSendTempData(uint16_t handle, const void* data, uint32_t length) {
  Guarded(0, [&] {
    if (auto t = Current(); t && (data || !length))
      t->engine->SendTempData(handle, {static_cast<const std::uint8_t*>(data), length}, 0);
    return 0;
  });
}

uint32_t UDPCreateTempRemote(const char* address, uint16_t port) {
  return Guarded<uint32_t>(0, [&]() -> uint32_t {
    auto t = Current();
    return t ? t->engine->CreateTempRemote(Text(address), port) : 0;
  });
}

void UDPSendMSGData(const char* address, uint16_t port, const void* data, uint32_t length) {
  Guarded(0, [&] {
    if (auto t = Current(); t && (data || !length))
      t->engine->SendMSGData(Text(address), port, {static_cast<const std::uint8_t*>(data), length});
    return 0;
  });
}

void UDPSetProxyInfo(const char* address, uint16_t port) {
  Guarded(0, [&] {
    auto t = Current();
    if (!t) return 0;
    if (!address || !*address) {
      t->engine->ClearProxy();
    } else {
      t->engine->SetProxy(address, port);
    }
    return 0;
  });
}

bool UDPGetRemoteAdd(uint16_t handle, char* address, uint32_t max_length, uint16_t* port) {
  return Guarded(false, [&] {
    auto t = Current();
    std::string ip;
    std::uint16_t p = 0;
    if (!t || !t->engine->GetRemoteAdd(handle, ip, p)) return false;
    if (address) {
      std::size_t n = std::min<std::size_t>(ip.size(), max_length);
      std::memcpy(address, ip.data(), n);
      address[n] = '\0';
    }
    if (port) *port = p;
    return true;
  });
}

uint32_t UDPGetPing(uint16_t handle) {
  return Guarded<uint32_t>(0, [&]() -> uint32_t {
    auto t = Current();
    return t ? t->engine->GetPing(handle) : 0;
  });
}

uint32_t UDPGetSendChannelSize(uint16_t handle, uint8_t channel) {
  return Guarded<uint32_t>(0, [&]() -> uint32_t {
    auto t = Current();
    if (!t || handle == 0) return 0;
    return static_cast<uint32_t>(
        std::min<std::uint64_t>(t->engine->GetSendChannelSize(handle, channel), UINT32_MAX));
  });
}

float UDPGetChannelResendRate(uint16_t handle, uint8_t position) {
  return Guarded(0.0f, [&] {
    auto t = Current();
    return t && handle != 0 ? t->engine->GetResendRate(handle, position) : 0.0f;
  });
}

void UDPViewInfo(void) {
  Guarded(0, [] {
    auto t = Current();
    if (t && t->info) {
      t->info->Button1Click();
      t->info->show();
      t->info->raise();
    }
    return 0;
  });
}

bool UDPSetServerPeer(uint16_t handle, bool is_server) {
  return Guarded(false, [&] {
    auto t = Current();
    if (!t) return false;
    std::string ip;
    std::uint16_t port = 0;
    if (!t->engine->GetRemoteAdd(handle, ip, port)) return false;
    t->engine->SetServerPeer(handle, is_server);
    return true;
  });
}

void Initialize(void) {}
void Finalize(void) {}
