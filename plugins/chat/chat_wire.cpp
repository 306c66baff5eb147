#include "chat_wire.h"

#include <cstring>


namespace kiv::chat::wire {

namespace {

double LoadDouble(std::span<const std::uint8_t> bytes) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < 8; ++i) bits |= std::uint64_t{bytes[i]} << (8 * i);
  double value = 0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void StoreDouble(std::span<std::uint8_t> out, double value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

}  // namespace

std::optional<TTextMessage> ReadTextMessage(std::span<const std::uint8_t> body) {
  RecordReader r(body);
  if (!r.has(0, text::kHeaderSize)) return std::nullopt;
  const std::uint32_t size = r.u32(text::kContentSize);
  if (size > text::kMaxContent || size > body.size() - text::kHeaderSize) return std::nullopt;
  TTextMessage m;
  m.target = r.u32(text::kTarget);
  m.sender = r.u32(text::kSender);
  m.send_time = LoadDouble(body.subspan(text::kSendTime, 8));
  m.content = body.subspan(text::kHeaderSize, size);
  return m;
}

std::optional<TOperateMessage> ReadOperateMessage(std::span<const std::uint8_t> body) {
  RecordReader r(body);
  if (!r.has(0, operate::kSize)) return std::nullopt;
  TOperateMessage m;
  m.target = r.u32(operate::kTarget);
  m.id = r.u32(operate::kId);
  m.kind = r.u8(operate::kKind);
  m.step = r.u8(operate::kStep);
  m.sender = r.u32(operate::kSender);
  m.value = r.u32(operate::kValue);
  m.file_name = r.text(operate::kFileName, 255);
  return m;
}

std::optional<TAudioMessage> ReadAudioMessage(std::span<const std::uint8_t> body) {
  RecordReader r(body);
  if (!r.has(0, audio::kHeaderSize)) return std::nullopt;
  const std::uint32_t size = r.u32(audio::kDataSize);
  if (size == 0 || size > audio::kMaxData || size > body.size() - audio::kHeaderSize) return std::nullopt;
  TAudioMessage m;
  m.quality = r.u8(audio::kQuality);
  m.target = r.u32(audio::kTarget);
  m.sender = r.u32(audio::kSender);
  m.data = body.subspan(audio::kHeaderSize, size);
  return m;
}

std::optional<TVideoMessage> ReadVideoMessage(std::span<const std::uint8_t> body) {
  RecordReader r(body);
  if (!r.has(0, video::kHeaderSize)) return std::nullopt;
  const std::uint32_t size = r.u32(video::kFrameSize);
  if (size == 0 || size > kMaxVideoFrame || size > body.size() - video::kHeaderSize) return std::nullopt;
  TVideoMessage m;
  m.width = r.u16(video::kWidth);
  m.height = r.u16(video::kHeight);
  if (m.width == 0 || m.height == 0 || m.width % 2 != 0 || m.height % 2 != 0 ||
      std::uint32_t{m.width} * m.height > kMaxVideoPixels)
    return std::nullopt;
  m.target = r.u32(video::kTarget);
  m.sender = r.u32(video::kSender);
  m.key_frame = r.u8(video::kKeyFrame) == 1;
  m.frame = body.subspan(video::kHeaderSize, size);
  return m;
}

Bytes TextMessage(std::uint32_t target, std::uint32_t sender, double send_time,
                  std::span<const std::uint8_t> content) {
  RecordWriter w(text::kHeaderSize + content.size());
  w.u32(0, kChatMessage).u32(text::kTarget, target).u32(text::kSender, sender);
  w.u32(text::kContentSize, static_cast<std::uint32_t>(content.size())).bytes(text::kHeaderSize, content);
  Bytes out = w.take();
  StoreDouble(std::span(out).subspan(text::kSendTime, 8), send_time);
  return out;
}

Bytes OperateMessage(const TOperateMessage& m) {
  RecordWriter w(operate::kSize);
  w.u32(0, kOperate).u32(operate::kTarget, m.target).u32(operate::kId, m.id).u8(operate::kKind, m.kind);
  w.u8(operate::kStep, m.step).u32(operate::kSender, m.sender).u32(operate::kValue, m.value);
  w.text(operate::kFileName, 255, m.file_name);
  return w.take();
}

Bytes AudioMessage(std::uint32_t target, std::uint32_t sender, std::uint8_t quality,
                   std::span<const std::uint8_t> data) {
  RecordWriter w(audio::kHeaderSize + data.size());
  w.u32(0, kAudioData).u8(audio::kQuality, quality).u32(audio::kTarget, target).u32(audio::kSender, sender);
  w.u32(audio::kDataSize, static_cast<std::uint32_t>(data.size())).bytes(audio::kHeaderSize, data);
  return w.take();
}

Bytes VideoMessage(std::uint32_t target, std::uint32_t sender, bool key_frame, std::uint16_t width,
                   std::uint16_t height, std::span<const std::uint8_t> frame) {
  RecordWriter w(video::kHeaderSize + frame.size());
  w.u32(0, kVideoData).u32(video::kTarget, target).u32(video::kSender, sender);
  w.u8(video::kKeyFrame, key_frame ? 1 : 0).u16(video::kWidth, width).u16(video::kHeight, height);
  w.u32(video::kFrameSize, static_cast<std::uint32_t>(frame.size())).bytes(video::kHeaderSize, frame);
  return w.take();
}

std::vector<TRoute> Routes(const TRouteFacts& facts) {
  std::vector<TRoute> routes;
  if (facts.has_connection) routes.push_back(TRoute::kDirect);
  if (facts.text && facts.friend_state == 0) {
    routes.push_back(TRoute::kHomeServer);
  } else if (facts.relay_allowed && facts.friend_server_known) {
    routes.push_back(TRoute::kFriendServer);
  }
  return routes;
}

}  // namespace kiv::chat::wire
