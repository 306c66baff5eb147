#include "video_interface.h"

#include <QCoreApplication>
#include <QThread>
#include <algorithm>
#include <memory>
#include <vector>

#include "core/capture_source.h"
#include "display_unit.h"

using kiv::video::TVideoManager;
using kiv::video::TVideoPlay;

namespace {

// The process's camera, when it runs.
std::unique_ptr<TVideoManager> video_manager;

// The players, in the order they were made; exists while it holds one.
std::unique_ptr<std::vector<std::unique_ptr<TVideoPlay>>> display_list;

bool OnMainThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return !app || QThread::currentThread() == app->thread();
}

TVideoPlay* FindPlayer(const QLabel* picture) {
  if (!display_list) return nullptr;
  // The earliest player of the control wins.
  for (const auto& player : *display_list) {
    if (player->Control() == picture) return player.get();
  }
  return nullptr;
}

}  // namespace

extern "C" {

bool StartVideo(QObject* window, std::int32_t device, std::int32_t width, std::int32_t height,
                kiv::video::TVideoFrameCallback callback, std::uint8_t frame_rate) {
  Q_ASSERT(OnMainThread());
  try {
    if (video_manager) return false;
    auto manager = std::make_unique<TVideoManager>();
    if (!manager->Open(window, device, width, height, callback, frame_rate)) return false;
    video_manager = std::move(manager);
    return true;
  } catch (...) {
    return false;
  }
}

bool StopVideo() {
  Q_ASSERT(OnMainThread());
  try {
    if (!video_manager) return false;
    std::unique_ptr<TVideoManager> manager = std::move(video_manager);
    manager->Close();
    if (manager->Delivering()) {
      // Called from inside the frame callback: the manager is still on the stack below us. It is
      // closed (nothing more is delivered); free it once the callback has returned.
      TVideoManager* closing = manager.release();
      QMetaObject::invokeMethod(
          QCoreApplication::instance(), [closing] { delete closing; }, Qt::QueuedConnection);
    }
    return true;
  } catch (...) {
    return false;
  }
}

bool RestartVideo() { return true; }

bool CheckDevice() {
  try {
    return kiv::video::HasCameraDevice();
  } catch (...) {
    return false;
  }
}

bool CheckDeviceExists() { return CheckDevice(); }

bool CheckDeviceWorking() { return video_manager && video_manager->IsOpen(); }

bool CompressData(const void** data, std::uint32_t* size, bool* key_frame) {
  Q_ASSERT(OnMainThread());
  try {
    if (!video_manager || !data || !size || !key_frame) return false;
    return video_manager->CompressData(*data, *size, *key_frame);
  } catch (...) {
    return false;
  }
}

void GetVideoFormat(std::int32_t* width, std::int32_t* height) {
  if (width) *width = video_manager ? video_manager->Width() : 0;
  if (height) *height = video_manager ? video_manager->Height() : 0;
}

QStringList* GetVideoDeviceList() {
  try {
    auto* names = new QStringList;
    const std::vector<kiv::video::TDevice> devices =
        video_manager ? video_manager->Devices() : kiv::video::ListCaptureDevices();
    for (const auto& device : devices) names->append(QString::fromStdString(device.name));
    return names;
  } catch (...) {
    return nullptr;
  }
}

void ShowVideoPropertyPage() {
  Q_ASSERT(OnMainThread());
  try {
    if (video_manager) video_manager->ShowPropertyPage();
  } catch (...) {
  }
}

bool StartPlayVideoData(QLabel* picture) {
  Q_ASSERT(OnMainThread());
  try {
    if (!display_list) display_list = std::make_unique<std::vector<std::unique_ptr<TVideoPlay>>>();
    if (!FindPlayer(picture)) display_list->push_back(std::make_unique<TVideoPlay>(picture));
  } catch (...) {
  }
  return false;
}

bool PlayVideoData(const void* data, std::int32_t length, QLabel* picture, std::int32_t width,
                   std::int32_t height) {
  Q_ASSERT(OnMainThread());
  try {
    TVideoPlay* player = FindPlayer(picture);
    if (!player) return false;
    if (length > 0)
      player->PlayData(static_cast<const std::uint8_t*>(data), static_cast<std::uint32_t>(length), width,
                       height);
    return true;
  } catch (...) {
    return false;
  }
}

bool StopPlayVideoData(QLabel* picture) {
  Q_ASSERT(OnMainThread());
  try {
    if (!display_list) return true;
    std::erase_if(*display_list, [picture](const auto& player) { return player->Control() == picture; });
    if (display_list->empty()) display_list.reset();
    return true;
  } catch (...) {
    return false;
  }
}

std::uint8_t GetPlayFormat(QLabel* picture) {
  const TVideoPlay* player = FindPlayer(picture);
  if (!player || player->Width() == 160) return 1;
  return 2;
}

}  // extern "C"
