// The emoticon package reader: any bytes are either a sound package or refused, never read past the
// end, whatever lengths, names and pictures the entries claim.
#include <QGuiApplication>
#include <cstddef>
#include <cstdint>
#include <span>

#include "emote_model.h"

namespace {

// Made once and never freed: Qt's own globals are gone by the time exit handlers would free them.
QGuiApplication* app = nullptr;

}  // namespace

// Pictures are decoded while a package is checked; Qt's image readers want an application.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  app = new QGuiApplication(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  QString error;
  (void)kiv::emote::ParseEmotePackage(std::span<const std::uint8_t>(data, size), &error);
  return 0;
}
