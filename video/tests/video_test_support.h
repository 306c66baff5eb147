// Helpers of the engine's widget tests: frame callbacks that record what they get, picture compare.
#pragma once

#include <QImage>
#include <cstdint>
#include <functional>
#include <vector>

namespace kiv::video::testing {

// What the frame callback received.
struct DeliveredFrames {
  int count = 0;
  std::vector<std::uint32_t> sizes;
  std::vector<std::uint8_t> last_buffer;
  QImage last_bitmap;
  // Runs inside the callback after recording, when set.
  std::function<void()> on_frame;
};

// The frames seen by RecordFrame since the last Reset.
DeliveredFrames& Frames();
void ResetFrames();
// A frame callback that records into Frames().
void RecordFrame(void* buffer, std::uint32_t size, QImage* bitmap);

// PSNR in dB of two pictures of the same size over their RGB channels (99 when equal, 0 when the
// sizes differ).
double Psnr(const QImage& a, const QImage& b);

}  // namespace kiv::video::testing
