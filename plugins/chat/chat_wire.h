// The chat plug-in's messages on the wire and the routes it sends them by.
//
// Bodies are packed and little-endian. Readers take nothing on trust: a body is accepted only when
// its fixed header is there and the size field it carries fits the bytes that arrived, and pictures
// are bounded before anything is made for them. No Qt; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/wire.h"

namespace kiv::chat::wire {

inline constexpr std::uint32_t kChatMessage = 0x10001;
inline constexpr std::uint32_t kOperate = 0x10002;
inline constexpr std::uint32_t kFileData = 0x10008;
inline constexpr std::uint32_t kAudioData = 0x10009;
inline constexpr std::uint32_t kVideoData = 0x10010;

// Transport channels and flow-control thresholds.
inline constexpr std::uint8_t kTextChannel = 21;
inline constexpr std::uint8_t kOperateChannel = 0;
inline constexpr std::uint8_t kVideoChannel = 22;
inline constexpr std::uint8_t kAudioChannel = 23;
inline constexpr std::uint32_t kMediaThreshold = 50000;

namespace text {
inline constexpr std::size_t kTarget = 4, kSender = 8, kSendTime = 12, kContentSize = 20, kHeaderSize = 24;
// A document of at most 409600 bytes after the header.
inline constexpr std::size_t kMaxContent = 409600;
}  // namespace text

namespace operate {
inline constexpr std::size_t kTarget = 4, kId = 8, kKind = 12, kStep = 13, kSender = 14, kValue = 18,
                             kFileName = 22, kSize = 278;
}  // namespace operate

namespace audio {
inline constexpr std::size_t kQuality = 8, kTarget = 15, kSender = 19, kDataSize = 23, kHeaderSize = 27;
// Blocks are assembled in a buffer of this size.
inline constexpr std::size_t kBufferSize = 204800;
inline constexpr std::size_t kMaxData = kBufferSize - kHeaderSize;
}  // namespace audio

namespace video {
inline constexpr std::size_t kTarget = 12, kSender = 16, kKeyFrame = 20, kWidth = 21, kHeight = 23,
                             kFrameSize = 25, kHeaderSize = 29;
// The largest picture a frame may describe (352 x 288) and the largest compressed frame.
inline constexpr std::uint32_t kMaxPixels = 352 * 288;
inline constexpr std::size_t kMaxFrame = 102400;
}  // namespace video

// Operation steps of voice and video calls.
inline constexpr std::uint8_t kStepRequest = 1, kStepAccept = 2, kStepRefuse = 3, kStepCancel = 4, kStepEnd = 5;
// Who made a pending operation: this side sent the request, or received it.
inline constexpr std::uint8_t kRoleSent = 1, kRoleReceived = 2, kRoleFile = 3;

struct TTextMessage {
  std::uint32_t target = 0, sender = 0;
  double send_time = 0;  // days since 1899-12-30, the sender's local time; may be anything
  std::span<const std::uint8_t> content;
};

struct TOperateMessage {
  std::uint32_t target = 0, sender = 0, id = 0, value = 0;
  std::uint8_t kind = 0, step = 0;
  std::string file_name;  // UTF-8, the name part only
};

struct TAudioMessage {
  std::uint32_t target = 0, sender = 0;
  std::uint8_t quality = 0;
  std::span<const std::uint8_t> data;
};

struct TVideoMessage {
  std::uint32_t target = 0, sender = 0;
  bool key_frame = false;
  std::uint16_t width = 0, height = 0;
  std::span<const std::uint8_t> frame;
};

std::optional<TTextMessage> ReadTextMessage(std::span<const std::uint8_t> body);
std::optional<TOperateMessage> ReadOperateMessage(std::span<const std::uint8_t> body);
std::optional<TAudioMessage> ReadAudioMessage(std::span<const std::uint8_t> body);
// Also refuses a picture size of 0, odd sides, or more than kMaxPixels.
std::optional<TVideoMessage> ReadVideoMessage(std::span<const std::uint8_t> body);

Bytes TextMessage(std::uint32_t target, std::uint32_t sender, double send_time,
                  std::span<const std::uint8_t> content);
Bytes OperateMessage(const TOperateMessage& m);
Bytes AudioMessage(std::uint32_t target, std::uint32_t sender, std::uint8_t quality,
                   std::span<const std::uint8_t> data);
Bytes VideoMessage(std::uint32_t target, std::uint32_t sender, bool key_frame, std::uint16_t width,
                   std::uint16_t height, std::span<const std::uint8_t> frame);

// The ways to a friend, in the order they are tried; a failed one hands over to the next.
enum class TRoute : std::uint8_t {
  kDirect,        // the friend's own connection
  kHomeServer,    // the user's server keeps a text message for an offline friend
  kFriendServer,  // connectionless to the friend's server, which hands it on
};
struct TRouteFacts {
  bool has_connection = false;
  bool text = false;  // a 0x10001 message
  std::uint8_t friend_state = 0;
  bool relay_allowed = false;  // byte 92 of the server's parameters is 1
  bool friend_server_known = false;
};
std::vector<TRoute> Routes(const TRouteFacts& facts);

}  // namespace kiv::chat::wire
