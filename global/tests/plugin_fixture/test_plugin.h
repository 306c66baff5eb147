// Local message codes between the host's tests and their test plug-ins.
#pragma once

#include <cstdint>

namespace kiv {

// Plug-in -> test (through ExeDealMessage): data is the text "<plug-in name>:<event>".
inline constexpr std::uint32_t kFixtureReport = 0x7FF01;
// Test -> plug-in: data is the i32 version to report from now on.
inline constexpr std::uint32_t kFixtureSetVersion = 0x7FF02;

}  // namespace kiv
