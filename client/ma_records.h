// The messages the main program exchanges with its login and home servers, byte for byte.
//
// Builders return the whole message, code included. Readers take a received message of any length:
// it is copied into a zero-filled record of the declared length first, so missing bytes read as zero
// and nothing past the received end is ever read. No I/O here; text is UTF-8 in, GBK on the wire.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/wire.h"

namespace kiv {

// Codes the main program sends or handles.
inline constexpr std::uint32_t kMsgServerParams = 0x10000;
inline constexpr std::uint32_t kMsgChat = 0x10001;
inline constexpr std::uint32_t kMsgOwnState = 0x10003;
inline constexpr std::uint32_t kMsgLoginRequest = 0x30001;
inline constexpr std::uint32_t kMsgLoginReply = 0x30002;
inline constexpr std::uint32_t kMsgKickOut = 0x30003;
inline constexpr std::uint32_t kMsgProfileRequest = 0x30012;
inline constexpr std::uint32_t kMsgOwnProfile = 0x30013;
inline constexpr std::uint32_t kMsgProfileChange = 0x30014;
inline constexpr std::uint32_t kMsgProfileChangeResult = 0x30015;
inline constexpr std::uint32_t kMsgClearUser = 0x30022;
inline constexpr std::uint32_t kMsgRecovery = 0x30023;
inline constexpr std::uint32_t kMsgBroadcast = 0x50022;
inline constexpr std::uint32_t kMsgBalance = 0x80002;
inline constexpr std::uint32_t kMsgLevelUp = 0x80007;
inline constexpr std::uint32_t kMsgTransfer = 0x80008;
inline constexpr std::uint32_t kMsgTransferResult = 0x80009;

// Declared lengths of the received messages; 0 for a code the main program does not handle.
std::size_t DeclaredLength(std::uint32_t code);

// A received message copied into a zero-filled record of its declared length.
class TReceivedRecord {
 public:
  TReceivedRecord(const void* data, std::size_t size, std::size_t declared);
  const RecordReader& operator*() const { return reader_; }
  const RecordReader* operator->() const { return &reader_; }

 private:
  Bytes bytes_;
  RecordReader reader_;
};

// --- Login ----------------------------------------------------------------------------------------

inline constexpr std::size_t kLoginRequestSize = 101;
inline constexpr std::size_t kLoginReplySize = 220;

// Requested states of the login request.
inline constexpr std::uint8_t kLoginOnline = 1;
inline constexpr std::uint8_t kLoginInvisible = 2;
inline constexpr std::uint8_t kLoginVersionCheck = 3;
inline constexpr std::uint8_t kLoginGuest = 4;

// Results of the login reply.
inline constexpr std::uint8_t kLoginDataError = 0;
inline constexpr std::uint8_t kLoginWrongPassword = 1;
inline constexpr std::uint8_t kLoginUnreachable = 2;
inline constexpr std::uint8_t kLoginRedirect = 3;
inline constexpr std::uint8_t kLoginSignedIn = 4;
inline constexpr std::uint8_t kLoginTooManyUsers = 5;
inline constexpr std::uint8_t kLoginMaintenance = 6;
inline constexpr std::uint8_t kLoginMove = 7;
inline constexpr std::uint8_t kLoginVersionInfo = 8;

// 0x30001. `password` is the plain password (its MD5 form 2 travels); `machine_id` the machine
// identifier (its MD5 forms 4 and 1 travel).
Bytes BuildLoginRequest(std::uint32_t user_code, std::string_view password, std::uint8_t state,
                        std::uint8_t camera, std::string_view machine_id);

struct TLoginReply {
  std::uint32_t user_code = 0;
  std::uint8_t result = 0;
  std::string nickname;
  std::uint32_t money = 0;
  std::uint8_t face = 0;
  WireAddress own;
  std::uint32_t level_points = 0;
  std::uint8_t user_type = 0;
  std::int32_t latest_version = 0;
  std::uint8_t update_mode = 0;
  WireAddress home;
  WireAddress lobby;
  WireAddress update;
  std::uint8_t sex = 0;
};
TLoginReply ReadLoginReply(const void* data, std::size_t size);

// The user's message text for the failing results 0, 1, 2, 5 and 6; empty for the others.
std::string LoginFailureText(std::uint8_t result);

// --- Session messages sent ------------------------------------------------------------------------

inline constexpr std::size_t kOwnStateSize = 312;
// 0x10003 to the server (target 0) with the own state and camera flag, no signature, no reply wanted.
Bytes BuildOwnState(std::uint32_t own_code, std::uint8_t state, std::uint8_t camera);

inline constexpr std::size_t kProfileRequestSize = 13;
// 0x30012, purpose 1: the signed-in user's own profile.
Bytes BuildOwnProfileRequest(std::uint32_t own_code);

inline constexpr std::size_t kProfileChangeSize = 765;
// What the settings window hands over for 0x30014. Digests are MD5 form 2 texts already made (empty
// when the field is not used); texts are UTF-8.
struct TProfileChange {
  std::uint32_t own_code = 0;
  std::string nickname;
  std::uint8_t sex = 0;
  std::uint8_t age = 0;
  std::uint8_t face = 0;
  std::string email;
  std::string password_digest;
  std::string new_password_digest;
  std::string pay_password_digest;
  std::string new_pay_password_digest;
  std::string telephone;
  std::string occupation;
  std::string address;
  std::string province;
  std::string city;
  std::string question;
  std::string answer_digest;
  std::string identity_number;
  std::string introduction;  // line breaks as CR LF; they travel as "#13#10"
  std::uint8_t verify_mode = 0;
  std::string machine_digest;  // MD5 form 4 of the machine identifier
  std::uint8_t ask_protection = 0;
  std::uint8_t bind_computer = 0;
};
Bytes BuildProfileChange(const TProfileChange& change);

inline constexpr std::size_t kClearUserSize = 31;
// 0x30022 to the login server; `password` is the plain password typed.
Bytes BuildClearUser(std::uint32_t user_code, std::string_view password);

inline constexpr std::size_t kRecoverySize = 115;
// 0x30023 to the login server. Step 1 carries the identity number, step 2 the answer (plain; its MD5
// form 2 travels), step 3 the new password (plain; MD5 form 2 travels).
Bytes BuildRecovery(std::uint8_t step, std::uint32_t user_code, std::string_view identity_number,
                    std::string_view answer, std::string_view new_password);

inline constexpr std::size_t kTransferSize = 79;
// 0x80008; `password` and `pay_password` plain (MD5 form 2 travels; an empty pay password travels
// empty), `machine_id` the machine identifier (MD5 form 4 travels).
Bytes BuildTransfer(std::uint32_t recipient, std::uint32_t own_code, std::uint32_t amount,
                    std::string_view password, std::string_view pay_password, std::string_view machine_id);

// --- Session messages received --------------------------------------------------------------------

// "#13#10" in stored introductions stands for CR LF.
std::string IntroductionFromWire(std::string_view text);
std::string IntroductionToWire(std::string_view text);

// A web page broadcast: "width!height!caption!URL".
struct TWebPageNotice {
  int width = 0;
  int height = 0;
  std::string caption;
  std::string url;
};
// False when the text does not hold four fields with a positive width and height.
bool ParseWebPageNotice(std::string_view text, TWebPageNotice& page);

}  // namespace kiv
