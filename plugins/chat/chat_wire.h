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
#include "declare/chat_wire.h"

namespace kiv::chat::wire {

// The codes, offsets, channels and thresholds the server and the clients share.
using namespace kiv::chat_wire;

// The largest picture a video frame may describe (352 x 288) and the largest compressed frame.
inline constexpr std::uint32_t kMaxVideoPixels = 352 * 288;
inline constexpr std::size_t kMaxVideoFrame = video::kMaxFrame;

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
// Also refuses a picture size of 0, odd sides, or more than kMaxVideoPixels.
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
