// Global_User: the people every module describes.
//
// `TUser` is any user with the public profile, `TFriend` a user on the friend list with what it takes
// to reach them, `TMe` the signed-in user with the account data only the owner sees. Modules read and
// write the profile fields directly; text fields are `ShortString<N>`, so whatever is stored fits the
// string[N] field of any record it is written to.
//
// The user code and the money balance are never held in plain form: each is two 32-bit parts whose
// sum, less a fixed offset, is the value, and the parts are drawn afresh on every assignment. Read
// and write them only through the accessors.
//
// Ownership and threads: one `TMe` per process, owned by the global manager; `TFriend` objects are
// owned by the friend groups of the global manager. Used on the main thread only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "declare/short_string.h"

namespace kiv {

// User states.
inline constexpr std::uint8_t kStateOffline = 0;    // "离线"
inline constexpr std::uint8_t kStateOnline = 1;     // "在线"
inline constexpr std::uint8_t kStateInvisible = 2;  // "隐身"

// Who may add a user as a friend.
inline constexpr std::uint8_t kVerifyAnyone = 0;   // "允许任何人把我加为好友"
inline constexpr std::uint8_t kVerifyRequest = 1;  // "需要身份验证才能把我加为好友"
inline constexpr std::uint8_t kVerifyNobody = 2;   // "不允许任何人把我加为好友"

// The guest account's user type.
inline constexpr std::uint8_t kGuestUserType = 20;

// The label of an account class; nothing for a type without one. Type 5 reads "高管" in brand row 2
// and "巡管" in the others.
std::optional<std::string_view> UserTypeLabel(std::uint8_t user_type, std::uint8_t app_type);

class TUser {
 public:
  TUser() = default;

  // Stores the user code as two freshly drawn parts.
  void SetUserCode(std::uint32_t code);
  std::uint32_t UserCode() const { return code_a_ + code_b_ - 8856u; }

  // Sets `label` to this user's type label for the brand chosen at start-up (APPTYPE); leaves it as
  // it was for a type without a label.
  void GetUserType(std::string& label) const;

  // The two stored parts, for diagnostics and tests; they say nothing without each other.
  std::uint32_t code_part_a() const { return code_a_; }
  std::uint32_t code_part_b() const { return code_b_; }

  ShortString<20> password;  // the plain password typed at login; filled only in TMe
  ShortString<40> nickname;
  std::uint8_t face = 0;  // built-in face picture, 0 .. MAXFACECOUNT
  std::uint8_t sex = 0;   // 1 male "男", 0 female "女"
  std::uint8_t age = 0;
  ShortString<40> email;
  ShortString<20> province;
  ShortString<20> city;
  ShortString<20> telephone;
  ShortString<60> address;
  ShortString<20> occupation;
  std::uint8_t state = kStateOffline;
  std::uint8_t camera = 0;  // 1 when the user's computer has a video capture device
  std::uint32_t level_points = 0;
  // Line breaks are real CR LF here; they travel as the six characters "#13#10".
  ShortString<255> introduction;
  std::uint8_t verify_mode = kVerifyAnyone;
  std::uint8_t user_type = 0;  // selects the permission row and the type label

 private:
  // A new object holds code 0 (zero parts would read back as 2^32 - 8856).
  std::uint32_t code_a_ = 1;
  std::uint32_t code_b_ = 8855;
};

class TFriend : public TUser {
 public:
  std::uint32_t group_id = 0;  // the friend group holding this friend (1 default, 3 block list)
  ShortString<20> signature;   // personal signature from the last state message
  std::uint32_t remote = 0;    // direct transport connection to the friend (low 16 bits); 0 for none
  ShortString<15> server_ip;   // dotted IPv4 address of the server the friend is signed in to
  std::uint16_t server_port = 0;
  std::uint8_t profile_loaded = 0;  // 1 once the full profile has arrived
};

class TMe : public TUser {
 public:
  // Stores the balance as two freshly drawn parts.
  void SetMoney(std::uint32_t amount);
  std::uint32_t GetMoney() const { return money_a_ + money_b_ - 823u; }

  std::uint32_t money_part_a() const { return money_a_; }
  std::uint32_t money_part_b() const { return money_b_; }

  std::uint32_t current_exp = 0;
  std::uint32_t next_level_exp = 0;
  std::uint16_t local_port = 0;    // the local UDP port the transport was started on
  std::uint8_t bind_computer = 0;  // 1: may sign in only from this computer "限制只能在本机登陆"
  ShortString<15> own_ip;          // own address as the server sees it
  std::uint16_t own_port = 0;
  std::uint16_t profile_extra = 0;

 private:
  // A new object holds balance 0.
  std::uint32_t money_a_ = 1;
  std::uint32_t money_b_ = 822;
};

}  // namespace kiv
