#include "user/user.h"

#include <chrono>
#include <random>

#include "declare/declare.h"

namespace kiv {
namespace {

// r drawn uniformly in 0 .. value - 1, or 0 for value 0. The generator is seeded once per thread from
// the system's entropy source and the clock; re-seeding from the clock on every call would repeat the
// same draw for assignments within one clock tick.
std::uint32_t DrawBelow(std::uint32_t value) {
  if (value == 0) return 0;
  thread_local std::mt19937 generator = [] {
    std::random_device device;
    auto now = static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::seed_seq seed{device(), device(), now};
    return std::mt19937(seed);
  }();
  return std::uniform_int_distribution<std::uint32_t>(0, value - 1)(generator);
}

}  // namespace

std::optional<std::string_view> UserTypeLabel(std::uint8_t user_type, std::uint8_t app_type) {
  switch (user_type) {
    case 0:
      return "普通";
    case 1:
      return "会员";
    case 3:
      return "客服";
    case 4:
      return "巡警";
    case 5:
      return app_type == 2 ? "高管" : "巡管";
    case 6:
      return "贵宾";
    case 7:
      return "大亨";
    case 8:
      return "富豪";
    case kGuestUserType:
      return "游客";
    default:
      if (user_type >= 9 && user_type <= 15) return "销售";
      return std::nullopt;
  }
}

void TUser::SetUserCode(std::uint32_t code) {
  std::uint32_t r = DrawBelow(code);
  code_a_ = r + 1u;
  code_b_ = code - r + 8855u;
}

void TUser::GetUserType(std::string& label) const {
  if (auto text = UserTypeLabel(user_type, APPTYPE)) label = *text;
}

void TMe::SetMoney(std::uint32_t amount) {
  std::uint32_t r = DrawBelow(amount);
  money_a_ = r + 1u;
  money_b_ = amount - r + 822u;
}

}  // namespace kiv
