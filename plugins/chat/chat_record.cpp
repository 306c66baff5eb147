#include "chat_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "base/files.h"

namespace kiv::chat {
namespace {

constexpr std::size_t kOwnerSize = 4;

std::uint32_t ReadLe32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::array<std::uint8_t, 4> Le32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// Reads exactly `size` bytes at `offset`; false on a short read or an error.
bool ReadAt(int fd, void* buffer, std::size_t size, off_t offset) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t got = ::pread(fd, out, size, offset);
    if (got <= 0) return false;
    out += got;
    size -= static_cast<std::size_t>(got);
    offset += got;
  }
  return true;
}

bool WriteAll(int fd, const void* buffer, std::size_t size) {
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t put = ::write(fd, in, size);
    if (put <= 0) return false;
    in += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The length of the record at `offset` when it is whole and within bounds; nothing at the end of the
// file or at damage.
std::optional<std::uint32_t> RecordLengthAt(int fd, off_t file_size, off_t offset) {
  std::uint8_t word[4];
  if (file_size - offset < 4 || !ReadAt(fd, word, sizeof word, offset)) return std::nullopt;
  const std::uint32_t length = ReadLe32(word);
  if (length > kMaxChatRecordLength || static_cast<off_t>(length) > file_size - offset - 4)
    return std::nullopt;
  return length;
}

// The offset just past the last record that reads whole, walking the length words only.
off_t EndOfGoodRecords(int fd, off_t file_size) {
  off_t offset = kOwnerSize;
  while (const auto length = RecordLengthAt(fd, file_size, offset)) offset += 4 + static_cast<off_t>(*length);
  return offset;
}

}  // namespace

std::filesystem::path ChatRecordPath(const std::filesystem::path& user_folder, std::uint32_t friend_code) {
  return user_folder / "ChatRecord" / (std::to_string(friend_code) + ".dat");
}

bool SaveChatRecord(const std::filesystem::path& file, std::uint32_t owner, std::string_view document) {
  if (document.size() > kMaxChatRecordLength) return false;
  if (!MakeDir(file.parent_path())) return false;
  const FileDescriptor fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (fd.get() < 0) return false;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return false;
  off_t end = 0;
  if (info.st_size < static_cast<off_t>(kOwnerSize)) {
    // New (or cut before its owner word was whole): start it afresh.
    const auto word = Le32(owner);
    if (::ftruncate(fd.get(), 0) != 0 || ::lseek(fd.get(), 0, SEEK_SET) != 0 ||
        !WriteAll(fd.get(), word.data(), word.size()))
      return false;
    end = kOwnerSize;
  } else {
    std::uint8_t word[4];
    if (!ReadAt(fd.get(), word, sizeof word, 0) || ReadLe32(word) != owner) return false;
    end = EndOfGoodRecords(fd.get(), info.st_size);
    // A torn tail would hide every record written after it.
    if (end != info.st_size && ::ftruncate(fd.get(), end) != 0) return false;
  }
  std::string record;
  record.reserve(4 + document.size());
  const auto length = Le32(static_cast<std::uint32_t>(document.size()));
  record.append(reinterpret_cast<const char*>(length.data()), length.size());
  record.append(document);
  if (::lseek(fd.get(), end, SEEK_SET) != end || !WriteAll(fd.get(), record.data(), record.size())) {
    // Leave no half record behind.
    if (::ftruncate(fd.get(), end) != 0) return false;
    return false;
  }
  return true;
}

std::optional<std::vector<std::string>> LoadChatRecords(const std::filesystem::path& file,
                                                        std::uint32_t owner) {
  const FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return std::nullopt;
  std::uint8_t word[4];
  if (info.st_size < static_cast<off_t>(kOwnerSize) || !ReadAt(fd.get(), word, sizeof word, 0) ||
      ReadLe32(word) != owner)
    return std::nullopt;
  std::vector<std::string> records;
  off_t offset = kOwnerSize;
  while (const auto length = RecordLengthAt(fd.get(), info.st_size, offset)) {
    std::string document(*length, '\0');
    if (*length > 0 && !ReadAt(fd.get(), document.data(), *length, offset + 4)) break;
    records.push_back(std::move(document));
    offset += 4 + static_cast<off_t>(*length);
  }
  return records;
}

std::size_t ChatRecordPageCount(std::size_t records) {
  return records == 0 ? 1 : (records - 1) / kChatRecordsPerPage + 1;
}

std::span<const std::string> ChatRecordPage(std::span<const std::string> records, std::size_t page) {
  if (page == 0) return {};
  const std::size_t first = (page - 1) * kChatRecordsPerPage;
  if (first >= records.size()) return {};
  return records.subspan(first, std::min(kChatRecordsPerPage, records.size() - first));
}

}  // namespace kiv::chat
