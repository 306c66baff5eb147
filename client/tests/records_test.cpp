// The main program's messages byte for byte, and the system-message record on disk.
#include "ma_records.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "base/gbk.h"
#include "base/text_checks.h"
#include "ma_system_msg.h"
#include "test_dir.h"

namespace kiv {
namespace {

std::string Field(const Bytes& message, std::size_t offset) {
  return std::string(reinterpret_cast<const char*>(&message[offset + 1]), message[offset]);
}

TEST(LoginRecords, RequestCarriesDigestsAtTheirOffsets) {
  const Bytes request = BuildLoginRequest(10001, "kivora", kLoginInvisible, 1, "00-1a-2b-3c-4d-5e");
  ASSERT_EQ(request.size(), 101u);
  RecordReader r(request);
  EXPECT_EQ(r.u32(0), 0x30001u);
  EXPECT_EQ(r.u32(4), 10001u);
  EXPECT_EQ(Field(request, 8), MD5("kivora", 2));
  EXPECT_EQ(Field(request, 8).size(), 16u);
  EXPECT_EQ(r.u8(49), kLoginInvisible);
  EXPECT_EQ(r.u8(50), 1);
  EXPECT_EQ(Field(request, 51), MD5("00-1a-2b-3c-4d-5e", 4));
  EXPECT_EQ(Field(request, 68), MD5("00-1a-2b-3c-4d-5e", 1));
  EXPECT_EQ(Field(request, 68).size(), 32u);
}

TEST(LoginRecords, ReplyFieldsAndAShortReplyReadAsZero) {
  RecordWriter w(kLoginReplySize);
  w.u32(0, kMsgLoginReply).u32(4, 10002).u8(8, kLoginRedirect).text(9, 40, "小明").u32(50, 1234).u8(54, 7);
  w.address(55, {"10.0.0.5", 4000}).u32(73, 99).u8(77, 3).i32(78, 201103).u8(82, 1);
  w.address(88, {"127.0.0.1", 9010}).address(106, {"127.0.0.2", 9011}).address(142, {"127.0.0.3", 9012});
  w.u8(196, 1);
  const Bytes full = w.take();
  const TLoginReply reply = ReadLoginReply(full.data(), full.size());
  EXPECT_EQ(reply.user_code, 10002u);
  EXPECT_EQ(reply.result, kLoginRedirect);
  EXPECT_EQ(reply.nickname, "小明");
  EXPECT_EQ(reply.money, 1234u);
  EXPECT_EQ(reply.face, 7);
  EXPECT_EQ(reply.own, (WireAddress{"10.0.0.5", 4000}));
  EXPECT_EQ(reply.level_points, 99u);
  EXPECT_EQ(reply.user_type, 3);
  EXPECT_EQ(reply.latest_version, 201103);
  EXPECT_EQ(reply.update_mode, 1);
  EXPECT_EQ(reply.home, (WireAddress{"127.0.0.1", 9010}));
  EXPECT_EQ(reply.lobby, (WireAddress{"127.0.0.2", 9011}));
  EXPECT_EQ(reply.update, (WireAddress{"127.0.0.3", 9012}));
  EXPECT_EQ(reply.sex, 1);

  // Cut inside the home server entry: what is missing reads as zero, what came is kept.
  const TLoginReply cut = ReadLoginReply(full.data(), 95);
  EXPECT_EQ(cut.result, kLoginRedirect);
  EXPECT_EQ(cut.home.port, 0);
  EXPECT_EQ(cut.lobby, WireAddress{});
  EXPECT_EQ(cut.sex, 0);
  EXPECT_EQ(ReadLoginReply(nullptr, 0).result, 0);
}

TEST(LoginRecords, FailureTexts) {
  EXPECT_EQ(LoginFailureText(1), "登录失败，用户名或密码不正确。");
  EXPECT_EQ(LoginFailureText(6), "登录失败，系统正在维护中，请稍后重试。");
  EXPECT_EQ(LoginFailureText(3), "");
  EXPECT_EQ(LoginFailureText(200), "");
}

TEST(SessionRecords, RequestsSentByTheMainProgram) {
  const Bytes state = BuildOwnState(10001, 2, 1);
  ASSERT_EQ(state.size(), 312u);
  RecordReader s(state);
  EXPECT_EQ(s.u32(0), 0x10003u);
  EXPECT_EQ(s.u32(4), 0u);
  EXPECT_EQ(s.u8(8), 2);
  EXPECT_EQ(s.u8(9), 0);
  EXPECT_EQ(s.u8(10), 1);
  EXPECT_EQ(s.u32(11), 10001u);
  for (std::size_t i = 15; i < 312; ++i) EXPECT_EQ(state[i], 0) << i;

  EXPECT_EQ(BuildOwnProfileRequest(10001),
            (Bytes{0x12, 0x00, 0x03, 0x00, 0x11, 0x27, 0, 0, 0x11, 0x27, 0, 0, 1}));

  const Bytes clear = BuildClearUser(10003, "pw");
  ASSERT_EQ(clear.size(), 31u);
  EXPECT_EQ(RecordReader(clear).u32(5), 10003u);
  EXPECT_EQ(Field(clear, 9), MD5("pw", 2));
  EXPECT_EQ(clear[30], 1);

  const Bytes step1 = BuildRecovery(1, 10001, "ID123", "answer", "new");
  const Bytes step3 = BuildRecovery(3, 10001, "ID123", "answer", "new");
  ASSERT_EQ(step1.size(), 115u);
  EXPECT_EQ(step1[5], 1);
  EXPECT_EQ(RecordReader(step1).u32(6), 10001u);
  EXPECT_EQ(Field(step1, 52), "ID123");
  EXPECT_EQ(step1[31], 0);  // the answer belongs to step 2
  EXPECT_EQ(step1[93], 0);
  EXPECT_EQ(Field(step3, 93), MD5("new", 2));
  EXPECT_EQ(step3[52], 0);

  const Bytes transfer = BuildTransfer(10002, 10001, 50, "kivora", "", "mac");
  ASSERT_EQ(transfer.size(), 79u);
  RecordReader t(transfer);
  EXPECT_EQ(t.u32(4), 10002u);
  EXPECT_EQ(t.u32(8), 10001u);
  EXPECT_EQ(t.u32(12), 50u);
  EXPECT_EQ(Field(transfer, 16), MD5("kivora", 2));
  EXPECT_EQ(transfer[37], 0);  // no pay password typed
  EXPECT_EQ(Field(transfer, 58), MD5("mac", 4));
}

TEST(SessionRecords, ProfileChangeLeavesTheProtectionFieldsEmptyWithoutAQuestion) {
  TProfileChange change;
  change.own_code = 10001;
  change.nickname = "新昵称";
  change.sex = 1;
  change.introduction = "line1\r\nline2";
  change.answer_digest = "abc";
  change.identity_number = "ID";
  change.bind_computer = 1;
  const Bytes message = BuildProfileChange(change);
  ASSERT_EQ(message.size(), 765u);
  RecordReader r(message);
  EXPECT_EQ(r.u32(0), 0x30014u);
  EXPECT_EQ(r.text(8, 40), "新昵称");
  EXPECT_EQ(r.u8(49), 1);
  EXPECT_EQ(r.text(485, 255), "line1#13#10line2");
  EXPECT_EQ(r.u8(423), 0);
  EXPECT_EQ(r.u8(444), 0);
  EXPECT_EQ(r.u8(764), 1);
  change.question = "母亲的名字";
  const Bytes asked = BuildProfileChange(change);
  EXPECT_EQ(RecordReader(asked).text(402, 20), "母亲的名字");
  EXPECT_EQ(RecordReader(asked).gbk(423, 20), "abc");
}

TEST(SessionRecords, WebPageNotices) {
  TWebPageNotice page;
  ASSERT_TRUE(ParseWebPageNotice("300!200!活动!http://127.0.0.1/a.php?x=1", page));
  EXPECT_EQ(page.width, 300);
  EXPECT_EQ(page.height, 200);
  EXPECT_EQ(page.caption, "活动");
  EXPECT_EQ(page.url, "http://127.0.0.1/a.php?x=1");
  for (const char* bad : {"", "300!200!活动", "0!200!c!u", "x!200!c!u", "300!-2!c!u", "9999999!2!c!u"})
    EXPECT_FALSE(ParseWebPageNotice(bad, page)) << bad;
  EXPECT_EQ(IntroductionFromWire("a#13#10b#13#10"), "a\r\nb\r\n");
}

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(SystemMessageRecord, EachTextIsStoredOnceWithItsTimeLine) {
  TestDir dir;
  const auto file = SystemMessagePath(dir.path() / "10001");
  ASSERT_TRUE(AppendSystemMessage(file, "维护通知", "2026/12/10 11:00"));
  ASSERT_TRUE(AppendSystemMessage(file, "维护通知", "2026/12/10 11:05"));
  ASSERT_TRUE(AppendSystemMessage(file, "第二条", "2026/12/10 11:06"));
  EXPECT_EQ(ReadAll(file), Utf8ToGbk("系统消息  2026/12/10 11:00\r\n维护通知\r\n"
                                     "系统消息  2026/12/10 11:06\r\n第二条\r\n"));
}

TEST(SystemMessageRecord, AFileWithoutFinalLineBreakOrWithLongLinesIsKept) {
  TestDir dir;
  const auto file = SystemMessagePath(dir.path() / "7");
  std::filesystem::create_directories(file.parent_path());
  const std::string long_line(200000, 'x');
  { std::ofstream(file, std::ios::binary) << long_line << "\nold"; }
  ASSERT_TRUE(AppendSystemMessage(file, "old", "t"));  // already there (LF line ends count too)
  EXPECT_EQ(ReadAll(file), long_line + "\nold");
  ASSERT_TRUE(AppendSystemMessage(file, "new", "t"));
  EXPECT_EQ(ReadAll(file), long_line + "\nold\r\n" + Utf8ToGbk("系统消息  ") + "t\r\nnew\r\n");
}

}  // namespace
}  // namespace kiv
