// The chat messages between friends and between a client and its home server: codes, field
// offsets, sizes, channels and thresholds. Offsets count from the start of the message, code
// included. The chat plug-in, the server's chat role and the protocol test client build and read
// these messages from the same constants, so every side agrees by construction. No I/O, no Qt.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv::chat_wire {

inline constexpr std::uint32_t kChatMessage = 0x10001;
inline constexpr std::uint32_t kOperate = 0x10002;
inline constexpr std::uint32_t kFileData = 0x10008;
inline constexpr std::uint32_t kAudioData = 0x10009;
inline constexpr std::uint32_t kVideoData = 0x10010;

// Transport channels and flow-control thresholds of the chat messages.
inline constexpr std::uint8_t kOperateChannel = 0;
inline constexpr std::uint8_t kFirstFileChannel = 11;  // file data: 11..20, one per running send
inline constexpr std::uint8_t kLastFileChannel = 20;
inline constexpr std::uint8_t kTextChannel = 21;
inline constexpr std::uint8_t kVideoChannel = 22;
inline constexpr std::uint8_t kAudioChannel = 23;
// The home server hands kept text messages to their target on this channel of the home connection.
inline constexpr std::uint8_t kStoredTextChannel = 24;
inline constexpr std::uint32_t kMediaThreshold = 50000;

// 0x10001 text message: 24-byte header, then the document (its size is the message length minus 24).
namespace text {
inline constexpr std::size_t kTarget = 4;
inline constexpr std::size_t kSender = 8;
inline constexpr std::size_t kSendTime = 12;  // double, days since 1899-12-30 (sender's local time)
inline constexpr std::size_t kContentSize = 20;
inline constexpr std::size_t kHeaderSize = 24;
inline constexpr std::size_t kMaxContent = 409600;
inline constexpr std::size_t kMaxSize = kHeaderSize + kMaxContent;
}  // namespace text

// 0x10002 operation (278 bytes).
namespace operate {
inline constexpr std::size_t kSize = 278;
inline constexpr std::size_t kTarget = 4;
inline constexpr std::size_t kId = 8;
inline constexpr std::size_t kKind = 12;
inline constexpr std::size_t kStep = 13;
inline constexpr std::size_t kSender = 14;
inline constexpr std::size_t kValue = 18;
inline constexpr std::size_t kFileName = 22;  // string[255]
}  // namespace operate

// 0x10008 file data: 25-byte header, then the block.
namespace file_data {
inline constexpr std::size_t kHeaderSize = 25;
inline constexpr std::size_t kTarget = 4;
inline constexpr std::size_t kSender = 8;
inline constexpr std::size_t kId = 12;
inline constexpr std::size_t kOffset = 16;
inline constexpr std::size_t kLast = 20;
inline constexpr std::size_t kBlockSize = 21;
// What a sender puts in one block, and the most a receiver takes.
inline constexpr std::size_t kBlockBytes = 6000;
}  // namespace file_data

// 0x10009 voice block: 27-byte header, then the encoded voice.
namespace audio {
inline constexpr std::size_t kHeaderSize = 27;
inline constexpr std::size_t kQuality = 8;
inline constexpr std::size_t kTarget = 15;
inline constexpr std::size_t kSender = 19;
inline constexpr std::size_t kDataSize = 23;
inline constexpr std::size_t kBufferSize = 204800;  // a whole block, header included
inline constexpr std::size_t kMaxData = kBufferSize - kHeaderSize;
}  // namespace audio

// 0x10010 video frame: 29-byte header, then the compressed frame.
namespace video {
inline constexpr std::size_t kHeaderSize = 29;
inline constexpr std::size_t kTarget = 12;
inline constexpr std::size_t kSender = 16;
inline constexpr std::size_t kKeyFrame = 20;
inline constexpr std::size_t kWidth = 21;   // u16
inline constexpr std::size_t kHeight = 23;  // u16
inline constexpr std::size_t kFrameSize = 25;
inline constexpr std::size_t kMaxFrame = 102400;  // the largest compressed frame a client takes
}  // namespace video

}  // namespace kiv::chat_wire
