// Codes, sizes and field offsets of the messages the client exchanges with the login and home
// servers. Offsets count from the start of the message, code included. The server reads and writes
// these through RecordReader/RecordWriter; the protocol test client builds its requests from the
// same constants, so both sides agree by construction.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv::proto {

// ---- codes ------------------------------------------------------------------------------------------
inline constexpr std::uint32_t kServerParameters = 0x10000;
inline constexpr std::uint32_t kUserState = 0x10003;
inline constexpr std::uint32_t kLoginRequest = 0x30001;
inline constexpr std::uint32_t kLoginReply = 0x30002;
inline constexpr std::uint32_t kForcedSignOut = 0x30003;
inline constexpr std::uint32_t kProfileRequest = 0x30012;
inline constexpr std::uint32_t kProfileReply = 0x30013;
inline constexpr std::uint32_t kProfileChange = 0x30014;
inline constexpr std::uint32_t kProfileChangeReply = 0x30015;
inline constexpr std::uint32_t kClearUser = 0x30022;
inline constexpr std::uint32_t kRecovery = 0x30023;
inline constexpr std::uint32_t kBroadcast = 0x50022;
inline constexpr std::uint32_t kBalanceChanged = 0x80002;
inline constexpr std::uint32_t kLevelUp = 0x80007;
inline constexpr std::uint32_t kTransfer = 0x80008;
inline constexpr std::uint32_t kTransferReply = 0x80009;

// ---- 0x30001 login request (101 bytes) --------------------------------------------------------------
namespace login {
inline constexpr std::size_t kSize = 101;
inline constexpr std::size_t kUserCode = 4;
inline constexpr std::size_t kPassword = 8;  // string[40]
inline constexpr std::size_t kPasswordLen = 40;
inline constexpr std::size_t kState = 49;
inline constexpr std::size_t kCamera = 50;
inline constexpr std::size_t kMachineA = 51;  // string[16], MD5 form 4
inline constexpr std::size_t kMachineALen = 16;
inline constexpr std::size_t kMachineB = 68;  // string[32], MD5 form 1
inline constexpr std::size_t kMachineBLen = 32;

inline constexpr std::uint8_t kStateOnline = 1;
inline constexpr std::uint8_t kStateInvisible = 2;
inline constexpr std::uint8_t kStateVersionCheck = 3;
inline constexpr std::uint8_t kStateGuest = 4;
}  // namespace login

// ---- 0x30002 login reply (220 bytes) ----------------------------------------------------------------
namespace login_reply {
inline constexpr std::size_t kSize = 220;
inline constexpr std::size_t kUserCode = 4;
inline constexpr std::size_t kResult = 8;
inline constexpr std::size_t kNickname = 9;  // string[40]
inline constexpr std::size_t kMoney = 50;
inline constexpr std::size_t kFace = 54;
inline constexpr std::size_t kOwnAddress = 55;  // string[15] + u16 port at 71
inline constexpr std::size_t kLevelPoints = 73;
inline constexpr std::size_t kUserType = 77;
inline constexpr std::size_t kLatestVersion = 78;
inline constexpr std::size_t kUpdateMode = 82;
inline constexpr std::size_t kHomeServer = 88;
inline constexpr std::size_t kLobbyServer = 106;
inline constexpr std::size_t kFourthServer = 124;
inline constexpr std::size_t kUpdateServer = 142;
inline constexpr std::size_t kSex = 196;

enum Result : std::uint8_t {
  kDataError = 0,
  kWrongCredentials = 1,
  kUnreachable = 2,
  kRedirect = 3,
  kSignedIn = 4,
  kTooManyUsers = 5,
  kMaintenance = 6,
  kMoveHome = 7,
  kVersionInfo = 8,
};
}  // namespace login_reply

// ---- 0x10000 server parameters (452 bytes) ----------------------------------------------------------
namespace params {
inline constexpr std::size_t kSize = 452;
inline constexpr std::size_t kRoomRelay = 4;      // u8
inline constexpr std::size_t kChatRelay = 92;     // u8
inline constexpr std::size_t kTransferFee = 112;  // u32 percent
}  // namespace params

// ---- 0x30003 forced sign-out (9 bytes) --------------------------------------------------------------
namespace kick {
inline constexpr std::size_t kSize = 9;
inline constexpr std::size_t kKind = 4;
inline constexpr std::size_t kUserCode = 5;
inline constexpr std::uint8_t kSignedInElsewhere = 1;
inline constexpr std::uint8_t kByAdministrator = 2;
}  // namespace kick

// ---- 0x10003 user state (312 bytes) -----------------------------------------------------------------
namespace user_state {
inline constexpr std::size_t kSize = 312;
inline constexpr std::size_t kTarget = 4;
inline constexpr std::size_t kState = 8;
inline constexpr std::size_t kUserType = 9;
inline constexpr std::size_t kCamera = 10;
inline constexpr std::size_t kUserCode = 11;
}  // namespace user_state

// ---- 0x30012 profile request (13 bytes) and 0x30013 profile (558 bytes) ------------------------------
namespace profile_request {
inline constexpr std::size_t kSize = 13;
inline constexpr std::size_t kRequester = 4;
inline constexpr std::size_t kSubject = 8;
inline constexpr std::size_t kPurpose = 12;
inline constexpr std::uint8_t kPurposeOwn = 1;
}  // namespace profile_request

namespace profile {
inline constexpr std::size_t kSize = 558;
inline constexpr std::size_t kRequester = 4;
inline constexpr std::size_t kSubject = 8;
inline constexpr std::size_t kPurpose = 12;
inline constexpr std::size_t kNickname = 13;  // string[40]
inline constexpr std::size_t kSex = 54;
inline constexpr std::size_t kAge = 55;
inline constexpr std::size_t kFace = 56;
inline constexpr std::size_t kEmail = 57;        // string[40]
inline constexpr std::size_t kPhone = 98;        // string[20]
inline constexpr std::size_t kOccupation = 119;  // string[20]
inline constexpr std::size_t kAddress = 140;     // string[60]
inline constexpr std::size_t kProvince = 201;    // string[20]
inline constexpr std::size_t kCity = 222;        // string[20]
inline constexpr std::size_t kOwnAddress = 243;  // string[15] + u16
inline constexpr std::size_t kState = 261;
inline constexpr std::size_t kCamera = 262;
inline constexpr std::size_t kLevelPoints = 263;
inline constexpr std::size_t kExperience = 267;
inline constexpr std::size_t kNextExperience = 271;
inline constexpr std::size_t kIntroduction = 275;  // string[255]
inline constexpr std::size_t kVerifyMode = 531;
inline constexpr std::size_t kServer = 532;  // string[15] + u16
inline constexpr std::size_t kUserType = 550;
inline constexpr std::size_t kExtra = 551;  // u16
inline constexpr std::size_t kBind = 553;
inline constexpr std::size_t kMoney = 554;
}  // namespace profile

// ---- 0x30014 profile change (765 bytes) and 0x30015 result (28 bytes) -------------------------------
namespace profile_change {
inline constexpr std::size_t kSize = 765;
inline constexpr std::size_t kUserCode = 4;
inline constexpr std::size_t kNickname = 8;  // string[40]
inline constexpr std::size_t kSex = 49;
inline constexpr std::size_t kAge = 50;
inline constexpr std::size_t kFace = 51;
inline constexpr std::size_t kEmail = 52;            // string[40]
inline constexpr std::size_t kPassword = 93;         // string[40]
inline constexpr std::size_t kNewPassword = 134;     // string[40]
inline constexpr std::size_t kPayPassword = 175;     // string[40]
inline constexpr std::size_t kNewPayPassword = 216;  // string[40]
inline constexpr std::size_t kDigestLen = 40;
inline constexpr std::size_t kPhone = 257;         // string[20]
inline constexpr std::size_t kOccupation = 278;    // string[20]
inline constexpr std::size_t kAddress = 299;       // string[60]
inline constexpr std::size_t kProvince = 360;      // string[20]
inline constexpr std::size_t kCity = 381;          // string[20]
inline constexpr std::size_t kQuestion = 402;      // string[20]
inline constexpr std::size_t kAnswer = 423;        // string[20]
inline constexpr std::size_t kIdNumber = 444;      // string[40]
inline constexpr std::size_t kIntroduction = 485;  // string[255]
inline constexpr std::size_t kVerifyMode = 741;
inline constexpr std::size_t kMachine = 742;  // string[20]
inline constexpr std::size_t kProtection = 763;
inline constexpr std::size_t kBind = 764;
}  // namespace profile_change

namespace profile_change_reply {
inline constexpr std::size_t kSize = 28;
inline constexpr std::size_t kResult = 4;
enum Result : std::uint8_t {
  kDataError = 0,
  kChanged = 1,
  kWrongPassword = 2,
  kProtectionAlreadySet = 3,
  kProtectionApplied = 4,
  kProtectionClearRefused = 5,
  kProtectionCleared = 6,
  kBadNickname = 7,
  kWrongPayPassword = 8,
};
}  // namespace profile_change_reply

// ---- 0x30022 clear-user (31 bytes both ways) --------------------------------------------------------
namespace clear_user {
inline constexpr std::size_t kSize = 31;
inline constexpr std::size_t kResult = 4;  // reply only; zero in the request
inline constexpr std::size_t kUserCode = 5;
inline constexpr std::size_t kPassword = 9;  // string[20]
inline constexpr std::size_t kDeleteAll = 30;
enum Result : std::uint8_t { kError = 0, kCleared = 1, kWrongCredentials = 2 };
}  // namespace clear_user

// ---- 0x30023 password recovery (115 bytes both ways) ------------------------------------------------
namespace recovery {
inline constexpr std::size_t kSize = 115;
inline constexpr std::size_t kResult = 4;  // reply only; zero in the request
inline constexpr std::size_t kStep = 5;
inline constexpr std::size_t kUserCode = 6;  // request only
inline constexpr std::size_t kText = 10;     // reply: the protection question
inline constexpr std::size_t kTextLen = 104;
inline constexpr std::size_t kAnswer = 31;       // string[20]
inline constexpr std::size_t kIdNumber = 52;     // string[40]
inline constexpr std::size_t kNewPassword = 93;  // string[20]
inline constexpr std::uint8_t kStepIdentity = 1;
inline constexpr std::uint8_t kStepAnswer = 2;
inline constexpr std::uint8_t kStepNewPassword = 3;
enum Result : std::uint8_t {
  kError = 0,
  kPassed = 1,
  kWrongIdentity = 2,
  kWrongAnswer = 3,
  kNoProtection = 4,
};
}  // namespace recovery

// ---- 0x50022 broadcast (265 bytes) ------------------------------------------------------------------
namespace broadcast {
inline constexpr std::size_t kSize = 265;
inline constexpr std::size_t kKind = 8;
inline constexpr std::size_t kText = 9;  // string[255]
}  // namespace broadcast

// ---- money: 0x80002 / 0x80007 (12 bytes), 0x80008 (79 bytes), 0x80009 (9 bytes) ----------------------
namespace balance {
inline constexpr std::size_t kSize = 12;
inline constexpr std::size_t kUserCode = 4;
inline constexpr std::size_t kMoney = 8;
}  // namespace balance

namespace transfer {
inline constexpr std::size_t kSize = 79;
inline constexpr std::size_t kRecipient = 4;
inline constexpr std::size_t kUserCode = 8;
inline constexpr std::size_t kAmount = 12;
inline constexpr std::size_t kPassword = 16;     // string[20]
inline constexpr std::size_t kPayPassword = 37;  // string[20]
inline constexpr std::size_t kMachine = 58;      // string[20]
}  // namespace transfer

namespace transfer_reply {
inline constexpr std::size_t kSize = 9;
inline constexpr std::size_t kResult = 8;
enum Result : std::uint8_t {
  kDone = 0,
  kNoRecipient = 1,
  kServerError = 2,
  kInsufficient = 3,
  kRecipientRefused = 4,
  kWrongPayPassword = 5,
};
}  // namespace transfer_reply

// Digest fields written as string[20] hold the 16-character MD5 text.
inline constexpr std::size_t kShortDigestLen = 20;

// User types of the accounts the server creates.
inline constexpr std::uint8_t kUserTypeGuest = 20;
inline constexpr std::uint8_t kUserTypeMember = 0;

}  // namespace kiv::proto
