// The friend list cache of one user: "FriendInfo.dat" (version word, owner, one record per
// friend) and "FriendGroupInfo.dat" (owner, one 52-byte record per group above 3). Both files are
// written to a replacement file and renamed over the old one, so a crash leaves the old or the new
// list. Reading checks every length; a file of another version or owner is not used.
//
// FriendInfo.dat is written in version 20054: every string of up to N characters has N + 1 bytes
// (the length byte and all N GBK bytes), 500 bytes a record, so a string of the full length keeps
// its last character. Version 20053 (492-byte records, N - 1 bytes a string) is still read. A
// string is never cut inside a two-byte GBK character. No I/O besides the two files; no Qt.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "user/user.h"

namespace kiv::friends {

// The version written, and the older one still read.
inline constexpr std::int32_t kFriendFileVersion = 20054;
inline constexpr std::int32_t kFriendFileVersionShort = 20053;
inline constexpr std::size_t kFriendRecordSize = 500;
inline constexpr std::size_t kShortFriendRecordSize = 492;
inline constexpr std::size_t kGroupRecordSize = 52;

struct TCachedGroup {
  std::uint32_t id = 0;
  std::string name;  // UTF-8
};

// `friends` in list order. False when the file cannot be written.
bool SaveFriendFile(const std::filesystem::path& file, std::uint32_t owner,
                    const std::vector<const TFriend*>& friends);
// Nothing when the file is missing, of another version or owner, or not whole records.
std::optional<std::vector<TFriend>> LoadFriendFile(const std::filesystem::path& file, std::uint32_t owner);

bool SaveGroupFile(const std::filesystem::path& file, std::uint32_t owner,
                   const std::vector<TCachedGroup>& groups);
// The groups above 3; nothing when the file is missing or of another owner.
std::optional<std::vector<TCachedGroup>> LoadGroupFile(const std::filesystem::path& file,
                                                       std::uint32_t owner);

}  // namespace kiv::friends
