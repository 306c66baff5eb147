#include "video_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "qt_app.h"

namespace kiv::video::testing {

namespace {
DeliveredFrames frames;
const auto* const qt_environment = ::testing::AddGlobalTestEnvironment(new kiv::QtApplicationEnvironment);
}  // namespace

DeliveredFrames& Frames() { return frames; }

void ResetFrames() { frames = DeliveredFrames{}; }

void RecordFrame(void* buffer, std::uint32_t size, QImage* bitmap) {
  std::unique_ptr<QImage> owned(bitmap);
  ++frames.count;
  frames.sizes.push_back(size);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  frames.last_buffer.assign(bytes, bytes + size);
  if (owned) frames.last_bitmap = *owned;
  if (frames.on_frame) frames.on_frame();
}

double Psnr(const QImage& a, const QImage& b) {
  if (a.size() != b.size() || a.isNull()) return 0;
  const QImage x = a.convertToFormat(QImage::Format_RGB888);
  const QImage y = b.convertToFormat(QImage::Format_RGB888);
  double sum = 0;
  for (int row = 0; row < x.height(); ++row) {
    const uchar* p = x.constScanLine(row);
    const uchar* q = y.constScanLine(row);
    for (int i = 0; i < x.width() * 3; ++i) sum += (p[i] - q[i]) * (p[i] - q[i]);
  }
  const double mse = sum / (x.width() * x.height() * 3.0);
  return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace kiv::video::testing
