#include "store.h"

#include <unistd.h>

#include <charconv>
#include <stdexcept>

#include "pg_store.h"
#include "sqlite_store.h"
#include "store_rows.h"

namespace kiv::server {

const char* const kAccountColumns =
    "code, password_hash, pay_hash, nickname, sex, age, face, email, phone, occupation, address, "
    "province, city, introduction, verify_mode, bind, bind_machine, user_type, extra, money, "
    "level_points, experience, next_experience, protection, question, answer_hash, id_hash";

TAccount AccountFromRow(const std::function<std::string(int)>& text,
                        const std::function<std::int64_t(int)>& number) {
  TAccount a;
  auto u8 = [&](int i) { return static_cast<std::uint8_t>(number(i)); };
  auto u32 = [&](int i) { return static_cast<std::uint32_t>(number(i)); };
  a.code = u32(0);
  a.password_hash = text(1);
  a.pay_hash = text(2);
  a.nickname = text(3);
  a.sex = u8(4);
  a.age = u8(5);
  a.face = u8(6);
  a.email = text(7);
  a.phone = text(8);
  a.occupation = text(9);
  a.address = text(10);
  a.province = text(11);
  a.city = text(12);
  a.introduction = text(13);
  a.verify_mode = u8(14);
  a.bind = number(15) != 0;
  a.bind_machine = text(16);
  a.user_type = u8(17);
  a.extra = static_cast<std::uint16_t>(number(18));
  a.money = number(19);
  a.level_points = u32(20);
  a.experience = u32(21);
  a.next_experience = u32(22);
  a.protection = number(23) != 0;
  a.question = text(24);
  a.answer_hash = text(25);
  a.id_hash = text(26);
  return a;
}

void BindAccount(const TAccount& a, const std::function<void(int, const std::string&)>& text,
                 const std::function<void(int, std::int64_t)>& number) {
  number(0, a.code);
  text(1, a.password_hash);
  text(2, a.pay_hash);
  text(3, a.nickname);
  number(4, a.sex);
  number(5, a.age);
  number(6, a.face);
  text(7, a.email);
  text(8, a.phone);
  text(9, a.occupation);
  text(10, a.address);
  text(11, a.province);
  text(12, a.city);
  text(13, a.introduction);
  number(14, a.verify_mode);
  number(15, a.bind ? 1 : 0);
  text(16, a.bind_machine);
  number(17, a.user_type);
  number(18, a.extra);
  number(19, a.money);
  number(20, a.level_points);
  number(21, a.experience);
  number(22, a.next_experience);
  number(23, a.protection ? 1 : 0);
  text(24, a.question);
  text(25, a.answer_hash);
  text(26, a.id_hash);
}

std::string TNodeEvent::Encode() const {
  return std::to_string(kind) + " " + std::to_string(user) + " " + std::to_string(value) + " " + node;
}

std::optional<TNodeEvent> TNodeEvent::Decode(const std::string& text) {
  TNodeEvent e;
  const char* p = text.data();
  const char* end = p + text.size();
  unsigned kind = 0;
  auto r = std::from_chars(p, end, kind);
  if (r.ec != std::errc() || r.ptr == end || *r.ptr != ' ') return std::nullopt;
  r = std::from_chars(r.ptr + 1, end, e.user);
  if (r.ec != std::errc() || r.ptr == end || *r.ptr != ' ') return std::nullopt;
  r = std::from_chars(r.ptr + 1, end, e.value);
  if (r.ec != std::errc() || r.ptr == end || *r.ptr != ' ') return std::nullopt;
  if (kind < kSignedIn || kind > kChatWaiting) return std::nullopt;
  e.kind = static_cast<Kind>(kind);
  e.node.assign(r.ptr + 1, end);
  return e;
}

void IAccountStore::Reach(const char* point) const {
  if (!fault_point_.empty() && fault_point_ == point) ::_exit(86);
}

std::unique_ptr<IAccountStore> OpenStore(const std::string& location) {
  if (location.starts_with("postgresql://") || location.starts_with("postgres://")) {
    return std::make_unique<TPgStore>(location);
  }
  std::string path = location.starts_with("sqlite:") ? location.substr(7) : location;
  return std::make_unique<TSqliteStore>(path);
}

}  // namespace kiv::server
