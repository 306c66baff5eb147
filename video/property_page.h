// The capture device's own settings (brightness, contrast, white balance, …) in a window captioned
// "视频": one row per V4L2 control the driver offers, applied as soon as it changes.
#pragma once

#include <QDialog>

#include "core/capture_source.h"
#include "video_api.h"

class QWidget;

namespace kiv::video {

// Builds the settings window of `device` (not shown). The test picture and devices without controls
// get a window that says so.
KIVVIDEO_API QDialog* CreateDevicePropertyPage(const TDevice& device, QWidget* parent);

// Shows the settings window of `device` modally over `parent`.
void ShowDevicePropertyPage(const TDevice& device, QWidget* parent);

}  // namespace kiv::video
