#include "ma_records.h"

#include <algorithm>
#include <cstring>

#include "base/text_checks.h"

namespace kiv {

std::size_t DeclaredLength(std::uint32_t code) {
  switch (code) {
    case kMsgServerParams:
      return 452;
    case kMsgLoginReply:
      return kLoginReplySize;
    case kMsgKickOut:
      return 9;
    case kMsgOwnProfile:
      return 558;
    case kMsgProfileChangeResult:
      return 28;
    case kMsgClearUser:
      return 31;
    case kMsgRecovery:
      return 115;
    case kMsgBroadcast:
      return 265;
    case kMsgBalance:
      return 12;
    case kMsgLevelUp:
      return 12;
    case kMsgTransferResult:
      return 9;
    default:
      return 0;
  }
}

TReceivedRecord::TReceivedRecord(const void* data, std::size_t size, std::size_t declared)
    : bytes_(declared, 0) {
  const std::size_t copied = std::min(size, declared);
  if (copied > 0 && data != nullptr) std::memcpy(bytes_.data(), data, copied);
  reader_ = RecordReader(bytes_.data(), bytes_.size());
}

Bytes BuildLoginRequest(std::uint32_t user_code, std::string_view password, std::uint8_t state,
                        std::uint8_t camera, std::string_view machine_id) {
  RecordWriter w(kLoginRequestSize);
  w.u32(0, kMsgLoginRequest)
      .u32(4, user_code)
      .gbk(8, 40, MD5(password, 2))
      .u8(49, state)
      .u8(50, camera)
      .gbk(51, 16, MD5(machine_id, 4))
      .gbk(68, 32, MD5(machine_id, 1));
  return w.take();
}

TLoginReply ReadLoginReply(const void* data, std::size_t size) {
  const TReceivedRecord record(data, size, kLoginReplySize);
  const RecordReader& r = *record;
  TLoginReply reply;
  reply.user_code = r.u32(4);
  reply.result = r.u8(8);
  reply.nickname = r.text(9, 40);
  reply.money = r.u32(50);
  reply.face = r.u8(54);
  reply.own = r.address(55);
  reply.level_points = r.u32(73);
  reply.user_type = r.u8(77);
  reply.latest_version = r.i32(78);
  reply.update_mode = r.u8(82);
  reply.home = r.address(88);
  reply.lobby = r.address(106);
  reply.update = r.address(142);
  reply.sex = r.u8(196);
  return reply;
}

std::string LoginFailureText(std::uint8_t result) {
  switch (result) {
    case kLoginDataError:
      return "登录失败，处理用户数据出错。";
    case kLoginWrongPassword:
      return "登录失败，用户名或密码不正确。";
    case kLoginUnreachable:
      return "登录失败，无法连接到服务器。";
    case kLoginTooManyUsers:
      return "登录失败，系统超出最大用户数。";
    case kLoginMaintenance:
      return "登录失败，系统正在维护中，请稍后重试。";
    default:
      return {};
  }
}

Bytes BuildOwnState(std::uint32_t own_code, std::uint8_t state, std::uint8_t camera) {
  RecordWriter w(kOwnStateSize);
  // code, target 0 (the server), state, a zero byte, camera, own code, empty string[255] signature,
  // reply-wanted 0, then 40 zero bytes.
  w.u32(0, kMsgOwnState).u32(4, 0).u8(8, state).u8(9, 0).u8(10, camera).u32(11, own_code);
  w.u8(271, 0);
  return w.take();
}

Bytes BuildOwnProfileRequest(std::uint32_t own_code) {
  RecordWriter w(kProfileRequestSize);
  w.u32(0, kMsgProfileRequest).u32(4, own_code).u32(8, own_code).u8(12, 1);
  return w.take();
}

Bytes BuildProfileChange(const TProfileChange& c) {
  RecordWriter w(kProfileChangeSize);
  const bool protection = !c.question.empty();
  w.u32(0, kMsgProfileChange)
      .u32(4, c.own_code)
      .text(8, 40, c.nickname)
      .u8(49, c.sex)
      .u8(50, c.age)
      .u8(51, c.face)
      .text(52, 40, c.email)
      .gbk(93, 40, c.password_digest)
      .gbk(134, 40, c.new_password_digest)
      .gbk(175, 40, c.pay_password_digest)
      .gbk(216, 40, c.new_pay_password_digest)
      .text(257, 20, c.telephone)
      .text(278, 20, c.occupation)
      .text(299, 60, c.address)
      .text(360, 20, c.province)
      .text(381, 20, c.city)
      .text(402, 20, protection ? c.question : std::string())
      .gbk(423, 20, protection ? c.answer_digest : std::string())
      .text(444, 40, protection ? c.identity_number : std::string())
      .text(485, 255, IntroductionToWire(c.introduction))
      .u8(741, c.verify_mode)
      .gbk(742, 20, c.machine_digest)
      .u8(763, c.ask_protection)
      .u8(764, c.bind_computer);
  return w.take();
}

Bytes BuildClearUser(std::uint32_t user_code, std::string_view password) {
  RecordWriter w(kClearUserSize);
  w.u32(0, kMsgClearUser).u8(4, 0).u32(5, user_code).gbk(9, 20, MD5(password, 2)).u8(30, 1);
  return w.take();
}

Bytes BuildRecovery(std::uint8_t step, std::uint32_t user_code, std::string_view identity_number,
                    std::string_view answer, std::string_view new_password) {
  RecordWriter w(kRecoverySize);
  w.u32(0, kMsgRecovery).u8(4, 0).u8(5, step).u32(6, user_code);
  if (step == 2) w.gbk(31, 20, MD5(answer, 2));
  if (step == 1) w.text(52, 40, identity_number);
  if (step == 3) w.gbk(93, 20, MD5(new_password, 2));
  return w.take();
}

Bytes BuildTransfer(std::uint32_t recipient, std::uint32_t own_code, std::uint32_t amount,
                    std::string_view password, std::string_view pay_password, std::string_view machine_id) {
  RecordWriter w(kTransferSize);
  w.u32(0, kMsgTransfer)
      .u32(4, recipient)
      .u32(8, own_code)
      .u32(12, amount)
      .gbk(16, 20, MD5(password, 2))
      .gbk(37, 20, pay_password.empty() ? std::string() : MD5(pay_password, 2))
      .gbk(58, 20, MD5(machine_id, 4));
  return w.take();
}

namespace {

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (true) {
    const std::size_t hit = text.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(text.substr(pos, hit - pos)).append(to);
    pos = hit + from.size();
  }
  out.append(text.substr(pos));
  return out;
}

bool ParsePositive(const std::string& field, int& value) {
  if (field.empty() || field.size() > 6) return false;
  int v = 0;
  for (char ch : field) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + (ch - '0');
  }
  if (v <= 0) return false;
  value = v;
  return true;
}

}  // namespace

std::string IntroductionFromWire(std::string_view text) { return ReplaceAll(text, "#13#10", "\r\n"); }
std::string IntroductionToWire(std::string_view text) { return ReplaceAll(text, "\r\n", "#13#10"); }

bool ParseWebPageNotice(std::string_view text, TWebPageNotice& page) {
  TWebPageNotice parsed;
  if (!ParsePositive(GetStr(0, text, '!'), parsed.width) ||
      !ParsePositive(GetStr(1, text, '!'), parsed.height))
    return false;
  parsed.caption = GetStr(2, text, '!');
  parsed.url = GetStr(3, text, '!');
  if (parsed.url.empty()) return false;
  page = std::move(parsed);
  return true;
}

}  // namespace kiv
