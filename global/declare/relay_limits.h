// The messages a home server hands on from one client to a friend's client, and how large each may
// be. The bounds are the receiving client's: a message outside them is one no client reads, so the
// server's friends and chat roles drop it instead of spending a friend's bandwidth on it, and the
// plug-ins' readers are written against the same constants. No I/O, no Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "declare/chat_wire.h"
#include "declare/friend_wire.h"

namespace kiv::relay_limits {

struct TRelayLimit {
  std::uint32_t code;
  std::size_t header;      // the fixed part; nothing shorter is relayed
  std::size_t max_size;    // the whole message, code included
  std::size_t size_field;  // 0: none; else the u32 there counts the bytes after the header
};

namespace cw = chat_wire;
namespace fw = friend_wire;

inline constexpr TRelayLimit kRelayLimits[] = {
    {cw::kChatMessage, cw::text::kHeaderSize, cw::text::kMaxSize, cw::text::kContentSize},
    {cw::kOperate, cw::operate::kSize, cw::operate::kSize, 0},
    {cw::kFileData, cw::file_data::kHeaderSize, cw::file_data::kHeaderSize + cw::file_data::kBlockBytes,
     cw::file_data::kBlockSize},
    {cw::kAudioData, cw::audio::kHeaderSize, cw::audio::kBufferSize, cw::audio::kDataSize},
    {cw::kVideoData, cw::video::kHeaderSize, cw::video::kHeaderSize + cw::video::kMaxFrame,
     cw::video::kFrameSize},
    {fw::kUserState, fw::state::kSize, fw::state::kSize, 0},
    {fw::kAddFriend, fw::add::kSize, fw::add::kSize, 0},
    {fw::kConnect, fw::connect::kSize, fw::connect::kSize, 0},
    {fw::kInvite, fw::invite::kSize, fw::invite::kSize, 0},
};

constexpr const TRelayLimit* RelayLimitOf(std::uint32_t code) {
  for (const TRelayLimit& limit : kRelayLimits)
    if (limit.code == code) return &limit;
  return nullptr;
}

// True when `message` (code included) is within the limit of its code: at least the header, at
// most the maximum, and with a size field whose count fits the bytes after the header. False for a
// code that is not relayed.
constexpr bool WithinRelayLimit(std::span<const std::uint8_t> message) {
  if (message.size() < 4) return false;
  auto u32 = [&](std::size_t at) {
    return std::uint32_t{message[at]} | std::uint32_t{message[at + 1]} << 8 |
           std::uint32_t{message[at + 2]} << 16 | std::uint32_t{message[at + 3]} << 24;
  };
  const TRelayLimit* limit = RelayLimitOf(u32(0));
  if (!limit || message.size() < limit->header || message.size() > limit->max_size) return false;
  return limit->size_field == 0 || u32(limit->size_field) <= message.size() - limit->header;
}

}  // namespace kiv::relay_limits
