// Feeds received-frame traffic to PlayVideoData as a peer could send it: picture sizes from the
// message header (sane, hostile or changing between frames) and access units of arbitrary bytes,
// into one picture control on the offscreen platform.
//
// Input: a run of records [size pick: 1][length: 2, little-endian][frame bytes]. The size pick selects
// one of a few common sizes, or (pick >= 0xF0) takes width and height from the next four bytes.
#include <QApplication>
#include <QLabel>
#include <cstdint>
#include <cstdlib>

#include "video_interface.h"

namespace {

// Made once and never freed: Qt's own globals are gone by the time exit handlers would free them.
QApplication* app = nullptr;
QLabel* picture = nullptr;

struct Size {
  std::int32_t width, height;
};
constexpr Size kSizes[] = {{160, 120}, {176, 144}, {320, 240},  {352, 288}, {0, 0},
                           {640, 480}, {175, 144}, {-176, 144}, {16, 16},   {352, 290}};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  app = new QApplication(*argc, *argv);
  picture = new QLabel;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  StartPlayVideoData(picture);
  std::size_t pos = 0;
  while (pos + 3 <= size) {
    const std::uint8_t pick = data[pos];
    std::size_t length = data[pos + 1] | std::size_t{data[pos + 2]} << 8;
    pos += 3;
    Size frame_size = kSizes[pick % (sizeof(kSizes) / sizeof(kSizes[0]))];
    if (pick >= 0xF0 && pos + 4 <= size) {
      frame_size.width = static_cast<std::int16_t>(data[pos] | data[pos + 1] << 8);
      frame_size.height = static_cast<std::int16_t>(data[pos + 2] | data[pos + 3] << 8);
      pos += 4;
    }
    if (length > size - pos) length = size - pos;
    if (!PlayVideoData(data + pos, static_cast<std::int32_t>(length), picture, frame_size.width,
                       frame_size.height)) {
      std::abort();  // the control has a player
    }
    pos += length;
    const std::uint8_t format = GetPlayFormat(picture);
    if (format != 1 && format != 2) std::abort();
  }
  StopPlayVideoData(picture);
  if (PlayVideoData(data, 0, picture, 176, 144)) std::abort();
  return 0;
}
