// The chat record file of one friend: "ChatRecord/<friend code>.dat" in the user's folder. It starts
// with the owner's 32-bit user code, written when the file is created; then records are appended,
// each a 32-bit little-endian length and that many bytes of a chat document (UTF-8). Every message
// gives two records, its heading line and its document, and the record viewer pages by 20 records.
//
// Reading trusts no length: a record is taken only when its length fits both the bytes left and
// kMaxChatRecordLength, and reading stops at the first record that does not, so a torn tail or a
// damaged length never makes the reader run past the file or allocate without bound. Appending
// first cuts such a tail off, so the records written after a crash stay readable.
//
// No Qt; plain file I/O on the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::chat {

inline constexpr std::size_t kChatRecordsPerPage = 20;
// The largest record: a whole chat message (409 600 bytes of document) with room to spare for its
// heading. Anything longer is damage.
inline constexpr std::uint32_t kMaxChatRecordLength = 409600 + 1024;

// user_folder/ChatRecord/<decimal friend code>.dat
std::filesystem::path ChatRecordPath(const std::filesystem::path& user_folder, std::uint32_t friend_code);

// Appends one record, creating the folder and the file (owner code first) when missing. False, with
// the file as it was, when the document is longer than kMaxChatRecordLength, the file belongs to
// another owner, or it cannot be written.
bool SaveChatRecord(const std::filesystem::path& file, std::uint32_t owner, std::string_view document);

// Every readable record in file order. Nothing when the file is missing, cannot be read, or does not
// start with `owner`.
std::optional<std::vector<std::string>> LoadChatRecords(const std::filesystem::path& file,
                                                        std::uint32_t owner);

// (records - 1) div 20 + 1; 1 for no records.
std::size_t ChatRecordPageCount(std::size_t records);
// Records (page - 1) x 20 + 1 .. page x 20 (pages count from 1); empty for a page outside the records.
std::span<const std::string> ChatRecordPage(std::span<const std::string> records, std::size_t page);

}  // namespace kiv::chat
