// Currency arithmetic that the client and the server must agree on to the unit.
#pragma once

#include <cstdint>

namespace kiv {

// The fee of a transfer: amount × percent / 100, a remainder of exactly one half rounded to even.
// Computed in 64 bits, so no amount or rate of the 32-bit wire fields overflows.
constexpr std::uint64_t TransferFee(std::uint64_t amount, std::uint32_t percent) {
  const std::uint64_t product = amount * percent;
  std::uint64_t fee = product / 100;
  const std::uint64_t rest = product % 100;
  if (rest > 50 || (rest == 50 && fee % 2 == 1)) ++fee;
  return fee;
}

}  // namespace kiv
