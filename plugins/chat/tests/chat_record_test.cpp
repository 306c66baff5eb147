#include "chat_record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "test_dir.h"

namespace kiv::chat {
namespace {

std::string ReadBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

class ChatRecordTest : public ::testing::Test {
 protected:
  TestDir dir_;
  const std::filesystem::path file_ = ChatRecordPath(dir_.path() / "10001", 10002);
};

TEST_F(ChatRecordTest, PathIsTheFriendsFileInTheRecordFolder) {
  EXPECT_EQ(file_, dir_.path() / "10001" / "ChatRecord" / "10002.dat");
}

TEST_F(ChatRecordTest, LayoutIsOwnerThenLengthPrefixedRecords) {
  ASSERT_TRUE(SaveChatRecord(file_, 10001, "ab"));
  ASSERT_TRUE(SaveChatRecord(file_, 10001, ""));
  ASSERT_TRUE(SaveChatRecord(file_, 10001, "xyz"));
  const std::string expected(
      "\x11\x27\x00\x00"
      "\x02\x00\x00\x00"
      "ab"
      "\x00\x00\x00\x00"
      "\x03\x00\x00\x00"
      "xyz",
      4 + 6 + 4 + 7);
  EXPECT_EQ(ReadBytes(file_), expected);
  const auto records = LoadChatRecords(file_, 10001);
  ASSERT_TRUE(records);
  EXPECT_EQ(*records, (std::vector<std::string>{"ab", "", "xyz"}));
}

TEST_F(ChatRecordTest, AnotherOwnersFileIsNeitherReadNorExtended) {
  ASSERT_TRUE(SaveChatRecord(file_, 10001, "ab"));
  const std::string before = ReadBytes(file_);
  EXPECT_FALSE(LoadChatRecords(file_, 10003));
  EXPECT_FALSE(SaveChatRecord(file_, 10003, "cd"));
  EXPECT_EQ(ReadBytes(file_), before);
  EXPECT_FALSE(LoadChatRecords(dir_.path() / "missing.dat", 10001));
}

TEST_F(ChatRecordTest, ReadingStopsAtTheFirstBadRecord) {
  const std::string owner("\x11\x27\x00\x00", 4);
  const std::string good = std::string("\x02\x00\x00\x00", 4) + "ok";
  struct Case {
    const char* name;
    std::string tail;
  };
  const Case cases[] = {
      {"length beyond the bytes left", std::string("\x10\x00\x00\x00", 4) + "short" + good},
      {"length beyond the record cap", std::string("\xff\xff\xff\x7f", 4) + good},
      {"length word cut short", std::string("\x02\x00", 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::create_directories(file_.parent_path());
    WriteBytes(file_, owner + good + c.tail);
    const auto records = LoadChatRecords(file_, 10001);
    ASSERT_TRUE(records);
    EXPECT_EQ(*records, std::vector<std::string>{"ok"});
  }
}

TEST_F(ChatRecordTest, AppendingAfterATornTailKeepsNewRecordsReadable) {
  ASSERT_TRUE(SaveChatRecord(file_, 10001, "first"));
  {
    std::ofstream torn(file_, std::ios::binary | std::ios::app);
    torn << std::string("\x40\x00\x00\x00", 4) << "half";
  }
  ASSERT_TRUE(SaveChatRecord(file_, 10001, "second"));
  const auto records = LoadChatRecords(file_, 10001);
  ASSERT_TRUE(records);
  EXPECT_EQ(*records, (std::vector<std::string>{"first", "second"}));
}

TEST_F(ChatRecordTest, OversizedDocumentIsRefused) {
  EXPECT_FALSE(SaveChatRecord(file_, 10001, std::string(kMaxChatRecordLength + 1, 'x')));
  EXPECT_TRUE(SaveChatRecord(file_, 10001, std::string(kMaxChatRecordLength, 'x')));
}

TEST(ChatRecordPages, TwentyRecordsPerPage) {
  std::vector<std::string> records;
  for (int i = 1; i <= 41; ++i) records.push_back(std::to_string(i));
  EXPECT_EQ(ChatRecordPageCount(0), 1u);
  EXPECT_EQ(ChatRecordPageCount(20), 1u);
  EXPECT_EQ(ChatRecordPageCount(21), 2u);
  EXPECT_EQ(ChatRecordPageCount(records.size()), 3u);
  const auto first = ChatRecordPage(records, 1);
  ASSERT_EQ(first.size(), 20u);
  EXPECT_EQ(first.front(), "1");
  EXPECT_EQ(first.back(), "20");
  const auto last = ChatRecordPage(records, 3);
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(last.front(), "41");
  EXPECT_TRUE(ChatRecordPage(records, 0).empty());
  EXPECT_TRUE(ChatRecordPage(records, 4).empty());
}

}  // namespace
}  // namespace kiv::chat
