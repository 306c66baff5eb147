// The friend list cache files: byte layout, round trip, and what a damaged or foreign file gives.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "base/gbk.h"
#include "base/wire.h"
#include "friend_cache.h"
#include "test_dir.h"

namespace kiv::friends {
namespace {

Bytes Read(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

TFriend Sample(std::uint32_t code, const std::string& nickname, std::uint32_t group) {
  TFriend f;
  f.SetUserCode(code);
  f.nickname = nickname;
  f.face = 7;
  f.sex = 1;
  f.age = 30;
  f.city = "北京";
  f.introduction = "第一行\r\n第二行";
  f.level_points = 1234;
  f.group_id = group;
  f.user_type = 6;
  f.profile_loaded = 1;
  f.state = 1;  // not stored
  return f;
}

TEST(FriendCache, FriendFileLayoutAndRoundTrip) {
  TestDir dir;
  const auto file = dir.path() / "FriendInfo.dat";
  TFriend a = Sample(10002, "小红", 1), b = Sample(10003, "小刚", 4);
  ASSERT_TRUE(SaveFriendFile(file, 10001, {&a, &b}));
  Bytes bytes = Read(file);
  ASSERT_EQ(bytes.size(), 8 + 2 * 500u);
  RecordReader r(bytes);
  EXPECT_EQ(r.i32(0), 20054);
  EXPECT_EQ(r.u32(4), 10001u);
  EXPECT_EQ(r.u32(8), 10002u);
  EXPECT_EQ(r.u8(8 + 4), 4);               // length byte of "小红" in GBK
  EXPECT_EQ(r.u8(8 + 45), 7);              // face, after the 41-byte nickname
  EXPECT_EQ(r.text(8 + 110, 20), "北京");  // city: 4 + 41 + 3 + 41 + 21
  EXPECT_EQ(r.u32(8 + 490), 1234u);
  EXPECT_EQ(r.u32(8 + 494), 1u);
  EXPECT_EQ(r.u8(8 + 498), 6);
  EXPECT_EQ(r.u8(8 + 499), 1);

  auto loaded = LoadFriendFile(file, 10001);
  ASSERT_TRUE(loaded);
  ASSERT_EQ(loaded->size(), 2u);
  EXPECT_EQ((*loaded)[1].UserCode(), 10003u);
  EXPECT_EQ((*loaded)[1].nickname.str(), "小刚");
  EXPECT_EQ((*loaded)[1].group_id, 4u);
  EXPECT_EQ((*loaded)[1].city.str(), "北京");
  EXPECT_EQ((*loaded)[1].introduction.str(), "第一行\r\n第二行");
  EXPECT_EQ((*loaded)[1].user_type, 6);
  EXPECT_EQ((*loaded)[1].profile_loaded, 1);
  EXPECT_EQ((*loaded)[1].state, 0);
}

TEST(FriendCache, FullLengthStringsKeepTheirLastCharacter) {
  TestDir dir;
  const auto file = dir.path() / "FriendInfo.dat";
  // 20 two-byte characters: 40 GBK bytes, the full nickname; and an odd-length mix of 255 bytes.
  std::string nick, intro(1, 'x');
  for (int i = 0; i < 20; ++i) nick += "汉";
  for (int i = 0; i < 127; ++i) intro += "字";
  TFriend a = Sample(10002, nick, 1);
  a.introduction = intro;
  ASSERT_EQ(Utf8ToGbk(a.nickname.str()).size(), 40u);
  ASSERT_EQ(Utf8ToGbk(a.introduction.str()).size(), 255u);
  ASSERT_TRUE(SaveFriendFile(file, 10001, {&a}));
  auto loaded = LoadFriendFile(file, 10001);
  ASSERT_TRUE(loaded);
  EXPECT_EQ((*loaded)[0].nickname.str(), nick);
  EXPECT_EQ((*loaded)[0].introduction.str(), intro);
  EXPECT_EQ((*loaded)[0].profile_loaded, 1);
}

// A file of the older version: 492-byte records whose string fields keep N - 1 bytes.
TEST(FriendCache, TheOlderVersionIsStillRead) {
  TestDir dir;
  const auto file = dir.path() / "FriendInfo.dat";
  RecordWriter w(8 + 492);
  w.i32(0, 20053).u32(4, 10001);
  w.u32(8, 10002).text(8 + 4, 39, "小红").u8(8 + 44, 7).text(8 + 107, 19, "北京");
  w.text(8 + 227, 254, "你好").u32(8 + 482, 99).u32(8 + 486, 4).u8(8 + 490, 2).u8(8 + 491, 1);
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(w.view().data()), static_cast<std::streamsize>(w.view().size()));
  auto loaded = LoadFriendFile(file, 10001);
  ASSERT_TRUE(loaded);
  ASSERT_EQ(loaded->size(), 1u);
  const TFriend& f = (*loaded)[0];
  EXPECT_EQ(f.UserCode(), 10002u);
  EXPECT_EQ(f.nickname.str(), "小红");
  EXPECT_EQ(f.face, 7);
  EXPECT_EQ(f.city.str(), "北京");
  EXPECT_EQ(f.introduction.str(), "你好");
  EXPECT_EQ(f.level_points, 99u);
  EXPECT_EQ(f.group_id, 4u);
  EXPECT_EQ(f.user_type, 2);
  EXPECT_EQ(f.profile_loaded, 1);
}

TEST(FriendCache, ForeignOrDamagedFilesAreNotUsed) {
  TestDir dir;
  const auto file = dir.path() / "FriendInfo.dat";
  TFriend a = Sample(10002, "小红", 1);
  EXPECT_FALSE(LoadFriendFile(file, 10001));  // missing
  ASSERT_TRUE(SaveFriendFile(file, 10001, {&a}));
  EXPECT_FALSE(LoadFriendFile(file, 10009));  // another owner
  Bytes bytes = Read(file);
  struct Case {
    const char* what;
    Bytes data;
  } cases[] = {
      {"another version",
       [&] {
         Bytes b = bytes;
         RecordWriter(b).i32(0, 20052);
         return b;
       }()},
      {"a cut record", Bytes(bytes.begin(), bytes.end() - 1)},
      {"new records under the old version",
       [&] {
         Bytes b = bytes;
         RecordWriter(b).i32(0, 20053);
         return b;
       }()},
      {"only a header half", Bytes(bytes.begin(), bytes.begin() + 5)},
  };
  for (const Case& c : cases) {
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(c.data.data()), static_cast<std::streamsize>(c.data.size()));
    EXPECT_FALSE(LoadFriendFile(file, 10001)) << c.what;
  }
}

TEST(FriendCache, GroupFileKeepsTheUsersGroups) {
  TestDir dir;
  const auto file = dir.path() / "FriendGroupInfo.dat";
  ASSERT_TRUE(SaveGroupFile(file, 10001, {{4, "同学"}, {7, "同事"}}));
  Bytes bytes = Read(file);
  ASSERT_EQ(bytes.size(), 4 + 2 * kGroupRecordSize);
  EXPECT_EQ(RecordReader(bytes).u32(4 + kGroupRecordSize), 7u);
  auto groups = LoadGroupFile(file, 10001);
  ASSERT_TRUE(groups);
  ASSERT_EQ(groups->size(), 2u);
  EXPECT_EQ((*groups)[0].name, "同学");
  EXPECT_EQ((*groups)[1].id, 7u);
  EXPECT_FALSE(LoadGroupFile(file, 10002));
}

}  // namespace
}  // namespace kiv::friends
