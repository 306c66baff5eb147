// The friend messages between clients and between a client and its home server: codes, sizes and
// field offsets. Offsets count from the start of the message, code included. The friends plug-in,
// the server's friends role and the protocol test client all build and read these messages from
// the same constants, so every side agrees by construction.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv::friend_wire {

inline constexpr std::uint32_t kChatText = 0x10001;
inline constexpr std::uint32_t kUserState = 0x10003;
inline constexpr std::uint32_t kAddFriend = 0x10004;
inline constexpr std::uint32_t kConnect = 0x10005;
inline constexpr std::uint32_t kInvite = 0x10006;
inline constexpr std::uint32_t kPhoto = 0x10007;
inline constexpr std::uint32_t kGroups = 0x30005;
inline constexpr std::uint32_t kOnline = 0x30006;
inline constexpr std::uint32_t kSearch = 0x30008;
inline constexpr std::uint32_t kSearchResult = 0x30009;
inline constexpr std::uint32_t kProfileRequest = 0x30012;
inline constexpr std::uint32_t kProfile = 0x30013;
inline constexpr std::uint32_t kListRequest = 0x30016;
inline constexpr std::uint32_t kList = 0x30017;
inline constexpr std::uint32_t kGroupOperation = 0x30018;
inline constexpr std::uint32_t kPhotoRequest = 0x30021;
inline constexpr std::uint32_t kGroupResult = 0x30024;

// Friend states and the reserved groups.
inline constexpr std::uint8_t kOffline = 0, kOnlineState = 1, kInvisible = 2;
inline constexpr std::uint32_t kDefaultGroup = 1, kBlockGroup = 3, kFirstUserGroup = 4;
inline constexpr std::size_t kMaxUserGroups = 10;  // besides groups 1 and 3 (12 in all, with group 2)
inline constexpr std::size_t kGroupNameLen = 40;

// 0x10004 friend request and answers (328 bytes).
namespace add {
inline constexpr std::size_t kSize = 328;
inline constexpr std::size_t kKind = 4;
inline constexpr std::size_t kTarget = 5;
inline constexpr std::size_t kSender = 9;
inline constexpr std::size_t kServer = 13;    // address: string[15] + u16 port at 29
inline constexpr std::size_t kNickname = 31;  // string[40]
inline constexpr std::size_t kText = 72;      // string[255]
enum Kind : std::uint8_t {
  kRequest = 2,
  kAdded = 3,
  kRefused = 4,
  kRequestSent = 5,
  kAlreadyFriends = 6,
  kDelete = 8,
  kDeleted = 9,
};
}  // namespace add

// 0x10003 user state (312 bytes).
namespace state {
inline constexpr std::size_t kSize = 312;
inline constexpr std::size_t kTarget = 4;
inline constexpr std::size_t kState = 8;
inline constexpr std::size_t kUserType = 9;
inline constexpr std::size_t kCamera = 10;
inline constexpr std::size_t kSender = 11;
inline constexpr std::size_t kSignature = 15;  // string[255]
inline constexpr std::size_t kReplyWanted = 271;
inline constexpr std::size_t kPhotoSize = 272;  // i32
inline constexpr std::size_t kOwnAddress = 276;
inline constexpr std::size_t kServer = 294;
}  // namespace state

// 0x10005 connect request (49 bytes).
namespace connect {
inline constexpr std::size_t kSize = 49;
inline constexpr std::size_t kTarget = 4;
inline constexpr std::size_t kSender = 8;
inline constexpr std::size_t kOwnAddress = 12;
inline constexpr std::size_t kServer = 30;
inline constexpr std::size_t kState = 48;
}  // namespace connect

// 0x10006 room invitation (17 bytes).
namespace invite {
inline constexpr std::size_t kSize = 17;
inline constexpr std::size_t kTarget = 4;
inline constexpr std::size_t kKind = 8;
inline constexpr std::size_t kRoom = 9;
inline constexpr std::size_t kSender = 13;
enum Kind : std::uint8_t { kInvite = 1, kRefused = 2, kAccepted = 3 };
}  // namespace invite

// 0x10007 custom photo: 16-byte header, then the photo's bytes; on channel 25.
namespace photo {
inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::size_t kTarget = 4;
inline constexpr std::size_t kSender = 8;
inline constexpr std::size_t kSizeField = 12;
inline constexpr std::uint32_t kMaxBytes = 8u << 20;
inline constexpr std::uint8_t kChannel = 25;
}  // namespace photo

// 0x30021 photo request (13 bytes).
namespace photo_request {
inline constexpr std::size_t kSize = 13;
inline constexpr std::size_t kTarget = 4;
inline constexpr std::size_t kRequester = 8;
inline constexpr std::size_t kKind = 12;
inline constexpr std::uint8_t kCustomPhoto = 1;
}  // namespace photo_request

// 0x30005 groups: 9-byte header, then entries of 45 bytes.
namespace groups {
inline constexpr std::size_t kHeaderSize = 9;
inline constexpr std::size_t kTarget = 4;
inline constexpr std::size_t kCount = 8;  // u8
inline constexpr std::size_t kEntrySize = 45;
inline constexpr std::size_t kId = 0;
inline constexpr std::size_t kName = 4;  // string[40]
}  // namespace groups

// 0x30006 online friends: 10-byte header, then entries of 43 bytes.
namespace online {
inline constexpr std::size_t kHeaderSize = 10;
inline constexpr std::size_t kTarget = 4;
inline constexpr std::size_t kCount = 8;  // u16
inline constexpr std::size_t kEntrySize = 43;
inline constexpr std::size_t kUser = 0;
inline constexpr std::size_t kOwnAddress = 4;
inline constexpr std::size_t kState = 22;
inline constexpr std::size_t kCamera = 23;
inline constexpr std::size_t kUserType = 24;
inline constexpr std::size_t kServer = 25;
}  // namespace online

// 0x30008 search (78 bytes).
namespace search {
inline constexpr std::size_t kSize = 78;
inline constexpr std::size_t kUser = 4;
inline constexpr std::size_t kNickname = 8;  // string[40]
inline constexpr std::size_t kOwnCode = 49;
inline constexpr std::size_t kCity = 54;  // string[20]
inline constexpr std::size_t kCameraOnly = 75;
inline constexpr std::size_t kOnlineOnly = 76;
inline constexpr std::size_t kSex = 77;  // 0 any, 1 male, 2 female
inline constexpr std::size_t kPageSize = 10;
}  // namespace search

// 0x30009 search results: 13-byte header, then TSearch_FriendInfo records of 111 bytes.
namespace search_result {
inline constexpr std::size_t kHeaderSize = 13;
inline constexpr std::size_t kTarget = 4;
inline constexpr std::size_t kCount = 8;  // u8
inline constexpr std::size_t kOnlineUsers = 9;
inline constexpr std::size_t kEntrySize = 111;
inline constexpr std::size_t kUser = 0;
inline constexpr std::size_t kNickname = 4;  // string[40]
inline constexpr std::size_t kSex = 45;
inline constexpr std::size_t kAge = 46;
inline constexpr std::size_t kFace = 47;
inline constexpr std::size_t kOnline = 48;
inline constexpr std::size_t kProvince = 49;  // string[20]
inline constexpr std::size_t kCity = 70;      // string[20]
inline constexpr std::size_t kCamera = 91;
inline constexpr std::size_t kVerifyMode = 92;
inline constexpr std::size_t kServer = 93;  // address
}  // namespace search_result

// 0x30012 profile request (13 bytes); purposes 2 (show) and 3 (refresh a friend just added).
namespace profile_request {
inline constexpr std::size_t kSize = 13;
inline constexpr std::size_t kSubject = 4;
inline constexpr std::size_t kRequester = 8;
inline constexpr std::size_t kPurpose = 12;
inline constexpr std::uint8_t kShow = 2, kFriendAdded = 3;
}  // namespace profile_request

// 0x30013 profile (558 bytes).
namespace profile {
inline constexpr std::size_t kSize = 558;
inline constexpr std::size_t kTarget = 4;
inline constexpr std::size_t kSubject = 8;
inline constexpr std::size_t kPurpose = 12;
inline constexpr std::size_t kNickname = 13;
inline constexpr std::size_t kSex = 54;
inline constexpr std::size_t kAge = 55;
inline constexpr std::size_t kFace = 56;
inline constexpr std::size_t kEmail = 57;
inline constexpr std::size_t kPhone = 98;
inline constexpr std::size_t kOccupation = 119;
inline constexpr std::size_t kAddress = 140;
inline constexpr std::size_t kProvince = 201;
inline constexpr std::size_t kCity = 222;
inline constexpr std::size_t kOwnAddress = 243;
inline constexpr std::size_t kState = 261;
inline constexpr std::size_t kCamera = 262;
inline constexpr std::size_t kLevelPoints = 263;
inline constexpr std::size_t kExperience = 267;
inline constexpr std::size_t kNextExperience = 271;
inline constexpr std::size_t kIntroduction = 275;
inline constexpr std::size_t kServer = 532;
}  // namespace profile

// 0x30016 friend-list request (8 bytes).
namespace list_request {
inline constexpr std::size_t kSize = 8;
inline constexpr std::size_t kOwnCode = 4;
}  // namespace list_request

// 0x30017 friend list: 10-byte header, then entries of 86 bytes.
namespace list {
inline constexpr std::size_t kHeaderSize = 10;
inline constexpr std::size_t kTarget = 4;
inline constexpr std::size_t kCount = 8;  // u16
inline constexpr std::size_t kEntrySize = 86;
inline constexpr std::size_t kUser = 0;
inline constexpr std::size_t kNickname = 4;
inline constexpr std::size_t kFace = 45;
inline constexpr std::size_t kState = 46;
inline constexpr std::size_t kOwnAddress = 47;
inline constexpr std::size_t kGroup = 65;  // u8
inline constexpr std::size_t kCamera = 66;
inline constexpr std::size_t kUserType = 67;
inline constexpr std::size_t kServer = 68;
}  // namespace list

// 0x30018 group operation (58 bytes) and 0x30024 its result (59 bytes).
namespace group_op {
inline constexpr std::size_t kSize = 58;
inline constexpr std::size_t kOwnCode = 4;
inline constexpr std::size_t kOperation = 8;
inline constexpr std::size_t kFriend = 9;
inline constexpr std::size_t kName = 13;  // string[40]
inline constexpr std::size_t kGroup = 54;
enum Operation : std::uint8_t { kSave = 1, kDelete = 2, kMove = 3 };
}  // namespace group_op

namespace group_result {
inline constexpr std::size_t kSize = 59;
inline constexpr std::size_t kTarget = 4;
inline constexpr std::size_t kOperation = 9;
inline constexpr std::size_t kGroup = 10;
inline constexpr std::size_t kName = 14;  // string[40]
inline constexpr std::size_t kFriend = 55;
}  // namespace group_result

}  // namespace kiv::friend_wire
