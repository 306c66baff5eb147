// Feeds received chat-plug-in messages to their readers as a peer could send them, and the text
// message's document to the sanitiser that every received document passes through before it is
// shown or recorded.
//
// Input: one message body as it arrives (code first). The first byte picks the code, so that every
// reader sees most inputs; the rest is the body after the code.
#include <QGuiApplication>
#include <QString>
#include <cstdint>
#include <span>

#include "chat_document.h"
#include "chat_wire.h"

namespace {

// Made once and never freed: Qt's own globals are gone by the time exit handlers would free them.
QGuiApplication* app = nullptr;

constexpr std::uint32_t kCodes[] = {kiv::chat::wire::kChatMessage, kiv::chat::wire::kOperate,
                                    kiv::chat::wire::kAudioData, kiv::chat::wire::kVideoData};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  app = new QGuiApplication(*argc, *argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace w = kiv::chat::wire;
  if (size < 1) return 0;
  kiv::Bytes body(4 + size - 1);
  kiv::StoreU32(body.data(), kCodes[data[0] % 4]);
  std::copy(data + 1, data + size, body.begin() + 4);
  const std::span<const std::uint8_t> bytes(body);
  switch (data[0] % 4) {
    case 0:
      if (auto m = w::ReadTextMessage(bytes)) {
        if (m->content.size() > bytes.size() - w::text::kHeaderSize) __builtin_trap();
        const QString html = QString::fromUtf8(reinterpret_cast<const char*>(m->content.data()),
                                               static_cast<qsizetype>(m->content.size()));
        (void)kiv::chat::SanitiseChatDocument(html);
      }
      break;
    case 1:
      if (auto m = w::ReadOperateMessage(bytes)) (void)w::OperateMessage(*m);
      break;
    case 2:
      if (auto m = w::ReadAudioMessage(bytes))
        if (m->data.size() > w::audio::kMaxData) __builtin_trap();
      break;
    default:
      if (auto m = w::ReadVideoMessage(bytes))
        if (std::uint32_t{m->width} * m->height > w::kMaxVideoPixels) __builtin_trap();
      break;
  }
  return 0;
}
